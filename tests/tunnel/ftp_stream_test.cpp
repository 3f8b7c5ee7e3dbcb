// The server application's FTP stream with its control connection up to a
// local FTP program (a loopback listener of the test): control lines the
// peer's packets cut in two, and what the peer may make this side connect
// to. A data-link connect goes only to a port that this side's own FTP
// program announced on the control connection that is up, once, within its
// lifetime; everything else is answered with a failed CONNECT-REPLY, and
// nothing is connected.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/tunnel/tunnel_test_util.h"
#include "tunnel/ftp_rewrite.h"

using namespace tunneltest;

namespace {

constexpr std::chrono::milliseconds kShortWait{2000};
// A refusal is answered before anything is connected; a connect made all
// the same would be in the listener's backlog by then.
constexpr std::chrono::milliseconds kQuiet{50};

class FtpStreamTest : public StreamFixture {
protected:
    void SetUp() override
    {
        StreamFixture::SetUp();
        connect();
        dataListener = listenLoopback(&dataPort);
        ASSERT_GE(dataListener, 0);
    }
    void TearDown() override
    {
        disconnect();
        close(dataListener);
        StreamFixture::TearDown();
    }
    // A fresh stream and control connection.
    void connect()
    {
        seq = 0;
        stream = connectFtp(&listener, &local, &seq);
        ASSERT_GE(local, 0);
        stream->setAnnouncementClock([this] { return now; });
    }
    void disconnect()
    {
        stream.reset();
        for (int* fd : {&local, &listener})
            if (*fd >= 0)
                close(*fd);
        local = listener = -1;
    }
    void peerSends(const std::string& data) { feed(*stream, makePacket(kA2AKindData, 0, 21, seq++, data)); }
    int listenersMade()
    {
        int n = 0;
        for (const std::string& line : capture.lines())
            n += line.find("peerとのFTP接続:127.0.0.1とのd-port=") != std::string::npos
                 && line.find("/5001 作成") != std::string::npos;
        return n;
    }
    int boundPort() const
    {
        QV_SOCKETTCP* dataLink = stream->getTcpManager()->getDataLinkSocket();
        return dataLink ? dataLink->getBoundPort() : -1;
    }
    // The passive reply rewritten to the control connection's address and
    // the data-link listener's port.
    std::string rewrittenReply() const
    {
        return "227 ENTERING PASSIVE MODE (127,0,0,1," + std::to_string(boundPort() / 256) + ","
               + std::to_string(boundPort() % 256) + ")\r\n";
    }
    // The peer asks for a data-link connect to `port`: the answer's result
    // and error (-1, -1 when none came), and whether `dataListener` got a
    // connection.
    std::vector<int> askForDataLink(int port)
    {
        const size_t from = writes().size();
        feed(*stream, makePacket(kA2AKindDataLinkControl, kA2ACodeConnectRequest, port, seq++));
        const auto a = awaitPacket(*stream, kA2AKindDataLinkControl, kA2ACodeConnectReply, from, port);
        const int fd =
            acceptWithin(dataListener, a.size() == 40 && a2aResult(a.data()) == kA2AResultConnected ? kWait : kQuiet);
        if (fd >= 0)
            close(fd);
        return {a.size() == 40 ? a2aResult(a.data()) : -1, a.size() == 40 ? a2aError(a.data()) : -1, fd >= 0};
    }
    void expectRefused(const std::string& why)
    {
        EXPECT_EQ((std::vector<int>{kA2AResultFailed, EACCES, 0}), askForDataLink(dataPort)) << why;
        EXPECT_TRUE(
            capture.has("peer:TCP接続要求(d-link): 127.0.0.1 Port=" + std::to_string(dataPort) + " 接続に失敗"));
        EXPECT_TRUE(capture.has("peer:TCP接続要求(d-link): Port=" + std::to_string(dataPort)
                                + " 拒否(こちらのFTPが通知していないポート)"));
    }
    void expectConnected(const std::string& why)
    {
        EXPECT_EQ((std::vector<int>{kA2AResultConnected, 0, 1}), askForDataLink(dataPort)) << why;
        EXPECT_TRUE(capture.has("peer:TCP接続要求(d-link): 127.0.0.1 Port=" + std::to_string(dataPort) + " 接続"));
    }

    std::unique_ptr<QV_SKYPESTREAM> stream;
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    int listener = -1, local = -1, dataListener = -1, dataPort = 0;
    uint32_t seq = 0;
};

// An announcement cut in two is rewritten whole, with one listener; the
// lines before the cut go at once, and the data link asks the peer to
// connect when the FTP program connects it.
TEST_F(FtpStreamTest, LinesCutInTwo)
{
    const std::string passive = "227 Entering Passive Mode (10,0,0,9,19,137)\r\n";
    for (const std::string first : {"150 Here\r\n226 Done\r\n2", "227 Ent", "227 Entering Passive Mode (10,0,0,9,19,1",
                                    "227 Entering Passive Mode (10,0,0,9,19,137)"}) {
        SCOPED_TRACE(first);
        disconnect();
        connect();
        const size_t lines = first.rfind('\n') + 1;
        const int before = listenersMade();
        peerSends(first);
        if (lines > 0) {
            EXPECT_EQ(first.substr(0, lines), readSome(local, lines, kShortWait));
        }
        peerSends(passive.substr(first.size() - lines) + "150 Here\r\n");
        EXPECT_EQ(rewrittenReply() + "150 Here\r\n", readSome(local, rewrittenReply().size() + 10));
        EXPECT_EQ(before + 1, listenersMade());
        EXPECT_EQ(passive.size() + lines + 10, stream->getReceivedBytes());
    }
    const int client = connectLoopback(boundPort());
    ASSERT_GE(client, 0);
    const std::vector<uint8_t> request = takePacket(stream->getTcpManager()->getDataLinkSocket()->getOutboundQueue());
    ASSERT_FALSE(request.empty());
    EXPECT_EQ(kA2AKindDataLinkControl, a2aKind(request.data()));
    EXPECT_EQ(kA2ACodeConnectRequest, a2aCode(request.data()));
    close(client);

    // An ordinary line's beginning that could still become an announcement
    // waits for the rest; one that cannot goes at once.
    peerSends("150 Here");
    EXPECT_EQ("150 Here", readSome(local, 8, kShortWait));
    peerSends(" comes\r\n22");
    peerSends("0 Welcome\r\n");
    EXPECT_EQ(" comes\r\n220 Welcome\r\n", readSome(local, 21));
}

// A kept beginning that never ends is refused once it has grown too long to
// keep. A kept beginning belongs to its control connection: when that ends,
// the local program gets its end and nothing of the half announcement, and
// the next control connection starts afresh. The kept beginning and a
// packet of the largest size do not fit one queue entry together: all
// arrives, in order.
TEST_F(FtpStreamTest, KeptBeginnings)
{
    peerSends("2");
    peerSends("27 Entering Passive Mode (");
    for (int i = 0; i < 10; ++i)
        peerSends(std::string(100, ' '));
    peerSends("10,0,0,9,19,137)\r\n");
    std::string got;
    for (std::string more; got.size() < 3 || got.compare(got.size() - 3, 3, ")\r\n") != 0;) {
        if ((more = readSome(local, 1, kShortWait)).empty())
            break;
        got += more;
    }
    EXPECT_EQ(0u, got.rfind(kFtpRefusedReply, 0)) << got;
    EXPECT_EQ(std::string::npos, got.find("227 Entering")) << got;
    EXPECT_EQ(nullptr, stream->getTcpManager()->getDataLinkSocket());

    peerSends("226 Done\r\n22");
    feed(*stream, resultPacket(kA2AKindControl, kA2ACodeDisconnectRequest, 21, seq++, kA2ADisconnectSendEnd));
    EXPECT_EQ("226 Done\r\n", readSome(local, 64));
    EXPECT_EQ(End::Orderly, endOf(local));
    close(local);
    ASSERT_TRUE(waitUntil([&] { return !stream->isMainConnected(); }));
    feed(*stream, makePacket(kA2AKindControl, kA2ACodeConnectRequest, 21, seq++));
    local = acceptWithin(listener);
    ASSERT_GE(local, 0);
    ASSERT_TRUE(waitUntil([&] { return stream->isMainConnected(); }));
    const std::string text = "7 Entering Passive Mode (10,0,0,9,19,137)\r\n";
    peerSends(text);
    EXPECT_EQ(text, readSome(local, text.size()));
    EXPECT_EQ(nullptr, stream->getTcpManager()->getDataLinkSocket());

    std::string full = "137)\r\n";
    while (full.size() < kA2AMaxData)
        full += std::string(78, 'x') + "\r\n";
    full.resize(kA2AMaxData - 2);
    full += "\r\n";
    peerSends("211-Status\r\n227 Entering Passive Mode (10,0,0,9,19,");
    peerSends(full);
    const std::string want = "211-Status\r\n" + rewrittenReply() + full.substr(6);
    const std::string all = readSome(local, want.size());
    EXPECT_EQ(want.size(), all.size());
    EXPECT_TRUE(want == all);
}

// The allow-list walked through: announcements that do not count, one
// announced port connected once only, the extended passive reply, a reply in
// two packets, the 60 s lifetime, a port nobody listens on, and the end of
// the control connection.
TEST_F(FtpStreamTest, DataLinkAllowList)
{
    expectRefused("nothing announced");
    EXPECT_EQ(nullptr, stream->getTcpManager()->getDataLinkSocket()) << "the manager was asked";
    // The peer's own PORT command (rewritten on its way to the server) and a
    // PORT command coming from the server are not this side's announcement.
    peerSends(announce(dataPort, false));
    EXPECT_FALSE(readSome(local, 1).empty());
    expectRefused("announced by the peer");
    ASSERT_TRUE(localFtpSays(*stream, local, announce(dataPort, false)));
    expectRefused("a command from the server");

    std::string reply = announce(dataPort);
    reply.insert(reply.size() - 2, ".");
    const size_t cut = reply.find(',') + 3;
    ASSERT_TRUE(localFtpSays(*stream, local, "150 Here\r\n" + reply.substr(0, cut)));
    ASSERT_TRUE(localFtpSays(*stream, local, reply.substr(cut)));
    expectConnected("announced in two packets");
    feed(*stream, makePacket(kA2AKindDataLinkControl, kA2ACodeDisconnectRequest, dataPort, seq++));
    ASSERT_TRUE(waitUntil([&] { return stream->getTcpManager()->getDataLinkSocket()->isRunning() == 0; }));
    expectRefused("the second time");

    ASSERT_TRUE(
        localFtpSays(*stream, local, "229 Entering Extended Passive Mode (|||" + std::to_string(dataPort) + "|)\r\n"));
    now += std::chrono::seconds(59);
    expectConnected("extended passive, 59 s after");
    ASSERT_TRUE(localFtpSays(*stream, local, announce(dataPort)));
    now += std::chrono::seconds(61);
    expectRefused("61 s after");

    const int nobody = freePort();
    ASSERT_TRUE(localFtpSays(*stream, local, announce(nobody)));
    EXPECT_EQ((std::vector<int>{kA2AResultFailed, ECONNREFUSED, 0}), askForDataLink(nobody));
    EXPECT_TRUE(waitUntil([&] {
        return capture.has("peer:TCP接続要求(d-link): 127.0.0.1 Port=" + std::to_string(nobody) + " 接続に失敗");
    }));

    for (const std::string& command : writes())
        EXPECT_EQ(std::string::npos, command.find(" DISCONNECT ")) << command;

    // The local server ends the control connection; the peer is told.
    ASSERT_TRUE(localFtpSays(*stream, local, announce(dataPort)));
    const size_t from = writes().size();
    close(local);
    local = -1;
    ASSERT_FALSE(awaitPacket(*stream, kA2AKindControl, kA2ACodeDisconnectRequest, from).empty());
    expectRefused("control connection over");
}

}  // namespace
