// The connection threads of QV_SOCKETTCP, driven from both ends: a local TCP
// program on one side, the packets of the peer in the two queues on the other.
#include "tcp/socket_tcp.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "tests/support/tcp_test_util.h"
#include "wire/a2a_packet.h"

using namespace tcptest;

namespace {

constexpr std::chrono::milliseconds kNow{0};

std::string dataOf(const std::vector<uint8_t>& p)
{
    return p.empty() ? ""
                     : std::string(reinterpret_cast<const char*>(p.data()) + kA2AHeaderSize, a2aDataSize(p.data()));
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
    // Checks that `p` is a control packet with `code` for the port without
    // data; answers its result word.
    int control(std::vector<uint8_t> p, uint16_t code)
    {
        EXPECT_FALSE(p.empty()) << "no packet came";
        p.resize(std::max<size_t>(p.size(), kA2AHeaderSize));
        EXPECT_EQ(kA2AHeaderSize, a2aHeaderSize(p.data()));
        EXPECT_EQ(0, a2aDataSize(p.data()));
        EXPECT_EQ(kA2AKindControl, a2aKind(p.data()));
        EXPECT_EQ(code, a2aCode(p.data()));
        EXPECT_EQ(port, a2aPort(p.data()));
        return a2aResult(p.data());
    }
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
        sock.stopThread();
        sock.getOutboundQueue()->reset();
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
// the peer's answer still comes, then the orderly end. The peer's half-close
// reaches the program as the end of its input only: what the program
// answers still goes to the peer.
TEST_P(ConnectionTest, HalfClosesCarryTheAnswerBack)
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

    open(GetParam());
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
// no answer; the forward side answers the orderly end in kind. A reset of
// the program goes to the peer as an abort; a stop resets the program and
// tells the peer.
TEST_P(ConnectionTest, EachEndReachesTheOtherSideInKind)
{
    const Side side = GetParam();
    for (uint16_t reason : {kA2ADisconnectOrderly, kA2ADisconnectAborted}) {
        SCOPED_TRACE(reason);
        if (reason == kA2ADisconnectAborted) {
            open(side);
            give(dataPacket(kA2AKindData, port, "part"));
        }
        give(disconnectPacket(kA2AKindControl, port, reason));
        EXPECT_EQ(reason == kA2ADisconnectOrderly ? End::Orderly : End::Reset, endOf(program));
        EXPECT_TRUE(over(side));
        if (side == Side::Listener) {
            EXPECT_TRUE(take(kNow).empty());
        } else if (reason == kA2ADisconnectOrderly) {
            EXPECT_EQ(kA2ADisconnectOrderly, endRequest());
        }
    }
    open(side);
    linger reset{1, 0};
    ASSERT_EQ(0, setsockopt(program, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset)));
    closeProgram();
    EXPECT_EQ(kA2ADisconnectAborted, endRequest());
    EXPECT_TRUE(over(side));

    open(side);
    sock.stopThread();
    EXPECT_EQ(End::Reset, endOf(program));
    EXPECT_EQ(kA2ADisconnectAborted, endRequest(kNow));
}

// Sizes come from the peer and are never believed: a packet whose dataSize
// exceeds one TCP read, the send buffer or its queue entry, or whose
// headerSize is not 40, is dropped and never written. One of exactly a TCP
// read's size is written whole.
TEST_P(ConnectionTest, LyingPacketsAreDroppedAndNeverReachTcp)
{
    std::vector<uint8_t> lie = dataPacket(kA2AKindData, port, std::string(100, 'X'));
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
    EXPECT_EQ(honest, readSome(program, honest.size()));
    EXPECT_TRUE(stillOpenAndQuiet(program));  // nothing more arrived, connection intact
    EXPECT_EQ(1, sock.isRunning());
}

using ListenerTest = Connected;

// A client waits for the peer's answer with nothing sent on; NG resets it
// and the next client is accepted. A peer that never answers cannot hold
// the service: the client is reset, the peer told to let go. A stop ends
// the waits for a client and for the peer at once.
TEST_F(ListenerTest, NgNoAnswerOrAStopEndTheWaits)
{
    listen();
    int first = client();
    EXPECT_EQ(QV_SOCKETTCP::kStateConnected, sock.getConnectionState());
    EXPECT_TRUE(stillOpenAndQuiet(first));
    EXPECT_TRUE(take(kNow).empty());
    sock.setPeerConnectNg();
    EXPECT_EQ(End::Reset, endOf(first));

    QV_SOCKETTCP::setPeerAnswerMs(300);
    EXPECT_EQ(End::Reset, endOf(client()));
    EXPECT_EQ(kA2ADisconnectAborted, endRequest());
    QV_SOCKETTCP::setPeerAnswerMs(QV_SOCKETTCP::kPeerAnswerMs);
    int waiting = client();
    sock.stopThread();
    EXPECT_EQ(End::Reset, endOf(waiting));
    EXPECT_EQ(0, sock.isRunning());

    sock.getOutboundQueue()->reset();
    listen();
    ASSERT_TRUE(accepting());
    const auto before = Clock::now();
    sock.stopThread();
    EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(2000));  // the accept is woken
    EXPECT_EQ(QV_SOCKETTCP::kStateIdle, sock.getConnectionState());
    EXPECT_EQ(kA2ADisconnectOrderly, endRequest(kNow));  // the peer is told all the same
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
    std::thread writer([&] { writeAll(fd, data.data(), data.size()); });
    sock.setPeerConnectOk();
    std::vector<int> sizes;
    for (size_t got = 0; got < data.size() && sizes.size() < 2 * kPackets;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the stream's tick
        std::vector<uint8_t> p = take();
        if (p.empty())
            break;
        sizes.push_back(a2aDataSize(p.data()));
        got += a2aDataSize(p.data());
    }
    writer.join();
    EXPECT_EQ(std::vector<int>(kPackets, QV_SOCKETTCP::kReadSize), sizes);
}

using ForwardTest = Connected;

// A control packet that meets a full outbound queue waits for room rather
// than being lost, and a stop abandons it at once. The forward side answers
// the peer's DISCONNECT-REQUEST with one.
TEST_F(ForwardTest, AControlPacketWaitsForRoomInAFullQueueButNotPastAStop)
{
    const std::vector<uint8_t> filler = controlPacket(kA2AKindNull, 0, 0);
    for (bool stop : {false, true}) {
        SCOPED_TRACE(stop);
        open(Side::Forward);
        for (int i = 0; i < QV_QUE::kCapacity; ++i)
            ASSERT_EQ(1, sock.getOutboundQueue()->enqueue(filler.data(), kA2AHeaderSize));
        EXPECT_FALSE(sock.getOutboundQueue()->hasRoom());
        EXPECT_EQ(0, sock.getOutboundQueue()->enqueue(filler.data(), kA2AHeaderSize));
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
// else. An object destroyed while its thread relays ends the connection.
TEST_F(ForwardTest, AFailedConnectRepliesNgAndADestroyedObjectEndsItsConnection)
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

    int listener = keep(listenLoopback(&port));
    int server = -1;
    {
        QV_SOCKETTCP forward;
        forward.prepareClientSocket(port, "127.0.0.1");
        forward.startForwardThread();
        server = keep(acceptWithin(listener));
        ASSERT_TRUE(waitUntil([&] { return forward.getConnectionState() == QV_SOCKETTCP::kStateConnected; }));
    }
    EXPECT_TRUE(seesClose(server));
}

}  // namespace
