// The sends of QV_SOCKETTCP; connects, listens, receives and the waits of
// its thread are the connection test's.
#include "tcp/socket_tcp.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tests/support/tcp_test_util.h"

using namespace tcptest;

namespace {

// Small buffers on both sides: a whole send buffer does not fit at once.
// With nothing to send a send succeeds without touching the (missing)
// socket. A reader that takes a little at a time makes one sendAll wait for
// room far more often than the limit of waits, but each wait brings
// progress, so only waits in a row may count; a reader that never reads
// makes a send fail after that many.
TEST(SocketTcpSend, OnlyWaitsInARowWithoutProgressFailASend)
{
    QV_SOCKETTCP s;
    for (auto [length, result] : {std::pair{0, 1}, std::pair{-5, 1}, std::pair{5, 0}}) {
        s.setSendLength(length);
        EXPECT_EQ(result, s.sendAll());
    }
    ASSERT_EQ(1, s.createServerSocketAnyPort(0));
    int client = connectLoopback(s.getBoundPort(), 2048);
    ASSERT_EQ(1, s.acceptConnection());
    int small = 4096;
    setsockopt(s.getDataSocketForTest(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    ASSERT_EQ(1, s.setNonBlocking());
    QV_SOCKETTCP::setSendWaitLimit(3);
    const int32_t size = QV_SOCKETTCP::kBufferSize;
    for (int32_t i = 0; i < size; ++i)
        s.getSendBuffer()[i] = static_cast<uint8_t>(i * 7);
    s.setSendLength(size);
    std::string got;
    std::atomic<bool> sent{false};
    std::thread reader([&] {
        char buf[128];
        for (ssize_t n; (n = recv(client, buf, sizeof(buf), MSG_DONTWAIT)) > 0 || !sent;) {
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

    int32_t result = 1;
    // A few calls may still fit into the kernel's buffers; then one fails.
    for (int i = 0; i < 50 && result == 1; ++i)
        result = s.sendAll();
    QV_SOCKETTCP::setSendWaitLimit(QV_SOCKETTCP::kSendWaitLimit);
    EXPECT_EQ(0, result);
    close(client);
}

}  // namespace
