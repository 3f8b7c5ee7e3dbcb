// What the peer may make this side connect to. A data-link connect goes
// only to a port that this side's own FTP program announced on the control
// connection that is up, once, within its lifetime; the client application
// makes no main connection for the peer. Everything else is answered with a
// failed CONNECT-REPLY, and nothing is connected.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "tcp/socket_tcp.h"
#include "tcp/tcp_manager.h"
#include "tests/tunnel/tunnel_test_util.h"
#include "wire/a2a_packet.h"

using namespace tunneltest;
using namespace tcptest;

namespace {

// A refusal is answered before anything is connected; a connect made all
// the same would be in the listener's backlog by then.
constexpr std::chrono::milliseconds kQuiet{50};

// The server application's FTP stream with its control connection to a
// local FTP server (a loopback listener of the test) up, and a listener
// standing for the FTP server's data port.
class DataLinkAccessTest : public StreamFixture {
protected:
    void SetUp() override
    {
        StreamFixture::SetUp();
        stream = connectFtpToTestServer(&listener, &server, &seq);
        ASSERT_GE(server, 0);
        stream->setAnnouncementClock([this] { return now; });
        dataListener = listenLoopback(&dataPort);
        ASSERT_GE(dataListener, 0);
    }
    void TearDown() override
    {
        stream.reset();
        for (int fd : {server, listener, dataListener})
            if (fd >= 0)
                close(fd);
        StreamFixture::TearDown();
    }

    // The peer asks for a data-link connect to `port`; the answer that goes
    // back (empty when none went within the wait).
    std::vector<uint8_t> askForDataLink(int port)
    {
        const size_t from = writes().size();
        feed(*stream, makePacket(kA2AKindDataLinkControl, kA2ACodeConnectRequest, static_cast<uint16_t>(port), seq++));
        return awaitPacket(*stream, kA2AKindDataLinkControl, kA2ACodeConnectReply, from, port);
    }
    std::string requestLine(int port, const char* outcome)
    {
        return "peer:TCP接続要求(d-link): 127.0.0.1 Port=" + std::to_string(port) + " " + outcome;
    }
    void expectRefused(int port, const std::string& why)
    {
        const std::vector<uint8_t> answer = askForDataLink(port);
        ASSERT_EQ(40u, answer.size()) << why << ": no answer";
        EXPECT_EQ(kA2AResultFailed, a2aResult(answer.data())) << why;
        EXPECT_EQ(EACCES, a2aError(answer.data())) << why;
        EXPECT_LT(acceptWithin(dataListener, kQuiet), 0) << why << ": a connection was made";
        EXPECT_TRUE(capture.has(requestLine(port, "接続に失敗"))) << why;
        EXPECT_TRUE(capture.has("peer:TCP接続要求(d-link): Port=" + std::to_string(port)
                                + " 拒否(こちらのFTPが通知していないポート)"))
            << why;
    }
    void expectConnected(int port)
    {
        const std::vector<uint8_t> answer = askForDataLink(port);
        ASSERT_EQ(40u, answer.size()) << "no answer";
        EXPECT_EQ(kA2AResultConnected, a2aResult(answer.data()));
        EXPECT_TRUE(waitUntil([&] { return capture.has(requestLine(port, "接続")); }));
        const int fd = acceptWithin(dataListener);
        EXPECT_GE(fd, 0);
        if (fd >= 0)
            close(fd);
    }

    std::unique_ptr<QV_SKYPESTREAM> stream;
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    int listener = -1;
    int server = -1;
    int dataPort = 0;
    int dataListener = -1;
    uint32_t seq = 0;
};

TEST_F(DataLinkAccessTest, APortNobodyAnnouncedIsRefused)
{
    expectRefused(dataPort, "nothing announced");
    EXPECT_EQ(nullptr, stream->getTcpManager()->getDataLinkSocket()) << "the manager was asked";

    // Announcements that are not this side's FTP server's passive replies
    // do not count: the peer's own PORT command (rewritten on its way to
    // the server) and a PORT command coming from the server.
    feed(*stream, makePacket(kA2AKindData, 0, 21, seq++, portCommand(dataPort)));
    EXPECT_FALSE(readSome(server, 1).empty());
    expectRefused(dataPort, "announced by the peer");
    ASSERT_TRUE(localFtpSays(*stream, server, portCommand(dataPort)));
    expectRefused(dataPort, "a command from the server");
}

// The answer names the packet's port; the peer's DISCONNECT-REQUEST ends
// the data link, and the port is not connected a second time.
TEST_F(DataLinkAccessTest, AnAnnouncedPortIsConnectedOnceOnly)
{
    ASSERT_TRUE(localFtpSays(*stream, server, "150 Here\r\n" + passiveReply(dataPort)));
    expectConnected(dataPort);
    feed(*stream,
         makePacket(kA2AKindDataLinkControl, kA2ACodeDisconnectRequest, static_cast<uint16_t>(dataPort), seq++));
    ASSERT_TRUE(waitUntil([&] { return stream->getTcpManager()->getDataLinkSocket()->isRunning() == 0; }));
    expectRefused(dataPort, "the second time");
    for (const std::string& command : writes())
        EXPECT_EQ(std::string::npos, command.find(" DISCONNECT ")) << command;
}

TEST_F(DataLinkAccessTest, AnAnnouncedPortNobodyListensOnIsAnsweredWithTheConnectError)
{
    const int nobody = freePort();
    ASSERT_TRUE(localFtpSays(*stream, server, passiveReply(nobody)));
    const std::vector<uint8_t> answer = askForDataLink(nobody);
    ASSERT_EQ(40u, answer.size());
    EXPECT_EQ(kA2AResultFailed, a2aResult(answer.data()));
    EXPECT_EQ(ECONNREFUSED, a2aError(answer.data()));
    EXPECT_TRUE(waitUntil([&] { return capture.has(requestLine(nobody, "接続に失敗")); }));
}

// The local server's reply goes to the peer in two packets: the peer reads
// it whole, and so does the record of announced ports.
TEST_F(DataLinkAccessTest, AReplySentInTwoPacketsAnnouncesItsPort)
{
    std::string reply = passiveReply(dataPort);
    reply.insert(reply.size() - 2, ".");
    for (size_t cut : {size_t{2}, reply.find(',') + 3, reply.size() - 3}) {
        SCOPED_TRACE(cut);
        ASSERT_TRUE(localFtpSays(*stream, server, "150 Here\r\n" + reply.substr(0, cut)));
        ASSERT_TRUE(localFtpSays(*stream, server, reply.substr(cut)));
        expectConnected(dataPort);
    }
}

TEST_F(DataLinkAccessTest, AnExtendedPassiveReplyAnnouncesItsPort)
{
    ASSERT_TRUE(
        localFtpSays(*stream, server, "229 Entering Extended Passive Mode (|||" + std::to_string(dataPort) + "|)\r\n"));
    expectConnected(dataPort);
}

TEST_F(DataLinkAccessTest, AnAnnouncementExpires)
{
    ASSERT_TRUE(localFtpSays(*stream, server, passiveReply(dataPort)));
    now += std::chrono::seconds(61);
    expectRefused(dataPort, "61 s after");

    ASSERT_TRUE(localFtpSays(*stream, server, passiveReply(dataPort)));
    now += std::chrono::seconds(59);
    expectConnected(dataPort);
}

TEST_F(DataLinkAccessTest, AnAnnouncementEndsWithItsControlConnection)
{
    ASSERT_TRUE(localFtpSays(*stream, server, passiveReply(dataPort)));
    // The local server ends it; the peer is told.
    const size_t from = writes().size();
    close(server);
    server = -1;
    ASSERT_FALSE(awaitPacket(*stream, kA2AKindControl, kA2ACodeDisconnectRequest, from).empty());
    expectRefused(dataPort, "control connection over");
}

// The client application connects only from its own listener: the peer's
// CONNECT-REQUEST on the main link would otherwise stop the listener and
// connect to the forward host.
using ClientApplicationTest = StreamFixture;

TEST_F(ClientApplicationTest, RefusesTheMainConnectRequest)
{
    config.setClientMode(1);
    int target = 0;
    const int targetListener = listenLoopback(&target);
    ASSERT_GE(targetListener, 0);
    const int port = freePort();
    auto stream = makeStream(kHttpApp, "peer", 1, port, "127.0.0.1", target);
    ASSERT_TRUE(waitUntil([&] { return stream->isMainListening(); }));

    feed(*stream, makePacket(kA2AKindControl, kA2ACodeConnectRequest, 80, 0));
    std::vector<uint8_t> answer;
    for (const auto& p : packetsOf(writes(), *stream))
        if (a2aKind(p.data()) == kA2AKindControl && a2aCode(p.data()) == kA2ACodeConnectReply)
            answer = p;
    ASSERT_EQ(40u, answer.size()) << "no answer";
    EXPECT_EQ(80, a2aPort(answer.data()));
    EXPECT_EQ(kA2AResultFailed, a2aResult(answer.data()));
    EXPECT_EQ(EACCES, a2aError(answer.data()));
    EXPECT_TRUE(capture.has("peer:TCP接続要求: 127.0.0.1 Port=" + std::to_string(target) + " 接続に失敗"));
    EXPECT_TRUE(capture.has("peer:TCP接続要求: Port=80 拒否(クライアント側は接続要求を受けない)"));
    EXPECT_LT(acceptWithin(targetListener, kQuiet), 0) << "the forward host was connected";
    EXPECT_TRUE(stream->isMainListening());

    // The service still takes its local client.
    const int client = connectLoopback(port);
    ASSERT_GE(client, 0);
    std::vector<uint8_t> request = takePacket(stream->getTcpManager()->getMainSocket()->getOutboundQueue());
    ASSERT_FALSE(request.empty());
    EXPECT_EQ(kA2ACodeConnectRequest, a2aCode(request.data()));
    close(client);
    close(targetListener);
}

}  // namespace
