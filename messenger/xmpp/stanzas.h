// What the parts of the XMPP side share: the namespaces the daemon speaks,
// small helpers to build and read libstrophe stanzas, and StanzaSender, the
// one way out to the server (iqs that wait for their answer, answers to
// incoming iqs). Used on the daemon's thread only.
#pragma once

#include "messenger/core/stream_transport.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include <strophe.h>

inline constexpr const char* kNsIbb = "http://jabber.org/protocol/ibb";
inline constexpr const char* kNsRoster = "jabber:iq:roster";
inline constexpr const char* kNsDiscoInfo = "http://jabber.org/protocol/disco#info";
inline constexpr const char* kNsCaps = "http://jabber.org/protocol/caps";
inline constexpr const char* kNsPing = "urn:xmpp:ping";
inline constexpr const char* kNsStanzas = "urn:ietf:params:xml:ns:xmpp-stanzas";

// A C string from libstrophe, empty when null.
std::string str(const char* s);
xmpp_stanza_t* element(xmpp_ctx_t* ctx, const char* name, const char* ns);
// Adds `child` to `parent` and drops the caller's reference.
void adopt(xmpp_stanza_t* parent, xmpp_stanza_t* child);

// The defined condition of an error stanza (e.g. "conflict"), with its text
// after ": " when the server gave one.
std::string errorCondition(xmpp_stanza_t* stanza);

// Stanzas written as text, for the data blocks: libstrophe's rendering of a
// stanza escapes and copies its text several times, which for blocks of tens
// of kilobytes is most of the daemon's work under load.
// `text` with &, <, >, ' and " escaped: safe as character data and as an
// attribute value in either quotes.
std::string xmlEscaped(const std::string& text);
// An iq of `type` with the id and addressee (none when empty) around
// `payload`, which must be well-formed XML already.
std::string iqXml(const char* type, const std::string& id, const std::string& to, const std::string& payload);
// An IBB <data/> element of the stream `sid`; `base64` is its text (base64
// needs no escaping).
std::string ibbDataXml(const std::string& sid, uint16_t seq, const std::string& base64);

// An iq this side sent, waiting for its answer; `full` and `sid` name the
// stream it belongs to, if any.
struct PendingIq {
    enum class Kind { Roster, Open, Data, Close, Ping, Probe, Services, Jingle };
    Kind kind;
    std::string full;
    std::string sid;
    uint16_t seq = 0;  // Data: the block's sequence number
};

class StanzaSender {
public:
    explicit StanzaSender(xmpp_ctx_t* context) : ctx(context) {}

    // A new connection attempt (`conn`) or the loss of the current one:
    // nothing may be sent until setReady, and what was pending is forgotten.
    void reset(xmpp_conn_t* conn);
    // Whether stanzas may go out: the stream is up and logged in.
    void setReady(bool ready) { isReady = ready; }
    bool canSend() const { return conn && isReady; }
    xmpp_ctx_t* context() const { return ctx; }

    // Sends the stanza and drops the caller's reference.
    void send(xmpp_stanza_t* stanza);
    // An iq with a new id; its answer is kept for take().
    void sendIq(const char* type, const std::string& to, xmpp_stanza_t* payload, const PendingIq& p);
    // The same with a payload already written as XML text.
    void sendIqXml(const char* type, const std::string& to, const std::string& payload, const PendingIq& p);
    // A result to the incoming iq when `condition` is null, else an error
    // of type cancel with that condition.
    void answer(const IqRef& ref, const char* condition);
    void answerError(const IqRef& ref, const char* errorType, const char* condition);
    // The request that the answer `iq` belongs to, taken out of the pending
    // ones. An answer to a request sent to a peer counts only from that peer
    // (`from`, in normal form): anyone else who knows the id could
    // otherwise refuse or acknowledge in its place.
    std::optional<PendingIq> take(const std::string& id, const std::string& from);
    // Late answers to this stream's requests have nobody to go to.
    void forget(const std::string& full, const std::string& sid);

private:
    // A new iq id, with `p` kept for its answer.
    std::string track(const PendingIq& p);

    xmpp_ctx_t* ctx;
    xmpp_conn_t* conn = nullptr;
    bool isReady = false;
    std::map<std::string, PendingIq> pending;  // by iq id
    uint64_t nextId = 0;
};
