#include "tcp/tcp_endpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool wouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

// The relay takes at most one read of kReadSize per 20 ms pass, far slower
// than a program on loopback writes. With the default buffer a loopback
// connection's window is about one 64 KB segment: the writer waits for a
// whole segment of room, the buffer runs dry between segments and passes
// read short. A few segments of buffer keep a read's worth always waiting.
// Set before listen (accepted sockets inherit it) and before connect.
constexpr int kReceiveBufferBytes = 256 * 1024;

void widenReceiveBuffer(int fd)
{
    if (fd < 0)
        return;
    int size = kReceiveBufferBytes;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)) < 0) {
        // The kernel's default then; only slower.
    }
}

int setBlocking(int fd, bool blocking)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return -1;
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags);
}

// Makes the close of fd a reset (SO_LINGER 0); false when it cannot.
bool lingerZero(int fd)
{
    linger reset{};
    reset.l_onoff = 1;
    reset.l_linger = 0;
    return setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset)) == 0;
}

std::atomic<int32_t> connectTimeoutMs{QV_TCPENDPOINT::kConnectTimeoutMs};
std::atomic<int32_t> sendWaitLimit{QV_TCPENDPOINT::kSendWaitLimit};

// The host's IPv4 address (network order), or INADDR_NONE.
in_addr_t resolveHost(const char* host)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found)
        return INADDR_NONE;
    in_addr_t address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return address;
}

}  // namespace

QV_TCPENDPOINT::QV_TCPENDPOINT(const QV_TCPLINK& owner, QV_TCPWAKER& ownerWaker) : link(owner), waker(ownerWaker)
{
    std::memset(receiveBuffer, 0, sizeof(receiveBuffer));
    std::memset(sendBuffer, 0, sizeof(sendBuffer));
}

QV_TCPENDPOINT::~QV_TCPENDPOINT()
{
    closeListenSocket();
    closeDataSocket();
}

void QV_TCPENDPOINT::closeListenSocket()
{
    if (listenSocket >= 0)
        close(listenSocket);
    listenSocket = -1;
}

void QV_TCPENDPOINT::closeDataSocket()
{
    if (dataSocket >= 0)
        close(dataSocket);
    dataSocket = -1;
    connectionLocal = 0;
    connectionPeer = 0;
}

void QV_TCPENDPOINT::recordConnectionAddresses()
{
    sockaddr_in local{};
    sockaddr_in remote{};
    socklen_t length = sizeof(local);
    if (getsockname(dataSocket, reinterpret_cast<sockaddr*>(&local), &length) < 0 || local.sin_family != AF_INET)
        local.sin_addr.s_addr = 0;
    length = sizeof(remote);
    if (getpeername(dataSocket, reinterpret_cast<sockaddr*>(&remote), &length) < 0 || remote.sin_family != AF_INET)
        remote.sin_addr.s_addr = 0;
    connectionLocal = local.sin_addr.s_addr;
    connectionPeer = remote.sin_addr.s_addr;
}

void QV_TCPENDPOINT::shutdownAndCloseDataSocket()
{
    if (dataSocket >= 0)
        shutdown(dataSocket, SHUT_RDWR);
    closeDataSocket();
}

void QV_TCPENDPOINT::abortDataSocket()
{
    if (dataSocket < 0)
        return;
    if (!lingerZero(dataSocket)) {
        // Not a TCP socket any more; the close below is all there is.
    }
    closeDataSocket();
}

void QV_TCPENDPOINT::shutdownSending() { shutdown(dataSocket, SHUT_WR); }

bool QV_TCPENDPOINT::peerClosedAfterRead()
{
    uint8_t byte = 0;
    return recv(dataSocket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

int32_t QV_TCPENDPOINT::openListenSocket(uint32_t address, uint16_t bindPort)
{
    listenSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenSocket < 0) {
        lastError = errno;
        std::printf("socket Error: %d\n", errno);
        return 0;
    }
    widenReceiveBuffer(listenSocket);
    std::memset(&bindAddress, 0, sizeof(bindAddress));
    bindAddress.sin_family = AF_INET;
    bindAddress.sin_port = htons(bindPort);
    bindAddress.sin_addr.s_addr = address;
    int on = 1;
    setsockopt(listenSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (bind(listenSocket, reinterpret_cast<sockaddr*>(&bindAddress), sizeof(bindAddress)) < 0) {
        lastError = errno;
        std::printf("bind Error: %d\n", errno);
        closeListenSocket();
        return 0;
    }
    if (listen(listenSocket, 1) < 0) {
        lastError = errno;
        std::printf("listen Error: %d\n", errno);
        closeListenSocket();
        return 0;
    }
    // Non-blocking so that a connection that vanishes between poll and
    // accept cannot hold the thread.
    setBlocking(listenSocket, false);
    return 1;
}

int32_t QV_TCPENDPOINT::listeningPort()
{
    sockaddr_in bound{};
    socklen_t length = sizeof(bound);
    if (getsockname(listenSocket, reinterpret_cast<sockaddr*>(&bound), &length) < 0) {
        std::printf("getsockname failed.:%d\n", errno);
    }
    return ntohs(bound.sin_port);
}

void QV_TCPENDPOINT::refuse(int s, const char* dotted, int32_t reportedPort)
{
    // Not the program this listener is meant for: reset, so that it cannot
    // take the place of the one that is.
    std::printf("refused connection from %s, port=%d\n", dotted, ntohs(peerAddress.sin_port));
    if (!lingerZero(s)) {
        // The close below then ends it in order; it is refused all the same.
    }
    close(s);
    if (refusedReport)
        refusedReport(peerAddress.sin_addr.s_addr, reportedPort);
}

int32_t QV_TCPENDPOINT::acceptConnection(int32_t reportedPort)
{
    if (listenSocket < 0) {
        lastError = EBADF;
        std::printf("accept Error: %d\n", EBADF);
        return 0;
    }
    for (;;) {
        if (waker.waitReady(listenSocket, POLLIN, -1) < 0)
            return 0;
        socklen_t length = sizeof(peerAddress);
        int s = accept4(listenSocket, reinterpret_cast<sockaddr*>(&peerAddress), &length, SOCK_CLOEXEC);
        if (s < 0) {
            int e = errno;
            if (wouldBlock(e) || e == EINTR || e == ECONNABORTED)
                continue;
            lastError = e;
            std::printf("accept Error: %d\n", e);
            return 0;
        }
        char dotted[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peerAddress.sin_addr, dotted, sizeof(dotted));
        const uint32_t required = acceptOnlyFrom;
        if (required != 0 && (peerAddress.sin_family != AF_INET || peerAddress.sin_addr.s_addr != required)) {
            refuse(s, dotted, reportedPort);
            continue;
        }
        closeDataSocket();
        dataSocket = s;
        recordConnectionAddresses();
        std::printf("accepted connection from %s, port=%d\n", dotted, ntohs(peerAddress.sin_port));
        return 1;
    }
}

void QV_TCPENDPOINT::prepareClientSocket(int32_t targetPort, const char* host)
{
    closeDataSocket();
    dataSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (dataSocket < 0)
        lastError = errno;
    widenReceiveBuffer(dataSocket);
    std::memset(&connectAddress, 0, sizeof(connectAddress));
    connectAddress.sin_family = AF_INET;
    connectAddress.sin_port = htons(static_cast<uint16_t>(targetPort));
    // A dotted address is taken at once; a name is resolved by the connect,
    // which runs in the connection thread (a resolver may take seconds).
    std::snprintf(connectHost, sizeof(connectHost), "%s", host ? host : "");
    connectAddress.sin_addr.s_addr = inet_addr(connectHost);
}

void QV_TCPENDPOINT::setConnectTimeoutMs(int32_t ms) { connectTimeoutMs = ms; }

int32_t QV_TCPENDPOINT::connectToServer()
{
    int error = 0;
    if (connectAddress.sin_addr.s_addr == INADDR_NONE && connectHost[0] != '\0')
        connectAddress.sin_addr.s_addr = resolveHost(connectHost);
    if (dataSocket < 0) {
        error = EBADF;
    } else if (connectAddress.sin_addr.s_addr == INADDR_NONE) {
        error = EHOSTUNREACH;  // no address for the name
    } else {
        // A connect that a stop can cut short and that a silent host cannot
        // hold for long: non-blocking, then a bounded wait.
        setBlocking(dataSocket, false);
        if (connect(dataSocket, reinterpret_cast<sockaddr*>(&connectAddress), sizeof(connectAddress)) < 0) {
            error = errno;
            if (error == EINPROGRESS) {
                error = 0;
                const int32_t ready = waker.waitReady(dataSocket, POLLOUT, connectTimeoutMs);
                if (ready < 0) {
                    error = ECANCELED;
                } else if (ready == 0) {
                    error = ETIMEDOUT;
                } else {
                    socklen_t length = sizeof(error);
                    if (getsockopt(dataSocket, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
                        error = errno;
                }
            }
        }
        if (error == 0)
            setBlocking(dataSocket, true);
    }
    if (error != 0) {
        lastError = error;
        std::printf("connect Error : %d\n", error);
        closeDataSocket();
        return 0;
    }
    recordConnectionAddresses();
    return 1;
}

int32_t QV_TCPENDPOINT::setNonBlocking()
{
    if (dataSocket < 0)
        return 0;
    return setBlocking(dataSocket, false) < 0 ? 0 : 1;
}

void QV_TCPENDPOINT::setSendWaitLimit(int32_t limit) { sendWaitLimit = limit; }

int32_t QV_TCPENDPOINT::sendAll()
{
    if (sendLength <= 0)
        return 1;
    int32_t total = sendLength > kBufferSize ? kBufferSize : sendLength;
    int32_t offset = 0;
    int32_t waitCount = 0;
    while (offset < total) {
        ssize_t n = send(dataSocket, sendBuffer + offset, static_cast<size_t>(total - offset), MSG_NOSIGNAL);
        if (n < 0) {
            int e = errno;
            if (e == EINTR)
                continue;
            if (!wouldBlock(e)) {
                lastError = e;
                std::printf("Thread:send Error : %d\n", e);
                return 0;
            }
            // Only would-blocks in a row count: a slow reader that keeps
            // taking bytes never makes the send fail.
            waitCount += 1;
            if (waitCount >= sendWaitLimit) {
                lastError = e;
                std::printf("Thread:send Error Send WaitCount OVER : %d\n", e);
                return 0;
            }
            if (waker.waitReady(dataSocket, POLLOUT, kSendWaitMs) < 0) {
                std::printf("Thread:send stopped port=%d\n", link.port);
                return 0;
            }
            continue;
        }
        offset += static_cast<int32_t>(n);
        waitCount = 0;
    }
    return 1;
}

int32_t QV_TCPENDPOINT::receiveData()
{
    int32_t wanted = receiveLength;
    if (wanted > kBufferSize)
        wanted = kBufferSize;
    if (wanted < 0)
        wanted = 0;
    ssize_t n = recv(dataSocket, receiveBuffer, static_cast<size_t>(wanted), 0);
    if (n >= 1) {
        receiveLength = static_cast<int32_t>(n);
        return 1;
    }
    int e = n < 0 ? errno : 0;
    if (n < 0 && (wouldBlock(e) || e == EINTR)) {
        receiveLength = -1;
        return 1;
    }
    if (e != 0)
        lastError = e;
    receiveClosed = n == 0;
    std::printf("Thread:recv Error : 0x%x,n=%d\n", static_cast<unsigned>(e), static_cast<int>(n));
    receiveLength = 0;
    return 0;
}
