// The daemon: the local socket, the connection to the server and the core
// wired together, and the one event loop that drives them (poll on the API
// sockets and the server socket, then libstrophe without blocking).
// Single-threaded: every object here is used on the thread that calls run()
// or addContact(). daemon/ is the top: it may use every other folder.
#pragma once

#include "messenger/core/messenger.h"
#include "messenger/local/api_server.h"
#include "messenger/p2p/glib_poll.h"
#include "messenger/p2p/ice_links.h"
#include "messenger/support/config.h"
#include "messenger/support/log.h"
#include "messenger/xmpp/link_watch.h"
#include "messenger/xmpp/server_connection.h"
#include "messenger/xmpp/throttle_watch.h"

#include <csignal>

class Daemon : public ApiEvents, public ClientSink, public DirectLinkEvents {
public:
    // `identity`: this installation's key pair; `trust`: the pins of
    // contacts' keys. Both must outlive the daemon.
    Daemon(const MessengerConfig& config, Log& log, const noise::KeyPair& identity, TrustStore& trust);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Serves the program's socket `listenFd` (listenOnName's, taken over)
    // until `stop` becomes nonzero; the process exit code.
    int run(int listenFd, const volatile std::sig_atomic_t& stop);
    // Sends a subscription request (and pre-approval) to `jid`, then ends.
    int addContact(const std::string& jid, const volatile std::sig_atomic_t& stop);

    void onDiscover(int client, const std::string& programName) override;
    void onCommand(int client, const std::string& text) override;
    void onClientClosed(int client) override;
    void sendAttach(int client, uint32_t code, uint32_t handle) override;
    void sendLine(int client, const std::string& line) override;

    // The direct links' events belong to the core's paths.
    void localIce(const std::string& key, const IceParameters& local, bool done) override;
    void linkUp(const std::string& key, const LinkRoute& route) override;
    void linkData(const std::string& key, const std::string& bytes) override;
    void linkDown(const std::string& key, const std::string& why) override;

private:
    // One round of the loop: waits at most `maxWaitMs`.
    void step(int maxWaitMs, bool withApi);
    void shutdown();
    // Feeds the server socket's counters to the throttle watch and the
    // link watch, and gives up a connection that is gone.
    void watchServer();

    const MessengerConfig& config;
    Log& log;
    ApiServer api;
    // The context libnice runs on, driven by this loop; before the links.
    GlibPoll glib;
    IceLinks links;
    ServerConnection link;
    Messenger core;
    ThrottleWatch throttle;
    LinkWatch liveness;
    bool watchingLink = false;  // liveness started on the current connection
    bool busy = false;
};
