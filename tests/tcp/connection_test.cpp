// The connection threads of QV_SOCKETTCP and the TCP managers that make
// them for the stream's calls.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/config_store.h"
#include "tcp/tcp_manager_ftp.h"
#include "tests/support/tcp_test_util.h"
#include "tests/support/temp_dir.h"
#include "wire/a2a_packet.h"

using namespace tcptest;

namespace {

constexpr std::chrono::milliseconds kNow{0};

std::string dataOf(const std::vector<uint8_t>& p)
{
    return p.size() < kA2AHeaderSize
               ? ""
               : std::string(reinterpret_cast<const char*>(p.data()) + kA2AHeaderSize, a2aDataSize(p.data()));
}

enum class Side { Listener, Forward };

// The test is the local program at a connection's TCP end (a client of the
// listener, or the forward host) and the peer behind its queues.
class TcpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QV_EVENTLOG::getInstance()->setEnabled(1);
        QV_EVENTLOG::getInstance()->addListener(&capture);
    }
    void TearDown() override
    {
        sock.stopThread();
        for (int fd : fds)
            close(fd);
        QV_EVENTLOG::destroyInstance();
    }
    int keep(int fd)
    {
        if (fd >= 0)
            fds.push_back(fd);
        return fd;
    }
    // One packet the connection put out within the limit; empty when none came.
    std::vector<uint8_t> take(std::chrono::milliseconds limit = kWait, QV_SOCKETTCP* from = nullptr)
    {
        std::vector<uint8_t> slot(QV_QUE::kSlotSize);
        QV_QUE* queue = (from ? from : &sock)->getOutboundQueue();
        return waitUntil([&] { return queue->dequeue(slot.data()) == 1; }, limit) ? slot : std::vector<uint8_t>();
    }
    void give(const std::vector<uint8_t>& p) { ASSERT_TRUE(putPacket(sock.getInboundQueue(), p)); }
    // Checks kind and code (no data, for port `at`, unless -1); answers the result word.
    int expect(std::vector<uint8_t> p, uint16_t code, uint16_t kind = kA2AKindControl, int at = -1)
    {
        EXPECT_FALSE(p.empty()) << "no packet came";
        p.resize(std::max<size_t>(p.size(), kA2AHeaderSize));
        EXPECT_EQ(kA2AHeaderSize, a2aHeaderSize(p.data()));
        EXPECT_EQ(kind, a2aKind(p.data()));
        EXPECT_EQ(code, a2aCode(p.data()));
        if (at >= 0) {
            EXPECT_EQ(0, a2aDataSize(p.data()));
            EXPECT_EQ(at, a2aPort(p.data()));
        }
        return a2aResult(p.data());
    }
    int control(const std::vector<uint8_t>& p, uint16_t code) { return expect(p, code, kA2AKindControl, port); }
    int endRequest(std::chrono::milliseconds limit = kWait) { return control(take(limit), kA2ACodeDisconnectRequest); }
    void listen()
    {
        ASSERT_EQ(1, sock.createServerSocket(port = freePort()));
        sock.startThread();
        ASSERT_EQ(1, sock.isRunning());
    }
    int client()
    {
        program = keep(connectTo("127.0.0.1", port));
        control(take(), kA2ACodeConnectRequest);
        return program;
    }
    bool ended(QV_SOCKETTCP* s = nullptr)
    {
        return waitUntil([&] { return (s ? s : &sock)->isRunning() == 0; });
    }
    // The listener's thread empties the inbound queue right after its
    // CONNECT-REQUEST: the program's first bytes coming up prove that the
    // peer's packets put in from now on belong to the connection.
    void open(Side side)
    {
        sock.stopThread();
        sock.getOutboundQueue()->reset();
        if (side == Side::Listener) {
            listen();
            client();
            sock.setPeerConnectOk();
        } else {
            int listener = keep(listenOn(&port));
            ASSERT_EQ(1, sock.prepareClientSocket(port, "127.0.0.1"));
            sock.startForwardThread();
            program = keep(acceptWithin(listener));
            EXPECT_EQ(kA2AResultConnected, control(take(), kA2ACodeConnectReply));
        }
        ASSERT_TRUE(writeAll(program, "hello"));
        std::vector<uint8_t> up = take();
        EXPECT_EQ(0, expect(up, 0, kA2AKindData));
        EXPECT_EQ("hello", dataOf(up));
        EXPECT_EQ(QV_SOCKETTCP::kStateConnected, sock.getConnectionState());
    }
    // A client of the service port at `address` (from `from`) that the listener took.
    bool served(QV_TCPMANAGER& manager, const char* address, int at, const char* from = nullptr)
    {
        if (keep(connectTo(address, at, from)) < 0)
            return false;
        std::vector<uint8_t> request = take(kWait, manager.getMainSocket());
        return !request.empty() && a2aCode(request.data()) == kA2ACodeConnectRequest;
    }

    QV_SOCKETTCP sock;
    int port = 0;
    int program = -1;
    std::vector<int> fds;
    TempDir dir;
    QV_CONFIGSTORE config;
    LogCapture capture;
};

// A half-close either way ends one direction only: the answer still comes.
// The relay is the same for both sides, each side takes one way here.
// Sizes come from the peer and are never believed: a dataSize beyond one
// TCP read, the send buffer or the queue entry, or a headerSize other than
// 40, drops the packet. One of exactly a TCP read's size is written whole.
TEST_F(TcpTest, ConnectionsOfBothSides)
{
    open(Side::Listener);
    ASSERT_TRUE(writeAll(program, "request"));
    ASSERT_EQ(0, shutdown(program, SHUT_WR));
    EXPECT_EQ("request", dataOf(take()));
    EXPECT_EQ(kA2ADisconnectSendEnd, endRequest());
    give(packet(kA2AKindData, 0, port, "answer"));
    give(packet(kA2AKindControl, kA2ACodeDisconnectRequest, port, "", kA2ADisconnectSendEnd));
    EXPECT_EQ("answer", readSome(program, 6));
    EXPECT_EQ(End::Orderly, endOf(program));
    EXPECT_TRUE(waitUntil([&] { return sock.getConnectionState() == QV_SOCKETTCP::kStateAccepting; }));
    EXPECT_TRUE(take(kNow).empty());

    open(Side::Forward);
    std::vector<uint8_t> lie = packet(kA2AKindData, 0, port, std::string(100, 'X'));
    for (uint16_t size : {uint16_t{kA2AMaxData + 1}, uint16_t{QV_SOCKETTCP::kBufferSize + 1}, uint16_t{65535}}) {
        setA2ADataSize(lie.data(), size);
        give(lie);
    }
    std::vector<uint8_t> badHeader = packet(kA2AKindData, 0, port, "XXXX");
    for (uint16_t headerSize : {0, 44}) {
        a2aWrite16(badHeader.data(), kA2AOffHeaderSize, headerSize);
        give(badHeader);
    }
    const std::string honest(kA2AMaxData, 'h');
    give(packet(kA2AKindData, 0, port, honest));
    give(packet(kA2AKindControl, kA2ACodeDisconnectRequest, port, "", kA2ADisconnectSendEnd));
    EXPECT_EQ(honest, readSome(program, honest.size()));
    EXPECT_EQ(End::Orderly, endOf(program));
    ASSERT_TRUE(writeAll(program, "reply"));
    EXPECT_EQ("reply", dataOf(take()));
    shutdown(program, SHUT_RDWR);
    EXPECT_EQ(kA2ADisconnectSendEnd, endRequest());
    EXPECT_TRUE(ended());
    EXPECT_TRUE(take(kNow).empty());

    // A control packet that meets a full outbound queue waits for room
    // rather than being lost.
    open(Side::Forward);
    const std::vector<uint8_t> filler = packet(kA2AKindNull, 0, 0);
    for (int i = 0; i < QV_QUE::kCapacity; ++i)
        ASSERT_EQ(1, sock.getOutboundQueue()->enqueue(filler.data(), kA2AHeaderSize));
    give(packet(kA2AKindControl, kA2ACodeDisconnectRequest, port));
    ASSERT_TRUE(waitUntil([&] { return sock.getInboundQueue()->freeSlots() == QV_QUE::kCapacity; }));
    for (int i = 0; i < QV_QUE::kCapacity; ++i)
        EXPECT_EQ(kA2AKindNull, a2aKind(take().data()));
    EXPECT_EQ(kA2ADisconnectOrderly, endRequest());
    EXPECT_TRUE(ended());

    // A client waits for the peer's answer; a peer that never answers (told
    // to let go) or a stop resets it.
    listen();
    QV_SOCKETTCP::setPeerAnswerMs(300);
    EXPECT_EQ(End::Reset, endOf(client()));
    EXPECT_EQ(kA2ADisconnectAborted, endRequest());
    QV_SOCKETTCP::setPeerAnswerMs(QV_SOCKETTCP::kPeerAnswerMs);
    const int waiting = client();
    sock.stopThread();
    EXPECT_EQ(End::Reset, endOf(waiting));
    EXPECT_EQ(kA2ADisconnectOrderly, endRequest(kNow));  // the peer is told all the same
}

// The client application listens on the service port and logs the peer's
// answers; the peer's end of a connection already over never stops the
// listener, one that could not be queued still resets the open connection
// (whatever port it names).
TEST_F(TcpTest, ManagerOfTheClientListensWhereToldAndLogsThePeersAnswers)
{
    config.setClientMode(1);
    port = freePort();
    QV_TCPMANAGER manager(port, QV_TCPMANAGER::settingsOf(&config));
    EXPECT_EQ(QV_TCPMANAGER::kListenOnServicePort, manager.getListenMode());
    manager.start();
    EXPECT_TRUE(capture.has("サーバソケット作成: ポート番号=" + std::to_string(port) + " "));
    QV_SOCKETTCP* socket = manager.getMainSocket();
    ASSERT_TRUE(waitUntil([&] { return socket->getConnectionState() == QV_SOCKETTCP::kStateAccepting; }));
    manager.notifyTcpDisconnect(port, kA2ADisconnectOrderly);
    manager.notifyTcpDisconnect(port, kA2ADisconnectAborted);
    EXPECT_TRUE(capture.has("TCP切断: ポート番号=" + std::to_string(port)));

    // A client waits for the peer's answer (nothing arrived, still open);
    // NG resets it.
    const auto quiet = [](int fd) {
        char c;
        return recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && errno == EAGAIN;
    };
    ASSERT_TRUE(served(manager, "127.0.0.1", port));
    EXPECT_TRUE(quiet(fds.back()));
    EXPECT_TRUE(take(kNow, socket).empty());
    manager.notifyTcpConnectReply(port, 2);
    EXPECT_EQ(QV_SOCKETTCP::kPeerNg, socket->getPeerConnectState());
    EXPECT_EQ(End::Reset, endOf(fds.back()));
    EXPECT_TRUE(capture.has("TCP接続応答(NG): ポート番号=" + std::to_string(port)));

    // Back-to-back connections: the peer's forward side acknowledges our
    // DISCONNECT-REQUEST of the last one with its own, which may arrive only
    // once the next client waits for its answer. It came before that answer,
    // so it belongs to the last connection and must not end this one.
    ASSERT_TRUE(served(manager, "127.0.0.1", port));
    ASSERT_TRUE(putPacket(socket->getInboundQueue(), packet(kA2AKindControl, kA2ACodeDisconnectRequest, port)));
    ASSERT_TRUE(putPacket(socket->getInboundQueue(), packet(kA2AKindData, 0, port, "old")));
    manager.notifyTcpConnectReply(port, 1);
    EXPECT_EQ(QV_SOCKETTCP::kPeerOk, socket->getPeerConnectState());
    EXPECT_EQ(1, capture.count("TCP接続応答(OK): ポート番号=" + std::to_string(port)));
    ASSERT_TRUE(putPacket(socket->getInboundQueue(), packet(kA2AKindData, 0, port, "new")));
    EXPECT_EQ("new", readSome(fds.back(), 3));
    EXPECT_TRUE(quiet(fds.back()));
    ASSERT_TRUE(writeAll(fds.back(), "up"));
    expect(take(kWait, socket), 0, kA2AKindData);
    manager.notifyTcpDisconnect(port + 1, kA2ADisconnectAborted);
    EXPECT_EQ(End::Reset, endOf(fds.back()));
    EXPECT_TRUE(waitUntil([&] { return socket->getConnectionState() == QV_SOCKETTCP::kStateAccepting; }));

    ASSERT_TRUE(served(manager, "127.0.0.1", port));
    manager.stop();
    EXPECT_EQ(nullptr, manager.getMainSocket());
    EXPECT_NE(End::None, endOf(fds.back()));

    // LISTENADDRESS opens the client's service ports to every address or to
    // one; unset, or naming no address in four-part form ("0" is one to
    // inet_addr), they stay on loopback, logged.
    struct Case {
        const char* setting;
        const char* reached;
        const char* notReached;
        std::string log;
    };
    std::vector<Case> cases = {
        {nullptr, "127.0.0.1", "127.0.0.2", ""},
        {"0.0.0.0", "127.0.0.2", nullptr, "待受アドレス: 0.0.0.0 ポート番号=" + std::to_string(port)},
        {"127.0.0.2", "127.0.0.2", "127.0.0.1", ""},
    };
    for (const char* value : {"everywhere", "0", "192.168.1", "", "0.0.0.0.0"})
        cases.push_back(
            {value, "127.0.0.1", "127.0.0.2",
             std::string("待受アドレス不正: ") + value + " ポート番号=" + std::to_string(port) + " (127.0.0.1で待受)"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting ? c.setting : "(none)");
        if (c.setting)
            config.setListenAddress(c.setting);
        QV_TCPMANAGER listening(port, QV_TCPMANAGER::settingsOf(&config));
        listening.start();
        ASSERT_NE(nullptr, listening.getMainSocket());
        EXPECT_TRUE(!c.notReached || keep(connectTo(c.notReached, port)) == -1);
        EXPECT_TRUE(served(listening, c.reached, port, c.reached));
        EXPECT_TRUE(c.log.empty() || capture.has(c.log)) << c.log;
        listening.stop();
    }
}

// The FTP manager, with the FTP server at 127.0.0.3: the passive data link
// belongs to the program at the other end of the control connection; one on
// another address must neither reach it nor take it first (a reset). The
// control connection ends for any port.
TEST_F(TcpTest, ManagerOfTheFtpDataLinkAcceptsOnlyTheFtpProgramsAddress)
{
    int serverPort = 0;
    const int server = keep(listenOn(&serverPort, "127.0.0.3"));
    QV_TCPMANAGERFORFTP manager(21, QV_TCPMANAGER::settingsOf(&config));
    ASSERT_EQ(1, manager.notifyTcpConnectRequest(serverPort, "127.0.0.3"));
    EXPECT_EQ(kA2AResultConnected, expect(take(kWait, manager.getMainSocket()), kA2ACodeConnectReply));
    EXPECT_TRUE(capture.waitFor("TCP接続: 127.0.0.3 ポート番号=21"));
    const int control = keep(acceptWithin(server));
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    char text[INET_ADDRSTRLEN] = "";
    ASSERT_EQ(0, getpeername(control, reinterpret_cast<sockaddr*>(&peer), &length));
    const std::string ours = inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));  // where the server sees us
    ASSERT_NE("127.0.0.3", ours);

    const int link = manager.createDataLinkServer(20);
    ASSERT_GT(link, 0);
    EXPECT_TRUE(capture.has("サーバソケット作成: ポート番号=" + std::to_string(link) + " "));
    EXPECT_EQ(-1, connectTo(ours == "127.0.0.4" ? "127.0.0.5" : "127.0.0.4", link));
    const int intruder = connectTo(ours.c_str(), link, "127.0.0.2");
    EXPECT_TRUE(intruder < 0 || endOf(intruder) == End::Reset);
    close(intruder);
    EXPECT_TRUE(capture.waitFor("データリンク接続拒否: 127.0.0.2 ポート番号=" + std::to_string(link)));

    const int data = keep(connectTo(ours.c_str(), link, "127.0.0.3"));
    ASSERT_GE(data, 0);
    QV_SOCKETTCP* socket = manager.getDataLinkSocket();
    expect(take(kWait, socket), kA2ACodeConnectRequest, kA2AKindDataLinkControl);
    manager.notifyDataLinkConnectReply(link, 1);
    EXPECT_TRUE(capture.has("TCP接続応答(OK): ポート番号=" + std::to_string(link)));
    manager.notifyDataLinkDisconnect(link, kA2ADisconnectSendEnd);
    EXPECT_TRUE(ended(socket));

    manager.notifyTcpDisconnect(9999);
    EXPECT_NE(End::None, endOf(control));
    const int next = manager.createDataLinkServer(20);
    manager.stop();
    EXPECT_EQ(nullptr, manager.getDataLinkSocket());
    EXPECT_TRUE(capture.has("TCP切断: ポート番号=" + std::to_string(next)));
}

}  // namespace
