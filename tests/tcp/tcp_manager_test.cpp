// The TCP managers: which socket objects they make for the stream's calls,
// what they log, and where their listeners may be reached from. What a
// connection does once made is the connection threads' test.
#include "tcp/tcp_manager.h"
#include "tcp/tcp_manager_ftp.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>

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
        QV_EVENTLOG::getInstance()->setEnabled(1);
        QV_EVENTLOG::getInstance()->addListener(&capture);
    }
    void TearDown() override
    {
        for (int fd : fds)
            close(fd);
        QV_EVENTLOG::destroyInstance();
    }
    QV_TCPMANAGER::Settings settings() { return QV_TCPMANAGER::settingsOf(&config); }
    int keep(int fd)
    {
        if (fd >= 0)
            fds.push_back(fd);
        return fd;
    }
    // The first packet for the peer of `socket`: its kind, code and result.
    std::vector<uint8_t> expectPacket(QV_SOCKETTCP* socket, uint16_t kind, uint16_t code, int result = -1)
    {
        std::vector<uint8_t> p = takePacket(socket->getOutboundQueue());
        p.resize(std::max<size_t>(p.size(), kA2AHeaderSize));
        EXPECT_EQ(kind, a2aKind(p.data()));
        EXPECT_EQ(code, a2aCode(p.data()));
        EXPECT_TRUE(result < 0 || result == a2aResult(p.data())) << a2aResult(p.data());
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

// The client application listens on the service port and logs the peer's
// answers; the peer's end of a connection that is already over never stops
// the listener, while one that could not be queued still ends the open
// connection (whatever port the peer's side has) as a reset.
TEST_F(ManagerTest, TheClientsListenerLogsThePeersAnswersAndEnds)
{
    config.setClientMode(1);
    QV_TCPMANAGER manager(port, settings());
    EXPECT_EQ(QV_TCPMANAGER::kListenOnServicePort, manager.getListenMode());
    manager.start();
    EXPECT_TRUE(capture.has(line("サーバソケット作成: ポート番号=%d ", port)));
    QV_SOCKETTCP* socket = manager.getMainSocket();
    auto inState = [&](int32_t state) { return waitUntil([&] { return socket->getConnectionState() == state; }); };
    ASSERT_TRUE(inState(QV_SOCKETTCP::kStateAccepting));
    manager.notifyTcpDisconnect(port, kA2ADisconnectOrderly);
    manager.notifyTcpDisconnect(port, kA2ADisconnectAborted);
    EXPECT_TRUE(capture.has(line("TCP切断: ポート番号=%d", port)));

    ASSERT_TRUE(served(manager, "127.0.0.1", port));
    manager.notifyTcpConnectReply(port, 7);  // unknown answer: nothing changes
    EXPECT_EQ(QV_SOCKETTCP::kPeerWaiting, socket->getPeerConnectState());
    manager.notifyTcpConnectReply(port, 2);
    EXPECT_EQ(QV_SOCKETTCP::kPeerNg, socket->getPeerConnectState());
    EXPECT_TRUE(capture.has(line("TCP接続応答(NG): ポート番号=%d", port)));

    // Back-to-back connections: the peer's forward side acknowledges our
    // DISCONNECT-REQUEST of the last one with its own, which may arrive only
    // once the next client waits for its answer. It came before that answer,
    // so it belongs to the last connection and must not end this one.
    ASSERT_TRUE(served(manager, "127.0.0.1", port));
    ASSERT_TRUE(putPacket(socket->getInboundQueue(), controlPacket(kA2AKindControl, kA2ACodeDisconnectRequest, port)));
    ASSERT_TRUE(putPacket(socket->getInboundQueue(), dataPacket(kA2AKindData, port, "old")));
    manager.notifyTcpConnectReply(port, 1);
    EXPECT_EQ(QV_SOCKETTCP::kPeerOk, socket->getPeerConnectState());
    EXPECT_EQ(1, capture.count(line("TCP接続応答(OK): ポート番号=%d", port)));
    ASSERT_TRUE(putPacket(socket->getInboundQueue(), dataPacket(kA2AKindData, port, "new")));
    EXPECT_EQ("new", readSome(fds.back(), 3));
    EXPECT_TRUE(stillOpenAndQuiet(fds.back()));
    ASSERT_TRUE(writeAll(fds.back(), "up", 2));
    expectPacket(socket, kA2AKindData, 0);
    manager.notifyTcpDisconnect(port + 1, kA2ADisconnectAborted);
    EXPECT_EQ(End::Reset, endOf(fds.back()));
    EXPECT_TRUE(inState(QV_SOCKETTCP::kStateAccepting));

    ASSERT_TRUE(served(manager, "127.0.0.1", port));
    manager.stop();
    EXPECT_EQ(nullptr, manager.getMainSocket());
    EXPECT_TRUE(seesClose(fds.back()));
}

// A port held by another program: reported, and nothing listens.
TEST_F(ManagerTest, APortThatCannotBeBoundIsReported)
{
    config.setClientMode(1);
    int held = 0;
    keep(listenLoopback(&held));
    QV_TCPMANAGER manager(held, settings());
    manager.start();
    EXPECT_TRUE(capture.has(line("サーバソケット作成失敗: ポート番号=%d ", held)));
    EXPECT_FALSE(capture.has(line("サーバソケット作成: ポート番号=%d ", held)));
    EXPECT_EQ(0, manager.getMainSocket()->isRunning());
}

// The server application listens nowhere; calls for sockets that were never
// made change nothing and log nothing. Every connect runs in the
// connection's thread, which answers the peer with the outcome; the next
// request reuses the object and ends the connection, as does the peer's
// end for the service port (not for another).
TEST_F(ManagerTest, TheServerConnectsOnRequestInTheConnectionsThread)
{
    {
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
        QV_TCPMANAGERFORFTP ftp(21, settings());
        ftp.notifyTcpConnectReply(21, 1);
        ftp.notifyTcpDisconnect(21);
        ftp.notifyDataLinkConnectReply(21, 1);
        ftp.notifyDataLinkDisconnect(21);
        EXPECT_TRUE(capture.lines().empty());
    }
    int listening = 0;
    const int listener = keep(listenLoopback(&listening));
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
        int server = keep(acceptWithin(listener));
        EXPECT_EQ(1, manager.notifyTcpConnectRequest(target, c.host));
        EXPECT_EQ(socket, manager.getMainSocket());
        EXPECT_TRUE(seesClose(server));
        server = keep(acceptWithin(listener));
        manager.notifyTcpDisconnect(81);
        EXPECT_TRUE(capture.has("TCP切断: ポート番号=81"));
        EXPECT_TRUE(stillOpenAndQuiet(server));
        manager.notifyTcpDisconnect(80);
        EXPECT_TRUE(waitUntil([&] { return socket->isRunning() == 0; }));
        EXPECT_TRUE(seesClose(server));
        manager.stop();
        EXPECT_TRUE(capture.has("TCP切断: ポート番号=0"));
    }
}

// The FTP manager's lines name the service port, the data link's their own.
// The passive data link listens on a port of its choice and belongs to the
// program at the other end of the control connection. Another program, on
// another address, must neither reach it nor take it before that program
// does (a reset); the FTP program's own is taken and tunnelled, and its end
// ends the link. On the forward side the FTP server is at 127.0.0.3 and
// reached from 127.0.0.1; on the listening side the FTP client reaches the
// service port at 127.0.0.2 from 127.0.0.2.
TEST_F(ManagerTest, TheFtpDataLinkAcceptsOnlyTheFtpProgramsAddress)
{
    for (bool listening : {false, true}) {
        SCOPED_TRACE(listening);
        std::unique_ptr<QV_TCPMANAGERFORFTP> manager;
        std::string ours = "127.0.0.2";
        int control = -1, server = -1, serverPort = 0;
        if (listening) {
            config.setClientMode(1);
            config.setListenAddress("0.0.0.0");
            manager = std::make_unique<QV_TCPMANAGERFORFTP>(port, settings());
            manager->start();
            ASSERT_TRUE(served(*manager, "127.0.0.2", port, "127.0.0.2"));
            manager->notifyTcpConnectReply(port, 1);
        } else {
            server = keep(listenOn("127.0.0.3", &serverPort));
            manager = std::make_unique<QV_TCPMANAGERFORFTP>(21, settings());
            ASSERT_EQ(1, manager->notifyTcpConnectRequest(freePort(), "127.0.0.1"));
            expectPacket(manager->getMainSocket(), kA2AKindControl, kA2ACodeConnectReply, kA2AResultFailed);
            EXPECT_TRUE(logged(line("TCP接続失敗: %s ポート番号=%d", "127.0.0.1", 21)));
            ASSERT_EQ(1, manager->notifyTcpConnectRequest(serverPort, "127.0.0.3"));
            expectPacket(manager->getMainSocket(), kA2AKindControl, kA2ACodeConnectReply, kA2AResultConnected);
            EXPECT_TRUE(logged(line("TCP接続: %s ポート番号=%d", "127.0.0.3", 21)));
            ours = remoteAddressOf(control = keep(acceptWithin(server)));  // where the server sees us
            ASSERT_FALSE(ours.empty());
            ASSERT_NE("127.0.0.3", ours);
        }
        const int link = manager->createDataLinkServer(20);
        ASSERT_GT(link, 0);
        EXPECT_NE(20, link);
        EXPECT_TRUE(capture.has(line("サーバソケット作成: ポート番号=%d ", link)));
        const char* elsewhere = listening ? "127.0.0.1" : ours == "127.0.0.4" ? "127.0.0.5" : "127.0.0.4";
        EXPECT_EQ(-1, connectTo(elsewhere, link));
        const char* other = listening ? "127.0.0.1" : "127.0.0.2";
        const int intruder = connectTo(ours.c_str(), link, other);
        EXPECT_TRUE(intruder < 0 || endOf(intruder) == End::Reset);
        close(intruder);
        EXPECT_TRUE(logged(line("データリンク接続拒否: %s ポート番号=%d", other, link)));

        int data = keep(connectTo(ours.c_str(), link, listening ? "127.0.0.2" : "127.0.0.3"));
        ASSERT_GE(data, 0);
        QV_SOCKETTCP* socket = manager->getDataLinkSocket();
        EXPECT_EQ(0, socket->isMainService());
        expectPacket(socket, kA2AKindDataLinkControl, kA2ACodeConnectRequest);
        manager->notifyDataLinkConnectReply(link, 1);
        EXPECT_TRUE(capture.has(line("TCP接続応答(OK): ポート番号=%d", link)));
        ASSERT_TRUE(writeAll(data, "list", 4));
        std::vector<uint8_t> bytes = expectPacket(socket, kA2AKindDataLinkData, 0);
        EXPECT_EQ("list", std::string(reinterpret_cast<const char*>(bytes.data()) + kA2AHeaderSize, 4));
        shutdown(data, SHUT_WR);
        expectPacket(socket, kA2AKindDataLinkControl, kA2ACodeDisconnectRequest, kA2ADisconnectSendEnd);
        manager->notifyDataLinkDisconnect(link, kA2ADisconnectSendEnd);
        EXPECT_TRUE(waitUntil([&] { return socket->isRunning() == 0; }));
        if (!listening) {  // active mode; ends for any port: the FTP manager does not compare
            EXPECT_EQ(1, manager->notifyDataLinkConnectRequest(serverPort, "127.0.0.3"));
            expectPacket(socket, kA2AKindDataLinkControl, kA2ACodeConnectReply, kA2AResultConnected);
            EXPECT_TRUE(logged(line("TCP接続(datalink): %s ポート番号=%d", "127.0.0.3", serverPort)));
            const int active = keep(acceptWithin(server));
            manager->notifyDataLinkDisconnect(9999);
            EXPECT_TRUE(seesClose(active));
            manager->notifyTcpDisconnect(9999);
            EXPECT_TRUE(seesClose(control));
        }
        const int next = manager->createDataLinkServer(20);
        EXPECT_EQ(socket, manager->getDataLinkSocket());
        EXPECT_EQ(1, socket->isRunning());
        manager->stop();
        EXPECT_EQ(nullptr, manager->getDataLinkSocket());
        EXPECT_TRUE(capture.has(line("TCP切断: ポート番号=%d", next)));
    }
}

// The service ports of the client application: by default only programs of
// this machine reach them; LISTENADDRESS opens them on purpose, to every
// address or to one; a value that names no address keeps them on loopback
// and is logged. "0" is an address to inet_addr (0.0.0.0); the setting
// takes the four-part form only.
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
    std::vector<Case> cases = {
        {nullptr, {"127.0.0.1"}, {"127.0.0.2", outside}, ""},
        {"0.0.0.0", {outside}, {}, line("待受アドレス: %s ポート番号=%d", "0.0.0.0", port)},
        {"127.0.0.2", {"127.0.0.2"}, {"127.0.0.1"}, ""},
    };
    for (const char* value : {"everywhere", "0", "192.168.1", "", "0.0.0.0.0"})
        cases.push_back({value,
                         {"127.0.0.1"},
                         {"127.0.0.2"},
                         line("待受アドレス不正: %s ポート番号=%d (127.0.0.1で待受)", value, port)});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting ? c.setting : "(none)");
        if (c.setting)
            config.setListenAddress(c.setting);
        QV_TCPMANAGER manager(port, settings());
        manager.start();
        ASSERT_NE(nullptr, manager.getMainSocket());
        for (const std::string& address : c.notReached)
            EXPECT_TRUE(address.empty() || keep(connectTo(address.c_str(), port)) == -1) << address;
        for (const std::string& address : c.reached) {
            if (address.empty())
                continue;  // no IPv4 address outside loopback on this machine
            EXPECT_TRUE(served(manager, address.c_str(), port)) << address;
            EXPECT_EQ(address, remoteAddressOf(fds.back()));
        }
        EXPECT_TRUE(c.log.empty() || capture.has(c.log)) << c.log;
        manager.stop();
    }
}

}  // namespace
