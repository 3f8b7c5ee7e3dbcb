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

std::string addressOf(int fd, bool local)
{
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    int r = local ? getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len)
                  : getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return r == 0 ? dotted(a.sin_addr.s_addr) : std::string();
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

std::string dotted(uint32_t address)
{
    in_addr a{};
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

std::string localAddressOf(int fd) { return addressOf(fd, true); }
std::string remoteAddressOf(int fd) { return addressOf(fd, false); }

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
    // Let the handshakes of the fillers fill the queue.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
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

// FIPS 180-4 SHA-256.
std::string sha256Hex(const std::vector<uint8_t>& data)
{
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::vector<uint8_t> m(data);
    const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
    m.push_back(0x80);
    while (m.size() % 64 != 56)
        m.push_back(0);
    for (int i = 7; i >= 0; --i)
        m.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    for (size_t off = 0; off < m.size(); off += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            w[i] = (uint32_t{m[off + 4 * i]} << 24) | (uint32_t{m[off + 4 * i + 1]} << 16)
                   | (uint32_t{m[off + 4 * i + 2]} << 8) | uint32_t{m[off + 4 * i + 3]};
        }
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t t1 = hh + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
        h[5] += f;
        h[6] += g;
        h[7] += hh;
    }
    std::string hex;
    char part[9];
    for (uint32_t v : h) {
        std::snprintf(part, sizeof(part), "%08x", v);
        hex += part;
    }
    return hex;
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
