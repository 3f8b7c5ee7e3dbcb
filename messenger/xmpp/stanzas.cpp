#include "messenger/xmpp/stanzas.h"

std::string str(const char* s) { return s ? s : ""; }

xmpp_stanza_t* element(xmpp_ctx_t* ctx, const char* name, const char* ns)
{
    xmpp_stanza_t* e = xmpp_stanza_new(ctx);
    xmpp_stanza_set_name(e, name);
    if (ns)
        xmpp_stanza_set_ns(e, ns);
    return e;
}

void adopt(xmpp_stanza_t* parent, xmpp_stanza_t* child)
{
    xmpp_stanza_add_child(parent, child);
    xmpp_stanza_release(child);
}

std::string errorCondition(xmpp_stanza_t* stanza)
{
    xmpp_stanza_t* error = xmpp_stanza_get_child_by_name(stanza, "error");
    if (!error)
        return "error without a reason";
    std::string condition;
    std::string text;
    for (xmpp_stanza_t* c = xmpp_stanza_get_children(error); c; c = xmpp_stanza_get_next(c)) {
        if (!xmpp_stanza_get_name(c) || str(xmpp_stanza_get_ns(c)) != kNsStanzas)
            continue;
        if (str(xmpp_stanza_get_name(c)) == "text") {
            char* t = xmpp_stanza_get_text(c);
            text = str(t);
            xmpp_free(xmpp_stanza_get_context(c), t);
        } else if (condition.empty()) {
            condition = xmpp_stanza_get_name(c);
        }
    }
    if (condition.empty())
        condition = "undefined-condition";
    return text.empty() ? condition : condition + ": " + text;
}

std::string xmlEscaped(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string iqXml(const char* type, const std::string& id, const std::string& to, const std::string& payload)
{
    std::string xml;
    xml.reserve(payload.size() + to.size() + id.size() + 40);
    xml += "<iq type='";
    xml += type;
    xml += "' id='" + xmlEscaped(id) + "'";
    if (!to.empty())
        xml += " to='" + xmlEscaped(to) + "'";
    xml += ">";
    xml += payload;
    xml += "</iq>";
    return xml;
}

std::string ibbDataXml(const std::string& sid, uint16_t seq, const std::string& base64)
{
    std::string xml;
    xml.reserve(base64.size() + sid.size() + 80);
    xml += "<data xmlns='";
    xml += kNsIbb;
    xml += "' sid='" + xmlEscaped(sid) + "' seq='" + std::to_string(seq) + "'>";
    xml += base64;
    xml += "</data>";
    return xml;
}

void StanzaSender::reset(xmpp_conn_t* c)
{
    conn = c;
    isReady = false;
    pending.clear();
}

void StanzaSender::send(xmpp_stanza_t* stanza)
{
    xmpp_send(conn, stanza);
    xmpp_stanza_release(stanza);
}

std::string StanzaSender::track(const PendingIq& p)
{
    std::string id = "cv" + std::to_string(++nextId);
    pending[id] = p;
    return id;
}

void StanzaSender::sendIq(const char* type, const std::string& to, xmpp_stanza_t* payload, const PendingIq& p)
{
    std::string id = track(p);
    xmpp_stanza_t* iq = xmpp_iq_new(ctx, type, id.c_str());
    if (!to.empty())
        xmpp_stanza_set_to(iq, to.c_str());
    adopt(iq, payload);
    send(iq);
}

void StanzaSender::sendIqXml(const char* type, const std::string& to, const std::string& payload, const PendingIq& p)
{
    std::string xml = iqXml(type, track(p), to, payload);
    xmpp_send_raw(conn, xml.data(), xml.size());
}

void StanzaSender::answer(const IqRef& ref, const char* condition)
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
    send(iq);
}

void StanzaSender::answerError(const IqRef& ref, const char* errorType, const char* condition)
{
    xmpp_stanza_t* iq = xmpp_iq_new(ctx, "error", ref.id.c_str());
    if (!ref.from.empty())
        xmpp_stanza_set_to(iq, ref.from.c_str());
    xmpp_stanza_t* err = element(ctx, "error", nullptr);
    xmpp_stanza_set_type(err, errorType);
    adopt(err, element(ctx, condition, kNsStanzas));
    adopt(iq, err);
    send(iq);
}

std::optional<PendingIq> StanzaSender::take(const std::string& id, const std::string& from)
{
    auto it = pending.find(id);
    // The core's full JIDs are in normal form already (they came from here).
    if (it == pending.end() || (!it->second.full.empty() && from != it->second.full))
        return std::nullopt;
    PendingIq p = it->second;
    pending.erase(it);
    return p;
}

void StanzaSender::forget(const std::string& full, const std::string& sid)
{
    for (auto it = pending.begin(); it != pending.end();)
        it = it->second.full == full && it->second.sid == sid ? pending.erase(it) : std::next(it);
}
