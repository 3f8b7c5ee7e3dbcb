#include "tcp/tcp_manager.h"
#include "tcp/tcp_manager_ftp.h"

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "core/config_store.h"
#include "core/eventlog.h"
#include "tests/support/tcp_test_util.h"
#include "tests/support/temp_dir.h"
#include "wire/a2a_packet.h"

using namespace tcptest;

namespace {

std::string line(const char* format, int port)
{
    char buf[200];
    std::snprintf(buf, sizeof(buf), format, port);
    return buf;
}

std::string line(const char* format, const char* host, int port)
{
    char buf[200];
    std::snprintf(buf, sizeof(buf), format, host, port);
    return buf;
}

// A scratch directory with settings and an event log that the test listens to.
class ManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
        log->setEnabled(1);
        log->addListener(&capture);
    }
    void TearDown() override { QV_EVENTLOG::destroyInstance(); }
    // What a stream gives its manager: the settings as they are now.
    QV_TCPMANAGER::Settings settings() { return QV_TCPMANAGER::settingsOf(&config); }

    TempDir dir;
    QV_CONFIGSTORE config;
    LogCapture capture;
};

using ClientManagerTest = ManagerTest;

TEST_F(ClientManagerTest, ListensOnTheServicePortAndRecordsThePeersAnswer)
{
    config.setClientMode(1);
    const int port = freePort();
    QV_TCPMANAGER manager(port, settings());
    EXPECT_EQ(QV_TCPMANAGER::kListenOnServicePort, manager.getListenMode());
    manager.start();
    EXPECT_TRUE(capture.has(line("サーバソケット作成: ポート番号=%d ", port)));
    QV_SOCKETTCP* socket = manager.getMainSocket();
    ASSERT_NE(nullptr, socket);
    int fd = connectLoopback(port);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> request = takePacket(socket->getOutboundQueue());
    ASSERT_FALSE(request.empty());
    EXPECT_EQ(kA2ACodeConnectRequest, a2aCode(request.data()));

    manager.notifyTcpConnectReply(port, 7);  // unknown answer: nothing changes
    EXPECT_EQ(QV_SOCKETTCP::kPeerWaiting, socket->getPeerConnectState());
    manager.notifyTcpConnectReply(port, 1);
    EXPECT_EQ(QV_SOCKETTCP::kPeerOk, socket->getPeerConnectState());
    EXPECT_TRUE(capture.has(line("TCP接続応答(OK): ポート番号=%d", port)));
    EXPECT_EQ(1, capture.count(line("TCP接続応答(OK): ポート番号=%d", port)));
    ASSERT_TRUE(writeAll(fd, "hi", 2));
    std::vector<uint8_t> data = takePacket(socket->getOutboundQueue());
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(kA2AKindData, a2aKind(data.data()));

    manager.stop();
    EXPECT_EQ(nullptr, manager.getMainSocket());
    EXPECT_TRUE(capture.has(line("TCP切断: ポート番号=%d", port)));
    EXPECT_TRUE(seesClose(fd));
    close(fd);
}

// Back-to-back connections: the peer's forward side acknowledges our
// DISCONNECT-REQUEST of the first one with its own, which may arrive only
// once the next local client is waiting for its answer. It came before that
// answer, so it belongs to the first connection and must not end the second.
TEST_F(ClientManagerTest, DisconnectLeftFromTheLastConnectionDoesNotEndTheNextOne)
{
    config.setClientMode(1);
    const int port = freePort();
    QV_TCPMANAGER manager(port, settings());
    manager.start();
    QV_SOCKETTCP* socket = manager.getMainSocket();
    ASSERT_NE(nullptr, socket);
    int fd = connectLoopback(port);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(kA2ACodeConnectRequest, a2aCode(takePacket(socket->getOutboundQueue()).data()));
    ASSERT_TRUE(putPacket(socket->getInboundQueue(), controlPacket(kA2AKindControl, kA2ACodeDisconnectRequest, port)));
    ASSERT_TRUE(putPacket(socket->getInboundQueue(), dataPacket(kA2AKindData, port, "old")));
    manager.notifyTcpConnectReply(port, 1);
    ASSERT_TRUE(putPacket(socket->getInboundQueue(), dataPacket(kA2AKindData, port, "new")));
    EXPECT_EQ("new", readSome(fd, 3));
    EXPECT_TRUE(stillOpenAndQuiet(fd));
    ASSERT_TRUE(writeAll(fd, "up", 2));
    std::vector<uint8_t> data = takePacket(socket->getOutboundQueue());
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(kA2AKindData, a2aKind(data.data()));
    manager.stop();
    close(fd);
}

TEST_F(ClientManagerTest, NgAnswerIsLogged)
{
    config.setClientMode(1);
    const int port = freePort();
    QV_TCPMANAGER manager(port, settings());
    manager.start();
    manager.notifyTcpConnectReply(port, 2);
    EXPECT_EQ(QV_SOCKETTCP::kPeerNg, manager.getMainSocket()->getPeerConnectState());
    EXPECT_TRUE(capture.has(line("TCP接続応答(NG): ポート番号=%d", port)));
}

TEST_F(ClientManagerTest, PortInUseIsReportedAndNothingListens)
{
    config.setClientMode(1);
    int port = 0;
    int other = listenLoopback(&port);
    QV_TCPMANAGER manager(port, settings());
    manager.start();
    EXPECT_TRUE(capture.has(line("サーバソケット作成失敗: ポート番号=%d ", port)));
    EXPECT_FALSE(capture.has(line("サーバソケット作成: ポート番号=%d ", port)));
    ASSERT_NE(nullptr, manager.getMainSocket());
    EXPECT_EQ(0, manager.getMainSocket()->isRunning());
    close(other);
}

// Without CAP_NET_BIND_SERVICE a port below 1024 cannot be bound. The
// capability is dropped for one thread only, which then starts the manager.
TEST_F(ClientManagerTest, PrivilegedPortWithoutTheRightFailsCleanly)
{
    config.setClientMode(1);
    const int port = 1023;
    bool dropped = false;
    std::unique_ptr<QV_TCPMANAGER> manager;
    std::thread unprivileged([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2] = {};
        if (syscall(SYS_capget, &header, caps) != 0)
            return;
        caps[CAP_NET_BIND_SERVICE / 32].effective &= ~(1u << (CAP_NET_BIND_SERVICE % 32));
        if (syscall(SYS_capset, &header, caps) != 0)
            return;
        dropped = true;
        manager = std::make_unique<QV_TCPMANAGER>(port, settings());
        manager->start();
    });
    unprivileged.join();
    ASSERT_TRUE(dropped);
    EXPECT_TRUE(capture.has(line("サーバソケット作成失敗: ポート番号=%d ", port)));
    EXPECT_EQ(0, manager->getMainSocket()->isRunning());
    manager.reset();
}

using ServerManagerTest = ManagerTest;

TEST_F(ServerManagerTest, StartListensNowhere)
{
    config.setClientMode(0);
    QV_TCPMANAGER manager(freePort(), settings());
    EXPECT_EQ(QV_TCPMANAGER::kConnectOnRequest, manager.getListenMode());
    manager.start();
    EXPECT_EQ(nullptr, manager.getMainSocket());
    manager.stop();
    EXPECT_TRUE(capture.lines().empty());
}

// Every connect runs in the connection's thread, which answers the peer
// with the outcome; the event loop only hands it over.
TEST_F(ServerManagerTest, LocalhostConnectsInItsThreadAndAnswersThePeer)
{
    int port = 0;
    int listener = listenLoopback(&port);
    QV_TCPMANAGER manager(80, settings());
    EXPECT_EQ(1, manager.notifyTcpConnectRequest(port, "localhost"));
    QV_SOCKETTCP* socket = manager.getMainSocket();
    std::vector<uint8_t> reply = takePacket(socket->getOutboundQueue());
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(kA2ACodeConnectReply, a2aCode(reply.data()));
    EXPECT_EQ(kA2AResultConnected, a2aResult(reply.data()));
    EXPECT_TRUE(waitUntil([&] { return capture.has(line("TCP接続: %s ポート番号=%d", "localhost", port)); }));
    int server = acceptWithin(listener);
    ASSERT_TRUE(writeAll(server, "x", 1));
    std::vector<uint8_t> first = takePacket(socket->getOutboundQueue());
    EXPECT_EQ(kA2AKindData, a2aKind(first.data()));
    manager.stop();
    EXPECT_TRUE(capture.has("TCP切断: ポート番号=0"));
    close(server);
    close(listener);
}

TEST_F(ServerManagerTest, LocalhostWithNothingListeningFails)
{
    const int port = freePort();
    QV_TCPMANAGER manager(80, settings());
    EXPECT_EQ(1, manager.notifyTcpConnectRequest(port, "localhost"));
    std::vector<uint8_t> reply = takePacket(manager.getMainSocket()->getOutboundQueue());
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(kA2AResultFailed, a2aResult(reply.data()));
    EXPECT_EQ(ECONNREFUSED, a2aError(reply.data()));
    EXPECT_TRUE(waitUntil([&] { return capture.has(line("TCP接続失敗: %s ポート番号=%d", "localhost", port)); }));
}

// A listener is never stopped by the peer's end of a connection that is
// already over: the service keeps accepting.
TEST_F(ClientManagerTest, APeersLateDisconnectLeavesTheListenerListening)
{
    config.setClientMode(1);
    const int port = freePort();
    QV_TCPMANAGER manager(port, settings());
    manager.start();
    QV_SOCKETTCP* socket = manager.getMainSocket();
    ASSERT_TRUE(waitUntil([&] { return socket->getConnectionState() == QV_SOCKETTCP::kStateAccepting; }));
    manager.notifyTcpDisconnect(port, kA2ADisconnectOrderly);
    manager.notifyTcpDisconnect(port, kA2ADisconnectAborted);
    EXPECT_TRUE(capture.has(line("TCP切断: ポート番号=%d", port)));
    int fd = connectLoopback(port);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> request = takePacket(socket->getOutboundQueue());
    ASSERT_FALSE(request.empty());
    EXPECT_EQ(kA2ACodeConnectRequest, a2aCode(request.data()));
    manager.stop();
    close(fd);
}

// The peer's end that could not be queued still ends the open connection,
// as a reset when it was an abort.
TEST_F(ClientManagerTest, APeersAbortThatCouldNotBeQueuedResetsTheClient)
{
    config.setClientMode(1);
    const int port = freePort();
    QV_TCPMANAGER manager(port, settings());
    manager.start();
    int fd = connectLoopback(port);
    QV_SOCKETTCP* socket = manager.getMainSocket();
    ASSERT_FALSE(takePacket(socket->getOutboundQueue()).empty());
    manager.notifyTcpConnectReply(port, 1);
    ASSERT_TRUE(waitUntil([&] { return socket->getConnectionState() == QV_SOCKETTCP::kStateConnected; }));
    // The peer's side of the connection may have another port.
    manager.notifyTcpDisconnect(port + 1, kA2ADisconnectAborted);
    EXPECT_EQ(End::Reset, endOf(fd));
    EXPECT_TRUE(waitUntil([&] { return socket->getConnectionState() == QV_SOCKETTCP::kStateAccepting; }));
    manager.stop();
    close(fd);
}

TEST_F(ServerManagerTest, DottedHostUsesTheForwardThreadWhichReplies)
{
    int port = 0;
    int listener = listenLoopback(&port);
    QV_TCPMANAGER manager(80, settings());
    EXPECT_EQ(1, manager.notifyTcpConnectRequest(port, "127.0.0.1"));
    EXPECT_TRUE(capture.has(line("TCP接続(外部): %s ポート番号=%d", "127.0.0.1", port)));
    QV_SOCKETTCP* first = manager.getMainSocket();
    std::vector<uint8_t> reply = takePacket(first->getOutboundQueue());
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(kA2ACodeConnectReply, a2aCode(reply.data()));
    EXPECT_EQ(kA2AResultConnected, a2aResult(reply.data()));
    int server = acceptWithin(listener);

    // The next request reuses the socket object.
    EXPECT_EQ(1, manager.notifyTcpConnectRequest(port, "127.0.0.1"));
    EXPECT_EQ(first, manager.getMainSocket());
    EXPECT_TRUE(seesClose(server));
    close(server);
    server = acceptWithin(listener);
    EXPECT_GE(server, 0);
    close(server);
    close(listener);
}

TEST_F(ServerManagerTest, DottedHostNobodyListensOnStillAnswersOneThenNg)
{
    const int port = freePort();
    QV_TCPMANAGER manager(80, settings());
    EXPECT_EQ(1, manager.notifyTcpConnectRequest(port, "127.0.0.1"));
    std::vector<uint8_t> reply = takePacket(manager.getMainSocket()->getOutboundQueue());
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(kA2AResultFailed, a2aResult(reply.data()));
}

TEST_F(ServerManagerTest, DisconnectForAnotherPortLeavesTheConnection)
{
    int port = 0;
    int listener = listenLoopback(&port);
    QV_TCPMANAGER manager(port, settings());
    ASSERT_EQ(1, manager.notifyTcpConnectRequest(port, "localhost"));
    int server = acceptWithin(listener);
    manager.notifyTcpDisconnect(port + 1);
    EXPECT_TRUE(capture.has(line("TCP切断: ポート番号=%d", port + 1)));
    EXPECT_EQ(1, manager.getMainSocket()->isRunning());
    EXPECT_TRUE(stillOpenAndQuiet(server));

    manager.notifyTcpDisconnect(port);
    // The connection thread ends on its own once it sees the request.
    EXPECT_TRUE(waitUntil([&] { return manager.getMainSocket()->isRunning() == 0; }));
    EXPECT_TRUE(seesClose(server));
    close(server);
    close(listener);
}

TEST_F(ServerManagerTest, ReplyAndDataLinkCallsWithoutSocketsChangeNothing)
{
    QV_TCPMANAGER manager(80, settings());
    manager.notifyTcpConnectReply(80, 1);
    EXPECT_EQ(nullptr, manager.getMainSocket());
    EXPECT_EQ(1234, manager.createDataLinkServer(1234));
    EXPECT_EQ(0, manager.notifyDataLinkConnectRequest(21, "127.0.0.1"));
    manager.notifyDataLinkConnectReply(21, 1);
    manager.notifyDataLinkDisconnect(21);
    EXPECT_EQ(nullptr, manager.getDataLinkSocket());
    EXPECT_TRUE(capture.lines().empty());
}

using FtpManagerTest = ManagerTest;

TEST_F(FtpManagerTest, PassiveDataLinkListensOnAChosenPortAndServesOneConnection)
{
    QV_TCPMANAGERFORFTP manager(21, settings());
    const int first = manager.createDataLinkServer(21);
    ASSERT_GT(first, 0);
    EXPECT_NE(21, first);
    EXPECT_TRUE(capture.has(line("サーバソケット作成: ポート番号=%d ", first)));
    QV_SOCKETTCP* link = manager.getDataLinkSocket();
    EXPECT_EQ(0, link->isMainService());

    int fd = connectLoopback(first);
    std::vector<uint8_t> request = takePacket(link->getOutboundQueue());
    ASSERT_FALSE(request.empty());
    EXPECT_EQ(kA2AKindDataLinkControl, a2aKind(request.data()));
    manager.notifyDataLinkConnectReply(first, 1);
    EXPECT_TRUE(capture.has(line("TCP接続応答(OK): ポート番号=%d", first)));
    close(fd);
    std::vector<uint8_t> end = takePacket(link->getOutboundQueue());
    ASSERT_FALSE(end.empty());
    EXPECT_EQ(kA2ACodeDisconnectRequest, a2aCode(end.data()));
    manager.notifyDataLinkDisconnect(first, kA2ADisconnectSendEnd);
    EXPECT_TRUE(waitUntil([&] { return link->isRunning() == 0; }));

    const int second = manager.createDataLinkServer(21);
    ASSERT_GT(second, 0);
    EXPECT_EQ(link, manager.getDataLinkSocket());
    EXPECT_EQ(1, link->isRunning());
    manager.stop();
    EXPECT_EQ(nullptr, manager.getDataLinkSocket());
    EXPECT_TRUE(capture.has(line("TCP切断: ポート番号=%d", second)));
}

TEST_F(FtpManagerTest, DataLinkConnectRequest)
{
    QV_TCPMANAGERFORFTP manager(21, settings());
    const int nobody = freePort();
    EXPECT_EQ(1, manager.notifyDataLinkConnectRequest(nobody, "127.0.0.1"));
    std::vector<uint8_t> refused = takePacket(manager.getDataLinkSocket()->getOutboundQueue());
    ASSERT_FALSE(refused.empty());
    EXPECT_EQ(kA2AKindDataLinkControl, a2aKind(refused.data()));
    EXPECT_EQ(kA2ACodeConnectReply, a2aCode(refused.data()));
    EXPECT_EQ(nobody, a2aPort(refused.data()));
    EXPECT_EQ(kA2AResultFailed, a2aResult(refused.data()));
    EXPECT_TRUE(waitUntil([&] { return capture.has(line("TCP接続失敗: %s ポート番号=%d", "127.0.0.1", nobody)); }));

    int port = 0;
    int listener = listenLoopback(&port);
    EXPECT_EQ(1, manager.notifyDataLinkConnectRequest(port, "127.0.0.1"));
    std::vector<uint8_t> reply = takePacket(manager.getDataLinkSocket()->getOutboundQueue());
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(kA2AKindDataLinkControl, a2aKind(reply.data()));
    EXPECT_EQ(kA2AResultConnected, a2aResult(reply.data()));
    EXPECT_TRUE(waitUntil([&] { return capture.has(line("TCP接続(datalink): %s ポート番号=%d", "127.0.0.1", port)); }));
    int server = acceptWithin(listener);
    ASSERT_TRUE(writeAll(server, "file", 4));
    std::vector<uint8_t> data = takePacket(manager.getDataLinkSocket()->getOutboundQueue());
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(kA2AKindDataLinkData, a2aKind(data.data()));
    manager.notifyDataLinkDisconnect(port);
    EXPECT_TRUE(seesClose(server));
    EXPECT_TRUE(capture.has(line("TCP接続(datalink): %s ポート番号=%d", "127.0.0.1", port)));
    EXPECT_TRUE(capture.has(line("TCP切断: ポート番号=%d", port)));
    close(server);
    close(listener);
}

// The FTP control connect, too, runs in its thread: the manager returns
// while a silent server still keeps the connect pending, and the peer hears
// NG once the connect limit has passed.
TEST_F(FtpManagerTest, ControlConnectNeverHoldsTheCallerAndNamesTheServicePort)
{
    QV_TCPMANAGERFORFTP manager(21, settings());
    const int nobody = freePort();
    EXPECT_EQ(1, manager.notifyTcpConnectRequest(nobody, "127.0.0.1"));
    std::vector<uint8_t> refused = takePacket(manager.getMainSocket()->getOutboundQueue());
    ASSERT_FALSE(refused.empty());
    EXPECT_EQ(kA2AKindControl, a2aKind(refused.data()));
    EXPECT_EQ(kA2AResultFailed, a2aResult(refused.data()));
    EXPECT_TRUE(waitUntil([&] { return capture.has(line("TCP接続失敗: %s ポート番号=%d", "127.0.0.1", 21)); }));

    auto silent = std::make_unique<SilentHost>();
    QV_SOCKETTCP::setConnectTimeoutMs(500);
    EXPECT_EQ(1, manager.notifyTcpConnectRequest(silent->port(), "127.0.0.1"));
    QV_QUE* out = manager.getMainSocket()->getOutboundQueue();
    EXPECT_EQ(30, out->freeSlots());  // returned with the connect still pending
    std::vector<uint8_t> late = takePacket(out);
    QV_SOCKETTCP::setConnectTimeoutMs(QV_SOCKETTCP::kConnectTimeoutMs);
    ASSERT_FALSE(late.empty());
    EXPECT_EQ(kA2AResultFailed, a2aResult(late.data()));
    EXPECT_EQ(ETIMEDOUT, a2aError(late.data()));
    silent.reset();

    int port = 0;
    int listener = listenLoopback(&port);
    EXPECT_EQ(1, manager.notifyTcpConnectRequest(port, "127.0.0.1"));
    std::vector<uint8_t> ok = takePacket(manager.getMainSocket()->getOutboundQueue());
    ASSERT_FALSE(ok.empty());
    EXPECT_EQ(kA2AResultConnected, a2aResult(ok.data()));
    EXPECT_TRUE(waitUntil([&] { return capture.has(line("TCP接続: %s ポート番号=%d", "127.0.0.1", 21)); }));
    int server = acceptWithin(listener);
    // Any port: the FTP manager does not compare.
    manager.notifyTcpDisconnect(9999);
    EXPECT_TRUE(seesClose(server));
    EXPECT_TRUE(capture.has(line("TCP切断: ポート番号=%d", 9999)));
    close(server);
    close(listener);
}

TEST_F(FtpManagerTest, NotificationsWithoutSocketsAreSilent)
{
    QV_TCPMANAGERFORFTP manager(21, settings());
    manager.notifyTcpConnectReply(21, 1);
    manager.notifyTcpDisconnect(21);
    manager.notifyDataLinkConnectReply(21, 1);
    manager.notifyDataLinkDisconnect(21);
    manager.stop();
    EXPECT_TRUE(capture.lines().empty());
}

// The service ports of the client application: by default only programs of
// this machine reach them; LISTENADDRESS opens them on purpose.
using ListenAddressTest = ManagerTest;

// A client of the service port: connected, and the listener took it (its
// CONNECT-REQUEST reached the peer's queue).
bool servedAt(QV_TCPMANAGER& manager, const char* address, int port, int* fd)
{
    *fd = connectTo(address, port);
    if (*fd < 0)
        return false;
    std::vector<uint8_t> request = takePacket(manager.getMainSocket()->getOutboundQueue());
    return !request.empty() && a2aCode(request.data()) == kA2ACodeConnectRequest;
}

TEST_F(ListenAddressTest, ByDefaultTheServicePortIsNotReachableFromTheNetwork)
{
    const std::string outside = nonLoopbackAddress();
    if (outside.empty())
        GTEST_SKIP() << "no IPv4 address outside loopback on this machine";
    config.setClientMode(1);
    const int port = freePort();
    QV_TCPMANAGER manager(port, settings());
    manager.start();
    ASSERT_NE(nullptr, manager.getMainSocket());
    EXPECT_EQ(-1, connectTo(outside.c_str(), port)) << outside;
    EXPECT_EQ(-1, connectTo("127.0.0.2", port));
    int fd = -1;
    EXPECT_TRUE(servedAt(manager, "127.0.0.1", port, &fd));
    EXPECT_TRUE(capture.has(line("サーバソケット作成: ポート番号=%d ", port)));
    manager.stop();
    if (fd >= 0)
        close(fd);
}

TEST_F(ListenAddressTest, EveryAddressOpensTheServicePortToTheNetwork)
{
    const std::string outside = nonLoopbackAddress();
    if (outside.empty())
        GTEST_SKIP() << "no IPv4 address outside loopback on this machine";
    config.setClientMode(1);
    config.setListenAddress("0.0.0.0");
    const int port = freePort();
    QV_TCPMANAGER manager(port, settings());
    manager.start();
    ASSERT_NE(nullptr, manager.getMainSocket());
    int fd = -1;
    EXPECT_TRUE(servedAt(manager, outside.c_str(), port, &fd)) << outside;
    EXPECT_EQ(outside, remoteAddressOf(fd));
    EXPECT_TRUE(capture.has(line("待受アドレス: %s ポート番号=%d", "0.0.0.0", port)));
    manager.stop();
    if (fd >= 0)
        close(fd);
}

TEST_F(ListenAddressTest, AnotherAddressIsTheOnlyOneListenedOn)
{
    config.setClientMode(1);
    config.setListenAddress("127.0.0.2");
    const int port = freePort();
    QV_TCPMANAGER manager(port, settings());
    manager.start();
    ASSERT_NE(nullptr, manager.getMainSocket());
    EXPECT_EQ(-1, connectTo("127.0.0.1", port));
    int fd = -1;
    EXPECT_TRUE(servedAt(manager, "127.0.0.2", port, &fd));
    manager.stop();
    if (fd >= 0)
        close(fd);
}

TEST_F(ListenAddressTest, AValueThatNamesNoAddressListensOnLoopbackAndIsLogged)
{
    config.setClientMode(1);
    const int port = freePort();
    // "127.1" and "0" are addresses to inet_addr (127.0.0.1 and 0.0.0.0);
    // the setting takes the four-part form only.
    for (const char* bad : {"everywhere", "0", "192.168.1", "", "0.0.0.0.0"}) {
        SCOPED_TRACE(bad);
        config.setListenAddress(bad);
        QV_TCPMANAGER manager(port, settings());
        manager.start();
        ASSERT_NE(nullptr, manager.getMainSocket());
        EXPECT_TRUE(capture.has(line("サーバソケット作成: ポート番号=%d ", port)));
        EXPECT_TRUE(capture.has(line("待受アドレス不正: %s ポート番号=%d (127.0.0.1で待受)", bad, port)));
        EXPECT_EQ(-1, connectTo("127.0.0.2", port));
        int fd = -1;
        EXPECT_TRUE(servedAt(manager, "127.0.0.1", port, &fd));
        manager.stop();
        if (fd >= 0)
            close(fd);
    }
}

// A connection that the listener reset at once: its connect may already
// report the reset, or the reset comes right after it.
bool turnedAway(int fd)
{
    if (fd < 0)
        return true;
    const bool reset = endOf(fd) == End::Reset;
    close(fd);
    return reset;
}

// The FTP data link belongs to the program at the other end of the control
// connection. Another program, on another address, must neither reach it nor
// take it before that program does.
TEST_F(FtpManagerTest, DataLinkOfTheForwardSideAcceptsOnlyTheFtpServersAddress)
{
    // The FTP server at 127.0.0.3; this side reaches it from 127.0.0.1.
    int serverPort = 0;
    int listener = listenOn("127.0.0.3", &serverPort);
    ASSERT_GE(listener, 0);
    QV_TCPMANAGERFORFTP manager(21, settings());
    ASSERT_EQ(1, manager.notifyTcpConnectRequest(serverPort, "127.0.0.3"));
    std::vector<uint8_t> reply = takePacket(manager.getMainSocket()->getOutboundQueue());
    ASSERT_FALSE(reply.empty());
    ASSERT_EQ(kA2AResultConnected, a2aResult(reply.data()));
    int control = acceptWithin(listener);
    ASSERT_GE(control, 0);
    const std::string ours = remoteAddressOf(control);  // where the server sees us
    ASSERT_FALSE(ours.empty());
    ASSERT_NE("127.0.0.3", ours);

    const int link = manager.createDataLinkServer(20);
    ASSERT_GT(link, 0);
    // Listens where the server reached us, nowhere else.
    const char* elsewhere = ours == "127.0.0.4" ? "127.0.0.5" : "127.0.0.4";
    EXPECT_EQ(-1, connectTo(elsewhere, link));

    // Another program of the machine comes first: reset and logged.
    EXPECT_TRUE(turnedAway(connectTo(ours.c_str(), link, "127.0.0.2")));
    EXPECT_TRUE(
        waitUntil([&] { return capture.has(line("データリンク接続拒否: %s ポート番号=%d", "127.0.0.2", link)); }));

    // The FTP server's own data connection is still taken and tunnelled.
    int data = connectTo(ours.c_str(), link, "127.0.0.3");
    ASSERT_GE(data, 0);
    QV_SOCKETTCP* socket = manager.getDataLinkSocket();
    std::vector<uint8_t> request = takePacket(socket->getOutboundQueue());
    ASSERT_FALSE(request.empty());
    EXPECT_EQ(kA2AKindDataLinkControl, a2aKind(request.data()));
    EXPECT_EQ(kA2ACodeConnectRequest, a2aCode(request.data()));
    manager.notifyDataLinkConnectReply(link, 1);
    ASSERT_TRUE(writeAll(data, "list", 4));
    std::vector<uint8_t> bytes = takePacket(socket->getOutboundQueue());
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(kA2AKindDataLinkData, a2aKind(bytes.data()));
    EXPECT_EQ("list", std::string(reinterpret_cast<const char*>(bytes.data()) + kA2AHeaderSize, 4));
    manager.stop();
    close(data);
    close(control);
    close(listener);
}

TEST_F(FtpManagerTest, DataLinkOfTheListeningSideAcceptsOnlyTheFtpClientsAddress)
{
    // The FTP client reaches the service port at 127.0.0.2 from 127.0.0.2.
    config.setClientMode(1);
    config.setListenAddress("0.0.0.0");
    const int servicePort = freePort();
    QV_TCPMANAGERFORFTP manager(servicePort, settings());
    manager.start();
    ASSERT_NE(nullptr, manager.getMainSocket());
    int control = connectTo("127.0.0.2", servicePort, "127.0.0.2");
    ASSERT_GE(control, 0);
    std::vector<uint8_t> request = takePacket(manager.getMainSocket()->getOutboundQueue());
    ASSERT_FALSE(request.empty());
    manager.notifyTcpConnectReply(servicePort, 1);

    const int link = manager.createDataLinkServer(20);
    ASSERT_GT(link, 0);
    EXPECT_EQ(-1, connectTo("127.0.0.1", link));
    EXPECT_TRUE(turnedAway(connectTo("127.0.0.2", link, "127.0.0.1")));
    EXPECT_TRUE(
        waitUntil([&] { return capture.has(line("データリンク接続拒否: %s ポート番号=%d", "127.0.0.1", link)); }));

    int data = connectTo("127.0.0.2", link, "127.0.0.2");
    ASSERT_GE(data, 0);
    std::vector<uint8_t> linkRequest = takePacket(manager.getDataLinkSocket()->getOutboundQueue());
    ASSERT_FALSE(linkRequest.empty());
    EXPECT_EQ(kA2AKindDataLinkControl, a2aKind(linkRequest.data()));
    EXPECT_EQ(kA2ACodeConnectRequest, a2aCode(linkRequest.data()));
    manager.stop();
    close(data);
    close(control);
}

}  // namespace
