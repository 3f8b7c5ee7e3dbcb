// The sending half of QV_SKYPESTREAM: command texts, pacing, keep-alive,
// managers, and the data-link rule.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "tcp/tcp_manager.h"
#include "tcp/tcp_manager_ftp.h"
#include "tests/tunnel/tunnel_test_util.h"
#include "wire/a2a_packet.h"

using namespace tunneltest;
using namespace tcptest;

namespace {

int countOf(const std::string& text, const std::string& word)
{
    int n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + word.size()))
        ++n;
    return n;
}

class StreamSendTest : public StreamFixture {
protected:
    // The stream's packet in WRITE command i (negative: from the end).
    std::vector<uint8_t> sent(const QV_SKYPESTREAM& stream, int i)
    {
        const std::vector<std::string> all = writes();
        const size_t at = i < 0 ? all.size() - static_cast<size_t>(-i) : static_cast<size_t>(i);
        return at < all.size()
                   ? writtenPacket(all[at], stream.getApplicationName(), stream.getPeerUser(), stream.getStreamId())
                   : std::vector<uint8_t>{};
    }
};

TEST_F(StreamSendTest, FirstNullPacketOfAStreamWithoutSockets)
{
    auto stream = makeStream(kFtpApp, "peeruser", 1, 21);
    EXPECT_EQ(1, stream->getCanSend());
    EXPECT_EQ(1, stream->sendNullPacket());
    ASSERT_EQ(1u, writes().size());
    EXPECT_EQ("ALTER APPLICATION CorvaneForFtp0000 WRITE peeruser:1 2800000002000100" + std::string(64, '0'),
              writes()[0]);
    EXPECT_EQ(0, stream->getCanSend());

    // The next packet carries seq 1, whatever canSend says.
    EXPECT_EQ(1, stream->sendConnectReply(80, 2, 111));
    std::vector<uint8_t> reply = sent(*stream, 1);
    ASSERT_EQ(40u, reply.size());
    EXPECT_EQ(1u, a2aSeq(reply.data()));
    EXPECT_EQ(kA2AKindControl, a2aKind(reply.data()));
    EXPECT_EQ(kA2ACodeConnectReply, a2aCode(reply.data()));
    EXPECT_EQ(80, a2aPort(reply.data()));
    EXPECT_EQ(2, a2aResult(reply.data()));
    EXPECT_EQ(111, a2aError(reply.data()));
    EXPECT_EQ(1, stream->sendDataLinkConnectReply(5001, 1, 0));
    reply = sent(*stream, 2);
    ASSERT_EQ(40u, reply.size());
    EXPECT_EQ(2u, a2aSeq(reply.data()));
    EXPECT_EQ(kA2AKindDataLinkControl, a2aKind(reply.data()));

    EXPECT_EQ(1, stream->disconnect());
    EXPECT_EQ("ALTER APPLICATION CorvaneForFtp0000 DISCONNECT peeruser:1", writes().at(3));
}

TEST_F(StreamSendTest, KeepAliveOnThe601stIdleTickThenCountsAgain)
{
    auto stream = makeStream(kHttpApp, "peer", 3, 80);
    for (uint32_t round = 0; round < 2; ++round) {
        for (int i = 0; i < 600; ++i)
            stream->intervalTimer();
        EXPECT_EQ(round, writes().size()) << "nothing before the 601st tick";
        EXPECT_EQ(600, stream->getIdleTicks());
        stream->intervalTimer();
        ASSERT_EQ(round + 1, writes().size());
        std::vector<uint8_t> p = sent(*stream, -1);
        ASSERT_EQ(40u, p.size());
        EXPECT_EQ(kA2AKindNull, a2aKind(p.data()));
        EXPECT_EQ(round, a2aSeq(p.data()));
        EXPECT_EQ(0, stream->getIdleTicks());

        // Ticks while canSend is 0 do not count.
        for (int i = 0; i < 50; ++i)
            stream->intervalTimer();
        EXPECT_EQ(0, stream->getIdleTicks());
        stream->setCanSend();
    }
}

TEST_F(StreamSendTest, FailedWriteKeepsCanSendUsesTheSeqAndRetriesTheKeepAlive)
{
    auto stream = makeStream(kHttpApp, "peer", 3, 80);
    for (int i = 0; i < 600; ++i)
        stream->intervalTimer();
    link->setFailing(true);
    stream->intervalTimer();
    EXPECT_EQ(1, stream->getCanSend());
    EXPECT_EQ(1u, stream->getSendSeq());
    EXPECT_EQ(600, stream->getIdleTicks());

    link->setFailing(false);
    link->attach();
    link->commands.clear();
    stream->intervalTimer();  // retried at once
    ASSERT_EQ(1u, writes().size());
    std::vector<uint8_t> p = sent(*stream, 0);
    ASSERT_EQ(40u, p.size());
    EXPECT_EQ(1u, a2aSeq(p.data()));
    EXPECT_EQ(0, stream->getIdleTicks());
}

TEST_F(StreamSendTest, OverlongWriteIsDroppedAsSuccess)
{
    auto stream = makeStream(kHttpApp, "peer", 3, 80);
    // 4 + 17 + hex + 37 against 65534.
    const std::string fits(65534 - 4 - 17 - 37, 'a');
    const std::string tooLong(fits.size() + 1, 'a');
    EXPECT_EQ(1, stream->writeHex(tooLong.c_str()));
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(1, stream->getCanSend());
    EXPECT_EQ(1, stream->writeHex(fits.c_str()));
    ASSERT_EQ(1u, writes().size());
    EXPECT_EQ("ALTER APPLICATION CorvaneForHttp000 WRITE peer:3 " + fits, writes()[0]);
    EXPECT_EQ(0, stream->getCanSend());
}

TEST_F(StreamSendTest, ManagersByApplication)
{
    config.setClientMode(0);
    auto ftp = makeStream(kFtpApp, "peer", 1, 2121);
    auto* ftpManager = dynamic_cast<QV_TCPMANAGERFORFTP*>(ftp->getTcpManager());
    ASSERT_NE(nullptr, ftpManager);
    EXPECT_EQ(21, ftpManager->getServicePort());
    EXPECT_TRUE(ftp->isFtpApplication());

    auto http = makeStream(kHttpApp, "peer", 1, 8080);
    ASSERT_NE(nullptr, http->getTcpManager());
    EXPECT_EQ(nullptr, dynamic_cast<QV_TCPMANAGERFORFTP*>(http->getTcpManager()));
    EXPECT_EQ(8080, http->getTcpManager()->getServicePort());
    EXPECT_FALSE(http->isFtpApplication());

    http->stop();
    EXPECT_EQ(nullptr, http->getTcpManager());
    EXPECT_FALSE(http->isMainListening());
    EXPECT_FALSE(http->isMainConnected());
    for (int i = 0; i < 700; ++i)
        http->intervalTimer();
    EXPECT_TRUE(writes().empty()) << "no manager, no keep-alive";
    EXPECT_EQ(0, http->getIdleTicks());
}

TEST_F(StreamSendTest, ClientStreamListensAndStampsItsLinkStates)
{
    config.setClientMode(1);
    const int port = freePort();
    auto stream = makeStream(kHttpApp, "peer", 2, port);
    EXPECT_TRUE(waitUntil([&] { return stream->isMainListening(); }));
    int fd = connectLoopback(port);
    ASSERT_GE(fd, 0);
    QV_QUE* outbound = stream->getTcpManager()->getMainSocket()->getOutboundQueue();
    ASSERT_TRUE(waitUntil([&] { return outbound->freeSlots() == 29; }));
    stream->intervalTimer();
    ASSERT_EQ(1u, writes().size());
    std::vector<uint8_t> p = sent(*stream, 0);
    ASSERT_EQ(40u, p.size());
    EXPECT_EQ(kA2AKindControl, a2aKind(p.data()));
    EXPECT_EQ(kA2ACodeConnectRequest, a2aCode(p.data()));
    EXPECT_EQ(port, a2aPort(p.data()));
    EXPECT_EQ(2, a2aMainLinkState(p.data()));
    EXPECT_EQ(30, a2aMainLinkFree(p.data()));
    EXPECT_EQ(0, a2aDataLinkState(p.data()));
    EXPECT_EQ(0u, a2aSeq(p.data()));
    EXPECT_TRUE(stream->isMainConnected());
    close(fd);
}

TEST_F(StreamSendTest, DataLinkIsSparedWhileThePeerReportsTwentyFreeSlots)
{
    int port = 0;
    int listener = listenLoopback(&port);
    auto stream = makeStream(kFtpApp, "peer", 1, 21, "127.0.0.1");
    ASSERT_EQ(1, stream->getTcpManager()->notifyDataLinkConnectRequest(port, "127.0.0.1"));
    int server = acceptWithin(listener);
    ASSERT_GE(server, 0);
    QV_QUE* outbound = stream->getTcpManager()->getDataLinkSocket()->getOutboundQueue();
    ASSERT_EQ(kA2ACodeConnectReply, a2aCode(takePacket(outbound).data()));
    ASSERT_TRUE(writeAll(server, "file", 4));
    ASSERT_TRUE(waitUntil([&] { return outbound->freeSlots() == 29; }));

    feed(*stream, makePacket(kA2AKindNull, 0, 0, 0, "", {0, 0, 2, 20}));
    testing::internal::CaptureStdout();
    for (int i = 0; i < 3; ++i)
        stream->intervalTimer();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(3, countOf(out, "SKIP SEND A2A data-link data\n"));
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(29, outbound->freeSlots());

    feed(*stream, makePacket(kA2AKindNull, 0, 0, 1, "", {0, 0, 2, 21}));
    const int idle = stream->getIdleTicks();
    stream->intervalTimer();
    ASSERT_EQ(1u, writes().size());
    std::vector<uint8_t> p = sent(*stream, 0);
    EXPECT_EQ(kA2AKindDataLinkData, a2aKind(p.data()));
    EXPECT_EQ("file", payload(p));
    EXPECT_EQ(2, a2aDataLinkState(p.data()));
    EXPECT_EQ(idle, stream->getIdleTicks()) << "a data-link packet ends the tick";

    // A peer data link that is not connected is not spared.
    feed(*stream, makePacket(kA2AKindNull, 0, 0, 2, "", {0, 0, 1, 0}));
    stream->setCanSend();
    ASSERT_TRUE(writeAll(server, "more", 4));
    ASSERT_TRUE(waitUntil([&] { return outbound->freeSlots() == 29; }));
    stream->intervalTimer();
    ASSERT_EQ(2u, writes().size());
    EXPECT_EQ("more", payload(sent(*stream, 1)));
    close(server);
    close(listener);
}

}  // namespace

// Data waits while canSend is 0; between ticks the first data of a quiet
// connection goes at once, more data keeps the tick's pace, and control
// packets go as soon as the messenger lets the stream write.
TEST_F(StreamSendTest, DataWaitsForCanSendAndKeepsItsPaceBetweenTicks)
{
    int listener = -1, server = -1;
    auto stream = connectHttpToTestServer(&listener, &server);
    ASSERT_GE(server, 0);
    QV_QUE* outbound = stream->getTcpManager()->getMainSocket()->getOutboundQueue();
    // The connection thread's own answer to the peer comes first.
    ASSERT_EQ(kA2ACodeConnectReply, a2aCode(takePacket(outbound).data()));

    ASSERT_EQ(1, stream->sendNullPacket());
    const size_t before = writes().size();
    ASSERT_TRUE(writeAll(server, "abc", 3));
    ASSERT_TRUE(waitUntil([&] { return outbound->freeSlots() == 29; }));
    for (int i = 0; i < 15; ++i)
        stream->intervalTimer();
    stream->sendEarly();
    EXPECT_EQ(before, writes().size());
    EXPECT_EQ(29, outbound->freeSlots()) << "the packet stays queued while canSend is 0";
    EXPECT_EQ(0, stream->getIdleTicks()) << "ticks while canSend is 0 do not count";

    stream->setCanSend();
    stream->sendEarly();
    ASSERT_EQ(before + 1, writes().size());
    std::vector<uint8_t> p = sent(*stream, -1);
    EXPECT_EQ(kA2AKindData, a2aKind(p.data()));
    EXPECT_EQ("abc", payload(p));
    EXPECT_EQ(1u, a2aSeq(p.data()));

    // Released again within the same tick: more data waits for the tick.
    stream->setCanSend();
    ASSERT_TRUE(writeAll(server, "def", 3));
    ASSERT_TRUE(waitUntil([&] { return outbound->freeSlots() == 29; }));
    stream->sendEarly();
    EXPECT_EQ(before + 1, writes().size());
    stream->intervalTimer();
    ASSERT_EQ(before + 2, writes().size());
    EXPECT_EQ("def", payload(sent(*stream, -1)));
    EXPECT_EQ(0, stream->getIdleTicks());
    EXPECT_EQ(6u, stream->takeSentBytes());
    EXPECT_EQ(0u, stream->getSentBytes());

    // The connection's end carries no data: it goes as soon as the
    // messenger lets the stream write, not a tick later, but not before.
    close(server);
    ASSERT_TRUE(waitUntil([&] { return outbound->freeSlots() == 29; }));
    stream->sendEarly();
    EXPECT_EQ(before + 2, writes().size()) << "canSend is 0 until the empty SENDING";
    stream->setCanSend();
    stream->sendEarly();
    ASSERT_EQ(before + 3, writes().size());
    std::vector<uint8_t> end = sent(*stream, -1);
    EXPECT_EQ(kA2AKindControl, a2aKind(end.data()));
    EXPECT_EQ(kA2ACodeDisconnectRequest, a2aCode(end.data()));
    close(listener);
}
