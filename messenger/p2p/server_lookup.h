// The addresses of the STUN and TURN servers a link gathers with, found
// without blocking the daemon: a host that is not an IP literal is looked
// up with GResolver on the link's context (the lookup itself runs on
// GLib's worker threads, its answer comes back through the context).
#pragma once

#include "messenger/core/direct_path.h"
#include "messenger/p2p/glib_poll.h"
#include "messenger/support/log.h"

#include <functional>
#include <string>
#include <vector>

#include <gio/gio.h>

class ServerLookup {
public:
    struct Resolved {
        IceServer server;
        std::string ip;  // the address of its host
    };
    // The servers in the order given; those whose name was not found are
    // left out (and logged).
    using Done = std::function<void(std::vector<Resolved> servers)>;

    // Starts the lookups; `done` comes from the context, never from here,
    // and never after the destructor.
    ServerLookup(GMainContext* ctx, std::vector<IceServer> servers, Log& log, Done done);
    ~ServerLookup();
    ServerLookup(const ServerLookup&) = delete;
    ServerLookup& operator=(const ServerLookup&) = delete;

    struct Pending;

private:
    void resolved(size_t index, const std::string& ip, const std::string& error);
    void finish();

    std::vector<IceServer> servers;
    std::vector<std::string> ips;  // empty while not found
    Log& log;
    Done done;
    size_t waiting = 0;
    GCancellable* cancellable;
    std::vector<Pending*> pending;
    IdleCall idle;  // finishes a lookup that had no name to look up
};
