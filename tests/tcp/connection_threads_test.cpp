// The connection threads of QV_SOCKETTCP, driven from both ends: a local TCP
// program on one side, the packets of the peer in the two queues on the other.
#include "tcp/socket_tcp.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

#include "tests/support/tcp_test_util.h"
#include "wire/a2a_packet.h"

using namespace tcptest;

namespace {

constexpr std::chrono::milliseconds kNow{0};

// Checks that `p` is a control packet of `kind` and `code` for `port`
// without data; answers its result word (-1 when no packet came).
int controlResult(const std::vector<uint8_t>& p, uint16_t kind, uint16_t code, int port)
{
    if (p.empty()) {
        ADD_FAILURE() << "no packet came";
        return -1;
    }
    EXPECT_EQ(kA2AHeaderSize, a2aHeaderSize(p.data()));
    EXPECT_EQ(0, a2aDataSize(p.data()));
    EXPECT_EQ(kind, a2aKind(p.data()));
    EXPECT_EQ(code, a2aCode(p.data()));
    EXPECT_EQ(port, a2aPort(p.data()));
    return a2aResult(p.data());
}

std::string dataOf(const std::vector<uint8_t>& p)
{
    if (p.empty())
        return "";
    return std::string(reinterpret_cast<const char*>(p.data()) + kA2AHeaderSize, a2aDataSize(p.data()));
}

// Fills an outbound queue with NULL packets.
void fill(QV_QUE* out)
{
    const std::vector<uint8_t> filler = controlPacket(kA2AKindNull, 0, 0);
    while (out->hasRoom())
        ASSERT_EQ(1, out->enqueue(filler.data(), kA2AHeaderSize));
}

enum class Side { Listener, Forward };

// One QV_SOCKETTCP with its thread; the test is the local program at its
// TCP end (a client of the listener, or the forward host) and the peer
// behind its queues.
class Connected : public ::testing::Test {
protected:
    void TearDown() override
    {
        sock.stopThread();
        for (int fd : fds)
            close(fd);
    }
    std::vector<uint8_t> take(std::chrono::milliseconds limit = kWait)
    {
        return takePacket(sock.getOutboundQueue(), limit);
    }
    void give(const std::vector<uint8_t>& p) { ASSERT_TRUE(putPacket(sock.getInboundQueue(), p)); }
    int control(const std::vector<uint8_t>& p, uint16_t code) { return controlResult(p, kA2AKindControl, code, port); }
    int endRequest(std::chrono::milliseconds limit = kWait) { return control(take(limit), kA2ACodeDisconnectRequest); }
    int keep(int fd)
    {
        fds.push_back(fd);
        return fd;
    }
    void closeProgram()
    {
        fds.erase(std::find(fds.begin(), fds.end(), program));
        close(program);
    }
    void listen()
    {
        ASSERT_EQ(1, sock.createServerSocket(port = freePort()));
        sock.startThread();
        ASSERT_EQ(1, sock.isRunning());
    }
    // A local program connects; its CONNECT-REQUEST reaches the peer.
    int client()
    {
        program = keep(connectLoopback(port));
        control(take(), kA2ACodeConnectRequest);
        return program;
    }
    bool accepting()
    {
        return waitUntil([&] { return sock.getConnectionState() == QV_SOCKETTCP::kStateAccepting; });
    }
    bool ended()
    {
        return waitUntil([&] { return sock.isRunning() == 0; });
    }
    // Back where the side waits for its next connection (or ended).
    bool over(Side side) { return side == Side::Listener ? accepting() : ended(); }
    // An open connection whose relay runs: the listener's thread empties the
    // inbound queue right after its CONNECT-REQUEST, so the program's first
    // bytes coming up prove that the peer's packets put in from now on belong
    // to the connection.
    void open(Side side)
    {
        if (side == Side::Listener) {
            listen();
            client();
            sock.setPeerConnectOk();
        } else {
            int listener = keep(listenLoopback(&port));
            ASSERT_EQ(1, sock.prepareClientSocket(port, "127.0.0.1"));
            sock.startForwardThread();
            program = keep(acceptWithin(listener));
            ASSERT_GE(program, 0);
            std::vector<uint8_t> reply = take();
            EXPECT_EQ(kA2AResultConnected, control(reply, kA2ACodeConnectReply));
            EXPECT_EQ(0, a2aError(reply.data()));
        }
        ASSERT_TRUE(writeAll(program, "hello", 5));
        std::vector<uint8_t> up = take();
        ASSERT_FALSE(up.empty());
        EXPECT_EQ(kA2AKindData, a2aKind(up.data()));
        EXPECT_EQ(port, a2aPort(up.data()));
        EXPECT_EQ(0, a2aCode(up.data()));
        EXPECT_EQ("hello", dataOf(up));
        EXPECT_EQ(QV_SOCKETTCP::kStateConnected, sock.getConnectionState());
    }

    QV_SOCKETTCP sock;
    int port = 0;
    int program = -1;
    std::vector<int> fds;
};

// What holds on both sides of the tunnel.
class ConnectionTest : public Connected, public ::testing::WithParamInterface<Side> {
protected:
    void SetUp() override { open(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(BothSides, ConnectionTest, ::testing::Values(Side::Listener, Side::Forward),
                         [](const auto& side) { return side.param == Side::Listener ? "Listener" : "Forward"; });

// The program's half-close reaches the peer as the end of its sending side;
// the peer's answer still comes, then the orderly end.
TEST_P(ConnectionTest, TheProgramsHalfCloseCarriesTheAnswerBack)
{
    ASSERT_TRUE(writeAll(program, "request", 7));
    ASSERT_EQ(0, shutdown(program, SHUT_WR));
    EXPECT_EQ("request", dataOf(take()));
    EXPECT_EQ(kA2ADisconnectSendEnd, endRequest());
    EXPECT_EQ(QV_SOCKETTCP::kStateConnected, sock.getConnectionState());  // still open for the answer
    give(dataPacket(kA2AKindData, port, "answer"));
    give(disconnectPacket(kA2AKindControl, port, kA2ADisconnectSendEnd));
    EXPECT_EQ("answer", readSome(program, 6));
    EXPECT_EQ(End::Orderly, endOf(program));
    // Over only once the end was dealt with: nothing more for the peer.
    EXPECT_TRUE(over(GetParam()));
    EXPECT_TRUE(take(kNow).empty());
    if (GetParam() == Side::Listener)
        client();  // accepts again
}

// The peer's half-close reaches the program as the end of its input only:
// what the program answers still goes to the peer.
TEST_P(ConnectionTest, ThePeersHalfCloseShutsDownTheSendingSideOnly)
{
    give(dataPacket(kA2AKindData, port, "ask"));
    give(disconnectPacket(kA2AKindControl, port, kA2ADisconnectSendEnd));
    EXPECT_EQ("ask", readSome(program, 3));
    EXPECT_EQ(End::Orderly, endOf(program));
    ASSERT_TRUE(writeAll(program, "reply", 5));
    EXPECT_EQ("reply", dataOf(take()));
    closeProgram();
    EXPECT_EQ(kA2ADisconnectSendEnd, endRequest());
    EXPECT_TRUE(over(GetParam()));
    EXPECT_TRUE(take(kNow).empty());
}

// Only a connection whose far end closed in order ends in order; one that
// broke there reaches the program as a reset. The listener's service needs
// no answer; the forward side answers the orderly end in kind.
TEST_P(ConnectionTest, ThePeersEndReachesTheProgram)
{
    for (uint16_t reason : {kA2ADisconnectOrderly, kA2ADisconnectAborted}) {
        SCOPED_TRACE(reason);
        if (reason == kA2ADisconnectAborted) {
            sock.stopThread();
            sock.getOutboundQueue()->reset();
            open(GetParam());
            give(dataPacket(kA2AKindData, port, "part"));
        }
        give(disconnectPacket(kA2AKindControl, port, reason));
        EXPECT_EQ(reason == kA2ADisconnectOrderly ? End::Orderly : End::Reset, endOf(program));
        EXPECT_TRUE(over(GetParam()));
        if (GetParam() == Side::Listener) {
            EXPECT_TRUE(take(kNow).empty());
        } else if (reason == kA2ADisconnectOrderly) {
            EXPECT_EQ(kA2ADisconnectOrderly, endRequest());
        }
    }
}

TEST_P(ConnectionTest, AProgramsResetIsPassedOnAsAnAbort)
{
    linger reset{1, 0};
    ASSERT_EQ(0, setsockopt(program, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset)));
    closeProgram();
    EXPECT_EQ(kA2ADisconnectAborted, endRequest());
    EXPECT_TRUE(over(GetParam()));
}

TEST_P(ConnectionTest, AStopResetsTheProgramAndTellsThePeer)
{
    sock.stopThread();
    EXPECT_EQ(End::Reset, endOf(program));
    EXPECT_EQ(kA2ADisconnectAborted, endRequest(kNow));
}

// Sizes come from the peer and are never believed: a packet whose dataSize
// exceeds one TCP read, the send buffer or its queue entry, or whose
// headerSize is not 40, is dropped with a trace line and never written. One
// of exactly a TCP read's size is written whole.
TEST_P(ConnectionTest, LyingPacketsAreDroppedAndNeverReachTcp)
{
    std::vector<uint8_t> lie = dataPacket(kA2AKindData, port, std::string(100, 'X'));
    testing::internal::CaptureStdout();
    for (uint16_t size : {uint16_t{kA2AMaxData + 1}, uint16_t{QV_SOCKETTCP::kBufferSize + 1}, uint16_t{65535}}) {
        setA2ADataSize(lie.data(), size);
        give(lie);
    }
    std::vector<uint8_t> badHeader = dataPacket(kA2AKindData, port, "XXXX");
    for (uint16_t headerSize : {0, 44}) {
        a2aWrite16(badHeader.data(), kA2AOffHeaderSize, headerSize);
        give(badHeader);
    }
    const std::string honest(kA2AMaxData, 'h');
    give(dataPacket(kA2AKindData, port, honest));
    // Taken in order: the drops are traced before the honest one is written.
    EXPECT_EQ(honest, readSome(program, honest.size()));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(stillOpenAndQuiet(program));  // nothing more arrived, connection intact
    int drops = 0;
    for (size_t at = out.find("Thread:A2A packet dropped"); at != std::string::npos;
         at = out.find("Thread:A2A packet dropped", at + 1)) {
        ++drops;
    }
    EXPECT_EQ(5, drops);
    EXPECT_EQ(1, sock.isRunning());
}

using ListenerTest = Connected;

// A client waits for the peer's answer with nothing sent on; NG resets it
// and the next client is accepted.
TEST_F(ListenerTest, NgReplyClosesTheWaitingClientAndTheNextOneIsAccepted)
{
    listen();
    int first = client();
    EXPECT_EQ(QV_SOCKETTCP::kStateConnected, sock.getConnectionState());
    EXPECT_TRUE(stillOpenAndQuiet(first));
    EXPECT_TRUE(take(kNow).empty());
    sock.setPeerConnectNg();
    EXPECT_EQ(End::Reset, endOf(first));
    client();
}

// A peer that never answers cannot hold the service: the client is reset,
// the peer told to let go, and the next client is accepted.
TEST_F(ListenerTest, APeerThatNeverAnswersIsGivenUp)
{
    QV_SOCKETTCP::setPeerAnswerMs(300);
    listen();
    EXPECT_EQ(End::Reset, endOf(client()));
    EXPECT_EQ(kA2ADisconnectAborted, endRequest());
    client();
    QV_SOCKETTCP::setPeerAnswerMs(QV_SOCKETTCP::kPeerAnswerMs);
}

TEST_F(ListenerTest, AStopEndsTheWaitsForAClientAndForThePeerPromptly)
{
    listen();
    ASSERT_TRUE(accepting());
    const auto before = Clock::now();
    sock.stopThread();
    EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(2000));  // the accept is woken
    EXPECT_EQ(0, sock.isRunning());
    EXPECT_EQ(QV_SOCKETTCP::kStateIdle, sock.getConnectionState());
    EXPECT_EQ(kA2ADisconnectOrderly, endRequest(kNow));  // the peer is told all the same

    listen();
    int waiting = client();
    sock.stopThread();
    EXPECT_EQ(End::Reset, endOf(waiting));
    EXPECT_EQ(0, sock.isRunning());
}

// A local program writing big blocks on loopback, read at the tunnel's pace
// of one entry per 20 ms: each packet carries a whole read of 10240 bytes,
// never the short remainder of a drained socket buffer (every short packet is
// a tick of the 10240-bytes-per-tick ceiling lost).
TEST_F(ListenerTest, BigBlocksFromALoopbackWriterFillEveryPacket)
{
    constexpr int kPackets = 40;
    const std::vector<uint8_t> data(static_cast<size_t>(kPackets) * QV_SOCKETTCP::kReadSize, 0x5a);
    listen();
    int fd = client();
    std::thread writer([&] {
        for (size_t at = 0; at < data.size(); at += 65536)
            if (!writeAll(fd, data.data() + at, std::min<size_t>(65536, data.size() - at)))
                return;
    });
    sock.setPeerConnectOk();
    std::vector<int> sizes;
    size_t got = 0;
    for (int i = 0; i < 2 * kPackets && got < data.size(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the stream's tick
        std::vector<uint8_t> p = take();
        if (p.empty())
            break;
        sizes.push_back(a2aDataSize(p.data()));
        got += a2aDataSize(p.data());
    }
    writer.join();
    EXPECT_EQ(data.size(), got);
    EXPECT_EQ(std::vector<int>(kPackets, QV_SOCKETTCP::kReadSize), sizes);
}

using ForwardTest = Connected;

// A control packet that meets a full outbound queue waits for room rather
// than being lost, and a stop abandons it at once. The forward side answers
// the peer's DISCONNECT-REQUEST with one.
TEST_F(ForwardTest, AControlPacketWaitsForRoomInAFullQueueButNotPastAStop)
{
    for (bool stop : {false, true}) {
        SCOPED_TRACE(stop);
        open(Side::Forward);
        fill(sock.getOutboundQueue());
        give(controlPacket(kA2AKindControl, kA2ACodeDisconnectRequest, port));
        // Taken: the thread is at its answer, which finds no room.
        ASSERT_TRUE(waitUntil([&] { return sock.getInboundQueue()->freeSlots() == QV_QUE::kCapacity; }));
        if (stop) {
            const auto before = Clock::now();
            sock.stopThread();
            EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(QV_SOCKETTCP::kControlWaitMs));
            EXPECT_EQ(0, sock.getOutboundQueue()->freeSlots());
        } else {
            for (int i = 0; i < QV_QUE::kCapacity; ++i)
                EXPECT_EQ(kA2AKindNull, a2aKind(take().data()));
            EXPECT_EQ(kA2ADisconnectOrderly, endRequest());
            EXPECT_TRUE(ended());
        }
    }
}

// A refused connect and a host that neither answers nor refuses (given up
// after the connect time limit): the peer hears NG with the error, nothing
// else.
TEST_F(ForwardTest, AFailedConnectRepliesNgWithTheErrorAndNothingElse)
{
    SilentHost silent;
    QV_SOCKETTCP::setConnectTimeoutMs(300);
    for (auto [target, error] : {std::pair{freePort(), ECONNREFUSED}, std::pair{silent.port(), ETIMEDOUT}}) {
        SCOPED_TRACE(error);
        ASSERT_EQ(1, sock.prepareClientSocket(port = target, "127.0.0.1"));
        sock.startForwardThread();
        std::vector<uint8_t> reply = take();
        EXPECT_EQ(kA2AResultFailed, control(reply, kA2ACodeConnectReply));
        EXPECT_EQ(error, a2aError(reply.data()));
        EXPECT_TRUE(ended());
        EXPECT_TRUE(take(kNow).empty());
    }
    QV_SOCKETTCP::setConnectTimeoutMs(QV_SOCKETTCP::kConnectTimeoutMs);
}

TEST(DataLinkListener, ServesOneConnectionThenEnds)
{
    QV_SOCKETTCP link;
    link.setMainService(0);
    ASSERT_EQ(1, link.createServerSocketAnyPort(20));
    link.startThread();
    int fd = connectLoopback(link.getBoundPort());
    controlResult(takePacket(link.getOutboundQueue()), kA2AKindDataLinkControl, kA2ACodeConnectRequest, 20);
    link.setPeerConnectOk();
    ASSERT_TRUE(writeAll(fd, "listing", 7));
    std::vector<uint8_t> up = takePacket(link.getOutboundQueue());
    ASSERT_FALSE(up.empty());
    EXPECT_EQ(kA2AKindDataLinkData, a2aKind(up.data()));
    EXPECT_EQ("listing", dataOf(up));
    close(fd);
    EXPECT_EQ(kA2ADisconnectSendEnd, controlResult(takePacket(link.getOutboundQueue()), kA2AKindDataLinkControl,
                                                   kA2ACodeDisconnectRequest, 20));
    ASSERT_TRUE(
        putPacket(link.getInboundQueue(), disconnectPacket(kA2AKindDataLinkControl, 20, kA2ADisconnectSendEnd)));
    EXPECT_TRUE(waitUntil([&] { return link.isRunning() == 0; }));
    EXPECT_EQ(QV_SOCKETTCP::kStateIdle, link.getConnectionState());
    link.stopThread();
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
    controlResult(takePacket(client.getOutboundQueue()), kA2AKindControl, kA2ACodeDisconnectRequest, port);
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
        ASSERT_TRUE(waitUntil([&] { return forward.getConnectionState() == QV_SOCKETTCP::kStateConnected; }));
    }
    EXPECT_TRUE(seesClose(server));
    close(server);
    close(listener);
}

// Moves packets between two objects as two streams and the messenger would.
void pump(QV_SOCKETTCP* a, QV_SOCKETTCP* b, std::atomic<bool>* quit)
{
    std::vector<uint8_t> slot(QV_QUE::kSlotSize);
    while (!*quit) {
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

// A listener and a forward object joined by their queues carry a stream of
// full packets intact, also to a reader that takes it slowly (the forward
// side's sends then wait for room again and again).
void transferThroughPair(bool slowReader)
{
    std::vector<uint8_t> source(512 * 1024);
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
    controlResult(takePacket(near.getOutboundQueue()), kA2AKindControl, kA2ACodeConnectRequest, servicePort);
    far.prepareClientSocket(sinkPort, "127.0.0.1");
    if (slowReader) {
        int small = 8192;
        setsockopt(far.getDataSocketForTest(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    }
    far.startForwardThread();
    int sinkFd = acceptWithin(sinkListener);
    ASSERT_GE(sinkFd, 0);
    controlResult(takePacket(far.getOutboundQueue()), kA2AKindControl, kA2ACodeConnectReply, sinkPort);
    near.setPeerConnectOk();

    std::atomic<bool> quit{false};
    std::thread mover(pump, &near, &far, &quit);
    std::vector<uint8_t> received;
    timeval limit{30, 0};
    setsockopt(sinkFd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    std::thread sink([&] {
        char buf[16384];
        const size_t chunk = slowReader ? 2048 : sizeof(buf);
        for (;;) {
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
    EXPECT_TRUE(source == received);
    near.stopThread();
    far.stopThread();
    close(sinkFd);
    close(sinkListener);
}

TEST(ConnectionThreadTransfer, DataArrivesIntact) { transferThroughPair(false); }

TEST(ConnectionThreadTransfer, DataArrivesIntactAtASlowReader) { transferThroughPair(true); }

}  // namespace
