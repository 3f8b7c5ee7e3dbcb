#include "tests/support/delay_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <list>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadSize = 65536;

struct Chunk {
    Clock::time_point due;
    std::string bytes;  // empty: the sender's half-close
};

// One direction of a relayed connection.
struct Direction {
    int from = -1;
    int to = -1;
    std::deque<Chunk> queue;
    size_t held = 0;
    size_t written = 0;  // of the front chunk
    bool readDone = false;
    bool writeDone = false;

    bool wantsRead() const { return !readDone && held < DelayProxy::kMaxHeld; }
    bool due(Clock::time_point now) const { return !writeDone && !queue.empty() && queue.front().due <= now; }
};

struct Pair {
    int client = -1;
    int server = -1;
    Direction up;    // client to server
    Direction down;  // server to client
    bool broken = false;
};

// Non-blocking, and no coalescing of the relay's own.
void prepare(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// An abortive close: the far end sees a reset, as after a broken link.
void resetClose(int fd)
{
    if (fd < 0)
        return;
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

sockaddr_in address(const std::string& host, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    return a;
}

// Reads what `d.from` has into `got` too; false when the connection broke.
bool readSide(Direction& d, Clock::time_point now, std::chrono::milliseconds delay, const DelayProxy::Filter& filter,
              bool towardsTarget, std::string& got)
{
    char buf[kReadSize];
    // Acknowledge at once, as messengerd does: a server that leaves Nagle on
    // must not wait here for a delayed acknowledgement that the client
    // behind this relay would not make it wait for.
    int one = 1;
    ::setsockopt(d.from, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
    ssize_t n = ::recv(d.from, buf, sizeof buf, 0);
    if (n > 0) {
        got.assign(buf, static_cast<size_t>(n));
        std::string relayed = got;
        if (filter)
            filter(towardsTarget, relayed);
        if (!relayed.empty()) {
            d.held += relayed.size();
            d.queue.push_back({now + delay, std::move(relayed)});
        }
        return true;
    }
    if (n == 0) {
        d.queue.push_back({now + delay, std::string()});
        d.readDone = true;
        return true;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

// Writes every chunk that is due; false when the connection broke.
bool writeSide(Direction& d, Clock::time_point now)
{
    while (d.due(now)) {
        Chunk& c = d.queue.front();
        if (c.bytes.empty()) {
            ::shutdown(d.to, SHUT_WR);
            d.writeDone = true;
            d.queue.pop_front();
            return true;
        }
        ssize_t n = ::send(d.to, c.bytes.data() + d.written, c.bytes.size() - d.written, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        d.written += static_cast<size_t>(n);
        if (d.written < c.bytes.size())
            return true;
        d.held -= c.bytes.size();
        d.written = 0;
        d.queue.pop_front();
    }
    return true;
}

}  // namespace

DelayProxy::DelayProxy(std::string lh, int lp, std::string th, int tp, std::chrono::milliseconds d)
    : listenHost(std::move(lh)), listenPort(lp), targetHost(std::move(th)), targetPort(tp), delay(d)
{
}

DelayProxy::~DelayProxy() { stop(); }

void DelayProxy::inject(bool towardsTarget, std::string bytes)
{
    {
        std::lock_guard<std::mutex> lock(injectMutex);
        injected.emplace_back(towardsTarget, std::move(bytes));
    }
    char c = 0;
    [[maybe_unused]] ssize_t n = ::write(wakeFds[1], &c, 1);
}

std::string DelayProxy::recorded(bool towardsTarget) const
{
    std::lock_guard<std::mutex> lock(recordMutex);
    return record[towardsTarget ? 0 : 1];
}

bool DelayProxy::start()
{
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = address(listenHost, listenPort);
    socklen_t len = sizeof a;
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(listenFd, 64) != 0
        || ::pipe2(wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        why = "cannot listen on " + listenHost + ":" + std::to_string(listenPort) + ": " + std::strerror(errno);
        stop();
        return false;
    }
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
    boundPort = ntohs(a.sin_port);
    worker = std::thread(&DelayProxy::run, this);
    return true;
}

void DelayProxy::stop()
{
    if (worker.joinable()) {
        stopRequested = true;
        char c = 0;
        [[maybe_unused]] ssize_t n = ::write(wakeFds[1], &c, 1);
        worker.join();
    }
    for (int* fd : {&listenFd, &wakeFds[0], &wakeFds[1]}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void DelayProxy::run()
{
    std::list<Pair> pairs;
    std::vector<pollfd> fds;
    while (!stopRequested) {
        Clock::time_point now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(injectMutex);
            for (auto& [towardsTarget, bytes] : injected)
                for (Pair& p : pairs) {
                    Direction& d = towardsTarget ? p.up : p.down;
                    if (d.readDone)
                        continue;
                    d.queue.push_back({now, bytes});
                    d.held += bytes.size();
                }
            injected.clear();
        }
        // Close what is finished or broken.
        for (auto it = pairs.begin(); it != pairs.end();) {
            bool done = it->up.writeDone && it->down.writeDone;
            if (it->broken || done) {
                if (it->broken) {
                    resetClose(it->client);
                    resetClose(it->server);
                } else {
                    ::close(it->client);
                    ::close(it->server);
                }
                it = pairs.erase(it);
            } else {
                ++it;
            }
        }

        int timeoutMs = 100;
        fds.clear();
        fds.push_back({listenFd, POLLIN, 0});
        fds.push_back({wakeFds[0], POLLIN, 0});
        for (Pair& p : pairs) {
            short c = 0, s = 0;
            if (p.up.wantsRead())
                c |= POLLIN;
            if (p.down.wantsRead())
                s |= POLLIN;
            for (Direction* d : {&p.up, &p.down}) {
                if (d->writeDone || d->queue.empty())
                    continue;
                if (d->due(now))
                    (d == &p.up ? s : c) |= POLLOUT;
                else
                    timeoutMs = std::min<int>(
                        timeoutMs,
                        static_cast<int>(
                            std::chrono::ceil<std::chrono::milliseconds>(d->queue.front().due - now).count()));
            }
            fds.push_back({p.client, c, 0});
            fds.push_back({p.server, s, 0});
        }
        ::poll(fds.data(), fds.size(), std::max(timeoutMs, 0));
        now = Clock::now();
        if (fds[1].revents) {
            char buf[16];
            while (::read(wakeFds[0], buf, sizeof buf) > 0) {
            }
        }
        size_t i = 2;
        for (Pair& p : pairs) {
            const pollfd& c = fds[i++];
            const pollfd& s = fds[i++];
            bool ok = true;
            for (int k = 0; k < 2 && ok; ++k) {
                Direction& d = k == 0 ? p.up : p.down;
                std::string got;
                if ((k == 0 ? c : s).revents & (POLLIN | POLLHUP | POLLERR) && d.wantsRead())
                    ok = readSide(d, now, delay, filter, k == 0, got);
                (k == 0 ? toTarget : fromTarget) += got.size();
                if (recording && !got.empty()) {
                    std::lock_guard<std::mutex> lock(recordMutex);
                    record[k] += got;
                }
            }
            if (ok)
                ok = writeSide(p.up, now) && writeSide(p.down, now);
            if (!ok)
                p.broken = true;
        }
        if (fds[0].revents & POLLIN) {
            for (;;) {
                int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0)
                    break;
                int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in t = address(targetHost, targetPort);
                if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&t), sizeof t) != 0) {
                    resetClose(client);
                    if (server >= 0)
                        ::close(server);
                    continue;
                }
                prepare(client);
                prepare(server);
                Pair& p = pairs.emplace_back();
                p.client = client;
                p.server = server;
                p.up.from = client;
                p.up.to = server;
                p.down.from = server;
                p.down.to = client;
                ++accepted;
            }
        }
    }
    for (Pair& p : pairs) {
        resetClose(p.client);
        resetClose(p.server);
    }
}
