// The direct links of messengerd with libnice: one IceLink per key, all on
// the context of one GlibPoll, which the daemon's loop drives (GlibPoll
// outlives this). A link that is stopped reports nothing more and is
// freed from the context, outside libnice's callbacks, since the core may
// stop it from within one of its own events.
#pragma once

#include "messenger/core/direct_path.h"
#include "messenger/p2p/glib_poll.h"
#include "messenger/p2p/ice_link.h"
#include "messenger/support/log.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

class IceLinks : public DirectLinks {
public:
    IceLinks(GlibPoll& poll, DirectLinkEvents& events, Log& log);
    ~IceLinks();
    IceLinks(const IceLinks&) = delete;
    IceLinks& operator=(const IceLinks&) = delete;

    // A key that is running is stopped and started anew.
    void start(const std::string& key, bool controlling, const std::vector<IceServer>& servers) override;
    void addRemote(const std::string& key, const IceParameters& remote) override;
    void send(const std::string& key, const std::string& bytes) override;
    void stop(const std::string& key) override;

    // Host candidates of the links started from now on only on these
    // addresses (IP literals) instead of every interface's; libnice leaves
    // loopback interfaces out of the latter.
    void setLocalAddresses(std::vector<std::string> ips) { localAddresses = std::move(ips); }
    // No link runs or waits to be freed: the context has nothing to do.
    bool idle() const { return links.empty() && stopped.empty() && !sweep.pending(); }

private:
    GlibPoll& poll;
    DirectLinkEvents& events;
    Log& log;
    std::vector<std::string> localAddresses;
    std::map<std::string, std::unique_ptr<IceLink>> links;
    std::vector<std::unique_ptr<IceLink>> stopped;  // to be freed from the context
    IdleCall sweep;                                 // frees the stopped links
};
