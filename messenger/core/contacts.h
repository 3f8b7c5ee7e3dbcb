// The account's roster and the presence of its contacts' resources, with the
// applications each resource advertises. Pure bookkeeping, fed by the XMPP
// side; owned by Messenger, used on the daemon's thread only.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

class Contacts {
public:
    // A roster item as the server reports it. Returns true when the contact
    // has just become mutually subscribed ("both").
    bool setItem(const std::string& bare, const std::string& subscription);
    void removeItem(const std::string& bare);
    void clear() { items.clear(); }

    // Presence of one resource: `available` false removes it. `show` is the
    // XMPP show value ("", "chat", "away", "xa", "dnd"). Returns true when the
    // contact's ONLINESTATUS value changed.
    // `direct`: the resource offers direct paths.
    bool setPresence(const std::string& bare, const std::string& resource, bool available, const std::string& show,
                     const std::set<std::string>& apps, bool direct = false);
    // Forgets all presence (the server connection is gone).
    void clearPresence();

    bool known(const std::string& bare) const { return items.count(bare) != 0; }
    bool isMutual(const std::string& bare) const;
    std::string subscription(const std::string& bare) const;
    // Mutually subscribed contacts, sorted.
    std::vector<std::string> mutual() const;
    // ONLINE, AWAY, NA, DND or OFFLINE for a contact; UNKNOWN for others.
    std::string onlineStatus(const std::string& bare) const;
    // Mutual contacts with an available resource advertising `app`.
    std::vector<std::string> connectable(const std::string& app) const;
    // The full JID of a resource of `bare` advertising `app`, or "".
    std::string resourceFor(const std::string& bare, const std::string& app) const;
    bool hasResource(const std::string& bare, const std::string& resource) const;
    // Whether that resource is there and offers direct paths.
    bool offersDirect(const std::string& bare, const std::string& resource) const;

private:
    struct Resource {
        std::string show;
        std::set<std::string> apps;
        bool direct = false;
    };
    struct Item {
        std::string subscription;
        std::map<std::string, Resource> resources;
    };
    static int rank(const std::string& show);
    std::map<std::string, Item> items;
};
