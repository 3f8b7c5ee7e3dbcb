#include "messenger/xmpp/server_connection.h"

#include "messenger/support/jid.h"
#include "messenger/support/log.h"
#include "messenger/xmpp/external_services.h"
#include "messenger/xmpp/jingle.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

// libstrophe's socket callback knows only the connection: this maps it back
// to its link. One daemon thread, so no lock.
std::map<xmpp_conn_t*, ServerConnection*>& registry()
{
    static std::map<xmpp_conn_t*, ServerConnection*> links;
    return links;
}

void libraryLog(void* userdata, xmpp_log_level_t level, const char* area, const char* msg)
{
    if (level < XMPP_LEVEL_WARN)
        return;
    static_cast<Log*>(userdata)->write(std::string("xmpp ") + area + ": " + msg);
}

xmpp_ctx_t* newContext(xmpp_log_t& logger)
{
    xmpp_initialize();
    return xmpp_ctx_new(nullptr, &logger);
}

// Why libstrophe ended a connection: the server's stream error (its
// condition and text), else the socket's error, else nothing known.
std::string endReason(int error, const xmpp_stream_error_t* streamError)
{
    if (streamError && streamError->stanza) {
        std::string condition = "undefined-condition";
        for (xmpp_stanza_t* c = xmpp_stanza_get_children(streamError->stanza); c; c = xmpp_stanza_get_next(c))
            if (xmpp_stanza_is_tag(c) && str(xmpp_stanza_get_name(c)) != "text") {
                condition = peerText(str(xmpp_stanza_get_name(c)), 60);
                break;
            }
        std::string text = peerText(str(streamError->text));
        return "the server ended the stream: " + condition + (text.empty() ? "" : " (" + text + ")");
    }
    if (error)
        return "connection error " + std::to_string(error) + " (" + std::strerror(error) + ")";
    return "disconnected";
}

}  // namespace

long connectionFlags(const XmppAccount& account)
{
    long flags = XMPP_CONN_FLAG_DISABLE_SM;  // a lost server is handled here, not resumed
    if (account.tls == TlsPolicy::Disabled)
        flags |= XMPP_CONN_FLAG_DISABLE_TLS;
    else if (tlsRequired(account))
        flags |= XMPP_CONN_FLAG_MANDATORY_TLS;
    if (!account.tlsVerify)
        flags |= XMPP_CONN_FLAG_TRUST_TLS;
    return flags;
}

ServerConnection::ServerConnection(const XmppAccount& a, Log& l, bool offersDirect)
    : account(a),
      log(l),
      logger{libraryLog, &l},
      ctx(newContext(logger)),
      sender(ctx),
      roster(sender, a.jid, offersDirect),
      ibb(sender, l),
      jingle(sender, l)
{
}

void ServerConnection::setEvents(XmppEvents* xmpp, StreamEvents* streams, PathSignalEvents* paths)
{
    events = xmpp;
    roster.setEvents(xmpp);
    ibb.setEvents(streams);
    jingle.setEvents(paths);
    pathEvents = paths;
}

ServerConnection::~ServerConnection()
{
    if (conn) {
        registry().erase(conn);
        xmpp_conn_release(conn);
    }
    xmpp_ctx_free(ctx);
    xmpp_shutdown();
}

int ServerConnection::onSocket(xmpp_conn_t* c, void* sock)
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

std::string certificateRefusal(const XmppAccount& account, const xmpp_tlscert_t* cert, const char* errormsg)
{
    std::string text = "the certificate of " + serverHost(account) + " does not verify: " + str(errormsg)
                       + " (at the certificate of " + str(xmpp_tlscert_get_string(cert, XMPP_CERT_SUBJECT))
                       + ", issued by " + str(xmpp_tlscert_get_string(cert, XMPP_CERT_ISSUER)) + ", valid until "
                       + str(xmpp_tlscert_get_string(cert, XMPP_CERT_NOTAFTER)) + "); not logged in. ";
    const std::string& jid = account.jid;
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
int ServerConnection::onCertificateFailure(const xmpp_tlscert_t* cert, const char* errormsg)
{
    // The certificate object of a failed check knows its context but not
    // its connection; each link has a context of its own.
    xmpp_ctx_t* certCtx = xmpp_tlscert_get_ctx(cert);
    auto it = std::find_if(registry().begin(), registry().end(),
                           [certCtx](const auto& entry) { return entry.second->ctx == certCtx; });
    if (it == registry().end())
        return 0;
    ServerConnection* link = it->second;
    link->certificateRefused = true;
    link->dropReason = certificateRefusal(link->account, cert, errormsg);
    return 0;
}

void ServerConnection::connect()
{
    if (conn) {
        registry().erase(conn);
        xmpp_conn_release(conn);
    }
    logger.handler = libraryLog;
    conn = xmpp_conn_new(ctx);
    registry()[conn] = this;
    socketFd = -1;
    sender.reset(conn);
    dropReason.clear();
    certificateRefused = false;
    attemptAt = std::chrono::steady_clock::now();
    xmpp_conn_set_flags(conn, connectionFlags(account));
    xmpp_conn_set_sockopt_callback(conn, onSocket);
    xmpp_conn_set_certfail_handler(conn, onCertificateFailure);
    if (!account.tlsCaFile.empty())
        xmpp_conn_set_cafile(conn, account.tlsCaFile.c_str());
    std::string jid = account.jid + "/" + account.resource;
    xmpp_conn_set_jid(conn, jid.c_str());
    xmpp_conn_set_pass(conn, account.password.c_str());
    const char* host = account.server.empty() ? nullptr : account.server.c_str();
    state = State::Connecting;
    log.write("connecting to " + serverHost(account) + (account.port ? ":" + std::to_string(account.port) : "")
              + (tlsRequired(account) ? " (STARTTLS required)" : ""));
    if (xmpp_connect_client(conn, host, static_cast<unsigned short>(account.port), onConnection, this) != XMPP_EOK)
        lost("cannot start the connection");
}

void ServerConnection::disconnect()
{
    if (!conn || state == State::Disconnected)
        return;
    roster.goOffline();
    xmpp_disconnect(conn);
}

bool ServerConnection::wantsWrite() const { return conn && xmpp_conn_send_queue_len(conn) > 0; }

bool ServerConnection::runOnce()
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
    if (ibb.answerUnsent())
        activity = true;
    return activity;
}

void ServerConnection::onConnection(xmpp_conn_t*, xmpp_conn_event_t event, int error, xmpp_stream_error_t* streamError,
                                    void* self)
{
    auto* link = static_cast<ServerConnection*>(self);
    link->activity = true;
    if (event == XMPP_CONN_CONNECT)
        link->connected();
    else if ((event == XMPP_CONN_DISCONNECT || event == XMPP_CONN_FAIL) && !link->disconnected())
        link->lost(!link->dropReason.empty() ? link->dropReason : endReason(error, streamError));
}

void ServerConnection::drop(const std::string& why)
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

void ServerConnection::connected()
{
    // libstrophe formats every stanza it sends or receives into a debug line
    // before a handler can drop it: for the data blocks, a fifth of the
    // daemon's work under load. So its log is off while the session is up;
    // what ends the session still reaches the log through the error that
    // the disconnect event carries.
    logger.handler = nullptr;
    state = State::LoadingRoster;
    sender.setReady(true);
    jingle.setSelf(normalizeJid(str(xmpp_conn_get_bound_jid(conn))));
    log.write(std::string("connected as ") + str(xmpp_conn_get_bound_jid(conn))
              + (xmpp_conn_is_secured(conn) ? " (TLS)" : " (no TLS)"));
    xmpp_handler_add(conn, onIq, nullptr, "iq", nullptr, this);
    xmpp_handler_add(conn, onPresence, nullptr, "presence", nullptr, this);
    sender.sendIq("get", std::string(), element(ctx, "query", kNsRoster), PendingIq{PendingIq::Kind::Roster, {}, {}});
}

void ServerConnection::lost(const std::string& why)
{
    servicesSaid.clear();
    logger.handler = libraryLog;
    bool wasOnline = state == State::Online;
    state = State::Disconnected;
    socketFd = -1;
    sender.reset(conn);
    // Retry soon, then less often while the server stays away.
    failures = wasOnline ? 0 : failures + 1;
    int delayMs = std::min(1000 << std::min(failures, 3), 8000);
    // A certificate is not mended within seconds; a minute keeps the log
    // readable while a renewed one is still taken up without a restart.
    if (certificateRefused)
        delayMs = 60000;
    nextAttempt = std::chrono::steady_clock::now() + std::chrono::milliseconds(wasOnline ? 500 : delayMs);
    log.write("server connection ended: " + why);
    if (wasOnline && events)
        events->serverOffline();
}

// What the server offers for paths around it (XEP-0215); the answer goes to
// the log.
void ServerConnection::refreshServices(std::chrono::steady_clock::time_point now)
{
    if (online() && now - servicesAsked >= kServicesRefresh)
        askForExternalServices();
}

void ServerConnection::askForExternalServices()
{
    servicesAsked = std::chrono::steady_clock::now();
    std::string domain = normalizeJid(account.jid.substr(account.jid.find('@') + 1));
    sender.sendIq("get", domain, element(ctx, "services", kNsExtDisco),
                  PendingIq{PendingIq::Kind::Services, domain, {}});
}

void ServerConnection::ping()
{
    pong = false;
    if (sender.canSend())
        sender.sendIq("get", std::string(), element(ctx, "ping", kNsPing), PendingIq{PendingIq::Kind::Ping, {}, {}});
}

// --- receiving ------------------------------------------------------------

int ServerConnection::onIq(xmpp_conn_t*, xmpp_stanza_t* stanza, void* self)
{
    auto* link = static_cast<ServerConnection*>(self);
    link->activity = true;
    std::string type = str(xmpp_stanza_get_type(stanza));
    if (type == "result" || type == "error")
        link->handleResult(stanza, type == "result");
    else if (type == "get" || type == "set")
        link->handleRequest(stanza);
    return 1;
}

void ServerConnection::handleResult(xmpp_stanza_t* iq, bool ok)
{
    std::optional<PendingIq> p = sender.take(str(xmpp_stanza_get_id(iq)), normalizeJid(str(xmpp_stanza_get_from(iq))));
    if (!p)
        return;
    switch (p->kind) {
        case PendingIq::Kind::Roster:
            if (ok)
                roster.readRoster(xmpp_stanza_get_child_by_name_and_ns(iq, "query", kNsRoster));
            state = State::Online;
            failures = 0;
            askForExternalServices();
            if (events)
                events->serverOnline();
            break;
        case PendingIq::Kind::Services: {
            std::vector<ExternalService> services;
            if (ok)
                services = readExternalServices(xmpp_stanza_get_child_by_name_and_ns(iq, "services", kNsExtDisco));
            // A fresh answer is logged when it says something new, not
            // for every renewal of the credentials.
            std::string said = ok ? describeExternalServices(services)
                                  : "none (it refuses the question: " + peerText(errorCondition(iq)) + ")";
            std::vector<ExternalService> lasting = services;
            for (ExternalService& s : lasting)
                s.expires.clear();
            std::string gist = ok ? describeExternalServices(lasting) : said;
            if (gist != servicesSaid)
                log.write("STUN and TURN services of the server: " + said);
            servicesSaid = gist;
            if (pathEvents)
                pathEvents->serverServices(iceServersOf(services));
            break;
        }
        case PendingIq::Kind::Jingle:
            jingle.result(*p, ok);
            break;
        case PendingIq::Kind::Ping:
            pong = true;
            break;
        case PendingIq::Kind::Close:
            break;
        default:
            ibb.result(*p, iq, ok);
            break;
    }
}

void ServerConnection::handleRequest(xmpp_stanza_t* iq)
{
    IqRef ref{normalizeJid(str(xmpp_stanza_get_from(iq))), str(xmpp_stanza_get_id(iq))};
    xmpp_stanza_t* payload = xmpp_stanza_get_children(iq);
    while (payload && !xmpp_stanza_get_name(payload))
        payload = xmpp_stanza_get_next(payload);  // skip text nodes
    std::string ns = payload ? str(xmpp_stanza_get_ns(payload)) : std::string();
    std::string type = str(xmpp_stanza_get_type(iq));
    if (ns == kNsIbb && type == "set")
        ibb.request(payload, ref);
    else if (ns == kNsJingle && type == "set")
        jingle.request(payload, ref);
    else if (ns == kNsRoster && type == "set")
        roster.rosterPush(payload, ref);
    else if ((ns == kNsDiscoInfo || ns == kNsPing) && type == "get")
        roster.query(ns, payload, ref);
    else
        sender.answer(ref, "service-unavailable");
}

int ServerConnection::onPresence(xmpp_conn_t*, xmpp_stanza_t* stanza, void* self)
{
    auto* link = static_cast<ServerConnection*>(self);
    link->activity = true;
    link->roster.presence(stanza);
    return 1;
}
