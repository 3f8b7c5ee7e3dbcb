// The XMPP side over libstrophe: one client connection to the server, the
// roster, presence with the advertised applications, disco#info, and
// In-Band Bytestreams (XEP-0047, iq mode) carrying the streams. Incoming
// stanzas become calls on the Messenger core. Owned by the daemon and driven
// from its loop only (runOnce); the core must outlive it.
#pragma once

#include "messenger/config.h"
#include "messenger/log.h"
#include "messenger/xmpp_link.h"

#include <chrono>
#include <map>
#include <set>
#include <string>

#include <strophe.h>

class Messenger;

// libstrophe connection flags for this configuration: the TLS policy
// (XMPP_CONN_FLAG_MANDATORY_TLS when STARTTLS is required, DISABLE_TLS when
// it is off), certificate trust, and no stream management.
long connectionFlags(const MessengerConfig& config);

// Why the server's certificate is refused (`errormsg` from the TLS library)
// and what would let it through, in one line: "the certificate of HOST does
// not verify: ...; not logged in. ...".
std::string certificateRefusal(const MessengerConfig& config, const xmpp_tlscert_t* cert, const char* errormsg);

class StropheLink : public XmppLink {
public:
    StropheLink(const MessengerConfig& config, Log& log);
    ~StropheLink();
    StropheLink(const StropheLink&) = delete;
    StropheLink& operator=(const StropheLink&) = delete;

    void setCore(Messenger* core) { target = core; }
    // Starts a connection attempt; the outcome arrives through the core.
    void connect();
    // Sends unavailable presence and closes the stream.
    void disconnect();
    bool disconnected() const { return state == State::Disconnected; }
    bool online() const { return state == State::Online; }
    // Connecting or logging in (not yet online), since attemptStarted().
    bool loggingIn() const { return state == State::Connecting || state == State::LoadingRoster; }
    std::chrono::steady_clock::time_point attemptStarted() const { return attemptAt; }
    // Gives the connection up as lost (`why` goes to the log): the socket
    // is closed at once, without a goodbye the server could not hear, and
    // the loss takes the path of any lost connection (the core is told,
    // a new attempt follows).
    void drop(const std::string& why);
    // When the next connection attempt is due after a loss.
    std::chrono::steady_clock::time_point retryAt() const { return nextAttempt; }

    int fd() const { return socketFd; }
    bool wantsWrite() const;
    // Drives libstrophe without blocking; true when stanzas were handled.
    bool runOnce();

    // Round trip to the server (used to know that earlier stanzas left).
    void ping();
    bool pongReceived() const { return pong; }

    void advertise(const std::set<std::string>& apps) override;
    void requestSubscription(const std::string& bare) override;
    void approveSubscription(const std::string& bare) override;
    void openStream(const std::string& full, const std::string& sid, const std::string& app,
                    bool offerCompact) override;
    void sendBlock(const std::string& full, const std::string& sid, uint16_t seq, const std::string& text) override;
    void closeStream(const std::string& full, const std::string& sid) override;
    void probe(const std::string& full, const std::string& sid) override;
    void answer(const IqRef& ref, const char* errorCondition) override;
    void acceptStream(const IqRef& ref, bool compact) override;

private:
    enum class State { Disconnected, Connecting, LoadingRoster, Online };
    enum class Kind { Roster, Open, Data, Close, Ping, Probe };
    struct Pending {
        Kind kind;
        std::string full;
        std::string sid;
    };

    static void onConnection(xmpp_conn_t* conn, xmpp_conn_event_t event, int error, xmpp_stream_error_t* streamError,
                             void* self);
    static int onIq(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* self);
    static int onPresence(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* self);
    static int onSocket(xmpp_conn_t* conn, void* sock);
    static int onCertificateFailure(const xmpp_tlscert_t* cert, const char* errormsg);

    void connected();
    void lost(const std::string& why);
    void handleResult(xmpp_stanza_t* iq, bool ok);
    void handleRequest(xmpp_stanza_t* iq);
    void handleIbb(xmpp_stanza_t* iq, xmpp_stanza_t* payload, const IqRef& ref);
    void readRoster(xmpp_stanza_t* query);
    void handleDisco(xmpp_stanza_t* payload, const IqRef& ref);
    // Whether the sender of a disco#info or ping request gets an answer:
    // the server, the own account, contacts (Messenger::mayQuery).
    bool mayAsk(const std::string& from) const;
    void sendIq(const char* type, const std::string& to, xmpp_stanza_t* payload, const Pending& p);
    void sendPresence(const std::string& to, const char* type);
    void answerError(const IqRef& ref, const char* errorType, const char* condition);
    bool canSend() const { return state == State::LoadingRoster || state == State::Online; }

    const MessengerConfig& config;
    Log& log;
    Messenger* target = nullptr;
    xmpp_ctx_t* ctx = nullptr;
    xmpp_conn_t* conn = nullptr;
    State state = State::Disconnected;
    int socketFd = -1;
    int failures = 0;
    std::chrono::steady_clock::time_point nextAttempt{};
    std::chrono::steady_clock::time_point attemptAt{};
    std::string dropReason;                  // set by drop() until the loss is handled
    bool certificateRefused = false;         // this attempt ended on the server's certificate
    std::map<std::string, Pending> pending;  // by iq id
    uint64_t nextId = 0;
    std::set<std::string> apps;  // advertised
    std::string capsHash;
    bool activity = false;
    bool pong = false;
};
