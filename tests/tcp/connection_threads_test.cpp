#include "tcp/socket_tcp.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <thread>

#include "tests/support/tcp_test_util.h"
#include "wire/a2a_packet.h"

using namespace tcptest;

namespace {

void expectControl(const std::vector<uint8_t>& p, uint16_t kind, uint16_t code, int port)
{
    ASSERT_FALSE(p.empty()) << "no packet came";
    EXPECT_EQ(kA2AHeaderSize, a2aHeaderSize(p.data()));
    EXPECT_EQ(0, a2aDataSize(p.data()));
    EXPECT_EQ(kind, a2aKind(p.data()));
    EXPECT_EQ(code, a2aCode(p.data()));
    EXPECT_EQ(port, a2aPort(p.data()));
}

std::string dataOf(const std::vector<uint8_t>& p)
{
    if (p.empty())
        return "";
    return std::string(reinterpret_cast<const char*>(p.data()) + kA2AHeaderSize, a2aDataSize(p.data()));
}

// A listening socket object with its executeServer thread, and helpers to act
// as the local TCP client and as the peer behind the queues.
class ListenerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(1, listener->createServerSocket(port));
        listener->startThread();
        ASSERT_EQ(1, listener->isRunning());
    }
    void TearDown() override
    {
        listener->stopThread();
        for (int fd : clients)
            close(fd);
    }
    int connectClient()
    {
        int fd = connectLoopback(port);
        clients.push_back(fd);
        return fd;
    }
    // Connects a local client and answers the CONNECT-REQUEST with OK.
    int connectAndAccept()
    {
        int fd = connectClient();
        expectControl(takePacket(listener->getOutboundQueue()), kA2AKindControl, kA2ACodeConnectRequest, port);
        listener->setPeerConnectOk();
        EXPECT_TRUE(waitUntil([&] { return listener->getConnectionState() == 2; }));
        return fd;
    }

    int port = freePort();
    std::unique_ptr<QV_SOCKETTCP> listener = std::make_unique<QV_SOCKETTCP>();
    std::vector<int> clients;
};

TEST_F(ListenerTest, AcceptedClientIsAnnouncedAndWaitsForThePeer)
{
    int fd = connectClient();
    std::vector<uint8_t> request = takePacket(listener->getOutboundQueue());
    expectControl(request, kA2AKindControl, kA2ACodeConnectRequest, port);
    EXPECT_EQ(2, listener->getConnectionState());
    // No answer from the peer: the local connection stays open, nothing else
    // is sent to the peer.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(stillOpenAndQuiet(fd));
    EXPECT_TRUE(takePacket(listener->getOutboundQueue(), std::chrono::milliseconds(0)).empty());
}

TEST_F(ListenerTest, OkReplyRelaysBytesBothWays)
{
    int fd = connectAndAccept();
    ASSERT_TRUE(writeAll(fd, "from local", 10));
    std::vector<uint8_t> up = takePacket(listener->getOutboundQueue());
    ASSERT_FALSE(up.empty());
    EXPECT_EQ(kA2AKindData, a2aKind(up.data()));
    EXPECT_EQ(port, a2aPort(up.data()));
    EXPECT_EQ(0, a2aCode(up.data()));
    EXPECT_EQ("from local", dataOf(up));

    ASSERT_TRUE(putPacket(listener->getInboundQueue(), dataPacket(kA2AKindData, port, "from peer")));
    EXPECT_EQ("from peer", readSome(fd, 9));
}

TEST_F(ListenerTest, NgReplyClosesTheClientAndTheNextOneIsAccepted)
{
    int first = connectClient();
    expectControl(takePacket(listener->getOutboundQueue()), kA2AKindControl, kA2ACodeConnectRequest, port);
    listener->setPeerConnectNg();
    EXPECT_TRUE(seesClose(first));
    connectClient();
    expectControl(takePacket(listener->getOutboundQueue()), kA2AKindControl, kA2ACodeConnectRequest, port);
}

// The local program's close reaches the peer as the end of its sending
// side; once the peer's side has ended too, the listener accepts again.
TEST_F(ListenerTest, LocalCloseTellsThePeerAndTheListenerAcceptsAgain)
{
    int fd = connectAndAccept();
    close(fd);
    clients.clear();
    std::vector<uint8_t> end = takePacket(listener->getOutboundQueue());
    expectControl(end, kA2AKindControl, kA2ACodeDisconnectRequest, port);
    EXPECT_EQ(kA2ADisconnectSendEnd, a2aResult(end.data()));
    ASSERT_TRUE(putPacket(listener->getInboundQueue(), disconnectPacket(kA2AKindControl, port, kA2ADisconnectSendEnd)));
    EXPECT_TRUE(waitUntil([&] { return listener->getConnectionState() == 1; }));
    connectClient();
    expectControl(takePacket(listener->getOutboundQueue()), kA2AKindControl, kA2ACodeConnectRequest, port);
}

// A client that sends its request and shuts down its sending side still
// gets the whole answer, then an orderly end; nothing more goes to the peer.
TEST_F(ListenerTest, HalfCloseCarriesTheAnswerBack)
{
    int fd = connectAndAccept();
    ASSERT_TRUE(writeAll(fd, "request", 7));
    ASSERT_EQ(0, shutdown(fd, SHUT_WR));
    std::vector<uint8_t> data = takePacket(listener->getOutboundQueue());
    ASSERT_FALSE(data.empty());
    EXPECT_EQ("request", dataOf(data));
    std::vector<uint8_t> end = takePacket(listener->getOutboundQueue());
    expectControl(end, kA2AKindControl, kA2ACodeDisconnectRequest, port);
    EXPECT_EQ(kA2ADisconnectSendEnd, a2aResult(end.data()));
    EXPECT_EQ(2, listener->getConnectionState());  // still open for the answer
    ASSERT_TRUE(putPacket(listener->getInboundQueue(), dataPacket(kA2AKindData, port, "answer")));
    ASSERT_TRUE(putPacket(listener->getInboundQueue(), disconnectPacket(kA2AKindControl, port, kA2ADisconnectSendEnd)));
    EXPECT_EQ("answer", readSome(fd, 6));
    EXPECT_EQ(End::Orderly, endOf(fd));
    EXPECT_TRUE(waitUntil([&] { return listener->getConnectionState() == 1; }));
    EXPECT_TRUE(takePacket(listener->getOutboundQueue(), std::chrono::milliseconds(100)).empty());
}

// Only a connection whose far end closed in order ends in order; one that
// broke there, or here, reaches the program as a reset.
TEST_F(ListenerTest, AnAbortReachesTheClientAsAReset)
{
    int fd = connectAndAccept();
    ASSERT_TRUE(putPacket(listener->getInboundQueue(), dataPacket(kA2AKindData, port, "part")));
    ASSERT_TRUE(putPacket(listener->getInboundQueue(), disconnectPacket(kA2AKindControl, port, kA2ADisconnectAborted)));
    EXPECT_EQ(End::Reset, endOf(fd));
    EXPECT_TRUE(waitUntil([&] { return listener->getConnectionState() == 1; }));

    int orderly = connectAndAccept();
    ASSERT_TRUE(putPacket(listener->getInboundQueue(), disconnectPacket(kA2AKindControl, port, kA2ADisconnectOrderly)));
    EXPECT_EQ(End::Orderly, endOf(orderly));
}

TEST_F(ListenerTest, AStopResetsTheOpenConnection)
{
    int fd = connectAndAccept();
    listener->stopThread();
    EXPECT_EQ(End::Reset, endOf(fd));
}

TEST_F(ListenerTest, AClientsResetIsPassedOnAsAnAbort)
{
    int fd = connectAndAccept();
    linger reset{1, 0};
    ASSERT_EQ(0, setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset)));
    close(fd);
    clients.clear();
    std::vector<uint8_t> end = takePacket(listener->getOutboundQueue());
    expectControl(end, kA2AKindControl, kA2ACodeDisconnectRequest, port);
    EXPECT_EQ(kA2ADisconnectAborted, a2aResult(end.data()));
    EXPECT_TRUE(waitUntil([&] { return listener->getConnectionState() == 1; }));
}

// A peer that never answers cannot hold the service: the client is reset,
// the peer told to let go, and the next client is accepted.
TEST_F(ListenerTest, APeerThatNeverAnswersIsGivenUp)
{
    QV_SOCKETTCP::setPeerAnswerMs(300);
    int fd = connectClient();
    expectControl(takePacket(listener->getOutboundQueue()), kA2AKindControl, kA2ACodeConnectRequest, port);
    EXPECT_EQ(End::Reset, endOf(fd));
    std::vector<uint8_t> end = takePacket(listener->getOutboundQueue());
    expectControl(end, kA2AKindControl, kA2ACodeDisconnectRequest, port);
    EXPECT_EQ(kA2ADisconnectAborted, a2aResult(end.data()));
    connectClient();
    expectControl(takePacket(listener->getOutboundQueue()), kA2AKindControl, kA2ACodeConnectRequest, port);
    QV_SOCKETTCP::setPeerAnswerMs(QV_SOCKETTCP::kPeerAnswerMs);
}

TEST_F(ListenerTest, PeerDisconnectClosesTheClientWithoutAnswer)
{
    int fd = connectAndAccept();
    ASSERT_TRUE(
        putPacket(listener->getInboundQueue(), controlPacket(kA2AKindControl, kA2ACodeDisconnectRequest, port)));
    EXPECT_TRUE(seesClose(fd));
    EXPECT_TRUE(waitUntil([&] { return listener->getConnectionState() == 1; }));
    EXPECT_TRUE(takePacket(listener->getOutboundQueue(), std::chrono::milliseconds(100)).empty());
}

// Sizes come from the peer and are never believed: a packet whose dataSize
// exceeds one TCP read, the send buffer or its queue entry, or whose
// headerSize is not 40, is dropped with a trace line and never written.
TEST_F(ListenerTest, LyingPacketsAreDroppedAndNeverReachTcp)
{
    int fd = connectAndAccept();
    std::vector<uint8_t> lie = dataPacket(kA2AKindData, port, std::string(100, 'X'));
    testing::internal::CaptureStdout();
    for (uint16_t size : {uint16_t{kA2AMaxData + 1}, uint16_t{QV_SOCKETTCP::kBufferSize + 1}, uint16_t{65535}}) {
        setA2ADataSize(lie.data(), size);
        ASSERT_TRUE(putPacket(listener->getInboundQueue(), lie));
    }
    std::vector<uint8_t> badHeader = dataPacket(kA2AKindData, port, "XXXX");
    a2aWrite16(badHeader.data(), kA2AOffHeaderSize, 0);
    ASSERT_TRUE(putPacket(listener->getInboundQueue(), badHeader));
    a2aWrite16(badHeader.data(), kA2AOffHeaderSize, 44);
    ASSERT_TRUE(putPacket(listener->getInboundQueue(), badHeader));
    ASSERT_TRUE(putPacket(listener->getInboundQueue(), dataPacket(kA2AKindData, port, "honest")));
    std::string got = readSome(fd, 6);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("honest", got);
    EXPECT_TRUE(stillOpenAndQuiet(fd));  // nothing more arrived, connection intact
    int drops = 0;
    for (size_t at = out.find("Thread:A2A packet dropped"); at != std::string::npos;
         at = out.find("Thread:A2A packet dropped", at + 1)) {
        ++drops;
    }
    EXPECT_EQ(5, drops);
    EXPECT_EQ(1, listener->isRunning());
}

// A local program writing big blocks on loopback, read at the tunnel's pace
// of one entry per 20 ms: each packet carries a whole read of 10240 bytes,
// never the short remainder of a drained socket buffer (every short packet is
// a tick of the 10240-bytes-per-tick ceiling lost).
TEST_F(ListenerTest, BigBlocksFromALoopbackWriterFillEveryPacket)
{
    constexpr int kPackets = 60;
    const std::vector<uint8_t> data(static_cast<size_t>(kPackets) * QV_SOCKETTCP::kReadSize, 0x5a);
    int fd = connectClient();
    expectControl(takePacket(listener->getOutboundQueue()), kA2AKindControl, kA2ACodeConnectRequest, port);
    std::thread writer([&] {
        for (size_t at = 0; at < data.size(); at += 65536)
            if (!writeAll(fd, data.data() + at, std::min<size_t>(65536, data.size() - at)))
                return;
    });
    listener->setPeerConnectOk();
    std::vector<int> sizes;
    size_t got = 0;
    for (int i = 0; i < 2 * kPackets && got < data.size(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::vector<uint8_t> p = takePacket(listener->getOutboundQueue());
        if (p.empty())
            break;
        sizes.push_back(a2aDataSize(p.data()));
        got += a2aDataSize(p.data());
    }
    writer.join();
    EXPECT_EQ(data.size(), got);
    EXPECT_EQ(std::vector<int>(kPackets, QV_SOCKETTCP::kReadSize), sizes);
}

TEST_F(ListenerTest, StopWhileInAcceptEndsPromptlyAndStillTellsThePeer)
{
    ASSERT_TRUE(waitUntil([&] { return listener->getConnectionState() == 1; }));
    const auto before = Clock::now();
    listener->stopThread();
    const auto took = Clock::now() - before;
    EXPECT_LT(took, std::chrono::milliseconds(100));
    EXPECT_EQ(0, listener->isRunning());
    EXPECT_EQ(0, listener->getConnectionState());
    expectControl(takePacket(listener->getOutboundQueue(), std::chrono::milliseconds(0)), kA2AKindControl,
                  kA2ACodeDisconnectRequest, port);
}

TEST_F(ListenerTest, StopWhileWaitingForThePeerClosesTheClient)
{
    int fd = connectClient();
    expectControl(takePacket(listener->getOutboundQueue()), kA2AKindControl, kA2ACodeConnectRequest, port);
    listener->stopThread();
    EXPECT_TRUE(seesClose(fd));
    EXPECT_EQ(0, listener->isRunning());
}

TEST(DataLinkListener, ServesOneConnectionThenEnds)
{
    QV_SOCKETTCP link;
    link.setMainService(0);
    ASSERT_EQ(1, link.createServerSocketAnyPort(20));
    link.startThread();
    int fd = connectLoopback(link.getBoundPort());
    expectControl(takePacket(link.getOutboundQueue()), kA2AKindDataLinkControl, kA2ACodeConnectRequest, 20);
    link.setPeerConnectOk();
    ASSERT_TRUE(writeAll(fd, "listing", 7));
    std::vector<uint8_t> up = takePacket(link.getOutboundQueue());
    ASSERT_FALSE(up.empty());
    EXPECT_EQ(kA2AKindDataLinkData, a2aKind(up.data()));
    EXPECT_EQ("listing", dataOf(up));
    close(fd);
    expectControl(takePacket(link.getOutboundQueue()), kA2AKindDataLinkControl, kA2ACodeDisconnectRequest, 20);
    ASSERT_TRUE(
        putPacket(link.getInboundQueue(), disconnectPacket(kA2AKindDataLinkControl, 20, kA2ADisconnectSendEnd)));
    EXPECT_TRUE(waitUntil([&] { return link.isRunning() == 0; }));
    EXPECT_EQ(0, link.getConnectionState());
    link.stopThread();
}

// An outgoing object with its forward thread, connected to a test server.
class ForwardTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        forward.stopThread();
        if (server >= 0)
            close(server);
        if (listener >= 0)
            close(listener);
    }
    void connectForward()
    {
        listener = listenLoopback(&port);
        ASSERT_EQ(1, forward.prepareClientSocket(port, "127.0.0.1"));
        forward.startForwardThread();
        server = acceptWithin(listener);
        ASSERT_GE(server, 0);
        std::vector<uint8_t> reply = takePacket(forward.getOutboundQueue());
        expectControl(reply, kA2AKindControl, kA2ACodeConnectReply, port);
        EXPECT_EQ(kA2AResultConnected, a2aResult(reply.data()));
        EXPECT_EQ(0, a2aError(reply.data()));
    }

    QV_SOCKETTCP forward;
    int port = 0;
    int listener = -1;
    int server = -1;
};

TEST_F(ForwardTest, ConnectsRepliesOkAndRelays)
{
    connectForward();
    ASSERT_TRUE(putPacket(forward.getInboundQueue(), dataPacket(kA2AKindData, port, "GET /")));
    EXPECT_EQ("GET /", readSome(server, 5));
    ASSERT_TRUE(writeAll(server, "200", 3));
    EXPECT_EQ("200", dataOf(takePacket(forward.getOutboundQueue())));
}

TEST_F(ForwardTest, PeerDisconnectEndsTheConnectionAndIsAnswered)
{
    connectForward();
    ASSERT_TRUE(putPacket(forward.getInboundQueue(), controlPacket(kA2AKindControl, kA2ACodeDisconnectRequest, port)));
    EXPECT_TRUE(seesClose(server));
    expectControl(takePacket(forward.getOutboundQueue()), kA2AKindControl, kA2ACodeDisconnectRequest, port);
    EXPECT_TRUE(waitUntil([&] { return forward.isRunning() == 0; }));
}

TEST_F(ForwardTest, RefusedConnectRepliesNgWithTheErrorAndNothingElse)
{
    port = freePort();
    forward.prepareClientSocket(port, "127.0.0.1");
    forward.startForwardThread();
    std::vector<uint8_t> reply = takePacket(forward.getOutboundQueue());
    expectControl(reply, kA2AKindControl, kA2ACodeConnectReply, port);
    EXPECT_EQ(kA2AResultFailed, a2aResult(reply.data()));
    EXPECT_EQ(ECONNREFUSED, a2aError(reply.data()));
    EXPECT_TRUE(waitUntil([&] { return forward.isRunning() == 0; }));
    EXPECT_TRUE(takePacket(forward.getOutboundQueue(), std::chrono::milliseconds(100)).empty());
}

TEST_F(ForwardTest, UnpreparedObjectRefusesToRun)
{
    forward.startForwardThread();
    EXPECT_EQ(0, forward.isRunning());
    EXPECT_TRUE(takePacket(forward.getOutboundQueue(), std::chrono::milliseconds(50)).empty());
}

// A control packet that meets a full outbound queue waits for room.
TEST_F(ForwardTest, DisconnectWaitsForRoomInAFullQueue)
{
    connectForward();
    QV_QUE* out = forward.getOutboundQueue();
    const std::vector<uint8_t> filler = controlPacket(kA2AKindNull, 0, 0);
    while (out->hasRoom())
        ASSERT_EQ(1, out->enqueue(filler.data(), kA2AHeaderSize));
    close(server);  // the forward host ends the connection
    server = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(kA2AKindNull, a2aKind(takePacket(out).data()));
    std::vector<uint8_t> end = takePacket(out);
    expectControl(end, kA2AKindControl, kA2ACodeDisconnectRequest, port);
    EXPECT_EQ(kA2ADisconnectSendEnd, a2aResult(end.data()));
    ASSERT_TRUE(putPacket(forward.getInboundQueue(), disconnectPacket(kA2AKindControl, port, kA2ADisconnectSendEnd)));
    EXPECT_TRUE(waitUntil([&] { return forward.isRunning() == 0; }));
}

// The peer's half-close reaches the forward host as the end of its input,
// and what the host answers still goes to the peer.
TEST_F(ForwardTest, PeersHalfCloseShutsDownTheSendingSideOnly)
{
    connectForward();
    QV_QUE* out = forward.getOutboundQueue();
    ASSERT_TRUE(putPacket(forward.getInboundQueue(), dataPacket(kA2AKindData, port, "ask")));
    ASSERT_TRUE(putPacket(forward.getInboundQueue(), disconnectPacket(kA2AKindControl, port, kA2ADisconnectSendEnd)));
    EXPECT_EQ("ask", readSome(server, 3));
    EXPECT_EQ(End::Orderly, endOf(server));
    ASSERT_TRUE(writeAll(server, "reply", 5));
    std::vector<uint8_t> up = takePacket(out);
    ASSERT_FALSE(up.empty());
    EXPECT_EQ("reply", dataOf(up));
    close(server);
    server = -1;
    std::vector<uint8_t> end = takePacket(out);
    expectControl(end, kA2AKindControl, kA2ACodeDisconnectRequest, port);
    EXPECT_EQ(kA2ADisconnectSendEnd, a2aResult(end.data()));
    EXPECT_TRUE(waitUntil([&] { return forward.isRunning() == 0; }));
    EXPECT_TRUE(takePacket(out, std::chrono::milliseconds(100)).empty());
}

// A forward host that neither answers nor refuses is given up after the
// connect time limit, and the peer hears NG.
TEST_F(ForwardTest, ASilentHostIsGivenUpWithinTheConnectLimit)
{
    SilentHost silent;
    port = silent.port();
    QV_SOCKETTCP::setConnectTimeoutMs(300);
    ASSERT_EQ(1, forward.prepareClientSocket(port, "127.0.0.1"));
    forward.startForwardThread();
    std::vector<uint8_t> reply = takePacket(forward.getOutboundQueue(), std::chrono::milliseconds(5000));
    QV_SOCKETTCP::setConnectTimeoutMs(QV_SOCKETTCP::kConnectTimeoutMs);
    expectControl(reply, kA2AKindControl, kA2ACodeConnectReply, port);
    EXPECT_EQ(kA2AResultFailed, a2aResult(reply.data()));
    EXPECT_EQ(ETIMEDOUT, a2aError(reply.data()));
}

TEST_F(ForwardTest, AStopResetsTheForwardHostsConnection)
{
    connectForward();
    forward.stopThread();
    EXPECT_EQ(End::Reset, endOf(server));
}

TEST_F(ForwardTest, StopAbandonsAControlPacketWaitingForRoom)
{
    connectForward();
    QV_QUE* out = forward.getOutboundQueue();
    const std::vector<uint8_t> filler = controlPacket(kA2AKindNull, 0, 0);
    while (out->hasRoom())
        ASSERT_EQ(1, out->enqueue(filler.data(), kA2AHeaderSize));
    close(server);
    server = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto before = Clock::now();
    forward.stopThread();
    EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(QV_SOCKETTCP::kControlWaitMs));
    EXPECT_EQ(0, forward.isRunning());
    EXPECT_EQ(0, out->freeSlots());
}

TEST(ConnectionThread, ClientOnAnOpenConnectionRelaysAndSaysGoodbye)
{
    int port = 0;
    int listener = listenLoopback(&port);
    QV_SOCKETTCP client;
    client.prepareClientSocket(port, "127.0.0.1");
    ASSERT_EQ(1, client.connectToServer());
    int server = acceptWithin(listener);
    client.startThread();
    EXPECT_EQ(1, client.isRunning());
    ASSERT_TRUE(writeAll(server, "x", 1));
    std::vector<uint8_t> up = takePacket(client.getOutboundQueue());
    EXPECT_EQ(kA2AKindData, a2aKind(up.data()));  // no CONNECT-REPLY from this body
    close(server);
    expectControl(takePacket(client.getOutboundQueue()), kA2AKindControl, kA2ACodeDisconnectRequest, port);
    ASSERT_TRUE(putPacket(client.getInboundQueue(), disconnectPacket(kA2AKindControl, port, kA2ADisconnectOrderly)));
    EXPECT_TRUE(waitUntil([&] { return client.isRunning() == 0; }));
    client.stopThread();
    close(listener);
}

TEST(ConnectionThread, ObjectDestroyedWhileItsThreadRelays)
{
    int port = 0;
    int listener = listenLoopback(&port);
    int server = -1;
    {
        QV_SOCKETTCP forward;
        forward.prepareClientSocket(port, "127.0.0.1");
        forward.startForwardThread();
        server = acceptWithin(listener);
        ASSERT_TRUE(waitUntil([&] { return forward.getConnectionState() == 2; }));
    }
    EXPECT_TRUE(seesClose(server));
    close(server);
    close(listener);
}

// Moves packets between two objects as two streams and Skype would.
void pump(QV_SOCKETTCP* a, QV_SOCKETTCP* b, std::atomic<bool>* quit)
{
    std::vector<uint8_t> slot(QV_QUE::kSlotSize);
    const auto deadline = Clock::now() + std::chrono::seconds(100);
    while (!*quit && Clock::now() < deadline) {
        bool moved = false;
        for (auto [from, to] : {std::pair{a, b}, std::pair{b, a}}) {
            if (to->getInboundQueue()->hasRoom() && from->getOutboundQueue()->dequeue(slot.data())) {
                to->getInboundQueue()->enqueue(slot.data(), kA2AHeaderSize + a2aDataSize(slot.data()));
                moved = true;
            }
        }
        if (!moved)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void transferThroughPair(bool slowReader)
{
    std::vector<uint8_t> source(2 * 1024 * 1024);
    uint32_t x = 12345;
    for (uint8_t& byte : source) {
        x = x * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(x >> 16);
    }

    int sinkPort = 0;
    int sinkListener = listenLoopback(&sinkPort, slowReader ? 4096 : 0);
    const int servicePort = freePort();
    QV_SOCKETTCP near;
    QV_SOCKETTCP far;
    ASSERT_EQ(1, near.createServerSocket(servicePort));
    near.startThread();
    int sourceFd = connectLoopback(servicePort);
    expectControl(takePacket(near.getOutboundQueue()), kA2AKindControl, kA2ACodeConnectRequest, servicePort);
    far.prepareClientSocket(sinkPort, "127.0.0.1");
    if (slowReader) {
        int small = 8192;
        setsockopt(far.getDataSocketForTest(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    }
    far.startForwardThread();
    int sinkFd = acceptWithin(sinkListener);
    ASSERT_GE(sinkFd, 0);
    expectControl(takePacket(far.getOutboundQueue()), kA2AKindControl, kA2ACodeConnectReply, sinkPort);
    near.setPeerConnectOk();

    std::atomic<bool> quit{false};
    std::thread mover(pump, &near, &far, &quit);
    std::vector<uint8_t> received;
    std::thread sink([&] {
        const auto deadline = Clock::now() + std::chrono::seconds(100);
        char buf[16384];
        const size_t chunk = slowReader ? 2048 : sizeof(buf);
        while (Clock::now() < deadline) {
            ssize_t n = recv(sinkFd, buf, chunk, 0);
            if (n <= 0)
                break;
            received.insert(received.end(), buf, buf + n);
            if (slowReader)
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    ASSERT_TRUE(writeAll(sourceFd, source.data(), source.size()));
    close(sourceFd);  // ends the transfer: DISCONNECT-REQUEST travels behind the data
    sink.join();
    quit = true;
    mover.join();
    EXPECT_EQ(source.size(), received.size());
    EXPECT_EQ(sha256Hex(source), sha256Hex(received));
    near.stopThread();
    far.stopThread();
    close(sinkFd);
    close(sinkListener);
}

TEST(ConnectionThreadTransfer, TwoMegabytesArriveIntact) { transferThroughPair(false); }

TEST(ConnectionThreadTransfer, TwoMegabytesArriveIntactAtASlowReader) { transferThroughPair(true); }

TEST(ConnectionThreadTransfer, Sha256OfKnownText)
{
    const std::string abc = "abc";
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
              sha256Hex(std::vector<uint8_t>(abc.begin(), abc.end())));
}

}  // namespace
