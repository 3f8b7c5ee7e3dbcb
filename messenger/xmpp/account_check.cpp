#include "messenger/xmpp/account_check.h"

#include "messenger/xmpp/server_connection.h"
#include "messenger/xmpp/stanzas.h"

#include <strophe.h>

#include <netdb.h>
#include <sys/socket.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

constexpr const char* kNsTls = "urn:ietf:params:xml:ns:xmpp-tls";
constexpr const char* kNsRegister = "jabber:iq:register";
constexpr const char* kNsRegisterFeature = "http://jabber.org/features/iq-register";
constexpr const char* kAskId = "setup-register-1";
constexpr const char* kRegisterId = "setup-register-2";

bool isUnreachableError(int error)
{
    switch (error) {
        case ECONNREFUSED:
        case EHOSTUNREACH:
        case ENETUNREACH:
        case EHOSTDOWN:
        case ENETDOWN:
        case ETIMEDOUT:
        case EADDRNOTAVAIL:
            return true;
        default:
            return false;
    }
}

// Why the library could not start a connection to `host`: mostly a name
// that does not resolve, which the library does not say.
std::string whyNoConnection(const std::string& host)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (found)
        ::freeaddrinfo(found);
    if (rc != 0)
        return "the name " + host + " does not resolve (" + ::gai_strerror(rc) + ")";
    return "cannot start a connection to " + host;
}

// One connection from start to close, with what was learnt on the way.
// libstrophe's callbacks find it through their userdata, the certificate
// handler (which has none) through the context.
class Attempt {
public:
    Attempt(const XmppAccount& c, bool registering);
    ~Attempt();
    Attempt(const Attempt&) = delete;
    Attempt& operator=(const Attempt&) = delete;

    AccountResult run(std::chrono::seconds limit);

private:
    static void onLibraryLog(void* self, xmpp_log_level_t level, const char* area, const char* msg);
    static void onConnection(xmpp_conn_t* conn, xmpp_conn_event_t event, int error, xmpp_stream_error_t* streamError,
                             void* self);
    static int onCertificateFailure(const xmpp_tlscert_t* cert, const char* errormsg);
    static int onStanza(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* self);
    static std::map<xmpp_ctx_t*, Attempt*>& byContext();

    void finish(AccountOutcome outcome, const std::string& detail = std::string());
    void lost(int error, xmpp_stream_error_t* streamError);
    void features(xmpp_stanza_t* stanza);
    void proceed();
    void answer(xmpp_stanza_t* iq);
    void sendRegistration(const char* type, const char* id, bool withCredentials);

    const XmppAccount& config;
    const bool registering;
    xmpp_log_t logger{};
    xmpp_ctx_t* ctx = nullptr;
    xmpp_conn_t* conn = nullptr;
    bool finished = false;
    bool closed = false;
    bool secured = false;
    bool authFailed = false;
    int connectError = 0;
    std::string certificateText;
    std::string lastLibraryError;
    AccountResult result;
};

std::map<xmpp_ctx_t*, Attempt*>& Attempt::byContext()
{
    static std::map<xmpp_ctx_t*, Attempt*> attempts;
    return attempts;
}

Attempt::Attempt(const XmppAccount& c, bool reg) : config(c), registering(reg)
{
    logger.handler = onLibraryLog;
    logger.userdata = this;
    xmpp_initialize();
    ctx = xmpp_ctx_new(nullptr, &logger);
    byContext()[ctx] = this;
    conn = xmpp_conn_new(ctx);
}

Attempt::~Attempt()
{
    xmpp_conn_release(conn);
    byContext().erase(ctx);
    xmpp_ctx_free(ctx);
    xmpp_shutdown();
}

void Attempt::onLibraryLog(void* self, xmpp_log_level_t level, const char* area, const char* msg)
{
    auto* a = static_cast<Attempt*>(self);
    std::string text = str(msg);
    // The library tells a refused password only in its log; it then tries
    // the next mechanism and finally gives up without an error code.
    if (text.find("auth failed") != std::string::npos || text.find("authentication failed") != std::string::npos)
        a->authFailed = true;
    // Nor does the connection handler get the error of a failed connect.
    const std::string failed = "connection failed, error ";
    if (text.rfind(failed, 0) == 0)
        a->connectError = std::atoi(text.c_str() + failed.size());
    if (level >= XMPP_LEVEL_WARN)
        a->lastLibraryError = str(area) + ": " + text;
}

void Attempt::finish(AccountOutcome outcome, const std::string& detail)
{
    if (finished)
        return;
    finished = true;
    result = AccountResult{outcome, detail};
}

AccountResult Attempt::run(std::chrono::seconds limit)
{
    xmpp_conn_set_flags(conn, connectionFlags(config));
    xmpp_conn_set_certfail_handler(conn, onCertificateFailure);
    if (!config.tlsCaFile.empty())
        xmpp_conn_set_cafile(conn, config.tlsCaFile.c_str());
    std::string jid = config.jid + "/" + config.resource;
    xmpp_conn_set_jid(conn, jid.c_str());
    if (!registering)
        xmpp_conn_set_pass(conn, config.password.c_str());
    const char* host = config.server.empty() ? nullptr : config.server.c_str();
    auto port = static_cast<unsigned short>(config.port);
    int rc = registering ? xmpp_connect_raw(conn, host, port, onConnection, this)
                         : xmpp_connect_client(conn, host, port, onConnection, this);
    if (rc != XMPP_EOK)
        return AccountResult{AccountOutcome::Unreachable, whyNoConnection(serverHost(config))};

    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!finished && !closed && std::chrono::steady_clock::now() < deadline)
        xmpp_run_once(ctx, 100);
    if (!finished && !closed)
        finish(AccountOutcome::TimedOut, std::to_string(limit.count()) + " s");
    // A goodbye, and a short bounded wait for the server's; whatever is
    // left is closed with the connection object.
    if (!closed) {
        xmpp_disconnect(conn);
        const auto closeBy = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!closed && std::chrono::steady_clock::now() < closeBy)
            xmpp_run_once(ctx, 100);
    }
    return result;
}

void Attempt::onConnection(xmpp_conn_t* c, xmpp_conn_event_t event, int error, xmpp_stream_error_t* streamError,
                           void* self)
{
    auto* a = static_cast<Attempt*>(self);
    switch (event) {
        case XMPP_CONN_RAW_CONNECT:
            xmpp_handler_add(c, onStanza, nullptr, nullptr, nullptr, a);
            xmpp_conn_open_stream_default(c);
            break;
        case XMPP_CONN_CONNECT:
            // A registration's stream is open (again, after STARTTLS): its
            // features come next. A login is complete.
            if (!a->registering)
                a->finish(AccountOutcome::Done);
            break;
        case XMPP_CONN_DISCONNECT:
        case XMPP_CONN_FAIL:
            a->closed = true;
            a->lost(error, streamError);
            break;
    }
}

void Attempt::lost(int error, xmpp_stream_error_t* streamError)
{
    if (!certificateText.empty()) {
        finish(AccountOutcome::CertificateRefused, certificateText);
    } else if (authFailed) {
        finish(AccountOutcome::NotAuthorized);
    } else if (isUnreachableError(error ? error : connectError)) {
        finish(AccountOutcome::Unreachable, std::strerror(error ? error : connectError));
    } else if (streamError && streamError->stanza) {
        xmpp_stanza_t* condition = xmpp_stanza_get_children(streamError->stanza);
        while (condition && !xmpp_stanza_get_name(condition))
            condition = xmpp_stanza_get_next(condition);
        finish(AccountOutcome::Failed,
               "the server ended the stream: " + (condition ? str(xmpp_stanza_get_name(condition)) : "stream error"));
    } else if (!lastLibraryError.empty()) {
        finish(AccountOutcome::Failed, lastLibraryError);
    } else {
        finish(AccountOutcome::Failed,
               error ? "connection error " + std::to_string(error) : "the server closed the connection");
    }
}

int Attempt::onCertificateFailure(const xmpp_tlscert_t* cert, const char* errormsg)
{
    auto it = byContext().find(xmpp_tlscert_get_ctx(cert));
    if (it != byContext().end())
        it->second->certificateText = certificateRefusal(it->second->config, cert, errormsg);
    return 0;
}

int Attempt::onStanza(xmpp_conn_t*, xmpp_stanza_t* stanza, void* self)
{
    auto* a = static_cast<Attempt*>(self);
    if (a->finished)
        return 1;
    std::string name = str(xmpp_stanza_get_name(stanza));
    std::string ns = str(xmpp_stanza_get_ns(stanza));
    if (name == "features")
        a->features(stanza);
    else if (name == "proceed" && ns == kNsTls)
        a->proceed();
    else if (name == "failure" && ns == kNsTls)
        a->finish(AccountOutcome::Failed, "the server could not start TLS");
    else if (name == "iq")
        a->answer(stanza);
    return 1;
}

void Attempt::features(xmpp_stanza_t* stanza)
{
    const bool offersTls = xmpp_stanza_get_child_by_name_and_ns(stanza, "starttls", kNsTls) != nullptr;
    if (!secured && offersTls && config.tls != TlsPolicy::Disabled) {
        xmpp_send_raw_string(conn, "<starttls xmlns='%s'/>", kNsTls);
        return;
    }
    if (!secured && tlsRequired(config)) {
        finish(AccountOutcome::Failed,
               "the server offers no STARTTLS, which the connection to " + serverHost(config) + " requires");
        return;
    }
    if (!xmpp_stanza_get_child_by_name_and_ns(stanza, "register", kNsRegisterFeature)) {
        finish(AccountOutcome::NotOffered, "no registration among the server's stream features");
        return;
    }
    sendRegistration("get", kAskId, false);
}

void Attempt::proceed()
{
    if (xmpp_conn_tls_start(conn) != XMPP_EOK) {
        if (!certificateText.empty())
            finish(AccountOutcome::CertificateRefused, certificateText);
        else
            finish(AccountOutcome::Failed, "the TLS handshake with " + serverHost(config) + " failed");
        return;
    }
    secured = true;
    xmpp_conn_open_stream_default(conn);
}

void Attempt::answer(xmpp_stanza_t* iq)
{
    std::string id = str(xmpp_stanza_get_id(iq));
    std::string type = str(xmpp_stanza_get_type(iq));
    if (id != kAskId && id != kRegisterId)
        return;
    if (type == "error") {
        std::string condition = errorCondition(iq);
        if (condition.rfind("conflict", 0) == 0)
            finish(AccountOutcome::Taken, condition);
        else if (condition.rfind("service-unavailable", 0) == 0 || condition.rfind("not-allowed", 0) == 0
                 || condition.rfind("forbidden", 0) == 0 || condition.rfind("feature-not-implemented", 0) == 0)
            finish(AccountOutcome::NotOffered, condition);
        else
            finish(AccountOutcome::Failed, "the server refused the registration: " + condition);
    } else if (type == "result" && id == kAskId) {
        sendRegistration("set", kRegisterId, true);
    } else if (type == "result") {
        finish(AccountOutcome::Done);
    }
}

void Attempt::sendRegistration(const char* type, const char* id, bool withCredentials)
{
    xmpp_stanza_t* iq = xmpp_iq_new(ctx, type, id);
    xmpp_stanza_t* query = xmpp_stanza_new(ctx);
    xmpp_stanza_set_name(query, "query");
    xmpp_stanza_set_ns(query, kNsRegister);
    if (withCredentials) {
        const std::string node = config.jid.substr(0, config.jid.find('@'));
        const std::pair<const char*, const std::string*> fields[] = {{"username", &node},
                                                                     {"password", &config.password}};
        for (const auto& [field, value] : fields) {
            xmpp_stanza_t* e = xmpp_stanza_new(ctx);
            xmpp_stanza_set_name(e, field);
            xmpp_stanza_t* t = xmpp_stanza_new(ctx);
            xmpp_stanza_set_text(t, value->c_str());
            xmpp_stanza_add_child(e, t);
            xmpp_stanza_release(t);
            xmpp_stanza_add_child(query, e);
            xmpp_stanza_release(e);
        }
    }
    xmpp_stanza_add_child(iq, query);
    xmpp_stanza_release(query);
    xmpp_send(conn, iq);
    xmpp_stanza_release(iq);
}

}  // namespace

AccountResult StropheAccountServer::logIn(const XmppAccount& config)
{
    Attempt attempt(config, false);
    return attempt.run(limit);
}

AccountResult StropheAccountServer::createAccount(const XmppAccount& config)
{
    Attempt attempt(config, true);
    return attempt.run(limit);
}
