#include "messenger/p2p/ice_links.h"

IceLinks::IceLinks(GlibPoll& p, DirectLinkEvents& e, Log& l) : poll(p), events(e), log(l) {}

IceLinks::~IceLinks() = default;

void IceLinks::start(const std::string& key, bool controlling, const std::vector<IceServer>& servers)
{
    stop(key);
    links[key] = std::make_unique<IceLink>(poll.context(), key, controlling, servers, localAddresses, events, log);
}

void IceLinks::addRemote(const std::string& key, const IceParameters& remote)
{
    auto it = links.find(key);
    if (it != links.end())
        it->second->addRemote(remote);
}

void IceLinks::send(const std::string& key, const std::string& bytes)
{
    auto it = links.find(key);
    if (it != links.end())
        it->second->send(bytes);
}

void IceLinks::stop(const std::string& key)
{
    auto it = links.find(key);
    if (it == links.end())
        return;
    it->second->close();
    stopped.push_back(std::move(it->second));
    links.erase(it);
    sweep.schedule(poll.context(), [this] { stopped.clear(); });
}
