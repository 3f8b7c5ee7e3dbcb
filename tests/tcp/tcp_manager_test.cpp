// The TCP managers: which socket objects they make for the stream's calls,
// what they log, and where their listeners may be reached from.
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

template <typename... Args>
std::string line(const char* format, Args... args)
{
    char buf[200];
    std::snprintf(buf, sizeof(buf), format, args...);
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
    void TearDown() override
    {
        for (int fd : fds)
            close(fd);
        QV_EVENTLOG::destroyInstance();
    }
    // What a stream gives its manager: the settings as they are now.
    QV_TCPMANAGER::Settings settings() { return QV_TCPMANAGER::settingsOf(&config); }
    int keep(int fd)
    {
        if (fd >= 0)
            fds.push_back(fd);
        return fd;
    }
    // The first packet for the peer of `socket`; its kind, code and result.
    std::vector<uint8_t> expectPacket(QV_SOCKETTCP* socket, uint16_t kind, uint16_t code, int result = -1)
    {
        std::vector<uint8_t> p = takePacket(socket->getOutboundQueue());
        EXPECT_FALSE(p.empty());
        if (!p.empty()) {
            EXPECT_EQ(kind, a2aKind(p.data()));
            EXPECT_EQ(code, a2aCode(p.data()));
            if (result >= 0) {
                EXPECT_EQ(result, a2aResult(p.data()));
            }
        }
        return p;
    }
    // A client of the service port reached at `address`, from `from`:
    // connected, and the listener took it (its CONNECT-REQUEST came).
    bool served(QV_TCPMANAGER& manager, const char* address, int at, const char* from = nullptr)
    {
        if (keep(connectTo(address, at, from)) < 0)
            return false;
        std::vector<uint8_t> request = takePacket(manager.getMainSocket()->getOutboundQueue());
        return !request.empty() && a2aCode(request.data()) == kA2ACodeConnectRequest;
    }
    bool logged(const std::string& text)
    {
        return waitUntil([&] { return capture.has(text); });
    }

    TempDir dir;
    QV_CONFIGSTORE config;
    LogCapture capture;
    std::vector<int> fds;
    int port = freePort();
};

using ClientManagerTest = ManagerTest;

TEST_F(ClientManagerTest, ListensOnTheServicePortAndLogsThePeersAnswer)
{
    config.setClientMode(1);
    QV_TCPMANAGER manager(port, settings());
    EXPECT_EQ(QV_TCPMANAGER::kListenOnServicePort, manager.getListenMode());
    manager.start();
    EXPECT_TRUE(capture.has(line("サーバソケット作成: ポート番号=%d ", port)));
    QV_SOCKETTCP* socket = manager.getMainSocket();
    ASSERT_TRUE(served(manager, "127.0.0.1", port));
    manager.notifyTcpConnectReply(port, 7);  // unknown answer: nothing changes
    EXPECT_EQ(QV_SOCKETTCP::kPeerWaiting, socket->getPeerConnectState());
    manager.notifyTcpConnectReply(port, 2);
    EXPECT_EQ(QV_SOCKETTCP::kPeerNg, socket->getPeerConnectState());
    EXPECT_TRUE(capture.has(line("TCP接続応答(NG): ポート番号=%d", port)));

    ASSERT_TRUE(served(manager, "127.0.0.1", port));
    manager.notifyTcpConnectReply(port, 1);
    EXPECT_EQ(QV_SOCKETTCP::kPeerOk, socket->getPeerConnectState());
    EXPECT_EQ(1, capture.count(line("TCP接続応答(OK): ポート番号=%d", port)));
    manager.stop();
    EXPECT_EQ(nullptr, manager.getMainSocket());
    EXPECT_TRUE(capture.has(line("TCP切断: ポート番号=%d", port)));
    EXPECT_TRUE(seesClose(fds.back()));
}

// Back-to-back connections: the peer's forward side acknowledges our
// DISCONNECT-REQUEST of the first one with its own, which may arrive only
// once the next local client is waiting for its answer. It came before that
// answer, so it belongs to the first connection and must not end the second.
TEST_F(ClientManagerTest, DisconnectLeftFromTheLastConnectionDoesNotEndTheNextOne)
{
    config.setClientMode(1);
    QV_TCPMANAGER manager(port, settings());
    manager.start();
    QV_SOCKETTCP* socket = manager.getMainSocket();
    ASSERT_TRUE(served(manager, "127.0.0.1", port));
    ASSERT_TRUE(putPacket(socket->getInboundQueue(), controlPacket(kA2AKindControl, kA2ACodeDisconnectRequest, port)));
    ASSERT_TRUE(putPacket(socket->getInboundQueue(), dataPacket(kA2AKindData, port, "old")));
    manager.notifyTcpConnectReply(port, 1);
    ASSERT_TRUE(putPacket(socket->getInboundQueue(), dataPacket(kA2AKindData, port, "new")));
    EXPECT_EQ("new", readSome(fds.back(), 3));
    EXPECT_TRUE(stillOpenAndQuiet(fds.back()));
    ASSERT_TRUE(writeAll(fds.back(), "up", 2));
    expectPacket(socket, kA2AKindData, 0);
    manager.stop();
}

// A port held by another program, or one below 1024 without
// CAP_NET_BIND_SERVICE (dropped for the one thread that starts the manager):
// reported, and nothing listens.
TEST_F(ClientManagerTest, APortThatCannotBeBoundIsReported)
{
    config.setClientMode(1);
    int held = 0;
    keep(listenLoopback(&held));
    for (int servicePort : {held, 1023}) {
        SCOPED_TRACE(servicePort);
        std::unique_ptr<QV_TCPMANAGER> manager;
        std::thread unprivileged([&] {
            __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
            __user_cap_data_struct caps[2] = {};
            ASSERT_EQ(0, syscall(SYS_capget, &header, caps));
            caps[CAP_NET_BIND_SERVICE / 32].effective &= ~(1u << (CAP_NET_BIND_SERVICE % 32));
            ASSERT_EQ(0, syscall(SYS_capset, &header, caps));
            manager = std::make_unique<QV_TCPMANAGER>(servicePort, settings());
            manager->start();
        });
        unprivileged.join();
        ASSERT_TRUE(manager);
        EXPECT_TRUE(capture.has(line("サーバソケット作成失敗: ポート番号=%d ", servicePort)));
        EXPECT_FALSE(capture.has(line("サーバソケット作成: ポート番号=%d ", servicePort)));
        EXPECT_EQ(0, manager->getMainSocket()->isRunning());
    }
}

// A listener is never stopped by the peer's end of a connection that is
// already over; the peer's end that could not be queued still ends the open
// connection (whatever port the peer's side has), as a reset when it was an
// abort.
TEST_F(ClientManagerTest, ThePeersEndOutsideTheQueueEndsOnlyAnOpenConnection)
{
    config.setClientMode(1);
    QV_TCPMANAGER manager(port, settings());
    manager.start();
    QV_SOCKETTCP* socket = manager.getMainSocket();
    auto inState = [&](int32_t state) { return waitUntil([&] { return socket->getConnectionState() == state; }); };
    ASSERT_TRUE(inState(QV_SOCKETTCP::kStateAccepting));
    manager.notifyTcpDisconnect(port, kA2ADisconnectOrderly);
    manager.notifyTcpDisconnect(port, kA2ADisconnectAborted);
    EXPECT_TRUE(capture.has(line("TCP切断: ポート番号=%d", port)));
    ASSERT_TRUE(served(manager, "127.0.0.1", port));
    manager.notifyTcpConnectReply(port, 1);
    ASSERT_TRUE(inState(QV_SOCKETTCP::kStateConnected));
    manager.notifyTcpDisconnect(port + 1, kA2ADisconnectAborted);
    EXPECT_EQ(End::Reset, endOf(fds.back()));
    EXPECT_TRUE(inState(QV_SOCKETTCP::kStateAccepting));
    manager.stop();
}

using ServerManagerTest = ManagerTest;

// Calls for sockets that were never made change nothing and log nothing.
TEST_F(ServerManagerTest, StartListensNowhereAndCallsWithoutSocketsAreSilent)
{
    config.setClientMode(0);
    QV_TCPMANAGER manager(port, settings());
    EXPECT_EQ(QV_TCPMANAGER::kConnectOnRequest, manager.getListenMode());
    manager.start();
    manager.notifyTcpConnectReply(port, 1);
    EXPECT_EQ(nullptr, manager.getMainSocket());
    EXPECT_EQ(1234, manager.createDataLinkServer(1234));
    EXPECT_EQ(0, manager.notifyDataLinkConnectRequest(21, "127.0.0.1"));
    manager.notifyDataLinkConnectReply(21, 1);
    manager.notifyDataLinkDisconnect(21);
    EXPECT_EQ(nullptr, manager.getDataLinkSocket());
    manager.stop();

    QV_TCPMANAGERFORFTP ftp(21, settings());
    ftp.notifyTcpConnectReply(21, 1);
    ftp.notifyTcpDisconnect(21);
    ftp.notifyDataLinkConnectReply(21, 1);
    ftp.notifyDataLinkDisconnect(21);
    ftp.stop();
    EXPECT_TRUE(capture.lines().empty());
}

// Every connect runs in the connection's thread, which answers the peer
// with the outcome; the event loop only hands it over.
TEST_F(ServerManagerTest, ConnectsInTheConnectionsThreadAndAnswersThePeer)
{
    int listening = 0;
    keep(listenLoopback(&listening));
    struct Case {
        const char* host;
        bool up;
        std::string log;
    };
    for (const Case& c : {Case{"localhost", true, line("TCP接続: %s ポート番号=%d", "localhost", listening)},
                          Case{"localhost", false, line("TCP接続失敗: %s ポート番号=%d", "localhost", port)},
                          Case{"127.0.0.1", true, line("TCP接続(外部): %s ポート番号=%d", "127.0.0.1", listening)},
                          Case{"127.0.0.1", false, line("TCP接続失敗: %s ポート番号=%d", "127.0.0.1", port)}}) {
        SCOPED_TRACE(c.log);
        QV_TCPMANAGER manager(80, settings());
        const int target = c.up ? listening : port;
        EXPECT_EQ(1, manager.notifyTcpConnectRequest(target, c.host));
        QV_SOCKETTCP* socket = manager.getMainSocket();
        expectPacket(socket, kA2AKindControl, kA2ACodeConnectReply, c.up ? kA2AResultConnected : kA2AResultFailed);
        EXPECT_TRUE(logged(c.log));
        if (!c.up)
            continue;
        int server = keep(acceptWithin(fds.front()));
        ASSERT_TRUE(writeAll(server, "x", 1));
        expectPacket(socket, kA2AKindData, 0);
        // The next request reuses the socket object and ends the connection.
        EXPECT_EQ(1, manager.notifyTcpConnectRequest(target, c.host));
        EXPECT_EQ(socket, manager.getMainSocket());
        EXPECT_TRUE(seesClose(server));
        keep(acceptWithin(fds.front()));
        manager.stop();
        EXPECT_TRUE(capture.has("TCP切断: ポート番号=0"));
    }
}

TEST_F(ServerManagerTest, DisconnectForAnotherPortLeavesTheConnection)
{
    int listening = 0;
    keep(listenLoopback(&listening));
    QV_TCPMANAGER manager(listening, settings());
    ASSERT_EQ(1, manager.notifyTcpConnectRequest(listening, "localhost"));
    int server = keep(acceptWithin(fds.front()));
    manager.notifyTcpDisconnect(listening + 1);
    EXPECT_TRUE(capture.has(line("TCP切断: ポート番号=%d", listening + 1)));
    EXPECT_EQ(1, manager.getMainSocket()->isRunning());
    EXPECT_TRUE(stillOpenAndQuiet(server));

    manager.notifyTcpDisconnect(listening);
    // The connection thread ends on its own once it sees the request.
    EXPECT_TRUE(waitUntil([&] { return manager.getMainSocket()->isRunning() == 0; }));
    EXPECT_TRUE(seesClose(server));
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
    expectPacket(link, kA2AKindDataLinkControl, kA2ACodeConnectRequest);
    manager.notifyDataLinkConnectReply(first, 1);
    EXPECT_TRUE(capture.has(line("TCP接続応答(OK): ポート番号=%d", first)));
    close(fd);
    expectPacket(link, kA2AKindDataLinkControl, kA2ACodeDisconnectRequest);
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

// The data link's and the control connection's connects run in their
// threads: the manager returns while a silent server still keeps the connect
// pending, and the peer hears NG once the connect limit has passed. The
// control connection's lines name the service port.
TEST_F(FtpManagerTest, ConnectsNeverHoldTheCaller)
{
    QV_TCPMANAGERFORFTP manager(21, settings());
    EXPECT_EQ(1, manager.notifyDataLinkConnectRequest(port, "127.0.0.1"));
    QV_SOCKETTCP* link = manager.getDataLinkSocket();
    std::vector<uint8_t> refused = expectPacket(link, kA2AKindDataLinkControl, kA2ACodeConnectReply, kA2AResultFailed);
    EXPECT_EQ(port, a2aPort(refused.data()));
    EXPECT_TRUE(logged(line("TCP接続失敗: %s ポート番号=%d", "127.0.0.1", port)));
    EXPECT_EQ(1, manager.notifyTcpConnectRequest(port, "127.0.0.1"));
    expectPacket(manager.getMainSocket(), kA2AKindControl, kA2ACodeConnectReply, kA2AResultFailed);
    EXPECT_TRUE(logged(line("TCP接続失敗: %s ポート番号=%d", "127.0.0.1", 21)));

    auto silent = std::make_unique<SilentHost>();
    QV_SOCKETTCP::setConnectTimeoutMs(300);
    EXPECT_EQ(1, manager.notifyTcpConnectRequest(silent->port(), "127.0.0.1"));
    QV_QUE* out = manager.getMainSocket()->getOutboundQueue();
    EXPECT_EQ(QV_QUE::kCapacity, out->freeSlots());  // returned with the connect still pending
    std::vector<uint8_t> late =
        expectPacket(manager.getMainSocket(), kA2AKindControl, kA2ACodeConnectReply, kA2AResultFailed);
    QV_SOCKETTCP::setConnectTimeoutMs(QV_SOCKETTCP::kConnectTimeoutMs);
    EXPECT_EQ(ETIMEDOUT, a2aError(late.data()));
    silent.reset();

    int listening = 0;
    keep(listenLoopback(&listening));
    for (bool dataLink : {true, false}) {
        SCOPED_TRACE(dataLink);
        QV_SOCKETTCP* socket = dataLink ? link : manager.getMainSocket();
        if (dataLink)
            EXPECT_EQ(1, manager.notifyDataLinkConnectRequest(listening, "127.0.0.1"));
        else
            EXPECT_EQ(1, manager.notifyTcpConnectRequest(listening, "127.0.0.1"));
        const uint16_t kind = dataLink ? kA2AKindDataLinkControl : kA2AKindControl;
        expectPacket(socket, kind, kA2ACodeConnectReply, kA2AResultConnected);
        EXPECT_TRUE(logged(dataLink ? line("TCP接続(datalink): %s ポート番号=%d", "127.0.0.1", listening)
                                    : line("TCP接続: %s ポート番号=%d", "127.0.0.1", 21)));
        int server = keep(acceptWithin(fds.front()));
        ASSERT_TRUE(writeAll(server, "file", 4));
        expectPacket(socket, dataLink ? kA2AKindDataLinkData : kA2AKindData, 0);
        // Any port: the FTP manager does not compare.
        if (dataLink)
            manager.notifyDataLinkDisconnect(9999);
        else
            manager.notifyTcpDisconnect(9999);
        EXPECT_TRUE(seesClose(server));
        EXPECT_TRUE(capture.has(line("TCP切断: ポート番号=%d", 9999)));
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
// take it before that program does; the FTP program's own is taken and
// tunnelled. On the forward side the FTP server is at 127.0.0.3 and reached
// from 127.0.0.1; on the listening side the FTP client reaches the service
// port at 127.0.0.2 from 127.0.0.2.
TEST_F(FtpManagerTest, TheDataLinkAcceptsOnlyTheFtpProgramsAddress)
{
    for (bool listening : {false, true}) {
        SCOPED_TRACE(listening);
        std::unique_ptr<QV_TCPMANAGERFORFTP> manager;
        std::string ours;
        const char* theirs = listening ? "127.0.0.2" : "127.0.0.3";
        if (listening) {
            config.setClientMode(1);
            config.setListenAddress("0.0.0.0");
            manager = std::make_unique<QV_TCPMANAGERFORFTP>(port, settings());
            manager->start();
            ASSERT_TRUE(served(*manager, "127.0.0.2", port, "127.0.0.2"));
            manager->notifyTcpConnectReply(port, 1);
            ours = "127.0.0.2";
        } else {
            int serverPort = 0;
            int server = keep(listenOn("127.0.0.3", &serverPort));
            ASSERT_GE(server, 0);
            manager = std::make_unique<QV_TCPMANAGERFORFTP>(21, settings());
            ASSERT_EQ(1, manager->notifyTcpConnectRequest(serverPort, "127.0.0.3"));
            expectPacket(manager->getMainSocket(), kA2AKindControl, kA2ACodeConnectReply, kA2AResultConnected);
            ours = remoteAddressOf(keep(acceptWithin(server)));  // where the server sees us
            ASSERT_FALSE(ours.empty());
            ASSERT_NE("127.0.0.3", ours);
        }
        const int link = manager->createDataLinkServer(20);
        ASSERT_GT(link, 0);
        // Listens where the FTP program reached us, nowhere else.
        const char* elsewhere = listening ? "127.0.0.1" : ours == "127.0.0.4" ? "127.0.0.5" : "127.0.0.4";
        EXPECT_EQ(-1, connectTo(elsewhere, link));
        // Another program of the machine comes first: reset and logged.
        const char* other = listening ? "127.0.0.1" : "127.0.0.2";
        EXPECT_TRUE(turnedAway(connectTo(ours.c_str(), link, other)));
        EXPECT_TRUE(logged(line("データリンク接続拒否: %s ポート番号=%d", other, link)));

        int data = keep(connectTo(ours.c_str(), link, theirs));
        ASSERT_GE(data, 0);
        QV_SOCKETTCP* socket = manager->getDataLinkSocket();
        expectPacket(socket, kA2AKindDataLinkControl, kA2ACodeConnectRequest);
        manager->notifyDataLinkConnectReply(link, 1);
        ASSERT_TRUE(writeAll(data, "list", 4));
        std::vector<uint8_t> bytes = expectPacket(socket, kA2AKindDataLinkData, 0);
        EXPECT_EQ("list", std::string(reinterpret_cast<const char*>(bytes.data()) + kA2AHeaderSize, 4));
        manager->stop();
    }
}

// The service ports of the client application: by default only programs of
// this machine reach them; LISTENADDRESS opens them on purpose, to every
// address or to one; a value that names no address keeps them on loopback
// and is logged. "127.1" and "0" are addresses to inet_addr (127.0.0.1 and
// 0.0.0.0); the setting takes the four-part form only.
TEST_F(ManagerTest, TheListenAddressDecidesWhereTheServicePortIsReached)
{
    const std::string outside = nonLoopbackAddress();
    config.setClientMode(1);
    struct Case {
        const char* setting;
        std::vector<std::string> reached;
        std::vector<std::string> notReached;
        std::string log;
    };
    const std::string bad = "待受アドレス不正: %s ポート番号=%d (127.0.0.1で待受)";
    std::vector<Case> cases = {
        {nullptr, {"127.0.0.1"}, {"127.0.0.2", outside}, ""},
        {"0.0.0.0", {outside}, {}, line("待受アドレス: %s ポート番号=%d", "0.0.0.0", port)},
        {"127.0.0.2", {"127.0.0.2"}, {"127.0.0.1"}, ""},
    };
    for (const char* value : {"everywhere", "0", "192.168.1", "", "0.0.0.0.0"})
        cases.push_back({value, {"127.0.0.1"}, {"127.0.0.2"}, line(bad.c_str(), value, port)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting ? c.setting : "(none)");
        if (c.setting)
            config.setListenAddress(c.setting);
        QV_TCPMANAGER manager(port, settings());
        manager.start();
        ASSERT_NE(nullptr, manager.getMainSocket());
        EXPECT_TRUE(capture.has(line("サーバソケット作成: ポート番号=%d ", port)));
        for (const std::string& address : c.notReached) {
            if (!address.empty()) {
                EXPECT_EQ(-1, keep(connectTo(address.c_str(), port))) << address;
            }
        }
        for (const std::string& address : c.reached) {
            if (address.empty())
                continue;  // no IPv4 address outside loopback on this machine
            EXPECT_TRUE(served(manager, address.c_str(), port)) << address;
            EXPECT_EQ(address, remoteAddressOf(fds.back()));
        }
        if (!c.log.empty()) {
            EXPECT_TRUE(capture.has(c.log));
        }
        manager.stop();
    }
}

}  // namespace
