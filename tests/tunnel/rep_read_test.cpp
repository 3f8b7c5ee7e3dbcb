// The receiving half: repRead's stream match, checks, sequence numbers,
// dispatch to the TCP side, held packets, and connections that end.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "tcp/socket_tcp.h"
#include "tcp/tcp_manager.h"
#include "tests/tunnel/tunnel_test_util.h"
#include "wire/a2a_packet.h"

using namespace tunneltest;
using namespace tcptest;

namespace {

bool anyDisconnect(const std::vector<std::string>& commands)
{
    return std::any_of(commands.begin(), commands.end(),
                       [](const std::string& c) { return c.find(" DISCONNECT ") != std::string::npos; });
}

using RepReadTest = StreamFixture;

TEST_F(RepReadTest, ReplyForAnotherStreamIsSkipped)
{
    auto one = makeStream(kHttpApp, "peer", 1, 80);
    auto twelve = makeStream(kHttpApp, "peer", 12, 80);
    const std::vector<uint8_t> null = makePacket(kA2AKindNull, 0, 0, 0);
    const std::string forTwelve = readReply("peer", 12, null);
    one->repRead(forTwelve.c_str());
    twelve->repRead(forTwelve.c_str());
    EXPECT_EQ(0u, one->getRecvSeq());
    EXPECT_EQ(1u, twelve->getRecvSeq());

    for (const std::string& other :
         {readReply("peerx", 1, null), readReply("pee", 1, null), std::string("peer:1") + toHex(null),
          std::string("peer:1_") + toHex(null), std::string("peer:1")}) {
        one->repRead(other.c_str());
        EXPECT_EQ(0u, one->getRecvSeq()) << other;
    }
    one->repRead(readReply("peer", 1, null).c_str());
    EXPECT_EQ(1u, one->getRecvSeq());
    EXPECT_TRUE(writes().empty());
}

TEST_F(RepReadTest, NullPacketAdvancesTheSeqAndCopiesThePeerLinks)
{
    auto stream = makeStream(kHttpApp, "peer", 1, 80);
    feed(*stream, makePacket(kA2AKindNull, 0, 0, 0, "", {2, 17, 1, 5}));
    EXPECT_EQ(1u, stream->getRecvSeq());
    EXPECT_EQ(2, stream->getPeerMainState());
    EXPECT_EQ(17, stream->getPeerMainFree());
    EXPECT_EQ(1, stream->getPeerDataLinkState());
    EXPECT_EQ(5, stream->getPeerDataLinkFree());
    EXPECT_TRUE(stream->isPeerMainConnected());
    EXPECT_FALSE(stream->isPeerDataLinkConnected());
    EXPECT_EQ(0u, stream->getReceivedBytes());
    EXPECT_EQ(0u, stream->getSendSeq());
    EXPECT_EQ(1, stream->getCanSend());
    EXPECT_TRUE(writes().empty());
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(RepReadTest, SequenceGapDisconnectsEveryTimeAndStillDelivers)
{
    int listener = -1, server = -1;
    auto stream = connectHttpToTestServer(&listener, &server);
    ASSERT_GE(server, 0);
    const std::string disconnect = "ALTER APPLICATION CorvaneForHttp000 DISCONNECT peer:1";
    feed(*stream, makePacket(kA2AKindData, 0, 80, 0, "a"));
    feed(*stream, makePacket(kA2AKindData, 0, 80, 1, "b"));
    EXPECT_TRUE(writes().empty());
    std::vector<std::string> expected;
    for (uint32_t seq : {3u, 4u}) {
        testing::internal::CaptureStdout();
        feed(*stream, makePacket(kA2AKindData, 0, 80, seq, std::string(1, static_cast<char>('a' + seq - 1))));
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string trace =
            "SEQ NO Error headerSEQ=" + std::to_string(seq) + ", thisSEQ=" + std::to_string(seq - 1);
        EXPECT_NE(std::string::npos, out.find(trace + "\n")) << out;
        expected.push_back(disconnect);
        EXPECT_EQ(expected, writes());
        EXPECT_EQ(seq, stream->getRecvSeq());
    }
    EXPECT_EQ("abcd", readSome(server, 4));
    EXPECT_EQ(4u, stream->takeReceivedBytes());
    close(server);
    close(listener);
}

TEST_F(RepReadTest, MalformedRepliesChangeNothing)
{
    auto stream = makeStream(kHttpApp, "peer", 1, 80);
    const PeerLinks links{2, 30, 2, 30};
    std::vector<uint8_t> badHeader = makePacket(kA2AKindNull, 0, 0, 0, "", links);
    a2aWrite16(badHeader.data(), kA2AOffHeaderSize, 41);
    std::vector<uint8_t> shortData = makePacket(kA2AKindData, 0, 80, 0, "hello", links);
    setA2ADataSize(shortData.data(), 10);
    const std::string hex = toHex(makePacket(kA2AKindData, 0, 80, 0, "hello", links));

    std::vector<std::string> texts = {
        "peer:1 " + std::string(2 * QV_SKYPESTREAM::kBufferSize + 2, '2'),
        readReply("peer", 1, badHeader),
        readReply("peer", 1, shortData),
        "peer:1 ",
        "peer:1 280",
    };
    for (size_t cut = 0; cut < hex.size(); ++cut)
        texts.push_back("peer:1 " + hex.substr(0, cut));
    for (const std::string& text : texts) {
        stream->repRead(text.c_str());
        ASSERT_EQ(0u, stream->getRecvSeq()) << text.substr(0, 100);
        ASSERT_EQ(0, stream->getPeerMainState()) << text.substr(0, 100);
        ASSERT_EQ(0, stream->getPeerDataLinkFree()) << text.substr(0, 100);
        ASSERT_EQ(0u, stream->getReceivedBytes()) << text.substr(0, 100);
    }
    EXPECT_TRUE(writes().empty());

    stream->repRead(("peer:1 " + hex).c_str());
    EXPECT_EQ(1u, stream->getRecvSeq());
    EXPECT_EQ(2, stream->getPeerMainState());
    EXPECT_EQ(5u, stream->getReceivedBytes());
    EXPECT_FALSE(anyDisconnect(writes())) << "seq 0 was still expected";
}

// A CONNECT-REQUEST is answered once its connect has an outcome, once, with
// the stream's next sequence number: by the forward thread (any host but
// localhost is answered by it alone), or by the stream for the FTP control
// connect made in the caller's thread.
TEST_F(RepReadTest, ConnectRequestsAreAnsweredOnceWithTheirOutcomeAndTheNextSeq)
{
    struct Case {
        const char* app;
        int servicePort;
        const char* host;
        bool listening;
    };
    int id = 0;
    for (const Case& c : {Case{kHttpApp, 80, "localhost", true}, Case{kHttpApp, 80, "localhost", false},
                          Case{kHttpApp, 80, "127.0.0.1", false}, Case{kFtpApp, 21, "127.0.0.1", true}}) {
        SCOPED_TRACE(std::string(c.app) + " " + c.host + (c.listening ? " listening" : " refused"));
        int port = 0;
        const int listener = c.listening ? listenLoopback(&port) : -1;
        if (!c.listening)
            port = freePort();
        auto stream = makeStream(c.app, "peer", ++id, c.servicePort, c.host, port);
        ASSERT_EQ(1, stream->sendNullPacket());
        stream->setCanSend();
        const size_t from = writes().size();
        feed(*stream, makePacket(kA2AKindControl, kA2ACodeConnectRequest, static_cast<uint16_t>(c.servicePort), 0));
        EXPECT_EQ(from, writes().size()) << "the answer waits for the connect";
        const std::vector<uint8_t> reply = awaitPacket(*stream, kA2AKindControl, kA2ACodeConnectReply, from);
        ASSERT_EQ(40u, reply.size());
        EXPECT_EQ(1u, a2aSeq(reply.data()));
        EXPECT_EQ(c.listening ? kA2AResultConnected : kA2AResultFailed, a2aResult(reply.data()));
        EXPECT_EQ(c.listening ? 0 : ECONNREFUSED, a2aError(reply.data()));
        const std::string line = std::string("peer:TCP接続要求: ") + c.host + " Port=" + std::to_string(port);
        if (c.app == kHttpApp) {
            EXPECT_EQ(port, a2aPort(reply.data()));  // the forward thread's own port
            EXPECT_TRUE(waitUntil([&] { return capture.has(line + (c.listening ? " 接続" : " 接続に失敗")); }));
            EXPECT_NE(c.listening, capture.has(line + " 接続に失敗"));
            EXPECT_EQ(c.listening, capture.has(line + " 接続"));
        }
        EXPECT_EQ(c.listening ? 2 : 0, a2aMainLinkState(reply.data()));
        for (int i = 0; i < 20; ++i)
            pump(*stream);
        int replies = 0;
        for (const auto& p : packetsOf(writes(), *stream, from))
            replies += a2aKind(p.data()) == kA2AKindControl && a2aCode(p.data()) == kA2ACodeConnectReply ? 1 : 0;
        EXPECT_EQ(1, replies);
        if (c.listening) {
            const int server = acceptWithin(listener);
            EXPECT_GE(server, 0);
            close(server);
            close(listener);
        }
    }
}

TEST_F(RepReadTest, DisconnectRequests)
{
    int listener = -1, server = -1;
    auto stream = connectHttpToTestServer(&listener, &server);
    ASSERT_GE(server, 0);
    feed(*stream, makePacket(kA2AKindData, 0, 80, 0, "xyz"));
    feed(*stream, makePacket(kA2AKindControl, kA2ACodeDisconnectRequest, 80, 1));
    EXPECT_EQ("xyz", readSome(server, 3));
    EXPECT_TRUE(seesClose(server));
    EXPECT_TRUE(capture.has("peer:TCP切断要求: localhost Port=80 切断"));
    close(server);
    close(listener);

    // Without a main socket the manager is told.
    auto bare = makeStream(kHttpApp, "peer", 2, 80);
    feed(*bare, makePacket(kA2AKindControl, kA2ACodeDisconnectRequest, 80, 0));
    EXPECT_TRUE(capture.has("TCP切断: ポート番号=80"));

    // The FTP stream acts only on its service port.
    auto ftp = makeStream(kFtpApp, "peer", 3, 21, "127.0.0.1");
    const size_t before = capture.lines().size();
    feed(*ftp, makePacket(kA2AKindControl, kA2ACodeDisconnectRequest, 2121, 0));
    EXPECT_EQ(before, capture.lines().size());
    EXPECT_EQ(1u, ftp->getRecvSeq());
    feed(*ftp, makePacket(kA2AKindControl, kA2ACodeDisconnectRequest, 21, 1));
    EXPECT_TRUE(capture.has("peer:TCP切断要求: 127.0.0.1 Port=21 切断"));
}

// An FTP server on another port than the service's: the peer names that
// port in its packets, and its half-close must still reach this side's
// control connection, or the connection would wait for it for ever.
TEST_F(RepReadTest, AFtpHalfCloseFromAnotherPortReachesTheControlConnection)
{
    int listener = -1, server = -1;
    uint32_t seq = 0;
    auto stream = connectFtpToTestServer(&listener, &server, &seq);
    ASSERT_GE(server, 0);
    feed(*stream, resultPacket(kA2AKindControl, kA2ACodeDisconnectRequest, 2121, seq++, kA2ADisconnectSendEnd));
    EXPECT_EQ(End::Orderly, endOf(server));
    close(server);
    close(listener);
}

// Back-pressure: a held packet needs a full inbound queue behind a
// connection that is up: the peer answered, and the local client stopped
// reading (with a small receive buffer), so the connection thread is stuck
// writing to TCP and takes nothing more from its queue. The main connection
// of the client application, or a data link of the FTP stream.
class HeldPacketTest : public StreamFixture {
protected:
    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
        stream.reset();
        StreamFixture::TearDown();
    }
    void connectMain()
    {
        config.setClientMode(1);
        port = freePort();
        stream = makeStream(kHttpApp, "peer", 1, port);
        ASSERT_TRUE(waitUntil([&] { return stream->isMainListening(); }));
        socket = stream->getTcpManager()->getMainSocket();
        connectAndAnswer(port, kA2AKindControl);
        ASSERT_TRUE(waitUntil([&] { return stream->isMainConnected(); }));
    }
    void connectDataLink()
    {
        stream = makeStream(kFtpApp, "peer", 1, 21, "127.0.0.1");
        const int bound = stream->getTcpManager()->createDataLinkServer(5001);
        ASSERT_GT(bound, 0);
        socket = stream->getTcpManager()->getDataLinkSocket();
        port = 5001;
        dataKind = kA2AKindDataLinkData;
        connectAndAnswer(bound, kA2AKindDataLinkControl);
        ASSERT_TRUE(waitUntil([&] { return stream->isDataLinkConnected(); }));
    }
    void connectAndAnswer(int local, uint16_t controlKind)
    {
        fd = connectLoopback(local, 4096);
        ASSERT_GE(fd, 0);
        // The connection thread queues the CONNECT-REQUEST, then clears its
        // inbound queue before it waits for the answer; nothing shows the
        // clearing, so the answer comes a moment later.
        ASSERT_TRUE(waitUntil([&] { return socket->getOutboundQueue()->freeSlots() == 29; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        feed(*stream,
             resultPacket(controlKind, kA2ACodeConnectReply, static_cast<uint16_t>(port), seq++, kA2AResultConnected));
    }
    std::string feedData(int count)
    {
        std::string all;
        for (int i = 0; i < count; ++i) {
            std::string bytes(QV_SOCKETTCP::kReadSize, static_cast<char>('A' + seq % 26));
            bytes.replace(0, std::to_string(seq).size(), std::to_string(seq));
            const auto start = std::chrono::steady_clock::now();
            feed(*stream, makePacket(dataKind, 0, static_cast<uint16_t>(port), seq++, bytes));
            longest = std::max(longest, std::chrono::steady_clock::now() - start);
            all += bytes;
        }
        return all;
    }
    // Feeds DATA packets until one is held and stays held while the stream
    // ticks for a while: the queue fills faster than the thread drains it
    // long before the kernel's buffers are full, and only a thread stuck in
    // its TCP write keeps it full. What the packets carry. The bound of 1000
    // packets lies beyond what the kernel may buffer for the connection.
    std::string feedUntilHeld()
    {
        std::string all;
        for (int i = 0; i < 1000 && !heldWhileTicking(); ++i)
            all += feedData(1);
        EXPECT_TRUE(stream->isHoldingPacket()) << "the queue never filled";
        // The packet that finds the queue full is kept at once: the
        // messenger's thread of control is never blocked by a slow reader.
        EXPECT_LT(longest, std::chrono::milliseconds(500)) << "a packet was waited for";
        return all;
    }
    bool heldWhileTicking()
    {
        for (int tick = 0; tick < 10 && stream->isHoldingPacket(); ++tick) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            stream->intervalTimer();
        }
        return stream->isHoldingPacket();
    }
    // The local client reads again; the stream ticks meanwhile, as the 20 ms
    // timer would, so that held packets move on.
    std::string readWhileTicking(size_t size)
    {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (got.size() < size && std::chrono::steady_clock::now() < deadline) {
            got += readSome(fd, size - got.size(), std::chrono::milliseconds(20));
            stream->intervalTimer();
        }
        return got;
    }

    std::unique_ptr<QV_SKYPESTREAM> stream;
    QV_SOCKETTCP* socket = nullptr;
    uint16_t dataKind = kA2AKindData;
    int port = 0;
    int fd = -1;
    uint32_t seq = 0;
    std::chrono::steady_clock::duration longest{};
};

// A READ repeated after a slow reply brings more packets while the first is
// still held: all wait, none is lost or overtaken, and the peer's
// DISCONNECT-REQUEST behind them ends the connection after the data.
TEST_F(HeldPacketTest, DataThatFindsTheQueueFullIsKeptAndDeliveredInOrder)
{
    connectMain();
    std::string sent = feedUntilHeld();
    EXPECT_EQ(0, socket->getInboundQueue()->freeSlots());
    for (int i = 0; i < 3; ++i)
        stream->intervalTimer();
    EXPECT_TRUE(stream->isHoldingPacket()) << "the queue is still full";
    sent += feedData(2);
    // A packet that needs no queue is handled while one is held.
    feed(*stream, makePacket(kA2AKindNull, 0, 0, seq++, "", {2, 30}));
    EXPECT_TRUE(stream->isPeerMainConnected());
    feed(*stream, makePacket(kA2AKindControl, kA2ACodeDisconnectRequest, static_cast<uint16_t>(port), seq++));
    EXPECT_TRUE(stream->isHoldingPacket());
    EXPECT_TRUE(capture.has("peer:TCP切断要求: localhost Port=" + std::to_string(port) + " 切断"));
    EXPECT_FALSE(capture.has("TCP切断: ポート番号=" + std::to_string(port))) << "the manager was not told";

    EXPECT_EQ(sent, readWhileTicking(sent.size()));
    EXPECT_TRUE(seesClose(fd));
    EXPECT_FALSE(stream->isHoldingPacket());
    EXPECT_FALSE(anyDisconnect(writes()));
}

TEST_F(HeldPacketTest, DataLinkDataThatFindsTheQueueFullIsKeptNotWaitedFor)
{
    connectDataLink();
    const std::string sent = feedUntilHeld();
    for (const std::string& line : capture.lines())
        EXPECT_EQ(std::string::npos, line.find("QUEFULL")) << line;
    EXPECT_EQ(sent, readWhileTicking(sent.size()));
    EXPECT_FALSE(stream->isHoldingPacket());
}

TEST_F(HeldPacketTest, HeldPacketGoesWithItsConnection)
{
    connectMain();
    feedUntilHeld();
    // The local client goes away: the connection ends with the queue still
    // full, and the packet is not kept for a later connection.
    close(fd);
    fd = -1;
    ASSERT_TRUE(waitUntil([&] { return !stream->isMainConnected(); }));
    testing::internal::CaptureStdout();
    stream->intervalTimer();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(stream->isHoldingPacket());
    EXPECT_NE(std::string::npos, out.find("held packet dropped, no connection")) << out;
    EXPECT_EQ(std::string::npos, out.find("held packet enqueued")) << out;
}

using ConnectionEndTest = StreamFixture;

// A client that asked for a large transfer and went away while the stream
// still had its data queued: the peer's data and its DISCONNECT-REQUEST for
// that connection arrive after it is over, into a full queue. The service
// must keep listening, and a new connection must see none of the old data.
TEST_F(ConnectionEndTest, ACancelledTransferNeverStopsTheService)
{
    config.setClientMode(1);
    const int port = freePort();
    // The peer's forward connection carries the same port, as with the
    // default settings.
    const auto peerPort = static_cast<uint16_t>(port);
    auto stream = makeStream(kHttpApp, "peer", 1, port);
    QV_SOCKETTCP* socket = stream->getTcpManager()->getMainSocket();
    ASSERT_TRUE(waitUntil([&] { return stream->isMainListening(); }));
    int client = connectLoopback(port, 4096);
    ASSERT_GE(client, 0);
    ASSERT_EQ(kA2ACodeConnectRequest, a2aCode(takePacket(socket->getOutboundQueue()).data()));
    uint32_t seq = 0;
    feed(*stream, resultPacket(kA2AKindControl, kA2ACodeConnectReply, peerPort, seq++, kA2AResultConnected));
    ASSERT_TRUE(waitUntil([&] { return socket->getPeerConnectState() == QV_SOCKETTCP::kPeerOk; }));
    // The client reads nothing: the queue fills up behind its full buffers.
    // The relay may still take an entry while the client's buffers fill:
    // fill again until the queue stays full.
    const std::string block(kA2AMaxData, 'o');
    testing::internal::CaptureStdout();
    const bool full = waitUntil([&] {
        for (int i = 0; i < 3000 && socket->getInboundQueue()->hasRoom(); ++i)
            feed(*stream, makePacket(kA2AKindData, 0, peerPort, seq++, block));
        return !socket->getInboundQueue()->hasRoom();
    });
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(full);
    linger reset{1, 0};
    ASSERT_EQ(0, setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset)));
    close(client);
    ASSERT_TRUE(waitUntil([&] { return stream->isMainListening(); }));
    for (int i = 0; i < 8; ++i)
        feed(*stream, makePacket(kA2AKindData, 0, peerPort, seq++, block));
    feed(*stream, makePacket(kA2AKindControl, kA2ACodeDisconnectRequest, peerPort, seq++));
    for (int i = 0; i < 10; ++i)
        stream->intervalTimer();

    int again = connectLoopback(port);
    ASSERT_GE(again, 0);
    std::vector<uint8_t> packet;
    do {
        packet = takePacket(socket->getOutboundQueue());
    } while (!packet.empty() && a2aCode(packet.data()) != kA2ACodeConnectRequest);
    ASSERT_FALSE(packet.empty()) << "the service stopped listening";
    feed(*stream, makePacket(kA2AKindData, 0, peerPort, seq++, "stale"));
    feed(*stream, resultPacket(kA2AKindControl, kA2ACodeConnectReply, peerPort, seq++, kA2AResultConnected));
    feed(*stream, makePacket(kA2AKindData, 0, peerPort, seq++, "fresh"));
    EXPECT_EQ("fresh", readSome(again, 5));
    EXPECT_TRUE(stillOpenAndQuiet(again));
    close(again);
}

// Bytes of an open FTP data connection that have to be dropped are an error
// the user sees in the event log.
TEST_F(ConnectionEndTest, LostDataLinkBytesAreLogged)
{
    int ftpListener = -1, control = -1;
    uint32_t seq = 0;
    auto stream = connectFtpToTestServer(&ftpListener, &control, &seq);
    ASSERT_GE(control, 0);
    int port = 0;
    int listener = listenLoopback(&port, 4096);
    ASSERT_TRUE(localFtpSays(*stream, control, passiveReply(port)));
    feed(*stream, makePacket(kA2AKindDataLinkControl, kA2ACodeConnectRequest, static_cast<uint16_t>(port), seq++));
    int server = acceptWithin(listener);
    ASSERT_GE(server, 0);
    ASSERT_TRUE(waitUntil([&] { return stream->isDataLinkConnected(); }));
    const std::string block(kA2AMaxData, 'd');
    const std::string line = "peerとのFTP接続:127.0.0.1とのd-port=" + std::to_string(port) + " QUEFULLを検出";
    testing::internal::CaptureStdout();
    for (int i = 0; i < 3000 && !capture.has(line, "ER"); ++i)
        feed(*stream, makePacket(kA2AKindDataLinkData, 0, static_cast<uint16_t>(port), seq++, block));
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(capture.has(line, "ER"));
    stream.reset();
    close(server);
    close(listener);
    close(control);
    close(ftpListener);
}

}  // namespace
