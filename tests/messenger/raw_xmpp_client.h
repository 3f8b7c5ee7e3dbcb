// A bare libstrophe client for the integration tests: logs in to the test
// server without TLS and sends stanzas written as XML, so that tests can
// play a peer that does what messengerd never does. Every wait has a
// deadline. One thread.
#pragma once

#include <chrono>
#include <map>
#include <string>

#include <strophe.h>

class RawXmppClient {
public:
    RawXmppClient();
    ~RawXmppClient();
    RawXmppClient(const RawXmppClient&) = delete;
    RawXmppClient& operator=(const RawXmppClient&) = delete;

    // `jid` with its resource; the server on 127.0.0.1:port.
    bool login(const std::string& jid, const std::string& password, int port, std::chrono::milliseconds timeout);
    void send(const std::string& xml);
    // Sends the iq `xml` whose id is `id` and waits for its answer:
    // "result", "error <condition>", or "" when none came in time.
    std::string request(const std::string& id, const std::string& xml, std::chrono::milliseconds timeout);

private:
    static void onConnection(xmpp_conn_t*, xmpp_conn_event_t event, int, xmpp_stream_error_t*, void* self);
    static int onIq(xmpp_conn_t*, xmpp_stanza_t* stanza, void* self);

    xmpp_ctx_t* ctx = nullptr;
    xmpp_conn_t* conn = nullptr;
    bool online = false;
    std::map<std::string, std::string> answers;  // by iq id
};
