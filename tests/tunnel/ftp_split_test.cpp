// FTP control lines that the peer's packets cut in two: an announcement is
// rewritten or refused whichever way it is cut, and ordinary lines still
// arrive byte for byte. The server application's FTP stream, with its
// control connection to a local FTP program (a loopback socket of the test)
// up; the rewriting does not depend on which way the line goes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tcp/socket_tcp.h"
#include "tcp/tcp_manager.h"
#include "tests/tunnel/tunnel_test_util.h"
#include "tunnel/ftp_announcement.h"
#include "tunnel/ftp_rewrite.h"
#include "wire/a2a_packet.h"

using namespace tunneltest;
using namespace tcptest;

namespace {

constexpr std::chrono::milliseconds kShortWait{2000};

bool mayBecome(const std::string& text)
{
    return mayBecomeFtpAnnouncement(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Which beginnings of a line wait for the rest: every beginning of every
// form of announcement, and nothing that cannot become one.
TEST(FtpLineBeginning, OnlyWhatMayBecomeAnAnnouncementWaits)
{
    for (const std::string line : {"227 Entering Passive Mode (10,0,0,9,19,137)\r\n", "228 Long (1,2)\r\n",
                                   "229 Entering Extended Passive Mode (|||5001|)\r\n", "227-First\r\n",
                                   "PORT 10,0,0,9,4,1\r\n", "port 10,0,0,9,4,1\r\n", "EPRT |1|10.0.0.9|1025|\r\n",
                                   "LPRT 4,4,10,0,0,9,2,4,1\r\n", "ePrT |2|::1|1025|\r\n"})
        for (size_t cut = 1; cut < line.size(); ++cut)
            EXPECT_TRUE(mayBecome(line.substr(0, cut))) << line.substr(0, cut);
    for (const std::string text : {"", "1", "150 Here", "23", "2270", "2280 Not one", "PORTS", "EPRTX", "X227", " 227",
                                   "LIST", "RETR file", "PASV", "226 Done"})
        EXPECT_FALSE(mayBecome(text)) << text;
}

class FtpSplitTest : public StreamFixture {
protected:
    void SetUp() override
    {
        StreamFixture::SetUp();
        connect();
    }
    void TearDown() override
    {
        disconnect();
        StreamFixture::TearDown();
    }

    // A fresh stream and control connection.
    void connect()
    {
        seq = 0;
        stream = connectFtpToTestServer(&listener, &local, &seq);
        ASSERT_GE(local, 0);
    }
    void disconnect()
    {
        stream.reset();
        for (int* fd : {&local, &listener}) {
            if (*fd >= 0)
                close(*fd);
            *fd = -1;
        }
    }
    // What the local program reads up to and including `end` (all it got
    // when that did not come within the wait).
    std::string readThrough(const std::string& end)
    {
        std::string got;
        while (got.size() < end.size() || got.compare(got.size() - end.size(), end.size(), end) != 0) {
            const std::string more = readSome(local, 1, kShortWait);
            if (more.empty())
                break;
            got += more;
        }
        return got;
    }
    void peerSends(const std::string& data) { feed(*stream, makePacket(kA2AKindData, 0, 21, seq++, data)); }

    // The data-link listeners made so far, by their event-log lines.
    int listenersMade()
    {
        int n = 0;
        for (const std::string& line : capture.lines())
            n += line.find("peerとのFTP接続:127.0.0.1とのd-port=") != std::string::npos
                         && line.find(" 作成") != std::string::npos && line.find("作成失敗") == std::string::npos
                     ? 1
                     : 0;
        return n;
    }
    // What the rewritten announcement must look like: the address of the
    // control connection and the data-link listener's port.
    std::string rewrittenTo(const char* form) const
    {
        QV_SOCKETTCP* dataLink = stream->getTcpManager()->getDataLinkSocket();
        if (!dataLink)
            return "(no data link)";
        const int bound = dataLink->getBoundPort();
        char text[128];
        std::snprintf(text, sizeof(text), form, bound / 256, bound % 256);
        return text;
    }

    std::unique_ptr<QV_SKYPESTREAM> stream;
    int listener = -1;
    int local = -1;
    uint32_t seq = 0;
};

// The passive reply and the PORT command, cut in the word, in the text and
// among the numbers, and sent in two packets: the local program gets the
// rewritten line whole, and one listener is made.
TEST_F(FtpSplitTest, AnAnnouncementCutInTwoIsRewritten)
{
    const std::string passive = "227 Entering Passive Mode (10,0,0,9,19,137)\r\n";
    const std::string port = "PORT 10,0,0,9,4,1\r\n";
    const char* passiveForm = "227 ENTERING PASSIVE MODE (127,0,0,1,%d,%d)\r\n";
    const char* portForm = "PORT 127,0,0,1,%d,%d\r\n";
    const std::vector<std::pair<std::string, std::string>> cuts = {
        {"22", passive.substr(2)},
        {"227 Ent", passive.substr(7)},
        {"227 Entering Passive Mode (10,0,0,9,19,1", "37)\r\n"},
        {"227 Entering Passive Mode (10,0,0,9,19,137)", "\r\n"},
        {"P", port.substr(1)},
        {"port 10,0", ",0,9,4,1\r\n"},
        {"PORT 10,0,0,9,4,1\r", "\n"},
    };
    for (const auto& [first, second] : cuts) {
        SCOPED_TRACE(first + " | " + second);
        disconnect();
        connect();
        const int before = listenersMade();
        const bool reply = first[0] == '2';
        const std::string after = reply ? "150 Here\r\n" : "LIST\r\n";
        peerSends(first);
        peerSends(second + after);
        const std::string want = rewrittenTo(reply ? passiveForm : portForm) + after;
        EXPECT_EQ(want, readSome(local, want.size()));
        EXPECT_EQ(before + 1, listenersMade());
    }
}

// The cut lies after ordinary lines in the same packet: those go at once,
// the announcement's beginning waits for the rest. The rewritten reply names
// the data link by the control connection's loopback address, which the FTP
// program can reach; the stream counts the bytes the peer sent, and the
// data link asks the peer to connect when the FTP program connects it.
TEST_F(FtpSplitTest, LinesBeforeTheCutAnnouncementGoAtOnce)
{
    const std::string first = "150 Here\r\n226 Done\r\n2";
    const std::string second = "27 Entering Passive Mode (10,0,0,9,19,137)\r\n";
    peerSends(first);
    EXPECT_EQ("150 Here\r\n226 Done\r\n", readSome(local, 20, kShortWait));
    peerSends(second);
    const std::string want = rewrittenTo("227 ENTERING PASSIVE MODE (127,0,0,1,%d,%d)\r\n");
    EXPECT_EQ(want, readSome(local, want.size()));
    EXPECT_EQ(first.size() + second.size(), stream->getReceivedBytes());
    QV_SOCKETTCP* dataLink = stream->getTcpManager()->getDataLinkSocket();
    ASSERT_NE(nullptr, dataLink);
    const int bound = dataLink->getBoundPort();
    EXPECT_TRUE(capture.has("peerとのFTP接続:127.0.0.1とのd-port=" + std::to_string(bound) + "/5001 作成"));
    const int client = connectLoopback(bound);
    ASSERT_GE(client, 0);
    std::vector<uint8_t> request = takePacket(dataLink->getOutboundQueue());
    ASSERT_FALSE(request.empty());
    EXPECT_EQ(kA2AKindDataLinkControl, a2aKind(request.data()));
    EXPECT_EQ(kA2ACodeConnectRequest, a2aCode(request.data()));
    close(client);
}

// An ordinary line cut in two arrives as it was sent. Where its beginning
// cannot become an announcement, the beginning goes at once; one that could
// still be an announcement but is not waits for the rest.
TEST_F(FtpSplitTest, AnOrdinaryLineCutInTwoArrivesAsItWas)
{
    struct Cut {
        std::string first;
        std::string second;
        bool waits;
    };
    for (const Cut& c :
         {Cut{"220 Welc", "ome\r\n", false}, Cut{"150 Here", " comes\r\n", false}, Cut{"1", "50 Here comes\r\n", false},
          Cut{"2270 Not one", "\r\n", false}, Cut{"PORTS", "\r\n", false}, Cut{"RETR file", ".txt\r\n", false},
          Cut{"22", "0 Welcome\r\n", true}, Cut{"228", "0 Not one\r\n", true}, Cut{"POR", "TS\r\n", true},
          Cut{"e", "xit\r\n", true}}) {
        SCOPED_TRACE(c.first + " | " + c.second);
        peerSends(c.first);
        if (!c.waits) {
            EXPECT_EQ(c.first, readSome(local, c.first.size(), kShortWait));
        }
        peerSends(c.second);
        const std::string rest = c.waits ? c.first + c.second : c.second;
        EXPECT_EQ(rest, readSome(local, rest.size()));
    }
    EXPECT_EQ(0, listenersMade());
}

// A beginning of an announcement that never ends is refused once it has
// grown too long to keep: the local program never sees it.
TEST_F(FtpSplitTest, AnAnnouncementThatNeverEndsIsRefused)
{
    struct Case {
        std::vector<std::string> start;
        std::string refusal;
    };
    const std::vector<Case> cases = {
        {{"2", "27 Entering Passive Mode ("}, kFtpRefusedReply},
        {{"PO", "RT "}, kFtpRefusedCommand},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start[0] + c.start[1]);
        disconnect();
        connect();
        for (const std::string& piece : c.start)
            peerSends(piece);
        const std::string filler(100, ' ');
        for (int i = 0; i < 10; ++i)
            peerSends(filler);
        peerSends("10,0,0,9,19,137)\r\n");
        const std::string got = readThrough(")\r\n");
        EXPECT_EQ(0u, got.rfind(c.refusal, 0)) << got;
        EXPECT_EQ(std::string::npos, got.find(c.start[0] + c.start[1])) << got;
        EXPECT_EQ(nullptr, stream->getTcpManager()->getDataLinkSocket());
    }
}

// A kept beginning belongs to its control connection: when that ends, the
// local program gets its end and nothing of the half announcement, and the
// next control connection starts afresh.
TEST_F(FtpSplitTest, AKeptBeginningEndsWithItsControlConnection)
{
    peerSends("226 Done\r\n22");
    feed(*stream, resultPacket(kA2AKindControl, kA2ACodeDisconnectRequest, 21, seq++, kA2ADisconnectSendEnd));
    EXPECT_EQ("226 Done\r\n", readSome(local, 64));
    EXPECT_EQ(End::Orderly, endOf(local));

    close(local);
    local = -1;
    ASSERT_TRUE(waitUntil([&] { return !stream->isMainConnected(); }));
    feed(*stream, makePacket(kA2AKindControl, kA2ACodeConnectRequest, 21, seq++));
    local = acceptWithin(listener);
    ASSERT_GE(local, 0);
    ASSERT_TRUE(waitUntil([&] { return stream->isMainConnected(); }));
    const std::string text = "7 Entering Passive Mode (10,0,0,9,19,137)\r\n";
    peerSends(text);
    EXPECT_EQ(text, readSome(local, text.size()));
    EXPECT_EQ(0, listenersMade());
}

// The kept beginning and a packet of the largest size do not fit one queue
// entry together: everything still arrives, in order.
TEST_F(FtpSplitTest, AKeptBeginningBeforeAFullPacketLosesNothing)
{
    const std::string first = "211-Status\r\n227 Entering Passive Mode (10,0,0,9,19,";
    std::string second = "137)\r\n";
    while (second.size() < kA2AMaxData)
        second += std::string(78, 'x') + "\r\n";
    second.resize(kA2AMaxData - 2);
    second += "\r\n";
    peerSends(first);
    peerSends(second);
    const std::string want =
        "211-Status\r\n" + rewrittenTo("227 ENTERING PASSIVE MODE (127,0,0,1,%d,%d)\r\n") + second.substr(6);
    const std::string got = readSome(local, want.size());
    EXPECT_EQ(want.size(), got.size());
    EXPECT_TRUE(want == got);
}

}  // namespace
