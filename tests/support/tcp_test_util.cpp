#include "tests/support/tcp_test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "wire/a2a_packet.h"

namespace tcptest {

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace

int freePort()
{
    int port = 0;
    int s = listenLoopback(&port);
    close(s);
    return port;
}

int listenLoopback(int* port, int rcvbuf)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    sockaddr_in a = loopback(0);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(s, 4) != 0) {
        close(s);
        return -1;
    }
    socklen_t len = sizeof(a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return s;
}

int connectLoopback(int port, int rcvbuf)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    sockaddr_in a = loopback(port);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
        close(s);
        return -1;
    }
    return s;
}

namespace {

bool toAddress(const char* text, int port, sockaddr_in* a)
{
    *a = sockaddr_in{};
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    return inet_pton(AF_INET, text, &a->sin_addr) == 1;
}

std::string dotted(uint32_t address)
{
    in_addr a{};
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

}  // namespace

int listenOn(const char* address, int* port)
{
    sockaddr_in a{};
    if (!toAddress(address, 0, &a))
        return -1;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(s, 4) != 0) {
        close(s);
        return -1;
    }
    socklen_t len = sizeof(a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return s;
}

int connectTo(const char* address, int port, const char* from)
{
    sockaddr_in to{};
    if (!toAddress(address, port, &to))
        return -1;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    if (from) {
        sockaddr_in source{};
        if (!toAddress(from, 0, &source) || bind(s, reinterpret_cast<sockaddr*>(&source), sizeof(source)) != 0) {
            close(s);
            return -1;
        }
    }
    if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
        pollfd p{s, POLLOUT, 0};
        int error = 0;
        socklen_t len = sizeof(error);
        if (errno != EINPROGRESS || poll(&p, 1, static_cast<int>(kWait.count())) != 1
            || getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
            close(s);
            return -1;
        }
    }
    int flags = fcntl(s, F_GETFL, 0);
    fcntl(s, F_SETFL, flags & ~O_NONBLOCK);
    return s;
}

std::string nonLoopbackAddress()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return {};
    std::string found;
    for (ifaddrs* i = list; i && found.empty(); i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        uint32_t a = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
        if ((ntohl(a) >> 24) == 127)
            continue;
        found = dotted(a);
    }
    freeifaddrs(list);
    return found;
}

std::string remoteAddressOf(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    return getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? dotted(a.sin_addr.s_addr) : std::string();
}

SilentHost::SilentHost()
{
    listener = listenLoopback(&listenPort);
    if (listener >= 0 && listen(listener, 0) < 0) {
        // Keeps the first backlog; the fillers below still fill it.
    }
    for (int i = 0; i < 4; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(listenPort));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) < 0 && errno != EINPROGRESS) {
            close(fd);
            continue;
        }
        fillers.push_back(fd);
    }
    // The first filler's handshake done, the backlog is full.
    if (!fillers.empty()) {
        pollfd p{fillers.front(), POLLOUT, 0};
        poll(&p, 1, static_cast<int>(kWait.count()));
    }
}

SilentHost::~SilentHost()
{
    for (int fd : fillers)
        close(fd);
    if (listener >= 0)
        close(listener);
}

int acceptWithin(int listener, std::chrono::milliseconds limit)
{
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) != 1)
        return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

bool writeAll(int fd, const void* data, size_t size)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string readSome(int fd, size_t size, std::chrono::milliseconds limit)
{
    std::string got;
    const auto deadline = Clock::now() + limit;
    char buf[4096];
    while (got.size() < size && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) != 1)
            continue;
        ssize_t n = recv(fd, buf, std::min(sizeof(buf), size - got.size()), 0);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

bool seesClose(int fd, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    char buf[4096];
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) != 1)
            continue;
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n == 0)
            return true;
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return true;
    }
    return false;
}

End endOf(int fd, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    char buf[4096];
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) != 1)
            continue;
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n == 0)
            return End::Orderly;
        if (n < 0 && errno == ECONNRESET)
            return End::Reset;
    }
    return End::None;
}

bool stillOpenAndQuiet(int fd)
{
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

std::vector<uint8_t> takePacket(QV_QUE* queue, std::chrono::milliseconds limit)
{
    std::vector<uint8_t> slot(QV_QUE::kSlotSize);
    if (!waitUntil([&] { return queue->dequeue(slot.data()) == 1; }, limit))
        return {};
    return slot;
}

bool putPacket(QV_QUE* queue, const std::vector<uint8_t>& packet, std::chrono::milliseconds limit)
{
    return waitUntil(
        [&] { return queue->hasRoom() && queue->enqueue(packet.data(), static_cast<uint32_t>(packet.size())) == 1; },
        limit);
}

std::vector<uint8_t> controlPacket(uint16_t kind, uint16_t code, int port)
{
    std::vector<uint8_t> p(kA2AHeaderSize);
    initA2AHeader(p.data());
    setA2AKind(p.data(), kind);
    setA2ACode(p.data(), code);
    setA2APort(p.data(), static_cast<uint16_t>(port));
    return p;
}

std::vector<uint8_t> disconnectPacket(uint16_t kind, int port, uint16_t reason)
{
    std::vector<uint8_t> p = controlPacket(kind, kA2ACodeDisconnectRequest, port);
    setA2AResult(p.data(), reason);
    return p;
}

std::vector<uint8_t> dataPacket(uint16_t kind, int port, const std::string& bytes)
{
    std::vector<uint8_t> p(kA2AHeaderSize + bytes.size());
    initA2AHeader(p.data());
    setA2AKind(p.data(), kind);
    setA2APort(p.data(), static_cast<uint16_t>(port));
    setA2ADataSize(p.data(), static_cast<uint16_t>(bytes.size()));
    std::memcpy(p.data() + kA2AHeaderSize, bytes.data(), bytes.size());
    return p;
}

void LogCapture::notifyLogLine(const char* line)
{
    std::lock_guard<std::mutex> lock(mutex);
    collected.emplace_back(line);
}

int LogCapture::count(const std::string& text, const char* level)
{
    std::lock_guard<std::mutex> lock(mutex);
    const std::string tag = std::string(":") + level + ":";
    int n = 0;
    for (const std::string& line : collected) {
        // "YYYY/MM/DD hh:mm:ss:EV:" then the text
        size_t at = line.find(tag);
        if (at != std::string::npos && line.substr(at + tag.size()) == text)
            ++n;
    }
    return n;
}

bool LogCapture::has(const std::string& text, const char* level) { return count(text, level) > 0; }

std::vector<std::string> LogCapture::lines()
{
    std::lock_guard<std::mutex> lock(mutex);
    return collected;
}

}  // namespace tcptest
