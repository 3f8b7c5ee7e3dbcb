// QV_SKYPESTREAM on a fake messenger link: the packets it writes, their
// pacing and keep-alive, and the receiving half (repRead's stream match,
// checks, sequence numbers, dispatch to the TCP side, held packets, and
// connections that end).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "tcp/tcp_manager_ftp.h"
#include "tests/tunnel/tunnel_test_util.h"

using namespace tunneltest;

namespace {

class StreamTest : public StreamFixture {
protected:
    void TearDown() override
    {
        stream.reset();
        for (int open : {listener, server, fd})
            if (open >= 0)
                close(open);
        StreamFixture::TearDown();
    }
    // The stream's packet in WRITE command i (negative: from the end).
    std::vector<uint8_t> sent(int i)
    {
        const size_t at = i < 0 ? writes().size() - static_cast<size_t>(-i) : static_cast<size_t>(i);
        const auto all = packetsOf(std::vector<std::string>(writes().begin() + static_cast<long>(at),
                                                            writes().begin() + static_cast<long>(at) + 1),
                                   *stream);
        return all.empty() ? std::vector<uint8_t>{} : all[0];
    }
    // The HTTP stream 1 (service port 80) with its TCP manager connected to
    // a listener of the test, as the peer's CONNECT-REQUEST makes it.
    void connectHttp()
    {
        int port = 0;
        listener = listenLoopback(&port);
        stream = makeStream(kHttpApp, 1, 80);
        EXPECT_EQ(1, stream->getTcpManager()->notifyTcpConnectRequest(port, "localhost"));
        server = acceptWithin(listener);
        ASSERT_GE(server, 0);
    }

    std::unique_ptr<QV_SKYPESTREAM> stream;
    int listener = -1, server = -1, fd = -1;
    uint32_t seq = 0;
};

TEST_F(StreamTest, CommandTextsAndKeepAlive)
{
    stream = makeStream(kFtpApp, 1, 21);
    EXPECT_EQ(1, stream->getCanSend());
    EXPECT_EQ(1, stream->sendNullPacket());
    ASSERT_EQ(1u, writes().size());
    EXPECT_EQ("ALTER APPLICATION CorvaneForFtp0000 WRITE peer:1 2800000002000100" + std::string(64, '0'), writes()[0]);
    EXPECT_EQ(0, stream->getCanSend());
    // The next packet carries seq 1, whatever canSend says.
    EXPECT_EQ(1, stream->sendConnectReply(80, 2, 111));
    std::vector<uint8_t> reply = sent(1);
    ASSERT_EQ(40u, reply.size());
    EXPECT_EQ((std::vector<int>{1, kA2AKindControl, kA2ACodeConnectReply, 80, 2, 111}),
              (std::vector<int>{static_cast<int>(a2aSeq(reply.data())), a2aKind(reply.data()), a2aCode(reply.data()),
                                a2aPort(reply.data()), a2aResult(reply.data()), a2aError(reply.data())}));
    EXPECT_EQ(1, stream->sendDataLinkConnectReply(5001, 1, 0));
    reply = sent(2);
    ASSERT_EQ(40u, reply.size());
    EXPECT_EQ(2u, a2aSeq(reply.data()));
    EXPECT_EQ(kA2AKindDataLinkControl, a2aKind(reply.data()));
    EXPECT_EQ(1, stream->disconnect());
    EXPECT_EQ("ALTER APPLICATION CorvaneForFtp0000 DISCONNECT peer:1", writes().at(3));
    auto* ftpManager = dynamic_cast<QV_TCPMANAGERFORFTP*>(stream->getTcpManager());
    ASSERT_NE(nullptr, ftpManager);
    EXPECT_EQ(21, ftpManager->getServicePort());
    EXPECT_TRUE(stream->isFtpApplication());

    // An overlong WRITE is dropped as a success: 4 + 17 + hex + 37 against 65534.
    stream = makeStream(kHttpApp, 3, 8080);
    EXPECT_EQ(nullptr, dynamic_cast<QV_TCPMANAGERFORFTP*>(stream->getTcpManager()));
    EXPECT_EQ(8080, stream->getTcpManager()->getServicePort());
    EXPECT_FALSE(stream->isFtpApplication());
    link->commands.clear();
    const std::string fits(65534 - 4 - 17 - 37, 'a');
    EXPECT_EQ(1, stream->writeHex((fits + "a").c_str()));
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(1, stream->getCanSend());
    EXPECT_EQ(1, stream->writeHex(fits.c_str()));
    EXPECT_EQ(std::vector<std::string>{"ALTER APPLICATION CorvaneForHttp000 WRITE peer:3 " + fits}, writes());
    EXPECT_EQ(0, stream->getCanSend());

    // The keep-alive goes on the 601st idle tick; ticks while canSend is 0
    // do not count. A failed write keeps canSend, uses the seq and is
    // retried at the next tick.
    stream = makeStream(kHttpApp, 3, 80);
    link->commands.clear();
    for (uint32_t round = 0; round < 3; ++round) {
        for (int i = 0; i < 600; ++i)
            stream->intervalTimer();
        EXPECT_EQ(round, packetsOf(writes(), *stream).size()) << "nothing before the 601st tick";
        EXPECT_EQ(600, stream->getIdleTicks());
        link->setFailing(round == 1);
        stream->intervalTimer();
        if (round == 1) {
            EXPECT_EQ(1, stream->getCanSend());
            EXPECT_EQ(2u, stream->getSendSeq());
            EXPECT_EQ(600, stream->getIdleTicks());
            link->setFailing(false);
            link->attach();
            link->commands.resize(1);  // the keep-alive of round 0
            stream->intervalTimer();
        }
        ASSERT_EQ(round + 1, packetsOf(writes(), *stream).size());
        const std::vector<uint8_t> p = packetsOf(writes(), *stream).back();
        ASSERT_EQ(40u, p.size());
        EXPECT_EQ(kA2AKindNull, a2aKind(p.data()));
        EXPECT_EQ(round == 0 ? 0 : round + 1, a2aSeq(p.data())) << "the failed write used its seq";
        EXPECT_EQ(0, stream->getIdleTicks());
        for (int i = 0; i < 50; ++i)
            stream->intervalTimer();
        EXPECT_EQ(0, stream->getIdleTicks());
        stream->setCanSend();
    }
    stream->stop();
    EXPECT_EQ(nullptr, stream->getTcpManager());
    EXPECT_FALSE(stream->isMainListening());
    EXPECT_FALSE(stream->isMainConnected());
    for (int i = 0; i < 700; ++i)
        stream->intervalTimer();
    EXPECT_EQ(3u, packetsOf(writes(), *stream).size()) << "no manager, no keep-alive";
}

// The client application connects only from its own listener: the peer's
// CONNECT-REQUEST on the main link would otherwise stop the listener and
// connect to the forward host. Its local client's CONNECT-REQUEST carries
// the stream's link states.
TEST_F(StreamTest, ClientApplication)
{
    config.setClientMode(1);
    int target = 0;
    listener = listenLoopback(&target);
    const int port = freePort();
    stream = makeStream(kHttpApp, 2, port, "127.0.0.1", target);
    ASSERT_TRUE(waitUntil([&] { return stream->isMainListening(); }));
    feed(*stream, makePacket(kA2AKindControl, kA2ACodeConnectRequest, 80, seq++));
    std::vector<uint8_t> answer = sent(-1);
    ASSERT_EQ(40u, answer.size()) << "no answer";
    EXPECT_EQ(kA2ACodeConnectReply, a2aCode(answer.data()));
    EXPECT_EQ(80, a2aPort(answer.data()));
    EXPECT_EQ(kA2AResultFailed, a2aResult(answer.data()));
    EXPECT_EQ(EACCES, a2aError(answer.data()));
    EXPECT_TRUE(capture.has("peer:TCP接続要求: 127.0.0.1 Port=" + std::to_string(target) + " 接続に失敗"));
    EXPECT_TRUE(capture.has("peer:TCP接続要求: Port=80 拒否(クライアント側は接続要求を受けない)"));
    EXPECT_LT(acceptWithin(listener, std::chrono::milliseconds(50)), 0) << "the forward host was connected";
    EXPECT_TRUE(stream->isMainListening());

    stream->setCanSend();
    fd = connectLoopback(port);
    ASSERT_GE(fd, 0);
    QV_QUE* outbound = stream->getTcpManager()->getMainSocket()->getOutboundQueue();
    ASSERT_TRUE(waitUntil([&] { return outbound->freeSlots() == 29; }));
    stream->intervalTimer();
    const std::vector<uint8_t> p = sent(-1);
    ASSERT_EQ(40u, p.size());
    EXPECT_EQ(kA2AKindControl, a2aKind(p.data()));
    EXPECT_EQ(kA2ACodeConnectRequest, a2aCode(p.data()));
    EXPECT_EQ(port, a2aPort(p.data()));
    EXPECT_EQ(2, a2aMainLinkState(p.data()));
    EXPECT_EQ(30, a2aMainLinkFree(p.data()));
    EXPECT_EQ(0, a2aDataLinkState(p.data()));
    EXPECT_EQ(1u, a2aSeq(p.data()));
    EXPECT_TRUE(stream->isMainConnected());
}

// A reply for another stream is skipped; malformed replies change nothing;
// a NULL packet advances the seq and copies the peer's link states.
TEST_F(StreamTest, RepliesAreMatchedAndChecked)
{
    stream = makeStream(kHttpApp, 1, 80);
    auto twelve = makeStream(kHttpApp, 12, 80);
    const std::vector<uint8_t> null = makePacket(kA2AKindNull, 0, 0, 0);
    const std::string hex = readReply("", 0, null).substr(3);
    std::vector<uint8_t> badHeader = makePacket(kA2AKindNull, 0, 0, 0, "", {2, 30, 2, 30});
    a2aWrite16(badHeader.data(), kA2AOffHeaderSize, 41);
    std::vector<uint8_t> shortData = makePacket(kA2AKindData, 0, 80, 0, "hello", {2, 30, 2, 30});
    setA2ADataSize(shortData.data(), 10);
    const std::string good = readReply("peer", 1, makePacket(kA2AKindData, 0, 80, 0, "hello", {2, 30, 2, 30}));
    std::vector<std::string> texts = {readReply("peer", 12, null),
                                      readReply("peerx", 1, null),
                                      readReply("pee", 1, null),
                                      "peer:1" + hex,
                                      "peer:1_" + hex,
                                      "peer:1",
                                      "peer:1 " + std::string(2 * QV_SKYPESTREAM::kBufferSize + 2, '2'),
                                      readReply("peer", 1, badHeader),
                                      readReply("peer", 1, shortData),
                                      "peer:1 280"};
    for (size_t cut = 7; cut < good.size(); ++cut)
        texts.push_back(good.substr(0, cut));
    for (const std::string& text : texts) {
        stream->repRead(text.c_str());
        twelve->repRead(text.c_str());
        ASSERT_EQ(0u, stream->getRecvSeq()) << text.substr(0, 100);
        ASSERT_EQ(0, stream->getPeerMainState()) << text.substr(0, 100);
        ASSERT_EQ(0, stream->getPeerDataLinkFree()) << text.substr(0, 100);
        ASSERT_EQ(0u, stream->getReceivedBytes()) << text.substr(0, 100);
    }
    EXPECT_EQ(1u, twelve->getRecvSeq());
    EXPECT_TRUE(writes().empty());

    feed(*stream, makePacket(kA2AKindNull, 0, 0, 0, "", {2, 17, 1, 5}));
    EXPECT_EQ(1u, stream->getRecvSeq());
    EXPECT_EQ((std::vector<int>{2, 17, 1, 5}),
              (std::vector<int>{stream->getPeerMainState(), stream->getPeerMainFree(), stream->getPeerDataLinkState(),
                                stream->getPeerDataLinkFree()}));
    EXPECT_TRUE(stream->isPeerMainConnected());
    EXPECT_FALSE(stream->isPeerDataLinkConnected());
    EXPECT_EQ(0u, stream->getSendSeq());
    EXPECT_EQ(1, stream->getCanSend());
    EXPECT_TRUE(writes().empty());
    EXPECT_TRUE(capture.lines().empty());
}

// Data from the peer reaches the TCP side; a sequence gap disconnects the
// stream every time and still delivers; the peer's DISCONNECT-REQUEST ends
// the connection after its data. Data from the TCP side waits while canSend
// is 0; between ticks the first data of a quiet connection goes at once,
// more data keeps the tick's pace, and the connection's end goes as soon as
// the messenger lets the stream write.
TEST_F(StreamTest, DataBothWaysOnAnHttpConnection)
{
    connectHttp();
    const std::string disconnect = "ALTER APPLICATION CorvaneForHttp000 DISCONNECT peer:1";
    feed(*stream, makePacket(kA2AKindData, 0, 80, 0, "a"));
    feed(*stream, makePacket(kA2AKindData, 0, 80, 1, "b"));
    EXPECT_TRUE(writes().empty());
    // Ahead of the expected seq, or behind it.
    const uint32_t gaps[] = {3, 4, 2};
    for (size_t i = 0; i < 3; ++i) {
        feed(*stream, makePacket(kA2AKindData, 0, 80, gaps[i], std::string(1, static_cast<char>('c' + i))));
        EXPECT_EQ(std::vector<std::string>(i + 1, disconnect), writes());
        EXPECT_EQ(3 + i, stream->getRecvSeq());
    }
    EXPECT_EQ("abcde", readSome(server, 5));
    EXPECT_EQ(5u, stream->takeReceivedBytes());
    link->commands.clear();

    QV_QUE* outbound = stream->getTcpManager()->getMainSocket()->getOutboundQueue();
    // The connection thread's own answer to the peer comes first.
    ASSERT_EQ(kA2ACodeConnectReply, a2aCode(takePacket(outbound).data()));
    ASSERT_EQ(1, stream->sendNullPacket());
    ASSERT_TRUE(writeAll(server, "abc", 3));
    ASSERT_TRUE(waitUntil([&] { return outbound->freeSlots() == 29; }));
    for (int i = 0; i < 15; ++i)
        stream->intervalTimer();
    stream->sendEarly();
    EXPECT_EQ(1u, writes().size());
    EXPECT_EQ(29, outbound->freeSlots()) << "the packet stays queued while canSend is 0";
    EXPECT_EQ(0, stream->getIdleTicks()) << "ticks while canSend is 0 do not count";
    stream->setCanSend();
    stream->sendEarly();
    ASSERT_EQ(2u, writes().size());
    std::vector<uint8_t> p = sent(-1);
    EXPECT_EQ(kA2AKindData, a2aKind(p.data()));
    EXPECT_EQ("abc", payload(p));
    EXPECT_EQ(1u, a2aSeq(p.data()));
    stream->setCanSend();
    ASSERT_TRUE(writeAll(server, "def", 3));
    ASSERT_TRUE(waitUntil([&] { return outbound->freeSlots() == 29; }));
    stream->sendEarly();
    EXPECT_EQ(2u, writes().size()) << "released again within the same tick: more data waits for the tick";
    stream->intervalTimer();
    ASSERT_EQ(3u, writes().size());
    EXPECT_EQ("def", payload(sent(-1)));
    EXPECT_EQ(0, stream->getIdleTicks());
    EXPECT_EQ(6u, stream->takeSentBytes());
    EXPECT_EQ(0u, stream->getSentBytes());

    feed(*stream, makePacket(kA2AKindData, 0, 80, 5, "xyz"));
    feed(*stream, makePacket(kA2AKindControl, kA2ACodeDisconnectRequest, 80, 6));
    EXPECT_EQ("xyz", readSome(server, 3));
    EXPECT_TRUE(seesClose(server));
    EXPECT_TRUE(capture.has("peer:TCP切断要求: localhost Port=80 切断"));
    close(server);
    server = -1;
    ASSERT_TRUE(waitUntil([&] { return outbound->freeSlots() == 29; }));
    stream->sendEarly();
    EXPECT_EQ(3u, writes().size()) << "canSend is 0 until the empty SENDING";
    stream->setCanSend();
    stream->sendEarly();
    ASSERT_EQ(4u, writes().size());
    EXPECT_EQ(kA2ACodeDisconnectRequest, a2aCode(sent(-1).data()));

    // Without a main socket the manager is told.
    auto bare = makeStream(kHttpApp, 2, 80);
    feed(*bare, makePacket(kA2AKindControl, kA2ACodeDisconnectRequest, 80, 0));
    EXPECT_TRUE(capture.has("TCP切断: ポート番号=80"));
}

// A CONNECT-REQUEST is answered once its connect has an outcome, once, with
// the stream's next sequence number: by the forward thread (any host but
// localhost is answered by it alone), or by the stream for the FTP control
// connect made in the caller's thread.
TEST_F(StreamTest, ConnectRequestsAreAnsweredOnceWithTheirOutcomeAndTheNextSeq)
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
        const int target = c.listening ? listenLoopback(&port) : -1;
        if (!c.listening)
            port = freePort();
        stream = makeStream(c.app, ++id, c.servicePort, c.host, port);
        ASSERT_EQ(1, stream->sendNullPacket());
        stream->setCanSend();
        const size_t from = writes().size();
        feed(*stream, makePacket(kA2AKindControl, kA2ACodeConnectRequest, c.servicePort, 0));
        EXPECT_EQ(from, writes().size()) << "the answer waits for the connect";
        const std::vector<uint8_t> reply = awaitPacket(*stream, kA2AKindControl, kA2ACodeConnectReply, from);
        ASSERT_EQ(40u, reply.size());
        EXPECT_EQ(1u, a2aSeq(reply.data()));
        EXPECT_EQ(c.listening ? kA2AResultConnected : kA2AResultFailed, a2aResult(reply.data()));
        EXPECT_EQ(c.listening ? 0 : ECONNREFUSED, a2aError(reply.data()));
        EXPECT_EQ(c.listening ? 2 : 0, a2aMainLinkState(reply.data()));
        const std::string line = std::string("peer:TCP接続要求: ") + c.host + " Port=" + std::to_string(port);
        if (c.app == kHttpApp) {
            EXPECT_EQ(port, a2aPort(reply.data()));  // the forward thread's own port
            EXPECT_TRUE(waitUntil([&] { return capture.has(line + (c.listening ? " 接続" : " 接続に失敗")); }));
            EXPECT_NE(c.listening, capture.has(line + " 接続に失敗"));
            EXPECT_EQ(c.listening, capture.has(line + " 接続"));
        }
        for (int i = 0; i < 20; ++i)
            pump(*stream);
        const auto packets = packetsOf(writes(), *stream, from);
        EXPECT_EQ(1, std::count_if(packets.begin(), packets.end(), [](const std::vector<uint8_t>& p) {
                      return a2aKind(p.data()) == kA2AKindControl && a2aCode(p.data()) == kA2ACodeConnectReply;
                  }));
        if (c.listening) {
            const int accepted = acceptWithin(target);
            EXPECT_GE(accepted, 0);
            close(accepted);
            close(target);
        }
    }
}

// The FTP stream acts on a plain DISCONNECT-REQUEST only for its service
// port. An FTP server on another port than the service's: the peer names
// that port in its packets, and its half-close must still reach this side's
// control connection, or the connection would wait for it for ever.
TEST_F(StreamTest, FtpDisconnectRequests)
{
    stream = connectFtp(&listener, &server, &seq);
    ASSERT_GE(server, 0);
    const size_t before = capture.lines().size();
    feed(*stream, makePacket(kA2AKindControl, kA2ACodeDisconnectRequest, 2121, seq++));
    EXPECT_EQ(before, capture.lines().size());
    EXPECT_EQ(seq, stream->getRecvSeq());
    feed(*stream, resultPacket(kA2AKindControl, kA2ACodeDisconnectRequest, 2121, seq++, kA2ADisconnectSendEnd));
    EXPECT_EQ(End::Orderly, endOf(server));
    EXPECT_TRUE(capture.has("peer:TCP切断要求: 127.0.0.1 Port=2121 切断"));
}

// Back-pressure: a held packet needs a full inbound queue behind a
// connection that is up: the peer answered, and the local client stopped
// reading (with a small receive buffer), so the connection thread is stuck
// writing to TCP and takes nothing more from its queue. The main connection
// of the client application, or a data link of the FTP stream.
class HeldPacketTest : public StreamTest {
protected:
    void connect(bool dataLink)
    {
        int local = port = freePort();
        if (dataLink) {
            stream = makeStream(kFtpApp, 1, 21, "127.0.0.1");
            local = stream->getTcpManager()->createDataLinkServer(port);
            ASSERT_GT(local, 0);
            socket = stream->getTcpManager()->getDataLinkSocket();
            dataKind = kA2AKindDataLinkData;
        } else {
            config.setClientMode(1);
            stream = makeStream(kHttpApp, 1, port);
            ASSERT_TRUE(waitUntil([&] { return stream->isMainListening(); }));
            socket = stream->getTcpManager()->getMainSocket();
        }
        fd = connectLoopback(local, 4096);
        ASSERT_GE(fd, 0);
        // The connection thread queues the CONNECT-REQUEST, then clears its
        // inbound queue before it waits for the answer; nothing shows the
        // clearing, so the answer comes a moment later.
        ASSERT_TRUE(waitUntil([&] { return socket->getOutboundQueue()->freeSlots() == 29; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        feed(*stream, resultPacket(dataLink ? kA2AKindDataLinkControl : kA2AKindControl, kA2ACodeConnectReply, port,
                                   seq++, kA2AResultConnected));
        ASSERT_TRUE(waitUntil([&] { return dataLink ? stream->isDataLinkConnected() : stream->isMainConnected(); }));
    }
    std::string feedData(int count)
    {
        std::string all;
        while (count-- > 0) {
            std::string bytes(QV_SOCKETTCP::kReadSize, static_cast<char>('A' + seq % 26));
            bytes.replace(0, std::to_string(seq).size(), std::to_string(seq));
            const auto start = std::chrono::steady_clock::now();
            feed(*stream, makePacket(dataKind, 0, port, seq++, bytes));
            longest = std::max(longest, std::chrono::steady_clock::now() - start);
            all += bytes;
        }
        return all;
    }
    // Feeds DATA packets until one is held and stays held while the stream
    // ticks for a while: only a thread stuck in its TCP write keeps the
    // queue full. The bound of 1000 packets lies beyond what the kernel may
    // buffer for the connection. The packet that finds the queue full is
    // kept at once: the messenger's thread is never blocked by a slow reader.
    std::string feedUntilHeld()
    {
        std::string all;
        for (int i = 0, tick = 0; i < 1000 && !(tick == 10 && stream->isHoldingPacket()); ++i) {
            all += feedData(1);
            for (tick = 0; tick < 10 && stream->isHoldingPacket(); ++tick) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                stream->intervalTimer();
            }
        }
        EXPECT_TRUE(stream->isHoldingPacket()) << "the queue never filled";
        EXPECT_LT(longest, std::chrono::milliseconds(500)) << "a packet was waited for";
        return all;
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

    QV_SOCKETTCP* socket = nullptr;
    uint16_t dataKind = kA2AKindData;
    int port = 0;
    std::chrono::steady_clock::duration longest{};
};

// A READ repeated after a slow reply brings more packets while the first is
// still held: all wait, none is lost or overtaken, and the peer's
// DISCONNECT-REQUEST behind them ends the connection after the data.
TEST_F(HeldPacketTest, DataThatFindsTheQueueFullIsKeptAndDeliveredInOrder)
{
    connect(false);
    std::string sent = feedUntilHeld();
    EXPECT_EQ(0, socket->getInboundQueue()->freeSlots());
    sent += feedData(2);
    // A packet that needs no queue is handled while one is held.
    feed(*stream, makePacket(kA2AKindNull, 0, 0, seq++, "", {2, 30}));
    EXPECT_TRUE(stream->isPeerMainConnected());
    feed(*stream, makePacket(kA2AKindControl, kA2ACodeDisconnectRequest, port, seq++));
    EXPECT_TRUE(stream->isHoldingPacket());
    EXPECT_TRUE(capture.has("peer:TCP切断要求: localhost Port=" + std::to_string(port) + " 切断"));
    EXPECT_FALSE(capture.has("TCP切断: ポート番号=" + std::to_string(port))) << "the manager was not told";
    EXPECT_EQ(sent, readWhileTicking(sent.size()));
    EXPECT_TRUE(seesClose(fd));
    EXPECT_FALSE(stream->isHoldingPacket());
    EXPECT_TRUE(writes().empty() || writes().back().find(" DISCONNECT ") == std::string::npos);
}

// On the data link the same, without the error line; bytes that have to be
// dropped once every hold slot is taken are an error the user sees.
TEST_F(HeldPacketTest, DataLinkDataIsKeptAndLostBytesAreLogged)
{
    connect(true);
    const std::string sent = feedUntilHeld();
    const std::string line = "peerとのFTP接続:127.0.0.1とのd-port=" + std::to_string(port) + " QUEFULLを検出";
    EXPECT_FALSE(capture.has(line, "ER"));
    EXPECT_EQ(sent, readWhileTicking(sent.size()));
    EXPECT_FALSE(stream->isHoldingPacket());
    for (int i = 0; i < 3000 && !capture.has(line, "ER"); ++i)
        feedData(1);
    EXPECT_TRUE(capture.has(line, "ER"));
}

// The data link is spared while the peer reports 20 free slots or fewer on
// its connected data link; a data-link packet ends the tick.
TEST_F(StreamTest, DataLinkIsSparedWhileThePeerReportsTwentyFreeSlots)
{
    int target = 0;
    listener = listenLoopback(&target);
    stream = makeStream(kFtpApp, 1, 21, "127.0.0.1");
    ASSERT_EQ(1, stream->getTcpManager()->notifyDataLinkConnectRequest(target, "127.0.0.1"));
    server = acceptWithin(listener);
    ASSERT_GE(server, 0);
    QV_QUE* outbound = stream->getTcpManager()->getDataLinkSocket()->getOutboundQueue();
    ASSERT_EQ(kA2ACodeConnectReply, a2aCode(takePacket(outbound).data()));
    struct Step {
        PeerLinks links;
        std::string more, goes;
    };
    for (const Step& step :
         {Step{{0, 0, 2, 20}, "file", ""}, Step{{0, 0, 2, 21}, "", "file"}, Step{{0, 0, 1, 0}, "more", "more"}}) {
        feed(*stream, makePacket(kA2AKindNull, 0, 0, seq++, "", step.links));
        stream->setCanSend();
        const size_t before = writes().size();
        ASSERT_TRUE(writeAll(server, step.more.data(), step.more.size()));
        ASSERT_TRUE(waitUntil([&] { return outbound->freeSlots() == 29; }));
        const int idle = stream->getIdleTicks();
        stream->intervalTimer();
        ASSERT_EQ(before + !step.goes.empty(), writes().size()) << step.links.dataLinkFree;
        if (step.goes.empty())
            continue;
        const std::vector<uint8_t> p = sent(-1);
        EXPECT_EQ(kA2AKindDataLinkData, a2aKind(p.data()));
        EXPECT_EQ(step.goes, payload(p));
        EXPECT_EQ(2, a2aDataLinkState(p.data()));
        EXPECT_EQ(idle, stream->getIdleTicks()) << "a data-link packet ends the tick";
    }
}

}  // namespace
