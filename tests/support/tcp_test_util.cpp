#include "tests/support/tcp_test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
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
    for (const auto deadline = Clock::now() + limit; !done();) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

namespace {

sockaddr_in address(const char* text, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, text, &a.sin_addr) != 1)
        a.sin_family = AF_UNSPEC;
    return a;
}

std::string dotted(in_addr a)
{
    char text[INET_ADDRSTRLEN] = "";
    return inet_ntop(AF_INET, &a, text, sizeof(text));
}

int socketWithBuffer(int rcvbuf, int flags = 0)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (rcvbuf > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    return s;
}

int listenAt(const char* text, int* port, int rcvbuf, int backlog)
{
    sockaddr_in a = address(text, 0);
    socklen_t len = sizeof(a);
    int s = socketWithBuffer(rcvbuf);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(s, backlog) != 0) {
        close(s);
        return -1;
    }
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return s;
}

// A connect that gives up after kWait; -1 when it failed.
int connectFrom(const char* to, int port, const char* from, int rcvbuf)
{
    sockaddr_in target = address(to, port);
    sockaddr_in source = address(from ? from : "0.0.0.0", 0);
    int s = socketWithBuffer(rcvbuf, SOCK_NONBLOCK);
    int error = 0;
    socklen_t len = sizeof(error);
    pollfd p{s, POLLOUT, 0};
    if ((from && bind(s, reinterpret_cast<sockaddr*>(&source), sizeof(source)) != 0)
        || (connect(s, reinterpret_cast<sockaddr*>(&target), sizeof(target)) != 0
            && (errno != EINPROGRESS || poll(&p, 1, static_cast<int>(kWait.count())) != 1
                || getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0))) {
        close(s);
        return -1;
    }
    fcntl(s, F_SETFL, fcntl(s, F_GETFL, 0) & ~O_NONBLOCK);
    return s;
}

// Reads (and drops) until the peer's end or the limit: End::None when
// neither came, else how it ended.
End readToEnd(int fd, std::chrono::milliseconds limit, std::string* got, size_t size)
{
    char buf[4096];
    for (const auto deadline = Clock::now() + limit; Clock::now() < deadline && (!got || got->size() < size);) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) != 1)
            continue;
        ssize_t n = recv(fd, buf, got ? std::min(sizeof(buf), size - got->size()) : sizeof(buf), MSG_DONTWAIT);
        if (n > 0 && got)
            got->append(buf, static_cast<size_t>(n));
        if (n == 0)
            return End::Orderly;
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return End::Reset;
    }
    return End::None;
}

}  // namespace

int freePort()
{
    int port = 0;
    close(listenLoopback(&port));
    return port;
}

int listenLoopback(int* port, int rcvbuf) { return listenAt("127.0.0.1", port, rcvbuf, 4); }

int connectLoopback(int port, int rcvbuf) { return connectFrom("127.0.0.1", port, nullptr, rcvbuf); }

int listenOn(const char* address, int* port) { return listenAt(address, port, 0, 4); }

int connectTo(const char* address, int port, const char* from) { return connectFrom(address, port, from, 0); }

std::string remoteAddressOf(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    return getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 ? dotted(a.sin_addr) : std::string();
}

SilentHost::SilentHost()
{
    listener = listenAt("127.0.0.1", &listenPort, 0, 0);
    sockaddr_in to = address("127.0.0.1", listenPort);
    for (int i = 0; i < 4; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        fillers.push_back(fd);
    }
    // The first filler's handshake done, the backlog is full.
    pollfd p{fillers.front(), POLLOUT, 0};
    poll(&p, 1, static_cast<int>(kWait.count()));
}

SilentHost::~SilentHost()
{
    for (int fd : fillers)
        close(fd);
    close(listener);
}

int acceptWithin(int listener, std::chrono::milliseconds limit)
{
    pollfd p{listener, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(limit.count())) == 1 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

bool writeAll(int fd, const void* data, size_t size)
{
    for (const char* p = static_cast<const char*>(data); size > 0;) {
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
    readToEnd(fd, limit, &got, size);
    return got;
}

End endOf(int fd, std::chrono::milliseconds limit) { return readToEnd(fd, limit, nullptr, 0); }

bool stillOpenAndQuiet(int fd)
{
    char c;
    return recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

std::vector<uint8_t> takePacket(QV_QUE* queue, std::chrono::milliseconds limit)
{
    std::vector<uint8_t> slot(QV_QUE::kSlotSize);
    return waitUntil([&] { return queue->dequeue(slot.data()) == 1; }, limit) ? slot : std::vector<uint8_t>();
}

bool putPacket(QV_QUE* queue, const std::vector<uint8_t>& packet, std::chrono::milliseconds limit)
{
    return waitUntil(
        [&] { return queue->hasRoom() && queue->enqueue(packet.data(), static_cast<uint32_t>(packet.size())) == 1; },
        limit);
}

std::vector<uint8_t> packet(uint16_t kind, uint16_t code, int port, const std::string& data, uint16_t result,
                            uint32_t seq)
{
    std::vector<uint8_t> p(kA2AHeaderSize + data.size());
    initA2AHeader(p.data());
    setA2AKind(p.data(), kind);
    setA2ACode(p.data(), code);
    setA2APort(p.data(), static_cast<uint16_t>(port));
    setA2AResult(p.data(), result);
    setA2ASeq(p.data(), seq);
    setA2ADataSize(p.data(), static_cast<uint16_t>(data.size()));
    std::memcpy(p.data() + kA2AHeaderSize, data.data(), data.size());
    return p;
}

void LogCapture::notifyLogLine(const char* line)
{
    std::lock_guard<std::mutex> lock(mutex);
    collected.emplace_back(line);
}

int LogCapture::count(const std::string& text, const char* level)
{
    // "YYYY/MM/DD hh:mm:ss:EV:" then the text
    const std::string tag = std::string(":") + level + ":";
    int n = 0;
    for (const std::string& line : lines()) {
        size_t at = line.find(tag);
        n += at != std::string::npos && line.compare(at + tag.size(), std::string::npos, text) == 0 ? 1 : 0;
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
