#include "messenger/daemon/daemon.h"

#include "messenger/xmpp/tcp_counters.h"

#include <poll.h>
#include <chrono>
#include <cstdio>

using Clock = std::chrono::steady_clock;

namespace {

// The STUN and TURN servers of the configuration.
std::vector<IceServer> iceServers(const MessengerConfig& c)
{
    std::vector<IceServer> out;
    for (const IceServerSetting& s : c.iceServers)
        out.push_back(IceServer{s.turn ? IceServer::Kind::Turn : IceServer::Kind::Stun, s.host,
                                static_cast<uint16_t>(s.port), s.username, s.password});
    return out;
}

}  // namespace

Daemon::Daemon(const MessengerConfig& c, Log& l, const noise::KeyPair& identity, TrustStore& trust)
    : config(c),
      log(l),
      api(*this),
      links(glib, *this, l),
      link(c, l, c.directPaths),
      core(*this, link.rosterAndPresence(), link.inBandStreams(), l, c.jid, c.contacts,
           StreamSettings{c.maxUnread, std::chrono::seconds(c.answerTimeout), c.window, c.compact}, identity, trust,
           DirectPathSides{&link.jingleSignals(), &links,
                           PathSettings{c.directPaths, iceServers(c), !c.serverIceServices}})
{
    link.setEvents(&core, &core, core.directPaths());
}

Daemon::~Daemon() { link.setEvents(nullptr, nullptr); }

void Daemon::localIce(const std::string& key, const IceParameters& local, bool done)
{
    core.directPaths()->localIce(key, local, done);
}

void Daemon::linkUp(const std::string& key, const LinkRoute& route) { core.directPaths()->linkUp(key, route); }

void Daemon::linkData(const std::string& key, const std::string& bytes) { core.directPaths()->linkData(key, bytes); }

void Daemon::linkDown(const std::string& key, const std::string& why) { core.directPaths()->linkDown(key, why); }

void Daemon::onDiscover(int client, const std::string& programName)
{
    log.write("client " + std::to_string(client) + " discovers (" + programName + ")");
    core.clientDiscover(client);
}

void Daemon::onCommand(int client, const std::string& text) { core.clientCommand(client, text); }

void Daemon::onClientClosed(int client) { core.clientClosed(client); }

void Daemon::sendAttach(int client, uint32_t code, uint32_t handle) { api.send(client, encodeAttach(code, handle)); }

void Daemon::sendLine(int client, const std::string& line) { api.send(client, encodeCommand(line)); }

void Daemon::step(int maxWaitMs, bool withApi)
{
    std::vector<pollfd> fds;
    if (withApi)
        api.addPollFds(fds);
    // Stanzas waiting to be sent are written when the socket takes them: a
    // server that reads slowly parks the loop on POLLOUT instead of making
    // it spin.
    if (link.fd() >= 0)
        fds.push_back({link.fd(), static_cast<short>(POLLIN | (link.wantsWrite() ? POLLOUT : 0)), 0});
    // Right after handled stanzas more may sit in buffers poll cannot see.
    int wait = busy ? 0 : maxWaitMs;
    if (link.disconnected()) {
        auto untilRetry = std::chrono::duration_cast<std::chrono::milliseconds>(link.retryAt() - Clock::now());
        wait = std::max(0, std::min(wait, static_cast<int>(untilRetry.count())));
    }
    // libnice's sockets and timers: its context runs in this loop while
    // there is a link.
    if (!links.idle())
        glib.prepare(fds, wait);
    ::poll(fds.data(), fds.size(), wait);
    // What follows happened now, not at the last turn: the streams time
    // their round trips by it.
    core.tick(Clock::now());
    glib.dispatch(fds);
    if (withApi) {
        api.handle(fds);
        for (const std::string& note : api.takeNotes())
            log.write(note);
    }
    busy = link.runOnce();
    api.flushAll();
    watchServer();
    link.refreshServices(Clock::now());
    if (link.disconnected() && Clock::now() >= link.retryAt())
        link.connect();
}

namespace {

// A login that has not completed within this time will not: the attempt is
// given up and the next one follows.
constexpr std::chrono::seconds kLoginLimit{20};

std::string secondsText(std::chrono::seconds s) { return std::to_string(s.count()) + " s"; }

}  // namespace

void Daemon::watchServer()
{
    Clock::time_point now = Clock::now();
    if (link.loggingIn() && now - link.attemptStarted() >= kLoginLimit)
        link.drop("no login within " + secondsText(kLoginLimit));
    TcpCounters counters;
    if (!link.online() || !readTcpCounters(link.fd(), counters)) {
        throttle.reset();
        watchingLink = false;
        return;
    }
    std::string note = throttle.sample(now, counters.acked, counters.unsent);
    if (!note.empty())
        log.write(note);

    // Stanzas libstrophe still holds wait to be sent as well.
    LinkWatch::Counters c{counters.received, counters.acked, counters.unsent + (link.wantsWrite() ? 1 : 0)};
    if (!watchingLink) {
        liveness.start(now, c);
        watchingLink = true;
        return;
    }
    switch (liveness.sample(now, c)) {
        case LinkWatch::Action::None:
            break;
        case LinkWatch::Action::Ping:
            link.ping();
            break;
        case LinkWatch::Action::Dead:
            link.drop("no answer to ping within " + secondsText(LinkWatch::kAnswer));
            break;
    }
}

void Daemon::shutdown()
{
    link.disconnect();
    auto deadline = Clock::now() + std::chrono::seconds(2);
    while (!link.disconnected() && Clock::now() < deadline)
        step(20, false);
}

int Daemon::run(int listenFd, const volatile std::sig_atomic_t& stop)
{
    api.adopt(listenFd);
    log.write("listening on @" + config.apiSocket);
    link.connect();
    while (!stop)
        step(100, true);
    log.write("stopping");
    shutdown();
    return 0;
}

int Daemon::addContact(const std::string& jid, const volatile std::sig_atomic_t& stop)
{
    link.connect();
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!link.online() && !stop && Clock::now() < deadline)
        step(50, false);
    if (!link.online()) {
        log.write("add-contact: could not reach the server");
        shutdown();
        return 1;
    }
    // Pre-approval first, so the contact's own request is granted at once.
    link.rosterAndPresence().approveSubscription(jid);
    link.rosterAndPresence().requestSubscription(jid);
    link.ping();
    deadline = Clock::now() + std::chrono::seconds(10);
    while (!link.pongReceived() && !stop && Clock::now() < deadline)
        step(50, false);
    log.write("add-contact: subscription request sent to " + jid);
    shutdown();
    return link.pongReceived() ? 0 : 1;
}
