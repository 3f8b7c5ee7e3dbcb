// The receiving half: repRead's stream match, checks, sequence numbers,
// dispatch to the TCP side, FTP rewriting on the way, and held packets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
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

std::string numbered(int i, size_t size)
{
    std::string s(size, static_cast<char>('A' + i % 26));
    s.replace(0, std::to_string(i).size(), std::to_string(i));
    return s;
}

std::vector<uint8_t> connectReply(uint16_t kind, uint16_t port, uint32_t seq, uint16_t result, PeerLinks links = {})
{
    std::vector<uint8_t> p = makePacket(kind, kA2ACodeConnectReply, port, seq, "", links);
    setA2AResult(p.data(), result);
    return p;
}

bool anyDisconnect(const std::vector<std::string>& commands)
{
    for (const std::string& c : commands)
        if (c.find(" DISCONNECT ") != std::string::npos)
            return true;
    return false;
}

// The local client reads again; the stream ticks meanwhile, as the 20 ms
// timer would, so that held packets move on. Everything read within the limit.
std::string readWhileTicking(int fd, QV_SKYPESTREAM& stream, size_t size)
{
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (got.size() < size && std::chrono::steady_clock::now() < deadline) {
        got += readSome(fd, size - got.size(), std::chrono::milliseconds(20));
        stream.intervalTimer();
    }
    return got;
}

// Packets of 10240 bytes a test may feed before the inbound queue of a
// connection whose local client does not read must be full.
constexpr int kMaxFeed = 1000;

// After a listening socket accepted, its thread queues the CONNECT-REQUEST
// and then clears its inbound queue before it waits for the peer's answer.
void waitForConnectRequest(QV_SOCKETTCP* socket)
{
    ASSERT_TRUE(waitUntil([&] { return socket->getOutboundQueue()->freeSlots() == 29; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
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
    testing::internal::CaptureStdout();
    feed(*stream, makePacket(kA2AKindData, 0, 80, 3, "c"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("SEQ NO Error headerSEQ=3, thisSEQ=2\n"));
    EXPECT_EQ(std::vector<std::string>{disconnect}, writes());
    EXPECT_EQ(3u, stream->getRecvSeq());

    testing::internal::CaptureStdout();
    feed(*stream, makePacket(kA2AKindData, 0, 80, 4, "d"));
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("SEQ NO Error headerSEQ=4, thisSEQ=3\n"));
    EXPECT_EQ((std::vector<std::string>{disconnect, disconnect}), writes());
    EXPECT_EQ(4u, stream->getRecvSeq());
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

// The forward thread answers a CONNECT-REQUEST once its connect has an
// outcome, and the stream sends the answer as soon as it may write; the
// answer takes the stream's next sequence number.
TEST_F(RepReadTest, ConnectRequestsAreAnsweredWithTheNextSeq)
{
    int port = 0;
    int listener = listenLoopback(&port);
    auto stream = makeStream(kHttpApp, "peer", 1, 80, "localhost", port);
    feed(*stream, makePacket(kA2AKindControl, kA2ACodeConnectRequest, 80, 0));
    QV_QUE* out = stream->getTcpManager()->getMainSocket()->getOutboundQueue();
    ASSERT_TRUE(waitUntil([&] { return out->freeSlots() == 29; }));
    stream->sendEarly();
    ASSERT_EQ(1u, writes().size());
    std::vector<uint8_t> reply = writtenPacket(writes()[0], kHttpApp, "peer", 1);
    ASSERT_EQ(40u, reply.size());
    EXPECT_EQ(kA2AKindControl, a2aKind(reply.data()));
    EXPECT_EQ(kA2ACodeConnectReply, a2aCode(reply.data()));
    EXPECT_EQ(port, a2aPort(reply.data()));  // the forward thread's own port
    EXPECT_EQ(kA2AResultConnected, a2aResult(reply.data()));
    EXPECT_EQ(0, a2aError(reply.data()));
    EXPECT_EQ(0u, a2aSeq(reply.data()));
    EXPECT_EQ(2, a2aMainLinkState(reply.data()));
    EXPECT_TRUE(
        waitUntil([&] { return capture.has("peer:TCP接続要求: localhost Port=" + std::to_string(port) + " 接続"); }));
    int server = acceptWithin(listener);
    EXPECT_GE(server, 0);

    const int nobody = freePort();
    auto refused = makeStream(kHttpApp, "peer", 2, 80, "localhost", nobody);
    ASSERT_EQ(1, refused->sendNullPacket());
    refused->setCanSend();
    feed(*refused, makePacket(kA2AKindControl, kA2ACodeConnectRequest, 80, 0));
    QV_QUE* refusedOut = refused->getTcpManager()->getMainSocket()->getOutboundQueue();
    ASSERT_TRUE(waitUntil([&] { return refusedOut->freeSlots() == 29; }));
    refused->sendEarly();
    ASSERT_EQ(3u, writes().size());
    reply = writtenPacket(writes()[2], kHttpApp, "peer", 2);
    ASSERT_EQ(40u, reply.size());
    EXPECT_EQ(kA2AResultFailed, a2aResult(reply.data()));
    EXPECT_EQ(ECONNREFUSED, a2aError(reply.data()));
    EXPECT_EQ(1u, a2aSeq(reply.data()));
    EXPECT_TRUE(waitUntil(
        [&] { return capture.has("peer:TCP接続要求: localhost Port=" + std::to_string(nobody) + " 接続に失敗"); }));
    EXPECT_FALSE(capture.has("peer:TCP接続要求: localhost Port=" + std::to_string(nobody) + " 接続"));
    close(server);
    close(listener);
}

TEST_F(RepReadTest, ForwardedConnectIsAnsweredOnceWithItsOutcome)
{
    // 127.0.0.1 is connected by the forward thread, which answers the peer
    // itself: no early success may go out before it.
    const int nobody = freePort();
    auto stream = makeStream(kHttpApp, "peer", 1, 80, "127.0.0.1", nobody);
    feed(*stream, makePacket(kA2AKindControl, kA2ACodeConnectRequest, 80, 0));
    EXPECT_TRUE(writes().empty());
    ASSERT_TRUE(waitUntil([&] {
        stream->intervalTimer();
        return !writes().empty();
    }));
    for (int i = 0; i < 20; ++i) {
        stream->setCanSend();
        stream->intervalTimer();
    }
    int replies = 0;
    for (const std::string& command : writes()) {
        std::vector<uint8_t> packet = writtenPacket(command, kHttpApp, "peer", 1);
        if (packet.size() >= 40 && a2aKind(packet.data()) == kA2AKindControl
            && a2aCode(packet.data()) == kA2ACodeConnectReply) {
            ++replies;
            EXPECT_EQ(kA2AResultFailed, a2aResult(packet.data()));
            EXPECT_EQ(ECONNREFUSED, a2aError(packet.data()));
        }
    }
    EXPECT_EQ(1, replies);
}

TEST_F(RepReadTest, FtpControlConnectIsAnsweredOnce)
{
    int port = 0;
    int listener = listenLoopback(&port);
    auto stream = makeStream(kFtpApp, "peer", 1, 21, "127.0.0.1", port);
    feed(*stream, makePacket(kA2AKindControl, kA2ACodeConnectRequest, 21, 0));
    EXPECT_TRUE(writes().empty()) << "the answer waits for the connect";
    QV_QUE* out = stream->getTcpManager()->getMainSocket()->getOutboundQueue();
    ASSERT_TRUE(waitUntil([&] { return out->freeSlots() == 29; }));
    stream->sendEarly();
    ASSERT_EQ(1u, writes().size());
    std::vector<uint8_t> reply = writtenPacket(writes()[0], kFtpApp, "peer", 1);
    ASSERT_EQ(40u, reply.size());
    EXPECT_EQ(kA2ACodeConnectReply, a2aCode(reply.data()));
    EXPECT_EQ(kA2AResultConnected, a2aResult(reply.data()));
    int server = acceptWithin(listener);
    EXPECT_GE(server, 0);
    close(server);
    close(listener);
}

// The local FTP server's control connection is up and its passive reply
// announced the port: the peer may then have it connected.
TEST_F(RepReadTest, DataLinkConnectRequestsUseThePacketsPort)
{
    int ftpListener = -1, control = -1;
    uint32_t seq = 0;
    auto stream = connectFtpToTestServer(&ftpListener, &control, &seq);
    ASSERT_GE(control, 0);
    auto passive = [](int p) {
        return "227 Entering Passive Mode (127,0,0,1," + std::to_string(p / 256) + "," + std::to_string(p % 256)
               + ")\r\n";
    };

    int port = 0;
    int listener = listenLoopback(&port);
    ASSERT_TRUE(localFtpSays(*stream, control, passive(port)));
    size_t from = writes().size();
    feed(*stream, makePacket(kA2AKindDataLinkControl, kA2ACodeConnectRequest, static_cast<uint16_t>(port), seq++));
    ASSERT_NE(nullptr, stream->getTcpManager()->getDataLinkSocket());
    QV_QUE* out = stream->getTcpManager()->getDataLinkSocket()->getOutboundQueue();
    ASSERT_TRUE(waitUntil([&] { return out->freeSlots() == 29; }));
    stream->setCanSend();
    stream->sendEarly();  // a data link's answer goes at once too
    ASSERT_EQ(from + 1, writes().size());
    std::vector<uint8_t> reply = writtenPacket(writes().back(), kFtpApp, "peer", 1);
    ASSERT_EQ(40u, reply.size());
    EXPECT_EQ(kA2AKindDataLinkControl, a2aKind(reply.data()));
    EXPECT_EQ(kA2ACodeConnectReply, a2aCode(reply.data()));
    EXPECT_EQ(port, a2aPort(reply.data()));
    EXPECT_EQ(kA2AResultConnected, a2aResult(reply.data()));
    EXPECT_TRUE(waitUntil(
        [&] { return capture.has("peer:TCP接続要求(d-link): 127.0.0.1 Port=" + std::to_string(port) + " 接続"); }));
    int server = acceptWithin(listener);
    EXPECT_GE(server, 0);
    close(server);  // the transfer ends; the peer ends its side too
    feed(*stream, makePacket(kA2AKindDataLinkControl, kA2ACodeDisconnectRequest, static_cast<uint16_t>(port), seq++));
    ASSERT_TRUE(waitUntil([&] { return stream->getTcpManager()->getDataLinkSocket()->isRunning() == 0; }));
    while (out->freeSlots() < 30) {
        stream->setCanSend();
        stream->intervalTimer();
    }

    const int nobody = freePort();
    ASSERT_TRUE(localFtpSays(*stream, control, passive(nobody)));
    stream->setCanSend();
    feed(*stream, makePacket(kA2AKindDataLinkControl, kA2ACodeConnectRequest, static_cast<uint16_t>(nobody), seq++));
    ASSERT_TRUE(waitUntil([&] { return out->freeSlots() == 29; }));
    stream->sendEarly();
    reply = writtenPacket(writes().back(), kFtpApp, "peer", 1);
    EXPECT_EQ(kA2ACodeConnectReply, a2aCode(reply.data()));
    EXPECT_EQ(kA2AResultFailed, a2aResult(reply.data()));
    EXPECT_EQ(ECONNREFUSED, a2aError(reply.data()));
    EXPECT_TRUE(waitUntil([&] {
        return capture.has("peer:TCP接続要求(d-link): 127.0.0.1 Port=" + std::to_string(nobody) + " 接続に失敗");
    }));
    EXPECT_FALSE(anyDisconnect(writes()));
    stream.reset();
    close(listener);
    close(control);
    close(ftpListener);
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

TEST_F(RepReadTest, FtpPassiveReplyIsRewrittenOntoARealDataLink)
{
    int port = 0;
    int listener = listenLoopback(&port);
    auto stream = makeStream(kFtpApp, "peer", 1, 21, "127.0.0.1", port);
    ASSERT_EQ(1, stream->getTcpManager()->notifyTcpConnectRequest(port, "127.0.0.1"));
    int server = acceptWithin(listener);
    ASSERT_GE(server, 0);

    const std::string reply = "227 Entering Passive Mode (127,0,0,1,19,137)\r\n";
    const std::string after = "226 Transfer complete\r\n";
    feed(*stream, makePacket(kA2AKindData, 0, 21, 0, reply + after));
    QV_SOCKETTCP* dataLink = stream->getTcpManager()->getDataLinkSocket();
    ASSERT_NE(nullptr, dataLink);
    const int bound = dataLink->getBoundPort();
    // The control connection runs over loopback: the data link is named by
    // that address, which the FTP program can reach.
    char expected[128];
    std::snprintf(expected, sizeof(expected), "227 ENTERING PASSIVE MODE (127,0,0,1,%d,%d)\r\n", bound / 256,
                  bound % 256);
    const std::string want = expected + after;
    EXPECT_EQ(want, readSome(server, want.size()));
    EXPECT_TRUE(capture.has("peerとのFTP接続:127.0.0.1とのd-port=" + std::to_string(bound) + "/5001 作成"));
    EXPECT_EQ(reply.size() + after.size(), stream->getReceivedBytes());

    int client = connectLoopback(bound);
    ASSERT_GE(client, 0);
    std::vector<uint8_t> request = takePacket(dataLink->getOutboundQueue());
    ASSERT_FALSE(request.empty());
    EXPECT_EQ(kA2AKindDataLinkControl, a2aKind(request.data()));
    EXPECT_EQ(kA2ACodeConnectRequest, a2aCode(request.data()));
    close(client);
    close(server);
    close(listener);
}

// Back-pressure: a held packet needs a full inbound queue behind a
// connection that is up: the peer answered, and the local client stopped
// reading (with a small receive buffer), so the connection thread is stuck
// writing to TCP and takes nothing more from its queue.
class HeldPacketTest : public StreamFixture {
protected:
    void SetUp() override
    {
        StreamFixture::SetUp();
        config.setClientMode(1);
        port = freePort();
        stream = makeStream(kHttpApp, "peer", 1, port);
        ASSERT_TRUE(waitUntil([&] { return stream->isMainListening(); }));
        fd = connectLoopback(port, 4096);
        ASSERT_GE(fd, 0);
        waitForConnectRequest(stream->getTcpManager()->getMainSocket());
        feed(*stream, connectReply(kA2AKindControl, static_cast<uint16_t>(port), seq++, kA2AResultConnected));
        ASSERT_TRUE(waitUntil([&] { return stream->isMainConnected(); }));
    }
    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
        stream.reset();
        StreamFixture::TearDown();
    }
    std::string feedData(int count)
    {
        std::string all;
        for (int i = 0; i < count; ++i) {
            const std::string bytes = numbered(static_cast<int>(seq), QV_SOCKETTCP::kReadSize);
            feed(*stream, makePacket(kA2AKindData, 0, static_cast<uint16_t>(port), seq++, bytes));
            all += bytes;
        }
        return all;
    }
    // Feeds DATA packets until one is held and stays held while the stream
    // ticks for a while: the queue fills faster than the thread drains it
    // long before the kernel's buffers are full, and only a thread stuck in
    // its TCP write keeps it full. What the packets carry. The bound lies
    // beyond what the kernel may buffer for the connection (send buffer of
    // at most 4 MB by default, and the client's small receive buffer).
    std::string feedUntilHeld()
    {
        std::string all;
        for (int i = 0; i < kMaxFeed && !heldWhileTicking(); ++i)
            all += feedData(1);
        EXPECT_TRUE(stream->isHoldingPacket()) << "the queue never filled";
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
    std::string readWhileTicking(size_t size) { return ::readWhileTicking(fd, *stream, size); }

    int port = 0;
    int fd = -1;
    uint32_t seq = 0;
    std::unique_ptr<QV_SKYPESTREAM> stream;
};

TEST_F(HeldPacketTest, DataThatFindsTheQueueFullIsKeptAndDeliveredInOrder)
{
    std::string sent = feedUntilHeld();
    QV_QUE* inbound = stream->getTcpManager()->getMainSocket()->getInboundQueue();
    EXPECT_EQ(0, inbound->freeSlots());
    for (int i = 0; i < 3; ++i)
        stream->intervalTimer();
    EXPECT_TRUE(stream->isHoldingPacket()) << "the queue is still full";

    // A packet that needs no queue is handled while one is held.
    feed(*stream, makePacket(kA2AKindNull, 0, 0, seq++, "", {2, 30}));
    EXPECT_TRUE(stream->isPeerMainConnected());
    EXPECT_EQ(sent, readWhileTicking(sent.size()));
    EXPECT_FALSE(stream->isHoldingPacket());
    EXPECT_FALSE(anyDisconnect(writes()));
}

TEST_F(HeldPacketTest, FeedingAFullQueueNeverWaits)
{
    // The packet that finds the queue full is kept at once: the messenger's
    // thread of control is never blocked by a slow local reader.
    std::string sent;
    auto longest = std::chrono::steady_clock::duration::zero();
    for (int i = 0; i < kMaxFeed && !stream->isHoldingPacket(); ++i) {
        const auto start = std::chrono::steady_clock::now();
        sent += feedData(1);
        longest = std::max(longest, std::chrono::steady_clock::now() - start);
    }
    ASSERT_TRUE(stream->isHoldingPacket());
    EXPECT_LT(longest, std::chrono::milliseconds(500)) << "a packet was waited for";
    EXPECT_EQ(sent, readWhileTicking(sent.size()));
}

TEST_F(HeldPacketTest, SeveralPacketsBehindAFullQueueAreKeptInOrder)
{
    // A READ repeated after a slow reply brings a second packet while the
    // first is still held: both wait, neither is lost or overtaken.
    std::string sent = feedUntilHeld();
    sent += feedData(2);
    EXPECT_TRUE(stream->isHoldingPacket());
    EXPECT_EQ(sent, readWhileTicking(sent.size()));
}

TEST_F(HeldPacketTest, DisconnectBehindAFullQueueWaitsForTheData)
{
    const std::string sent = feedUntilHeld();
    feed(*stream, makePacket(kA2AKindControl, kA2ACodeDisconnectRequest, static_cast<uint16_t>(port), seq++));
    EXPECT_TRUE(stream->isHoldingPacket());
    EXPECT_TRUE(capture.has("peer:TCP切断要求: localhost Port=" + std::to_string(port) + " 切断"));
    EXPECT_FALSE(capture.has("TCP切断: ポート番号=" + std::to_string(port))) << "the manager was not told";

    EXPECT_EQ(sent, readWhileTicking(sent.size()));
    EXPECT_TRUE(seesClose(fd));
}

TEST_F(HeldPacketTest, HeldPacketGoesWithItsConnection)
{
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

TEST_F(RepReadTest, DataLinkDataThatFindsTheQueueFullIsKeptNotWaitedFor)
{
    auto stream = makeStream(kFtpApp, "peer", 1, 21, "127.0.0.1");
    const int bound = stream->getTcpManager()->createDataLinkServer(5001);
    ASSERT_GT(bound, 0);
    QV_SOCKETTCP* dataLink = stream->getTcpManager()->getDataLinkSocket();
    int fd = connectLoopback(bound, 4096);
    ASSERT_GE(fd, 0);
    waitForConnectRequest(dataLink);
    uint32_t seq = 0;
    feed(*stream, connectReply(kA2AKindDataLinkControl, 5001, seq++, kA2AResultConnected));
    ASSERT_TRUE(waitUntil([&] { return stream->isDataLinkConnected(); }));

    std::string sent;
    auto longest = std::chrono::steady_clock::duration::zero();
    for (int i = 0; i < kMaxFeed && !stream->isHoldingPacket(); ++i) {
        const std::string bytes = numbered(static_cast<int>(seq), QV_SOCKETTCP::kReadSize);
        const auto start = std::chrono::steady_clock::now();
        feed(*stream, makePacket(kA2AKindDataLinkData, 0, 5001, seq++, bytes));
        longest = std::max(longest, std::chrono::steady_clock::now() - start);
        sent += bytes;
    }
    ASSERT_TRUE(stream->isHoldingPacket());
    EXPECT_LT(longest, std::chrono::milliseconds(500)) << "a packet was waited for";
    for (const std::string& line : capture.lines())
        EXPECT_EQ(std::string::npos, line.find("QUEFULL")) << line;

    EXPECT_EQ(sent, readWhileTicking(fd, *stream, sent.size()));
    EXPECT_FALSE(stream->isHoldingPacket());
    close(fd);
}

}  // namespace

namespace {

using ConnectionEndTest = tunneltest::StreamFixture;
using namespace tcptest;

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
    std::vector<uint8_t> ok = makePacket(kA2AKindControl, kA2ACodeConnectReply, peerPort, seq++);
    setA2AResult(ok.data(), kA2AResultConnected);
    feed(*stream, ok);
    ASSERT_TRUE(waitUntil([&] { return socket->getPeerConnectState() == QV_SOCKETTCP::kPeerOk; }));
    // The client reads nothing: the queue fills up behind its full buffers.
    const std::string block(kA2AMaxData, 'o');
    // The relay may still take an entry while the client's buffers fill:
    // fill again until the queue stays full.
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
    QV_QUE* out = socket->getOutboundQueue();
    std::vector<uint8_t> packet;
    do {
        packet = takePacket(out);
    } while (!packet.empty() && a2aCode(packet.data()) != kA2ACodeConnectRequest);
    ASSERT_FALSE(packet.empty()) << "the service stopped listening";
    feed(*stream, makePacket(kA2AKindData, 0, peerPort, seq++, "stale"));
    ok = makePacket(kA2AKindControl, kA2ACodeConnectReply, peerPort, seq++);
    setA2AResult(ok.data(), kA2AResultConnected);
    feed(*stream, ok);
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
    ASSERT_TRUE(localFtpSays(*stream, control,
                             "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + ","
                                 + std::to_string(port % 256) + ")\r\n"));
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

namespace {

using FtpEndTest = tunneltest::StreamFixture;
using namespace tcptest;

// An FTP server on another port than the service's: the peer names that
// port in its packets, and its half-close must still reach this side's
// control connection, or the connection would wait for it for ever.
TEST_F(FtpEndTest, AHalfCloseFromAnotherPortReachesTheControlConnection)
{
    int port = 0;
    int listener = listenLoopback(&port);
    auto stream = makeStream(kFtpApp, "peer", 1, 21, "127.0.0.1", port);
    feed(*stream, makePacket(kA2AKindControl, kA2ACodeConnectRequest, 21, 0));
    int server = acceptWithin(listener);
    ASSERT_GE(server, 0);
    ASSERT_TRUE(waitUntil([&] { return stream->isMainConnected(); }));
    std::vector<uint8_t> end = makePacket(kA2AKindControl, kA2ACodeDisconnectRequest, 2121, 1);
    setA2AResult(end.data(), kA2ADisconnectSendEnd);
    feed(*stream, end);
    EXPECT_EQ(End::Orderly, endOf(server));
    close(server);
    close(listener);
}

}  // namespace
