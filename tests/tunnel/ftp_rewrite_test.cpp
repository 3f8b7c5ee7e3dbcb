// The FTP control-channel rewriting on its own, with a fake data-link maker
// and the local address 10.0.0.5.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "core/eventlog.h"
#include "tests/support/tcp_test_util.h"
#include "tests/support/temp_dir.h"
#include "tunnel/ftp_rewrite.h"

namespace {

const std::string kPassive = "227 Entering Passive Mode (192,168,1,20,19,137).\r\n";
const std::string kPassiveRewritten = "227 ENTERING PASSIVE MODE (10,0,0,5,195,80)\r\n";
const std::string kPort = "PORT 192,168,1,20,4,1\r\n";
const std::string kPortRewritten = "PORT 10,0,0,5,195,80\r\n";
const std::string kExtended = "229 Entering Extended Passive Mode (|||5001|)\r\n";
const std::string kExtendedRewritten = "229 Entering Extended Passive Mode (|||50000|)\r\n";
const std::string kEprt = "EPRT |1|192.168.1.20|1025|\r\n";
const std::string kEprtRewritten = "EPRT |1|10.0.0.5|50000|\r\n";

class FtpRewriteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
        log->setEnabled(1);
        log->addListener(&capture);
        hooks.createDataLinkServer = [this](int32_t port) {
            asked.push_back(port);
            return answer;
        };
        hooks.getLocalAddress = [] { return inet_addr("10.0.0.5"); };
        hooks.peerUser = "peer";
        hooks.forwardHost = "127.0.0.1";
    }
    void TearDown() override { QV_EVENTLOG::destroyInstance(); }

    std::string rewrite(const std::string& in, size_t extra = 256)
    {
        std::vector<uint8_t> buffer(in.size() + extra);
        std::copy(in.begin(), in.end(), buffer.begin());
        const uint32_t n = rewriteFtpData(buffer.data(), static_cast<uint32_t>(in.size()),
                                          static_cast<uint32_t>(buffer.size()), hooks);
        return std::string(buffer.begin(), buffer.begin() + n);
    }

    TempDir dir;
    tcptest::LogCapture capture;
    QV_FTPREWRITEHOOKS hooks;
    std::vector<int32_t> asked;
    int32_t answer = 50000;
};

TEST_F(FtpRewriteTest, PassiveReplyPointsAtTheLocalDataLink)
{
    EXPECT_EQ(kPassiveRewritten, rewrite(kPassive));
    EXPECT_EQ(std::vector<int32_t>{5001}, asked);
    EXPECT_TRUE(capture.has("peerとのFTP接続:127.0.0.1とのd-port=50000/5001 作成"));
    EXPECT_EQ(1u, capture.lines().size());

    // Upper-case words in the text, and no line end after the full stop.
    asked.clear();
    EXPECT_EQ(kPassiveRewritten, rewrite("227 ENTERING PASSIVE MODE (192,168,1,20,19,137)."));
    EXPECT_EQ(std::vector<int32_t>{5001}, asked);
}

TEST_F(FtpRewriteTest, PortCommandAsksForItsPort)
{
    EXPECT_EQ(kPortRewritten, rewrite(kPort));
    EXPECT_EQ(std::vector<int32_t>{1025}, asked);
    EXPECT_TRUE(capture.has("peerとのFTP接続:127.0.0.1とのd-port=50000/1025 作成"));
    asked.clear();
    EXPECT_EQ(kPortRewritten, rewrite("port 192,168,1,20,4,1\r\n"));
    EXPECT_EQ(std::vector<int32_t>{1025}, asked);
}

TEST_F(FtpRewriteTest, ExtendedFormsPointAtTheLocalDataLink)
{
    EXPECT_EQ(kExtendedRewritten, rewrite(kExtended));
    EXPECT_EQ(kExtendedRewritten, rewrite("229 entering extended passive mode (|||5001|)\r\n"));
    EXPECT_EQ(kEprtRewritten, rewrite(kEprt));
    EXPECT_EQ(kEprtRewritten, rewrite("eprt |1|192.168.1.20|1025|\r\n"));
    EXPECT_EQ((std::vector<int32_t>{5001, 5001, 1025, 1025}), asked);
    EXPECT_EQ(2, capture.count("peerとのFTP接続:127.0.0.1とのd-port=50000/5001 作成"));
    EXPECT_EQ(2, capture.count("peerとのFTP接続:127.0.0.1とのd-port=50000/1025 作成"));
}

TEST_F(FtpRewriteTest, SamePortLeavesTheTextAndAFailedListenerRefusesIt)
{
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {kPassive, 5001}, {kPort, 1025}, {kExtended, 5001}, {kEprt, 1025}};
    for (const auto& [text, port] : cases) {
        answer = port;
        EXPECT_EQ(text, rewrite(text)) << text;
        answer = -1;
        const bool reply = text[0] == '2';
        EXPECT_EQ(reply ? kFtpRefusedReply : kFtpRefusedCommand, rewrite(text)) << text;
    }
    EXPECT_EQ(2, capture.count("peerとのFTP接続:127.0.0.1とのd-port=5001 作成失敗."));
    EXPECT_EQ(2, capture.count("peerとのFTP接続:127.0.0.1とのd-port=1025 作成失敗."));
    EXPECT_EQ(4u, capture.lines().size()) << "nothing is logged when the port stays";
}

// No data connection may go around the tunnel: an announcement that cannot
// be rewritten never reaches the FTP program as it is. A reply becomes an
// error reply for the client, a command an abort for the server.
TEST_F(FtpRewriteTest, AnnouncementsThatCannotBeRewrittenAreRefused)
{
    const std::vector<std::string> replies = {
        "227 Entering Passive Mode (1,2,3,4,300,5)\r\n",  // 76805
        "227 Entering Passive Mode (192,168,1,20,19)\r\n",
        "227 Entering Passive Mode (1,2,3,4,0,0)\r\n",  // port 0
        "227 Entering Passive Mode\r\n",
        "227 OK\r\n",
        "229 Entering Extended Passive Mode (|||65536|)\r\n",
        "229 Entering Extended Passive Mode (||5001|)\r\n",
        "229 Entering Extended Passive Mode (|||0|)\r\n",
        "228 Entering Long Passive Mode (4,16,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,2,19,137)\r\n",
        "228 entering long passive mode (6,4,192,168,1,20,2,19,137)\r\n",
    };
    const std::vector<std::string> commands = {
        "PORT 1,2,3,4,256,0\r\n",  // 65536
        "PORT 192,168,1,20,4\r\n",         "PORT\r\n",
        "EPRT |2|::1|1025|\r\n",           "eprt |2|fe80::1|1025|\r\n",
        "EPRT |1|192.168.1.20||\r\n",      "EPRT |1|192.168.1.300|1025|\r\n",
        "LPRT 4,4,192,168,1,20,2,4,1\r\n", "lprt 6,16,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,1,2,4,1\r\n",
    };
    for (const std::string& text : replies)
        EXPECT_EQ(kFtpRefusedReply, rewrite(text)) << text;
    for (const std::string& text : commands)
        EXPECT_EQ(kFtpRefusedCommand, rewrite(text)) << text;
    // The lines around a refused one stay.
    EXPECT_EQ(std::string("150 Here\r\n") + kFtpRefusedCommand + "NOOP\r\n",
              rewrite("150 Here\r\nLPRT 4,4,1,2,3,4,2,4,1\r\nNOOP\r\n"));
    EXPECT_TRUE(asked.empty());
    EXPECT_TRUE(capture.lines().empty());
}

// Numbers a hostile peer writes are read with their range checked (the
// sanitizer build catches an overflow).
TEST_F(FtpRewriteTest, HostileNumbersAreRefusedWithoutOverflow)
{
    const std::vector<std::string> numbers = {
        "99999999999", "-1", "256", "2147483647", "4294967296", "0000000000000000001", "+1", "1e3", ""};
    for (const std::string& n : numbers) {
        for (int at = 0; at < 6; ++at) {
            std::vector<std::string> six = {"127", "0", "0", "1", "19", "137"};
            six[at] = n;
            std::string list = six[0];
            for (int i = 1; i < 6; ++i)
                list += "," + six[i];
            const std::string passive = "227 Entering Passive Mode (" + list + ")\r\n";
            const std::string port = "PORT " + list + "\r\n";
            EXPECT_EQ(kFtpRefusedReply, rewrite(passive)) << passive;
            EXPECT_EQ(kFtpRefusedCommand, rewrite(port)) << port;
        }
    }
    for (const char* n : {"99999999999", "-1", "65536", "0", "2147483647", "4294967296", "+1", "1e3", ""}) {
        const std::string extended = "229 Entering Extended Passive Mode (|||" + std::string(n) + "|)\r\n";
        const std::string eprt = "EPRT |1|127.0.0.1|" + std::string(n) + "|\r\n";
        EXPECT_EQ(kFtpRefusedReply, rewrite(extended)) << extended;
        EXPECT_EQ(kFtpRefusedCommand, rewrite(eprt)) << eprt;
    }
    EXPECT_TRUE(asked.empty());
}

// One packet holding many passive replies would make as many listeners,
// each with its thread: one is made, the others are refused.
TEST_F(FtpRewriteTest, OnlyOneAnnouncementOfAPacketGetsAListener)
{
    // 231 replies of the shortest form fill a packet of 10 KB.
    const std::string shortest = "227 Entering Passive Mode (1,2,3,4,19,137)\r\n";
    std::string many;
    std::string expected = "227 ENTERING PASSIVE MODE (10,0,0,5,195,80)\r\n";
    for (int i = 0; i < 231; ++i) {
        many += shortest;
        if (i > 0)
            expected += kFtpRefusedReply;
    }
    ASSERT_LE(many.size(), 10240u);
    EXPECT_EQ(expected, rewrite(many));
    EXPECT_EQ(std::vector<int32_t>{5001}, asked);
    EXPECT_EQ(1, capture.count("peerとのFTP接続:127.0.0.1とのd-port=50000/5001 作成"));

    asked.clear();
    EXPECT_EQ(kPortRewritten + "NOOP\r\n" + kFtpRefusedCommand + kFtpRefusedCommand,
              rewrite(kPort + "NOOP\r\n" + kEprt + kPort));
    EXPECT_EQ(std::vector<int32_t>{1025}, asked);
}

// A refusal longer than the lines it replaces that would not fit the packet
// removes the line instead: nothing passes unchanged.
TEST_F(FtpRewriteTest, ARefusalThatWouldNotFitRemovesTheLine)
{
    std::string many;
    for (int i = 0; i < 40; ++i)
        many += "228\n";
    const std::string out = rewrite(many, 0);
    EXPECT_EQ(std::string::npos, out.find("228")) << out;
    EXPECT_EQ(0u, out.size() % (sizeof(kFtpRefusedReply) - 1)) << out;
}

// A line cut by the end of its packet never asks for a shortened port.
TEST_F(FtpRewriteTest, LinesCutAtAnyPointNeverAskForAWrongPort)
{
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {kPassive, 5001}, {kPort, 1025}, {kExtended, 5001}, {kEprt, 1025}};
    for (const auto& [text, port] : cases) {
        for (size_t cut = 0; cut < text.size(); ++cut) {
            asked.clear();
            const std::string part = text.substr(0, cut);
            const std::string out = rewrite(part);
            for (int32_t p : asked)
                EXPECT_EQ(port, p) << "cut " << cut << " of " << text;
            // Either not yet an announcement, or one that cannot be read.
            if (asked.empty()) {
                EXPECT_TRUE(out == part || out == kFtpRefusedReply || out == kFtpRefusedCommand)
                    << "cut " << cut << " of " << text << ": " << out;
            }
        }
    }
}

TEST_F(FtpRewriteTest, LinesBeforeAndAfterTheAnnouncementAreKept)
{
    const std::vector<std::pair<std::string, std::string>> cases = {{kPassive, kPassiveRewritten},
                                                                    {kPort, kPortRewritten},
                                                                    {kExtended, kExtendedRewritten},
                                                                    {kEprt, kEprtRewritten}};
    const std::vector<std::string> before = {"", "150 Here\r\n", "230 Ok\r\n200 Type set to I\r\n"};
    const std::vector<std::string> after = {"", "226 Done\r\n", std::string("RETR a\0b\r\n", 10)};
    for (const auto& [text, rewritten] : cases)
        for (const std::string& b : before)
            for (const std::string& a : after)
                EXPECT_EQ(b + rewritten + a, rewrite(b + text + a)) << b << text << a;
}

TEST_F(FtpRewriteTest, OtherTextIsUntouched)
{
    const std::string text = std::string("220 Welcome\r\n2270 OK\r\nXPORT 1,2,3,4,5,6\r\nPORTS\r\n\0\xff", 50);
    EXPECT_EQ(text, rewrite(text));
    EXPECT_TRUE(asked.empty());
}

TEST_F(FtpRewriteTest, ARewriteThatWouldNotFitIsRefused)
{
    hooks.getLocalAddress = [] { return inet_addr("255.255.255.255"); };
    const std::string text = "EPRT |1|1.1.1.1|1|\r\n";
    EXPECT_EQ(kFtpRefusedCommand, rewrite(text, 0));
    EXPECT_EQ("EPRT |1|255.255.255.255|50000|\r\n", rewrite(text));
}

}  // namespace
