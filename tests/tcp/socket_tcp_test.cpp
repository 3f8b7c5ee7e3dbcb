#include "tcp/socket_tcp.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "tests/support/tcp_test_util.h"

using namespace tcptest;

namespace {

// A QV_SOCKETTCP listener with one accepted connection from a test client.
struct AcceptedPair {
    std::unique_ptr<QV_SOCKETTCP> socket = std::make_unique<QV_SOCKETTCP>();
    int client = -1;

    explicit AcceptedPair(int clientRcvbuf = 0)
    {
        EXPECT_EQ(1, socket->createServerSocketAnyPort(0));
        client = connectLoopback(socket->getBoundPort(), clientRcvbuf);
        EXPECT_GE(client, 0);
        EXPECT_EQ(1, socket->acceptConnection());
    }
    ~AcceptedPair()
    {
        if (client >= 0)
            close(client);
    }
};

TEST(SocketTcpListen, ServicePortOrAnyPortIsBoundAndAccepts)
{
    const int port = freePort();
    QV_SOCKETTCP s;
    ASSERT_EQ(1, s.createServerSocket(port));
    EXPECT_EQ(port, s.getPort());
    EXPECT_EQ(port, s.getBoundPort());
    EXPECT_EQ(QV_SOCKETTCP::kRoleServer, s.getRole());
    EXPECT_EQ(QV_SOCKETTCP::kStateIdle, s.getConnectionState());

    // Any port: the hint stays the port, the chosen one is told apart.
    QV_SOCKETTCP any;
    ASSERT_EQ(1, any.createServerSocketAnyPort(100));
    EXPECT_EQ(100, any.getPort());
    EXPECT_NE(100, any.getBoundPort());
    EXPECT_GT(any.getBoundPort(), 0);
    int c = connectLoopback(any.getBoundPort());
    ASSERT_GE(c, 0);
    EXPECT_EQ(1, any.acceptConnection());
    EXPECT_EQ(QV_SOCKETTCP::kStateConnected, any.getConnectionState());
    close(c);
}

TEST(SocketTcpListen, PortHeldByAnotherListenerFails)
{
    int port = 0;
    int other = listenLoopback(&port);
    ASSERT_GE(other, 0);
    QV_SOCKETTCP s;
    EXPECT_EQ(0, s.createServerSocket(port));
    EXPECT_EQ(EADDRINUSE, s.getLastError());
    EXPECT_NE(QV_SOCKETTCP::kRoleServer, s.getRole());
    close(other);
}

TEST(SocketTcpConnect, RefusedFailsWithTheErrorAndLocalhostIsResolved)
{
    QV_SOCKETTCP s;
    EXPECT_EQ(1, s.prepareClientSocket(freePort(), "127.0.0.1"));
    EXPECT_EQ(QV_SOCKETTCP::kRoleClient, s.getRole());
    EXPECT_EQ(0, s.connectToServer());
    EXPECT_EQ(ECONNREFUSED, s.getLastError());
    EXPECT_EQ(-1, s.getDataSocketForTest());  // closed at once
    EXPECT_EQ(QV_SOCKETTCP::kStateIdle, s.getConnectionState());

    int port = 0;
    int listener = listenLoopback(&port);
    EXPECT_EQ(1, s.prepareClientSocket(port, "localhost"));
    EXPECT_EQ(1, s.connectToServer());
    EXPECT_EQ(QV_SOCKETTCP::kStateConnected, s.getConnectionState());
    int peer = acceptWithin(listener);
    EXPECT_GE(peer, 0);
    close(peer);
    close(listener);
}

TEST(SocketTcpSend, NothingToSendSucceedsWithoutTouchingTheSocket)
{
    QV_SOCKETTCP s;  // no data socket at all: a send would fail
    s.setSendLength(0);
    EXPECT_EQ(1, s.sendAll());
    s.setSendLength(-5);
    EXPECT_EQ(1, s.sendAll());
    s.setSendLength(5);
    EXPECT_EQ(0, s.sendAll());
}

// Small buffers on both sides and a reader that takes a little at a time:
// one sendAll must wait for room far more often than the limit of waits,
// but each wait brings progress, so only waits in a row may count.
TEST(SocketTcpSend, SlowButLiveReaderGetsEverything)
{
    AcceptedPair pair(2048);
    int small = 4096;
    setsockopt(pair.socket->getDataSocketForTest(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    ASSERT_EQ(1, pair.socket->setNonBlocking());
    QV_SOCKETTCP::setSendWaitLimit(3);
    const int32_t size = QV_SOCKETTCP::kBufferSize;
    for (int32_t i = 0; i < size; ++i)
        pair.socket->getSendBuffer()[i] = static_cast<uint8_t>(i * 7);
    pair.socket->setSendLength(size);

    std::string got;
    std::thread reader([&] {
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        char buf[128];
        while (got.size() < static_cast<size_t>(size) && Clock::now() < deadline) {
            ssize_t n = recv(pair.client, buf, sizeof(buf), MSG_DONTWAIT);
            if (n > 0)
                got.append(buf, static_cast<size_t>(n));
            if (n == 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    EXPECT_EQ(1, pair.socket->sendAll());
    reader.join();
    QV_SOCKETTCP::setSendWaitLimit(QV_SOCKETTCP::kSendWaitLimit);
    ASSERT_EQ(static_cast<size_t>(size), got.size());
    for (int32_t i = 0; i < size; ++i) {
        ASSERT_EQ(static_cast<uint8_t>(i * 7), static_cast<uint8_t>(got[static_cast<size_t>(i)])) << i;
    }
}

TEST(SocketTcpSend, ReaderThatNeverReadsMakesSendFail)
{
    AcceptedPair pair(2048);
    int small = 4096;
    setsockopt(pair.socket->getDataSocketForTest(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    ASSERT_EQ(1, pair.socket->setNonBlocking());
    pair.socket->setSendLength(QV_SOCKETTCP::kBufferSize);
    QV_SOCKETTCP::setSendWaitLimit(3);  // 0.3 s instead of a minute
    testing::internal::CaptureStdout();
    int32_t result = 1;
    // A few calls may still fit into the kernel's buffers; a stuck reader
    // then makes one fail.
    for (int i = 0; i < 50 && result == 1; ++i)
        result = pair.socket->sendAll();
    std::string out = testing::internal::GetCapturedStdout();
    QV_SOCKETTCP::setSendWaitLimit(QV_SOCKETTCP::kSendWaitLimit);
    EXPECT_EQ(0, result);
    EXPECT_NE(std::string::npos, out.find("Thread:send Error Send WaitCount OVER : " + std::to_string(EAGAIN) + "\n"));
}

TEST(SocketTcpReceive, NothingWaitingDataAndPeerClose)
{
    AcceptedPair pair;
    ASSERT_EQ(1, pair.socket->setNonBlocking());
    pair.socket->setReceiveLength(QV_SOCKETTCP::kReadSize);
    EXPECT_EQ(1, pair.socket->receiveData());
    EXPECT_EQ(-1, pair.socket->getReceiveLength());

    ASSERT_TRUE(writeAll(pair.client, "abc", 3));
    ASSERT_TRUE(waitUntil([&] {
        pair.socket->setReceiveLength(QV_SOCKETTCP::kReadSize);
        return pair.socket->receiveData() == 1 && pair.socket->getReceiveLength() > 0;
    }));
    EXPECT_EQ(3, pair.socket->getReceiveLength());
    EXPECT_EQ(0, std::memcmp(pair.socket->getReceiveBuffer(), "abc", 3));

    close(pair.client);
    pair.client = -1;
    int32_t result = 1;
    ASSERT_TRUE(waitUntil([&] {
        pair.socket->setReceiveLength(QV_SOCKETTCP::kReadSize);
        result = pair.socket->receiveData();
        return result == 0;
    }));
    EXPECT_EQ(0, pair.socket->getReceiveLength());
}

TEST(SocketTcpLocalAddress, IsZeroOrAnAddressOfThisMachine)
{
    EXPECT_EQ(1, startWinsock());
    uint32_t address = getLocalAddress();
    if (address == 0)
        return;  // no route out of this machine
    ifaddrs* list = nullptr;
    ASSERT_EQ(0, getifaddrs(&list));
    bool found = false;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET
            && reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == address) {
            found = true;
        }
    }
    freeifaddrs(list);
    EXPECT_TRUE(found);
    EXPECT_NE(htonl(INADDR_LOOPBACK), address);
}

}  // namespace
