#include "messenger/strophe_link.h"

#include "messenger/caps.h"
#include "messenger/messenger.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

constexpr const char* kNsIbb = "http://jabber.org/protocol/ibb";
constexpr const char* kNsRoster = "jabber:iq:roster";
constexpr const char* kNsDiscoInfo = "http://jabber.org/protocol/disco#info";
constexpr const char* kNsCaps = "http://jabber.org/protocol/caps";
constexpr const char* kNsPing = "urn:xmpp:ping";
constexpr const char* kNsStanzas = "urn:ietf:params:xml:ns:xmpp-stanzas";
// The value of the `transfer` attribute of <application/> that offers (in an
// open) and takes up (in its result) the compact form of texts.
constexpr const char* kTransferCompact = "hex";

// libstrophe's socket callback knows only the connection: this maps it back
// to its link. One daemon thread, so no lock.
std::map<xmpp_conn_t*, StropheLink*>& registry()
{
    static std::map<xmpp_conn_t*, StropheLink*> links;
    return links;
}

std::string str(const char* s) { return s ? s : ""; }

std::string bareOf(const std::string& full) { return full.substr(0, full.find('/')); }

xmpp_stanza_t* element(xmpp_ctx_t* ctx, const char* name, const char* ns)
{
    xmpp_stanza_t* e = xmpp_stanza_new(ctx);
    xmpp_stanza_set_name(e, name);
    if (ns)
        xmpp_stanza_set_ns(e, ns);
    return e;
}

// Adds `child` to `parent` and drops the caller's reference.
void adopt(xmpp_stanza_t* parent, xmpp_stanza_t* child)
{
    xmpp_stanza_add_child(parent, child);
    xmpp_stanza_release(child);
}

void addText(xmpp_ctx_t* ctx, xmpp_stanza_t* parent, const char* text)
{
    xmpp_stanza_t* t = xmpp_stanza_new(ctx);
    xmpp_stanza_set_text(t, text);
    adopt(parent, t);
}

void libraryLog(void* userdata, xmpp_log_level_t level, const char* area, const char* msg)
{
    if (level < XMPP_LEVEL_WARN)
        return;
    static_cast<Log*>(userdata)->write(std::string("xmpp ") + area + ": " + msg);
}

}  // namespace

long connectionFlags(const MessengerConfig& config)
{
    long flags = XMPP_CONN_FLAG_DISABLE_SM;  // a lost server is handled here, not resumed
    if (config.tls == TlsPolicy::Disabled)
        flags |= XMPP_CONN_FLAG_DISABLE_TLS;
    else if (tlsRequired(config))
        flags |= XMPP_CONN_FLAG_MANDATORY_TLS;
    if (!config.tlsVerify)
        flags |= XMPP_CONN_FLAG_TRUST_TLS;
    return flags;
}

StropheLink::StropheLink(const MessengerConfig& c, Log& l) : config(c), log(l)
{
    static xmpp_log_t logger;
    logger.handler = libraryLog;
    logger.userdata = &log;
    xmpp_initialize();
    ctx = xmpp_ctx_new(nullptr, &logger);
}

StropheLink::~StropheLink()
{
    if (conn) {
        registry().erase(conn);
        xmpp_conn_release(conn);
    }
    xmpp_ctx_free(ctx);
    xmpp_shutdown();
}

int StropheLink::onSocket(xmpp_conn_t* c, void* sock)
{
    int fd = *static_cast<int*>(sock);
    auto it = registry().find(c);
    if (it != registry().end())
        it->second->socketFd = fd;
    // Small acknowledged texts must not wait for Nagle.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return xmpp_sockopt_cb_keepalive(c, sock);
}

std::string certificateRefusal(const MessengerConfig& config, const xmpp_tlscert_t* cert, const char* errormsg)
{
    std::string text = "the certificate of " + serverHost(config) + " does not verify: " + str(errormsg)
                       + " (at the certificate of " + str(xmpp_tlscert_get_string(cert, XMPP_CERT_SUBJECT))
                       + ", issued by " + str(xmpp_tlscert_get_string(cert, XMPP_CERT_ISSUER)) + ", valid until "
                       + str(xmpp_tlscert_get_string(cert, XMPP_CERT_NOTAFTER)) + "); not logged in. ";
    const std::string& jid = config.jid;
    if (str(errormsg) == "hostname mismatch")
        text +=
            "The certificate is not for " + jid.substr(jid.find('@') + 1) + ": this may not be the account's server";
    else
        text +=
            "If the server is the right one and its CA is not a public one, name the CA's "
            "certificate with tls_ca_file";
    return text;
}

// The certificate does not verify (unknown CA, wrong name, expired): the
// login is refused, and the log says why and what would let it through.
int StropheLink::onCertificateFailure(const xmpp_tlscert_t* cert, const char* errormsg)
{
    // The certificate object of a failed check knows its context but not
    // its connection; each link has a context of its own.
    xmpp_ctx_t* certCtx = xmpp_tlscert_get_ctx(cert);
    auto it = std::find_if(registry().begin(), registry().end(),
                           [certCtx](const auto& entry) { return entry.second->ctx == certCtx; });
    if (it == registry().end())
        return 0;
    StropheLink* link = it->second;
    link->certificateRefused = true;
    link->dropReason = certificateRefusal(link->config, cert, errormsg);
    return 0;
}

void StropheLink::connect()
{
    if (conn) {
        registry().erase(conn);
        xmpp_conn_release(conn);
    }
    conn = xmpp_conn_new(ctx);
    registry()[conn] = this;
    socketFd = -1;
    pending.clear();
    dropReason.clear();
    certificateRefused = false;
    attemptAt = std::chrono::steady_clock::now();
    xmpp_conn_set_flags(conn, connectionFlags(config));
    xmpp_conn_set_sockopt_callback(conn, onSocket);
    xmpp_conn_set_certfail_handler(conn, onCertificateFailure);
    if (!config.tlsCaFile.empty())
        xmpp_conn_set_cafile(conn, config.tlsCaFile.c_str());
    std::string jid = config.jid + "/" + config.resource;
    xmpp_conn_set_jid(conn, jid.c_str());
    xmpp_conn_set_pass(conn, config.password.c_str());
    const char* host = config.server.empty() ? nullptr : config.server.c_str();
    state = State::Connecting;
    log.write("connecting to " + serverHost(config) + (config.port ? ":" + std::to_string(config.port) : "")
              + (tlsRequired(config) ? " (STARTTLS required)" : ""));
    if (xmpp_connect_client(conn, host, static_cast<unsigned short>(config.port), onConnection, this) != XMPP_EOK)
        lost("cannot start the connection");
}

void StropheLink::disconnect()
{
    if (!conn || state == State::Disconnected)
        return;
    if (canSend())
        sendPresence(std::string(), "unavailable");
    xmpp_disconnect(conn);
}

bool StropheLink::wantsWrite() const { return conn && xmpp_conn_send_queue_len(conn) > 0; }

bool StropheLink::runOnce()
{
    activity = false;
    // A server that leaves Nagle on holds a small stanza back until its last
    // segment is acknowledged; acknowledging at once (the kernel drops back
    // to delayed acknowledgements after a while, so again before each read)
    // keeps that wait at one round trip instead of the 40 ms of a delayed
    // acknowledgement.
    if (socketFd >= 0) {
        int one = 1;
        setsockopt(socketFd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    }
    // One call reads at most one buffer and does not see bytes that TLS has
    // already decrypted, so several rounds per wake-up.
    for (int i = 0; i < 32; ++i)
        xmpp_run_once(ctx, 0);
    return activity;
}

void StropheLink::onConnection(xmpp_conn_t*, xmpp_conn_event_t event, int error, xmpp_stream_error_t*, void* self)
{
    auto* link = static_cast<StropheLink*>(self);
    link->activity = true;
    if (event == XMPP_CONN_CONNECT)
        link->connected();
    else if ((event == XMPP_CONN_DISCONNECT || event == XMPP_CONN_FAIL) && !link->disconnected())
        link->lost(!link->dropReason.empty() ? link->dropReason
                   : error                   ? "connection error " + std::to_string(error)
                                             : "disconnected");
}

void StropheLink::drop(const std::string& why)
{
    if (!conn || state == State::Disconnected || !dropReason.empty())
        return;
    log.write("server connection lost: " + why);
    dropReason = why;
    if (socketFd >= 0) {
        // Nothing more is read from it, so libstrophe sees the end of the
        // stream on its next round; the close that follows resets instead of
        // leaving the kernel to retransmit a goodbye over a dead link.
        linger l{1, 0};
        setsockopt(socketFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        ::shutdown(socketFd, SHUT_RD);
    }
    // Also ends a connection that has no socket yet; libstrophe gives a
    // closing stream at most 2 s before it closes the socket itself.
    xmpp_disconnect(conn);
}

void StropheLink::connected()
{
    state = State::LoadingRoster;
    log.write(std::string("connected as ") + str(xmpp_conn_get_bound_jid(conn))
              + (xmpp_conn_is_secured(conn) ? " (TLS)" : " (no TLS)"));
    xmpp_handler_add(conn, onIq, nullptr, "iq", nullptr, this);
    xmpp_handler_add(conn, onPresence, nullptr, "presence", nullptr, this);
    sendIq("get", std::string(), element(ctx, "query", kNsRoster), Pending{Kind::Roster, {}, {}});
}

void StropheLink::lost(const std::string& why)
{
    bool wasOnline = state == State::Online;
    state = State::Disconnected;
    socketFd = -1;
    pending.clear();
    // Retry soon, then less often while the server stays away.
    failures = wasOnline ? 0 : failures + 1;
    int delayMs = std::min(1000 << std::min(failures, 3), 8000);
    // A certificate is not mended within seconds; a minute keeps the log
    // readable while a renewed one is still taken up without a restart.
    if (certificateRefused)
        delayMs = 60000;
    nextAttempt = std::chrono::steady_clock::now() + std::chrono::milliseconds(wasOnline ? 500 : delayMs);
    log.write("server connection ended: " + why);
    if (wasOnline && target)
        target->serverOffline();
}

// --- sending ------------------------------------------------------------

void StropheLink::sendIq(const char* type, const std::string& to, xmpp_stanza_t* payload, const Pending& p)
{
    std::string id = "cv" + std::to_string(++nextId);
    xmpp_stanza_t* iq = xmpp_iq_new(ctx, type, id.c_str());
    if (!to.empty())
        xmpp_stanza_set_to(iq, to.c_str());
    adopt(iq, payload);
    pending[id] = p;
    xmpp_send(conn, iq);
    xmpp_stanza_release(iq);
}

void StropheLink::sendPresence(const std::string& to, const char* type)
{
    xmpp_stanza_t* p = xmpp_presence_new(ctx);
    if (!to.empty())
        xmpp_stanza_set_to(p, to.c_str());
    if (type)
        xmpp_stanza_set_type(p, type);
    xmpp_send(conn, p);
    xmpp_stanza_release(p);
}

void StropheLink::advertise(const std::set<std::string>& names)
{
    apps = names;
    if (!canSend())
        return;
    capsHash = capsVer(ctx, "client", "pc", kIdentityName, discoFeatures(apps));
    xmpp_stanza_t* p = xmpp_presence_new(ctx);
    xmpp_stanza_t* c = element(ctx, "c", kNsCaps);
    xmpp_stanza_set_attribute(c, "hash", "sha-1");
    xmpp_stanza_set_attribute(c, "node", kCapsNode);
    xmpp_stanza_set_attribute(c, "ver", capsHash.c_str());
    adopt(p, c);
    // The names once more in plain form, so that a contact's daemon knows
    // them without a disco round trip.
    xmpp_stanza_t* list = element(ctx, "applications", kNsMessenger);
    for (const std::string& a : apps) {
        xmpp_stanza_t* e = element(ctx, "application", nullptr);
        xmpp_stanza_set_attribute(e, "name", a.c_str());
        adopt(list, e);
    }
    adopt(p, list);
    xmpp_send(conn, p);
    xmpp_stanza_release(p);
}

void StropheLink::requestSubscription(const std::string& bare)
{
    if (canSend())
        sendPresence(bare, "subscribe");
}

void StropheLink::approveSubscription(const std::string& bare)
{
    if (canSend())
        sendPresence(bare, "subscribed");
}

void StropheLink::ping()
{
    pong = false;
    if (canSend())
        sendIq("get", std::string(), element(ctx, "ping", kNsPing), Pending{Kind::Ping, {}, {}});
}

void StropheLink::openStream(const std::string& full, const std::string& sid, const std::string& app, bool offerCompact)
{
    if (!canSend()) {
        // Answered at once, so the core is never left waiting.
        if (target)
            target->openResult(full, sid, false, false);
        return;
    }
    xmpp_stanza_t* open = element(ctx, "open", kNsIbb);
    xmpp_stanza_set_attribute(open, "sid", sid.c_str());
    xmpp_stanza_set_attribute(open, "block-size", std::to_string(kMaxBlockBytes).c_str());
    xmpp_stanza_set_attribute(open, "stanza", "iq");
    xmpp_stanza_t* a = element(ctx, "application", kNsMessenger);
    xmpp_stanza_set_attribute(a, "name", app.c_str());
    if (offerCompact)
        xmpp_stanza_set_attribute(a, "transfer", kTransferCompact);
    adopt(open, a);
    sendIq("set", full, open, Pending{Kind::Open, full, sid});
}

void StropheLink::sendBlock(const std::string& full, const std::string& sid, uint16_t seq, const std::string& text)
{
    if (!canSend())
        return;
    xmpp_stanza_t* data = element(ctx, "data", kNsIbb);
    xmpp_stanza_set_attribute(data, "sid", sid.c_str());
    xmpp_stanza_set_attribute(data, "seq", std::to_string(seq).c_str());
    if (!text.empty()) {
        char* b64 = xmpp_base64_encode(ctx, reinterpret_cast<const unsigned char*>(text.data()), text.size());
        addText(ctx, data, b64);
        xmpp_free(ctx, b64);
    }
    sendIq("set", full, data, Pending{Kind::Data, full, sid});
}

void StropheLink::closeStream(const std::string& full, const std::string& sid)
{
    // Late answers to this stream's requests have nobody to go to.
    for (auto it = pending.begin(); it != pending.end();)
        it = it->second.full == full && it->second.sid == sid ? pending.erase(it) : std::next(it);
    if (!canSend())
        return;
    xmpp_stanza_t* close = element(ctx, "close", kNsIbb);
    xmpp_stanza_set_attribute(close, "sid", sid.c_str());
    sendIq("set", full, close, Pending{Kind::Close, full, sid});
}

void StropheLink::probe(const std::string& full, const std::string& sid)
{
    if (!canSend()) {
        if (target)
            target->probeResult(full, sid, false);
        return;
    }
    sendIq("get", full, element(ctx, "ping", kNsPing), Pending{Kind::Probe, full, sid});
}

void StropheLink::answer(const IqRef& ref, const char* condition)
{
    if (!canSend())
        return;
    if (condition) {
        answerError(ref, "cancel", condition);
        return;
    }
    xmpp_stanza_t* iq = xmpp_iq_new(ctx, "result", ref.id.c_str());
    if (!ref.from.empty())
        xmpp_stanza_set_to(iq, ref.from.c_str());
    xmpp_send(conn, iq);
    xmpp_stanza_release(iq);
}

void StropheLink::acceptStream(const IqRef& ref, bool compact)
{
    if (!canSend())
        return;
    xmpp_stanza_t* iq = xmpp_iq_new(ctx, "result", ref.id.c_str());
    if (!ref.from.empty())
        xmpp_stanza_set_to(iq, ref.from.c_str());
    if (compact) {
        xmpp_stanza_t* a = element(ctx, "application", kNsMessenger);
        xmpp_stanza_set_attribute(a, "transfer", kTransferCompact);
        adopt(iq, a);
    }
    xmpp_send(conn, iq);
    xmpp_stanza_release(iq);
}

void StropheLink::answerError(const IqRef& ref, const char* errorType, const char* condition)
{
    xmpp_stanza_t* iq = xmpp_iq_new(ctx, "error", ref.id.c_str());
    if (!ref.from.empty())
        xmpp_stanza_set_to(iq, ref.from.c_str());
    xmpp_stanza_t* err = element(ctx, "error", nullptr);
    xmpp_stanza_set_type(err, errorType);
    adopt(err, element(ctx, condition, kNsStanzas));
    adopt(iq, err);
    xmpp_send(conn, iq);
    xmpp_stanza_release(iq);
}

// --- receiving ------------------------------------------------------------

int StropheLink::onIq(xmpp_conn_t*, xmpp_stanza_t* stanza, void* self)
{
    auto* link = static_cast<StropheLink*>(self);
    link->activity = true;
    std::string type = str(xmpp_stanza_get_type(stanza));
    if (type == "result" || type == "error")
        link->handleResult(stanza, type == "result");
    else if (type == "get" || type == "set")
        link->handleRequest(stanza);
    return 1;
}

void StropheLink::handleResult(xmpp_stanza_t* iq, bool ok)
{
    auto it = pending.find(str(xmpp_stanza_get_id(iq)));
    if (it == pending.end())
        return;
    // An answer to a request sent to a peer counts only from that peer (the
    // server answers for it with the peer's address as well): anyone else
    // who knows the id could otherwise refuse or acknowledge in its place.
    // The core's full JIDs are in normal form already (they came from here).
    if (!it->second.full.empty() && normalizeJid(str(xmpp_stanza_get_from(iq))) != it->second.full)
        return;
    Pending p = it->second;
    pending.erase(it);
    switch (p.kind) {
        case Kind::Roster:
            if (ok)
                readRoster(xmpp_stanza_get_child_by_name_and_ns(iq, "query", kNsRoster));
            state = State::Online;
            failures = 0;
            if (target)
                target->serverOnline();
            break;
        case Kind::Open: {
            if (!ok)
                log.write("stream open to " + peerText(p.full) + " refused");
            xmpp_stanza_t* a = xmpp_stanza_get_child_by_name_and_ns(iq, "application", kNsMessenger);
            bool compact = a && str(xmpp_stanza_get_attribute(a, "transfer")) == kTransferCompact;
            if (target)
                target->openResult(p.full, p.sid, ok, ok && compact);
            break;
        }
        case Kind::Data:
            if (target)
                target->blockResult(p.full, p.sid, ok);
            break;
        case Kind::Close:
            break;
        case Kind::Ping:
            pong = true;
            break;
        case Kind::Probe:
            if (target)
                target->probeResult(p.full, p.sid, ok);
            break;
    }
}

void StropheLink::readRoster(xmpp_stanza_t* query)
{
    if (!query || !target)
        return;
    for (xmpp_stanza_t* item = xmpp_stanza_get_children(query); item; item = xmpp_stanza_get_next(item)) {
        if (str(xmpp_stanza_get_name(item)) != "item")
            continue;
        std::string jid = normalizeJid(str(xmpp_stanza_get_attribute(item, "jid")));
        std::string sub = str(xmpp_stanza_get_attribute(item, "subscription"));
        if (jid.empty())
            continue;
        if (sub == "remove")
            target->rosterRemoved(jid);
        else
            target->rosterItem(jid, sub.empty() ? "none" : sub);
    }
}

void StropheLink::handleRequest(xmpp_stanza_t* iq)
{
    IqRef ref{normalizeJid(str(xmpp_stanza_get_from(iq))), str(xmpp_stanza_get_id(iq))};
    xmpp_stanza_t* payload = xmpp_stanza_get_children(iq);
    while (payload && !xmpp_stanza_get_name(payload))
        payload = xmpp_stanza_get_next(payload);  // skip text nodes
    std::string ns = payload ? str(xmpp_stanza_get_ns(payload)) : std::string();
    std::string type = str(xmpp_stanza_get_type(iq));
    if (ns == kNsIbb && type == "set") {
        handleIbb(iq, payload, ref);
    } else if (ns == kNsRoster && type == "set") {
        // Only the own server may push roster changes.
        if (ref.from.empty() || bareOf(ref.from) == config.jid) {
            readRoster(payload);
            answer(ref, nullptr);
        } else {
            answer(ref, "service-unavailable");
        }
    } else if ((ns == kNsDiscoInfo || ns == kNsPing) && type == "get" && !mayAsk(ref.from)) {
        // What the server says for a resource that is not there: a stranger
        // learns neither that the daemon runs nor what it offers.
        answer(ref, "service-unavailable");
    } else if (ns == kNsDiscoInfo && type == "get") {
        handleDisco(payload, ref);
    } else if (ns == kNsPing && type == "get") {
        answer(ref, nullptr);
    } else {
        answer(ref, "service-unavailable");
    }
}

bool StropheLink::mayAsk(const std::string& from) const
{
    // No sender, or the account's own domain: the server itself.
    if (from.empty())
        return true;
    size_t at = config.jid.find('@');
    if (at != std::string::npos && from == config.jid.substr(at + 1))
        return true;
    return target && target->mayQuery(bareOf(from));
}

void StropheLink::handleDisco(xmpp_stanza_t* payload, const IqRef& ref)
{
    xmpp_stanza_t* iq = xmpp_iq_new(ctx, "result", ref.id.c_str());
    if (!ref.from.empty())
        xmpp_stanza_set_to(iq, ref.from.c_str());
    xmpp_stanza_t* query = element(ctx, "query", kNsDiscoInfo);
    if (const char* node = xmpp_stanza_get_attribute(payload, "node"))
        xmpp_stanza_set_attribute(query, "node", node);
    xmpp_stanza_t* identity = element(ctx, "identity", nullptr);
    xmpp_stanza_set_attribute(identity, "category", "client");
    xmpp_stanza_set_attribute(identity, "type", "pc");
    xmpp_stanza_set_attribute(identity, "name", kIdentityName);
    adopt(query, identity);
    for (const std::string& f : discoFeatures(apps)) {
        xmpp_stanza_t* feature = element(ctx, "feature", nullptr);
        xmpp_stanza_set_attribute(feature, "var", f.c_str());
        adopt(query, feature);
    }
    adopt(iq, query);
    xmpp_send(conn, iq);
    xmpp_stanza_release(iq);
}

void StropheLink::handleIbb(xmpp_stanza_t*, xmpp_stanza_t* payload, const IqRef& ref)
{
    if (!target)
        return;
    std::string name = str(xmpp_stanza_get_name(payload));
    std::string sid = str(xmpp_stanza_get_attribute(payload, "sid"));
    if (sid.empty() || ref.from.empty()) {
        answerError(ref, "modify", "bad-request");
        return;
    }
    if (name == "open") {
        xmpp_stanza_t* app = xmpp_stanza_get_child_by_name_and_ns(payload, "application", kNsMessenger);
        std::string appName = app ? str(xmpp_stanza_get_attribute(app, "name")) : std::string();
        std::string mode = str(xmpp_stanza_get_attribute(payload, "stanza"));
        if (appName.empty()) {
            log.write("refused a stream request from " + peerText(ref.from) + " without an application");
            answerError(ref, "cancel", "not-acceptable");
        } else if (!mode.empty() && mode != "iq") {
            answerError(ref, "cancel", "feature-not-implemented");
        } else {
            bool compact = str(xmpp_stanza_get_attribute(app, "transfer")) == kTransferCompact;
            target->openRequest(ref.from, sid, appName, compact, ref);
        }
    } else if (name == "data") {
        std::string seqText = str(xmpp_stanza_get_attribute(payload, "seq"));
        char* end = nullptr;
        unsigned long seq = std::strtoul(seqText.c_str(), &end, 10);
        // All text children: the parser may split a long text.
        char* b64 = xmpp_stanza_get_text(payload);
        std::string text;
        bool good = !seqText.empty() && end && *end == '\0' && seq <= 65535;
        if (good && b64 && *b64) {
            unsigned char* out = nullptr;
            size_t outLen = 0;
            xmpp_base64_decode_bin(ctx, b64, std::strlen(b64), &out, &outLen);
            if (out) {
                text.assign(reinterpret_cast<const char*>(out), outLen);
                xmpp_free(ctx, out);
            } else {
                good = false;
            }
        }
        xmpp_free(ctx, b64);
        if (good)
            target->block(ref.from, sid, static_cast<uint16_t>(seq), text, ref);
        else
            target->badBlock(ref.from, sid, ref);
    } else if (name == "close") {
        target->closeRequest(ref.from, sid, ref);
    } else {
        answerError(ref, "cancel", "feature-not-implemented");
    }
}

int StropheLink::onPresence(xmpp_conn_t*, xmpp_stanza_t* stanza, void* self)
{
    auto* link = static_cast<StropheLink*>(self);
    link->activity = true;
    if (!link->target)
        return 1;
    std::string from = normalizeJid(str(xmpp_stanza_get_from(stanza)));
    std::string type = str(xmpp_stanza_get_type(stanza));
    if (from.empty())
        return 1;
    if (type == "subscribe") {
        link->target->subscriptionRequest(bareOf(from));
    } else if (type == "unavailable") {
        link->target->presence(from, false, std::string(), {});
    } else if (type.empty()) {
        std::string show;
        // <show/> may be empty or hold an element instead of text.
        if (xmpp_stanza_t* s = xmpp_stanza_get_child_by_name(stanza, "show"))
            if (xmpp_stanza_t* t = xmpp_stanza_get_children(s); t && xmpp_stanza_is_text(t))
                show = str(xmpp_stanza_get_text_ptr(t));
        std::set<std::string> names;
        if (xmpp_stanza_t* list = xmpp_stanza_get_child_by_name_and_ns(stanza, "applications", kNsMessenger))
            for (xmpp_stanza_t* a = xmpp_stanza_get_children(list); a; a = xmpp_stanza_get_next(a))
                if (str(xmpp_stanza_get_name(a)) == "application")
                    if (const char* n = xmpp_stanza_get_attribute(a, "name"))
                        names.insert(n);
        link->target->presence(from, true, show, names);
    }
    return 1;
}
