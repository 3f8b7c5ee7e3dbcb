// The sends of QV_SOCKETTCP: a send fails only after waits in a row that
// bring no progress, however many waits a slow reader causes.
#include "tcp/socket_tcp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

// A connected client with a small receive buffer, so that a whole send
// buffer does not fit into the kernel's buffers at once.
int smallClient(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int small = 2048;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? fd : -1;
}

}  // namespace

TEST(SocketTcpSend, OnlyWaitsInARowWithoutProgressFailASend)
{
    QV_SOCKETTCP s;
    // With nothing to send a send succeeds without touching the socket.
    for (auto [length, result] : {std::pair{0, 1}, std::pair{-5, 1}, std::pair{5, 0}}) {
        s.setSendLength(length);
        EXPECT_EQ(result, s.sendAll());
    }
    ASSERT_EQ(1, s.createServerSocketAnyPort(0));
    const int client = smallClient(s.getBoundPort());
    ASSERT_GE(client, 0);
    ASSERT_EQ(1, s.acceptConnection());
    int small = 4096;
    ::setsockopt(s.getDataSocketForTest(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_EQ(1, s.setNonBlocking());
    QV_SOCKETTCP::setSendWaitLimit(3);
    const int32_t size = QV_SOCKETTCP::kBufferSize;
    for (int32_t i = 0; i < size; ++i)
        s.getSendBuffer()[i] = static_cast<uint8_t>(i * 7);
    s.setSendLength(size);
    // A reader that takes a little at a time makes the send wait for room
    // far more often than the limit, each wait with progress.
    std::string got;
    std::atomic<bool> sent{false};
    std::thread reader([&] {
        char buf[128];
        for (ssize_t n; (n = ::recv(client, buf, sizeof buf, MSG_DONTWAIT)) > 0 || !sent;) {
            if (n > 0)
                got.append(buf, static_cast<size_t>(n));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    EXPECT_EQ(1, s.sendAll());
    sent = true;
    reader.join();
    ASSERT_EQ(static_cast<size_t>(size), got.size());
    for (int32_t i = 0; i < size; ++i)
        ASSERT_EQ(static_cast<uint8_t>(i * 7), static_cast<uint8_t>(got[static_cast<size_t>(i)])) << i;
    // A reader that never reads: a few sends still fit, then one fails.
    int32_t result = 1;
    for (int i = 0; i < 50 && result == 1; ++i)
        result = s.sendAll();
    QV_SOCKETTCP::setSendWaitLimit(QV_SOCKETTCP::kSendWaitLimit);
    EXPECT_EQ(0, result);
    ::close(client);
}
