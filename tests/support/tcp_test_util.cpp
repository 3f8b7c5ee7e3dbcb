#include "tests/support/tcp_test_util.h"

#include <arpa/inet.h>
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
    inet_pton(AF_INET, text, &a.sin_addr);
    return a;
}

// A socket bound to an ephemeral port of `text`; -1 when it cannot be.
int boundSocket(const char* text)
{
    const sockaddr_in a = address(text, 0);
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0)
        return s;
    close(s);
    return -1;
}

// Reads until `size` bytes came into *got (or, without got, drops them),
// the peer's end, or the limit.
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
    close(listenOn(&port));
    return port;
}

int listenOn(int* port, const char* address)
{
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    const int s = boundSocket(address);
    if (s < 0 || listen(s, 4) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(s);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return s;
}

int connectTo(const char* address, int port, const char* from, int receiveBuffer)
{
    const sockaddr_in target = tcptest::address(address, port);
    const int s = boundSocket(from ? from : "0.0.0.0");
    if (receiveBuffer > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    if (s >= 0 && connect(s, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
        close(s);
        return -1;
    }
    return s;
}

int acceptWithin(int listener, std::chrono::milliseconds limit)
{
    pollfd p{listener, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(limit.count())) == 1 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

// A blocking send returns only when all is sent (or the connection failed).
bool writeAll(int fd, const std::string& data)
{
    return send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

std::string readSome(int fd, size_t size, std::chrono::milliseconds limit)
{
    std::string got;
    readToEnd(fd, limit, &got, size);
    return got;
}

End endOf(int fd, std::chrono::milliseconds limit) { return readToEnd(fd, limit, nullptr, 0); }

bool putPacket(QV_QUE* queue, const std::vector<uint8_t>& packet)
{
    return waitUntil(
        [&] { return queue->hasRoom() && queue->enqueue(packet.data(), static_cast<uint32_t>(packet.size())) == 1; });
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

int LogCapture::count(const std::string& text)
{
    int n = 0;
    for (const std::string& line : lines()) {
        const size_t at = line.find(":EV:");
        n += at != std::string::npos && line.compare(at + 4, std::string::npos, text) == 0 ? 1 : 0;
    }
    return n;
}

std::vector<std::string> LogCapture::lines()
{
    std::lock_guard<std::mutex> lock(mutex);
    return collected;
}

}  // namespace tcptest
