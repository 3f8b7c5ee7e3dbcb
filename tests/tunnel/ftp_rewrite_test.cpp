// The FTP control-channel rewriting with a fake data-link maker (listening
// on 50000) and the local address 10.0.0.5.
#include "tunnel/ftp_rewrite.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "core/eventlog.h"
#include "tests/support/tcp_test_util.h"
#include "tests/support/temp_dir.h"
#include "tunnel/ftp_announcement.h"

namespace {

struct Announcement {
    std::string text;
    std::string rewritten;
    int32_t port;  // the port the data-link maker is asked for
};

// Each form with its rewriting, then in other case (the passive reply
// without a line end after its full stop).
const std::vector<Announcement> kForms = {
    {"227 Entering Passive Mode (192,168,1,20,19,137).\r\n", "227 ENTERING PASSIVE MODE (10,0,0,5,195,80)\r\n", 5001},
    {"227 ENTERING PASSIVE MODE (192,168,1,20,19,137).", "227 ENTERING PASSIVE MODE (10,0,0,5,195,80)\r\n", 5001},
    {"PORT 192,168,1,20,4,1\r\n", "PORT 10,0,0,5,195,80\r\n", 1025},
    {"port 192,168,1,20,4,1\r\n", "PORT 10,0,0,5,195,80\r\n", 1025},
    {"229 Entering Extended Passive Mode (|||5001|)\r\n", "229 Entering Extended Passive Mode (|||50000|)\r\n", 5001},
    {"229 entering extended passive mode (|||5001|)\r\n", "229 Entering Extended Passive Mode (|||50000|)\r\n", 5001},
    {"EPRT |1|192.168.1.20|1025|\r\n", "EPRT |1|10.0.0.5|50000|\r\n", 1025},
    {"eprt |1|192.168.1.20|1025|\r\n", "EPRT |1|10.0.0.5|50000|\r\n", 1025},
};

std::string refusal(const std::string& text) { return text[0] == '2' ? kFtpRefusedReply : kFtpRefusedCommand; }

class FtpRewriteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QV_EVENTLOG::getInstance()->setEnabled(1);
        QV_EVENTLOG::getInstance()->addListener(&capture);
        hooks.createDataLinkServer = [this](int32_t port) {
            asked.push_back(port);
            return answer;
        };
        hooks.getLocalAddress = [] { return inet_addr("10.0.0.5"); };
        hooks.peerUser = "peer";
        hooks.forwardHost = "127.0.0.1";
    }
    void TearDown() override { QV_EVENTLOG::destroyInstance(); }

    std::string rewrite(const std::string& in, size_t extra = 256, bool refuseUnended = false)
    {
        std::vector<uint8_t> buffer(in.size() + extra);
        std::copy(in.begin(), in.end(), buffer.begin());
        const uint32_t n = rewriteFtpData(buffer.data(), static_cast<uint32_t>(in.size()),
                                          static_cast<uint32_t>(buffer.size()), hooks, refuseUnended);
        return std::string(buffer.begin(), buffer.begin() + n);
    }
    std::string made(int32_t port)
    {
        return "peerとのFTP接続:127.0.0.1とのd-port=50000/" + std::to_string(port) + " 作成";
    }

    TempDir dir;
    tcptest::LogCapture capture;
    QV_FTPREWRITEHOOKS hooks;
    std::vector<int32_t> asked;
    int32_t answer = 50000;
};

// The announcement points at the local data link, the lines around it kept
// byte for byte; one listener is asked for and logged. The same port leaves
// the text as it is, unlogged; a listener that cannot be made refuses it, and
// so does a last line without its end that the stream could not keep.
TEST_F(FtpRewriteTest, AnnouncementsPointAtTheLocalDataLink)
{
    size_t rewrites = 0;
    for (const Announcement& a : kForms) {
        for (const std::string b : {"", "150 Here\r\n", "230 Ok\r\n200 Type set to I\r\n"}) {
            for (const std::string& e :
                 {std::string(), std::string("226 Done\r\n"), std::string("RETR a\0b\r\n", 10)}) {
                if (a.text.back() != '\n' && !e.empty())
                    continue;
                ++rewrites;
                SCOPED_TRACE(b + a.text + e);
                asked.clear();
                const int logged = capture.count(made(a.port));
                EXPECT_EQ(b + a.rewritten + e, rewrite(b + a.text + e));
                EXPECT_EQ(std::vector<int32_t>{a.port}, asked);
                EXPECT_EQ(logged + 1, capture.count(made(a.port)));
            }
        }
        EXPECT_EQ(a.text.back() == '\n' ? a.rewritten : refusal(a.text), rewrite(a.text, 256, true)) << a.text;
    }
    EXPECT_EQ(rewrites + kForms.size() - 1, capture.lines().size());
    const size_t before = capture.lines().size();
    for (size_t i = 0; i < kForms.size(); i += 2) {
        answer = kForms[i].port;
        EXPECT_EQ(kForms[i].text, rewrite(kForms[i].text));
        answer = -1;
        EXPECT_EQ(refusal(kForms[i].text), rewrite(kForms[i].text));
    }
    EXPECT_EQ(2, capture.count("peerとのFTP接続:127.0.0.1とのd-port=5001 作成失敗."));
    EXPECT_EQ(2, capture.count("peerとのFTP接続:127.0.0.1とのd-port=1025 作成失敗."));
    EXPECT_EQ(before + 4, capture.lines().size()) << "nothing is logged when the port stays";
    const std::string other = std::string("220 Welcome\r\n2270 OK\r\nXPORT 1,2,3,4,5,6\r\nPORTS\r\n\0\xff", 50);
    EXPECT_EQ(other, rewrite(other));
}

// No data connection may go around the tunnel: an announcement that cannot
// be rewritten becomes an error reply or an abort command. Numbers a hostile
// peer writes are range-checked (the sanitizer build catches an overflow).
TEST_F(FtpRewriteTest, AnnouncementsThatCannotBeRewrittenAreRefused)
{
    std::vector<std::string> texts = {
        "227 Entering Passive Mode (192,168,1,20,19)\r\n",
        "227 Entering Passive Mode\r\n",
        "227 OK\r\n",
        "229 Entering Extended Passive Mode (||5001|)\r\n",
        "228 Entering Long Passive Mode (4,16,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,2,19,137)\r\n",
        "228 entering long passive mode (6,4,192,168,1,20,2,19,137)\r\n",
        "PORT 192,168,1,20,4\r\n",
        "PORT\r\n",
        "EPRT |2|::1|1025|\r\n",
        "eprt |2|fe80::1|1025|\r\n",
        "EPRT |1|192.168.1.300|1025|\r\n",
        "LPRT 4,4,192,168,1,20,2,4,1\r\n",
        "lprt 6,16,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,1,2,4,1\r\n"};
    const std::vector<std::string> fine = {"127", "0", "0", "1", "19", "137"};
    for (const std::string n :
         {"99999999999", "-1", "256", "2147483647", "4294967296", "0000000000000000001", "+1", "1e3", ""}) {
        for (int at = 0; at < 6; ++at) {
            std::string list;
            for (int i = 0; i < 6; ++i)
                list += (i ? "," : "") + (i == at ? n : fine[i]);
            texts.push_back("227 Entering Passive Mode (" + list + ")\r\n");
            texts.push_back("PORT " + list + "\r\n");
        }
    }
    for (const std::string n : {"99999999999", "-1", "65536", "0", "2147483647", "4294967296", "+1", "1e3", ""}) {
        texts.push_back("229 Entering Extended Passive Mode (|||" + n + "|)\r\n");
        texts.push_back("EPRT |1|127.0.0.1|" + n + "|\r\n");
    }
    texts.push_back("227 Entering Passive Mode (1,2,3,4,0,0)\r\n");  // port 0
    texts.push_back("PORT 1,2,3,4,256,0\r\n");                       // 65536
    for (const std::string& text : texts)
        EXPECT_EQ(refusal(text), rewrite(text)) << text;
    EXPECT_EQ(std::string("150 Here\r\n") + kFtpRefusedCommand + "NOOP\r\n",
              rewrite("150 Here\r\nLPRT 4,4,1,2,3,4,2,4,1\r\nNOOP\r\n"));
    EXPECT_TRUE(asked.empty());
    EXPECT_TRUE(capture.lines().empty());
}

// One listener per packet, the further announcements refused. What would
// not fit the packet is removed or refused, never passed unchanged. A line
// cut by the end of its packet never asks for a shortened port.
TEST_F(FtpRewriteTest, PacketLimits)
{
    // 231 replies of the shortest form fill a packet of 10 KB.
    std::string many;
    std::string expected = kForms[0].rewritten;
    for (int i = 0; i < 231; ++i) {
        many += "227 Entering Passive Mode (1,2,3,4,19,137)\r\n";
        expected += i > 0 ? kFtpRefusedReply : "";
    }
    ASSERT_LE(many.size(), 10240u);
    EXPECT_EQ(expected, rewrite(many));
    EXPECT_EQ(std::vector<int32_t>{5001}, asked);
    asked.clear();
    EXPECT_EQ(kForms[2].rewritten + "NOOP\r\n" + kFtpRefusedCommand + kFtpRefusedCommand,
              rewrite(kForms[2].text + "NOOP\r\n" + kForms[6].text + kForms[2].text));
    EXPECT_EQ(std::vector<int32_t>{1025}, asked);

    std::string short228;
    for (int i = 0; i < 40; ++i)
        short228 += "228\n";
    const std::string out = rewrite(short228, 0);
    EXPECT_EQ(std::string::npos, out.find("228")) << out;
    EXPECT_EQ(0u, out.size() % (sizeof(kFtpRefusedReply) - 1)) << out;
    hooks.getLocalAddress = [] { return inet_addr("255.255.255.255"); };
    EXPECT_EQ(kFtpRefusedCommand, rewrite("EPRT |1|1.1.1.1|1|\r\n", 0));
    EXPECT_EQ("EPRT |1|255.255.255.255|50000|\r\n", rewrite("EPRT |1|1.1.1.1|1|\r\n"));

    for (const Announcement& a : kForms) {
        for (size_t cut = 0; cut < a.text.size(); ++cut) {
            asked.clear();
            const std::string part = a.text.substr(0, cut);
            const std::string got = rewrite(part);
            for (int32_t p : asked)
                EXPECT_EQ(a.port, p) << "cut " << cut << " of " << a.text;
            EXPECT_TRUE(!asked.empty() || got == part || got == refusal(a.text)) << part << ": " << got;
        }
    }
}

// Every beginning of every form of announcement waits for the rest, nothing else.
TEST(FtpLineBeginning, OnlyWhatMayBecomeAnAnnouncementWaits)
{
    const auto mayBecome = [](const std::string& text) {
        return mayBecomeFtpAnnouncement(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    };
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

}  // namespace
