#include "messenger/local/api_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace {

// A program that does not read its socket must not make the daemon grow
// without bound: past this much unsent output the connection is dropped.
constexpr size_t kMaxPendingOutput = 64u << 20;

// The process listening on `addr`, from a connection made to ask
// (SO_PEERCRED of a connected socket names the listener). Does not wait: a
// listener whose backlog is full is not asked.
bool holderOf(const sockaddr_un& addr, socklen_t len, ucred& holder)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ucred cred{};
    socklen_t credLen = sizeof cred;
    bool known = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0
                 && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &credLen) == 0;
    ::close(fd);
    if (known)
        holder = cred;
    return known;
}

}  // namespace

ListenOutcome listenOnName(const std::string& name, int& listenFd, std::string& error)
{
    sockaddr_un addr{};
    if (name.empty() || name.size() > sizeof(addr.sun_path) - 1) {
        error = "socket name must be 1 to 107 characters";
        return ListenOutcome::Failed;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return ListenOutcome::Failed;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 16) != 0) {
        int bindError = errno;
        ::close(fd);
        // An abstract name has no owner or mode to check: a process of any
        // user may have taken it, and programs would attach to that one.
        ucred holder{};
        if (bindError == EADDRINUSE && holderOf(addr, len, holder)) {
            if (holder.uid != ::getuid()) {
                error = "the socket @" + name + " is held by another user (uid " + std::to_string(holder.uid)
                        + "); refusing to start";
                return ListenOutcome::Failed;
            }
            // The pid is 0 for a holder outside this process's pid namespace.
            error = "one runs already for this user"
                    + (holder.pid > 0 ? " (pid " + std::to_string(holder.pid) + ")" : std::string()) + "; not started";
            return ListenOutcome::HeldByThisUser;
        }
        error = "cannot listen on @" + name + ": " + std::strerror(bindError);
        return ListenOutcome::Failed;
    }
    listenFd = fd;
    return ListenOutcome::Listening;
}

ApiServer::ApiServer(ApiEvents& e) : events(e) {}

ApiServer::~ApiServer()
{
    for (auto& [id, c] : clients)
        ::close(c.fd);
    if (listenFd >= 0)
        ::close(listenFd);
}

void ApiServer::addPollFds(std::vector<pollfd>& fds) const
{
    if (listenFd >= 0)
        fds.push_back({listenFd, POLLIN, 0});
    for (const auto& [id, c] : clients) {
        short want = POLLIN;
        if (!c.out.empty())
            want |= POLLOUT;
        fds.push_back({c.fd, want, 0});
    }
}

void ApiServer::handle(const std::vector<pollfd>& fds)
{
    std::map<int, short> ready;
    for (const pollfd& p : fds)
        if (p.revents)
            ready[p.fd] = p.revents;
    if (listenFd >= 0 && ready.count(listenFd))
        acceptOne();

    // Events may close connections, so walk over a copy of the ids.
    std::vector<int> ids;
    for (const auto& [id, c] : clients)
        ids.push_back(id);
    for (int id : ids) {
        auto it = clients.find(id);
        if (it == clients.end() || it->second.dead)
            continue;
        auto r = ready.find(it->second.fd);
        if (r == ready.end())
            continue;
        if (r->second & POLLOUT) {
            if (!flush(it->second)) {
                drop(id, "write failed");
                continue;
            }
        }
        if (r->second & (POLLIN | POLLHUP | POLLERR))
            readFrom(id, it->second);
    }
    reap();
}

void ApiServer::reap()
{
    std::vector<std::pair<int, std::string>> dead;
    for (const auto& [id, c] : clients)
        if (c.dead)
            dead.emplace_back(id, c.why);
    for (const auto& [id, why] : dead)
        drop(id, why);
}

void ApiServer::acceptOne()
{
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::getuid()) {
        std::string refusal = encodeAttach(kAttachRefused, 0);
        ssize_t ignored = ::write(fd, refusal.data(), refusal.size());
        (void)ignored;
        ::close(fd);
        notes.push_back("refused a connection from user id " + std::to_string(cred.uid) + " (pid "
                        + std::to_string(cred.pid) + ")");
        return;
    }
    Client c;
    c.fd = fd;
    int id = nextId++;
    clients.emplace(id, std::move(c));
    notes.push_back("program connected as client " + std::to_string(id) + " (pid " + std::to_string(cred.pid) + ")");
}

bool ApiServer::readFrom(int id, Client& c)
{
    char buf[65536];
    ssize_t n = ::read(c.fd, buf, sizeof buf);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        drop(id, "connection closed");
        return false;
    }
    if (n < 0)
        return true;
    c.decoder.feed(buf, static_cast<size_t>(n));
    for (;;) {
        Frame f;
        FrameDecoder::Result r = c.decoder.next(f);
        if (r == FrameDecoder::Result::NeedMore)
            return true;
        if (r == FrameDecoder::Result::Error) {
            drop(id, "protocol error: " + c.decoder.error());
            return false;
        }
        if (f.type == 'D')
            events.onDiscover(id, f.payload);
        else if (f.type == 'C')
            events.onCommand(id, f.text);
        else {
            drop(id, "protocol error: attach frame from a program");
            return false;
        }
        // The event may have closed this connection.
        if (!clients.count(id))
            return false;
    }
}

bool ApiServer::flush(Client& c)
{
    while (!c.out.empty()) {
        ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EINTR;
        c.out.erase(0, static_cast<size_t>(n));
    }
    return true;
}

bool ApiServer::send(int id, const std::string& frame)
{
    auto it = clients.find(id);
    if (it == clients.end())
        return false;
    Client& c = it->second;
    if (c.dead)
        return false;
    c.out += frame;
    // Not closed here: the caller may be in the middle of a walk over its
    // own clients. handle() reports the loss.
    if (c.out.size() > kMaxPendingOutput) {
        c.dead = true;
        c.why = "program does not read its socket";
    } else if (c.out.size() >= kFlushBytes && !flush(c)) {
        c.dead = true;
        c.why = "write failed";
    }
    return !c.dead;
}

void ApiServer::flushAll()
{
    for (auto& [id, c] : clients)
        if (!c.dead && !flush(c)) {
            c.dead = true;
            c.why = "write failed";
        }
}

void ApiServer::close(int id)
{
    auto it = clients.find(id);
    if (it == clients.end())
        return;
    flush(it->second);
    ::close(it->second.fd);
    clients.erase(it);
}

void ApiServer::drop(int id, const std::string& why)
{
    auto it = clients.find(id);
    if (it == clients.end())
        return;
    ::close(it->second.fd);
    clients.erase(it);
    notes.push_back("client " + std::to_string(id) + " closed: " + why);
    events.onClientClosed(id);
}

std::vector<std::string> ApiServer::takeNotes()
{
    std::vector<std::string> out;
    out.swap(notes);
    return out;
}
