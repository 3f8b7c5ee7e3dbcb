// The account's roster and presence over XMPP: roster results and pushes,
// presence stanzas of contacts (with the applications they advertise),
// subscriptions, the own presence with its entity capabilities, and the
// answers to disco#info and ping, which only the server, the own account and
// contacts get. What it reads becomes calls on XmppEvents. Owned by
// ServerConnection, which hands it these stanzas.
#pragma once

#include "messenger/core/xmpp_events.h"
#include "messenger/core/xmpp_link.h"
#include "messenger/xmpp/stanzas.h"

#include <set>
#include <string>

class RosterPresence : public XmppLink {
public:
    // `ownJid`: the account's bare JID.
    // `direct`: this daemon offers direct paths, and says so in its
    // presence and disco#info.
    RosterPresence(StanzaSender& out, std::string ownJid, bool direct = false)
        : sender(out), own(std::move(ownJid)), offersDirect(direct)
    {
    }

    void setEvents(XmppEvents* e) { events = e; }

    void advertise(const std::set<std::string>& apps) override;
    void requestSubscription(const std::string& bare) override;
    void approveSubscription(const std::string& bare) override;
    // Unavailable presence, before the stream is closed.
    void goOffline();

    // The <query/> of a roster result or push.
    void readRoster(xmpp_stanza_t* query);
    // A roster push (an iq set); only the own server may send one.
    void rosterPush(xmpp_stanza_t* query, const IqRef& ref);
    // A disco#info or ping request (`ns`).
    void query(const std::string& ns, xmpp_stanza_t* payload, const IqRef& ref);
    void presence(xmpp_stanza_t* stanza);

private:
    // Whether the sender of a disco#info or ping request gets an answer:
    // the server, the own account, contacts (XmppEvents::mayQuery).
    bool mayAsk(const std::string& from) const;
    void answerDisco(xmpp_stanza_t* payload, const IqRef& ref);
    void sendPresence(const std::string& to, const char* type);

    StanzaSender& sender;
    const std::string own;
    const bool offersDirect;
    XmppEvents* events = nullptr;
    std::set<std::string> apps;  // advertised
};
