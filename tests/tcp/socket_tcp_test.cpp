// The sends of QV_SOCKETTCP: a send fails only after waits in a row that
// bring no progress, however many waits a slow reader causes.
#include "tcp/socket_tcp.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tests/support/tcp_test_util.h"

TEST(SocketTcpSend, OnlyWaitsInARowWithoutProgressFailASend)
{
    QV_SOCKETTCP s;
    // With nothing to send a send succeeds without touching the socket.
    for (auto [length, result] : {std::pair{0, 1}, std::pair{-5, 1}, std::pair{5, 0}}) {
        s.setSendLength(length);
        EXPECT_EQ(result, s.sendAll());
    }
    ASSERT_EQ(1, s.createServerSocketAnyPort(0));
    // A small receive buffer: a whole send buffer does not fit into the
    // kernel's buffers at once.
    const int client = tcptest::connectTo("127.0.0.1", s.getBoundPort(), nullptr, 2048);
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
