// What the XMPP side tells the daemon's core about the server connection,
// the roster and presence, and what it asks of it. Implemented by Messenger;
// every call on the daemon's thread.
#pragma once

#include <set>
#include <string>

class XmppEvents {
public:
    // The server connection; serverOnline after the roster has been loaded.
    virtual void serverOnline() = 0;
    virtual void serverOffline() = 0;
    virtual void rosterItem(const std::string& bare, const std::string& subscription) = 0;
    virtual void rosterRemoved(const std::string& bare) = 0;
    virtual void subscriptionRequest(const std::string& bare) = 0;
    // `direct`: the resource offers direct paths (disco#info feature
    // kNsDirectPath).
    virtual void presence(const std::string& full, bool available, const std::string& show,
                          const std::set<std::string>& apps, bool direct = false) = 0;
    // Whether `bare` may ask this account's resource what it is (disco#info)
    // and whether it is there (ping): the own account and contacts that
    // see its presence. Anyone else learns nothing from the daemon.
    virtual bool mayQuery(const std::string& bare) const = 0;

protected:
    ~XmppEvents() = default;
};
