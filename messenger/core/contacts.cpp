#include "messenger/core/contacts.h"

#include <algorithm>

bool Contacts::setItem(const std::string& bare, const std::string& sub)
{
    Item& item = items[bare];
    bool was = item.subscription == "both";
    item.subscription = sub;
    return !was && sub == "both";
}

void Contacts::removeItem(const std::string& bare) { items.erase(bare); }

// Lower is better when several resources are online.
int Contacts::rank(const std::string& show)
{
    if (show.empty() || show == "chat")
        return 0;
    if (show == "dnd")
        return 1;
    if (show == "away")
        return 2;
    return 3;  // xa and anything unknown
}

bool Contacts::setPresence(const std::string& bare, const std::string& resource, bool available,
                           const std::string& show, const std::set<std::string>& apps, bool direct)
{
    auto it = items.find(bare);
    if (it == items.end())
        return false;
    std::string before = onlineStatus(bare);
    if (available)
        it->second.resources[resource] = Resource{show, apps, direct};
    else
        it->second.resources.erase(resource);
    return onlineStatus(bare) != before;
}

void Contacts::clearPresence()
{
    for (auto& [bare, item] : items)
        item.resources.clear();
}

bool Contacts::isMutual(const std::string& bare) const
{
    auto it = items.find(bare);
    return it != items.end() && it->second.subscription == "both";
}

std::string Contacts::subscription(const std::string& bare) const
{
    auto it = items.find(bare);
    return it == items.end() ? std::string() : it->second.subscription;
}

std::vector<std::string> Contacts::mutual() const
{
    std::vector<std::string> out;
    for (const auto& [bare, item] : items)
        if (item.subscription == "both")
            out.push_back(bare);
    return out;
}

std::string Contacts::onlineStatus(const std::string& bare) const
{
    auto it = items.find(bare);
    if (it == items.end())
        return "UNKNOWN";
    if (it->second.resources.empty())
        return "OFFLINE";
    int best = 99;
    for (const auto& [name, r] : it->second.resources)
        best = std::min(best, rank(r.show));
    static const char* const names[] = {"ONLINE", "DND", "AWAY", "NA"};
    return names[best];
}

std::vector<std::string> Contacts::connectable(const std::string& app) const
{
    std::vector<std::string> out;
    for (const auto& [bare, item] : items)
        if (item.subscription == "both" && !resourceFor(bare, app).empty())
            out.push_back(bare);
    return out;
}

std::string Contacts::resourceFor(const std::string& bare, const std::string& app) const
{
    auto it = items.find(bare);
    if (it == items.end())
        return std::string();
    for (const auto& [name, r] : it->second.resources)
        if (r.apps.count(app))
            return bare + "/" + name;
    return std::string();
}

bool Contacts::hasResource(const std::string& bare, const std::string& resource) const
{
    auto it = items.find(bare);
    return it != items.end() && it->second.resources.count(resource) != 0;
}

bool Contacts::offersDirect(const std::string& bare, const std::string& resource) const
{
    auto it = items.find(bare);
    if (it == items.end())
        return false;
    auto r = it->second.resources.find(resource);
    return r != it->second.resources.end() && r->second.direct;
}
