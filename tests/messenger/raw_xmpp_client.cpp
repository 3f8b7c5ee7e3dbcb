#include "tests/messenger/raw_xmpp_client.h"

using Clock = std::chrono::steady_clock;

RawXmppClient::RawXmppClient() : ctx(xmpp_ctx_new(nullptr, nullptr)), conn(xmpp_conn_new(ctx)) {}

RawXmppClient::~RawXmppClient()
{
    if (online) {
        xmpp_disconnect(conn);
        for (int i = 0; i < 50 && !xmpp_conn_is_disconnected(conn); ++i)
            xmpp_run_once(ctx, 20);
    }
    xmpp_conn_release(conn);
    xmpp_ctx_free(ctx);
}

void RawXmppClient::onConnection(xmpp_conn_t* c, xmpp_conn_event_t event, int, xmpp_stream_error_t*, void* self)
{
    auto* client = static_cast<RawXmppClient*>(self);
    client->online = event == XMPP_CONN_CONNECT;
    if (client->online)
        xmpp_handler_add(c, onIq, nullptr, "iq", nullptr, client);
}

int RawXmppClient::onIq(xmpp_conn_t*, xmpp_stanza_t* stanza, void* self)
{
    auto* client = static_cast<RawXmppClient*>(self);
    const char* type = xmpp_stanza_get_type(stanza);
    const char* id = xmpp_stanza_get_id(stanza);
    if (!type || !id)
        return 1;
    std::string answer = type;
    if (answer == "error") {
        // The defined condition: the first element child of <error/>.
        xmpp_stanza_t* err = xmpp_stanza_get_child_by_name(stanza, "error");
        for (xmpp_stanza_t* c = err ? xmpp_stanza_get_children(err) : nullptr; c; c = xmpp_stanza_get_next(c))
            if (const char* name = xmpp_stanza_get_name(c)) {
                answer += std::string(" ") + name;
                break;
            }
    }
    if (answer == "result" || answer.rfind("error", 0) == 0)
        client->answers[id] = answer;
    return 1;
}

bool RawXmppClient::login(const std::string& jid, const std::string& password, int port,
                          std::chrono::milliseconds timeout)
{
    xmpp_conn_set_flags(conn, XMPP_CONN_FLAG_DISABLE_SM | XMPP_CONN_FLAG_DISABLE_TLS);
    xmpp_conn_set_jid(conn, jid.c_str());
    xmpp_conn_set_pass(conn, password.c_str());
    if (xmpp_connect_client(conn, "127.0.0.1", static_cast<unsigned short>(port), onConnection, this) != XMPP_EOK)
        return false;
    auto deadline = Clock::now() + timeout;
    while (!online && Clock::now() < deadline)
        xmpp_run_once(ctx, 20);
    return online;
}

void RawXmppClient::send(const std::string& xml)
{
    xmpp_send_raw(conn, xml.data(), xml.size());
    for (int i = 0; i < 5; ++i)
        xmpp_run_once(ctx, 1);
}

std::string RawXmppClient::request(const std::string& id, const std::string& xml, std::chrono::milliseconds timeout)
{
    send(xml);
    auto deadline = Clock::now() + timeout;
    while (!answers.count(id) && online && Clock::now() < deadline)
        xmpp_run_once(ctx, 20);
    auto it = answers.find(id);
    return it == answers.end() ? std::string() : it->second;
}
