// What the daemon's core asks of its XMPP side besides streams: its own
// presence and the subscriptions of contacts. The libstrophe implementation
// is RosterPresence; the tests use a recording fake. Calls only queue
// stanzas: they never call back into the core.
#pragma once

#include <set>
#include <string>

class XmppLink {
public:
    // Own presence, advertising these application names.
    virtual void advertise(const std::set<std::string>& apps) = 0;
    virtual void requestSubscription(const std::string& bare) = 0;
    virtual void approveSubscription(const std::string& bare) = 0;

protected:
    ~XmppLink() = default;
};
