#include "messenger/xmpp/roster_presence.h"

#include "messenger/support/jid.h"
#include "messenger/xmpp/caps.h"

void RosterPresence::sendPresence(const std::string& to, const char* type)
{
    xmpp_stanza_t* p = xmpp_presence_new(sender.context());
    if (!to.empty())
        xmpp_stanza_set_to(p, to.c_str());
    if (type)
        xmpp_stanza_set_type(p, type);
    sender.send(p);
}

void RosterPresence::advertise(const std::set<std::string>& names)
{
    apps = names;
    if (!sender.canSend())
        return;
    xmpp_ctx_t* ctx = sender.context();
    std::string capsHash = capsVer(ctx, "client", "pc", kIdentityName, discoFeatures(apps, offersDirect));
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
    if (offersDirect)
        adopt(p, element(ctx, "direct-path", kNsDirectPath));
    sender.send(p);
}

void RosterPresence::requestSubscription(const std::string& bare)
{
    if (sender.canSend())
        sendPresence(bare, "subscribe");
}

void RosterPresence::approveSubscription(const std::string& bare)
{
    if (sender.canSend())
        sendPresence(bare, "subscribed");
}

void RosterPresence::goOffline()
{
    if (sender.canSend())
        sendPresence(std::string(), "unavailable");
}

void RosterPresence::readRoster(xmpp_stanza_t* query)
{
    if (!query || !events)
        return;
    for (xmpp_stanza_t* item = xmpp_stanza_get_children(query); item; item = xmpp_stanza_get_next(item)) {
        if (str(xmpp_stanza_get_name(item)) != "item")
            continue;
        std::string jid = normalizeJid(str(xmpp_stanza_get_attribute(item, "jid")));
        std::string sub = str(xmpp_stanza_get_attribute(item, "subscription"));
        if (jid.empty())
            continue;
        if (sub == "remove")
            events->rosterRemoved(jid);
        else
            events->rosterItem(jid, sub.empty() ? "none" : sub);
    }
}

void RosterPresence::rosterPush(xmpp_stanza_t* query, const IqRef& ref)
{
    if (ref.from.empty() || bareOf(ref.from) == own) {
        readRoster(query);
        sender.answer(ref, nullptr);
    } else {
        sender.answer(ref, "service-unavailable");
    }
}

void RosterPresence::query(const std::string& ns, xmpp_stanza_t* payload, const IqRef& ref)
{
    if (!mayAsk(ref.from))
        // What the server says for a resource that is not there: a stranger
        // learns neither that the daemon runs nor what it offers.
        sender.answer(ref, "service-unavailable");
    else if (ns == kNsDiscoInfo)
        answerDisco(payload, ref);
    else
        sender.answer(ref, nullptr);
}

bool RosterPresence::mayAsk(const std::string& from) const
{
    // No sender, or the account's own domain: the server itself.
    if (from.empty())
        return true;
    size_t at = own.find('@');
    if (at != std::string::npos && from == own.substr(at + 1))
        return true;
    return events && events->mayQuery(bareOf(from));
}

void RosterPresence::answerDisco(xmpp_stanza_t* payload, const IqRef& ref)
{
    xmpp_ctx_t* ctx = sender.context();
    xmpp_stanza_t* iq = xmpp_iq_new(ctx, "result", ref.id.c_str());
    if (!ref.from.empty())
        xmpp_stanza_set_to(iq, ref.from.c_str());
    xmpp_stanza_t* q = element(ctx, "query", kNsDiscoInfo);
    if (const char* node = xmpp_stanza_get_attribute(payload, "node"))
        xmpp_stanza_set_attribute(q, "node", node);
    xmpp_stanza_t* identity = element(ctx, "identity", nullptr);
    xmpp_stanza_set_attribute(identity, "category", "client");
    xmpp_stanza_set_attribute(identity, "type", "pc");
    xmpp_stanza_set_attribute(identity, "name", kIdentityName);
    adopt(q, identity);
    for (const std::string& f : discoFeatures(apps, offersDirect)) {
        xmpp_stanza_t* feature = element(ctx, "feature", nullptr);
        xmpp_stanza_set_attribute(feature, "var", f.c_str());
        adopt(q, feature);
    }
    adopt(iq, q);
    sender.send(iq);
}

void RosterPresence::presence(xmpp_stanza_t* stanza)
{
    if (!events)
        return;
    std::string from = normalizeJid(str(xmpp_stanza_get_from(stanza)));
    std::string type = str(xmpp_stanza_get_type(stanza));
    if (from.empty())
        return;
    if (type == "subscribe") {
        events->subscriptionRequest(bareOf(from));
    } else if (type == "unavailable") {
        events->presence(from, false, std::string(), {});
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
        const bool direct = xmpp_stanza_get_child_by_name_and_ns(stanza, "direct-path", kNsDirectPath) != nullptr;
        events->presence(from, true, show, names, direct);
    }
}
