// The tunnel's FTP control-channel rewriting, and QV_SKYPESTREAM on a fake
// messenger link: the packets it writes and reads, the FTP stream's control
// lines and data-link allow-list.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "core/config_store.h"
#include "core/text.h"
#include "skype/skype_com.h"
#include "tcp/socket_tcp.h"
#include "tcp/tcp_manager.h"
#include "tests/support/fake_api_link.h"
#include "tests/support/tcp_test_util.h"
#include "tests/support/temp_dir.h"
#include "tunnel/ftp_announcement.h"
#include "tunnel/ftp_rewrite.h"
#include "tunnel/skype_stream.h"
#include "wire/a2a_packet.h"

using namespace tcptest;

namespace {

// The FTP control-channel rewriting with a fake data-link maker (listening
// on 50000) and the local address 10.0.0.5.
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

    TempDir dir;
    LogCapture capture;
    QV_FTPREWRITEHOOKS hooks;
    std::vector<int32_t> asked;
    int32_t answer = 50000;
};

// No data connection may go around the tunnel: an announcement that cannot
// be rewritten becomes an error reply or an abort command. Numbers a hostile
// peer writes are range-checked (the sanitizer build catches an overflow).
// One that can points at the local data link, the lines around it kept
// byte for byte; one listener is asked for and logged. The same port leaves
// the text as it is, unlogged; a listener that cannot be made refuses it, and
// so does a last line without its end that the stream could not keep.
TEST_F(FtpRewriteTest, AnnouncementsPointAtTheLocalDataLinkOrAreRefused)
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

    size_t rewrites = 0;
    for (const Announcement& a : kForms) {
        const std::string made = "peerとのFTP接続:127.0.0.1とのd-port=50000/" + std::to_string(a.port) + " 作成";
        for (const std::string b : {"", "150 Here\r\n", "230 Ok\r\n200 Type set to I\r\n"}) {
            for (const std::string& e :
                 {std::string(), std::string("226 Done\r\n"), std::string("RETR a\0b\r\n", 10)}) {
                if (a.text.back() != '\n' && !e.empty())
                    continue;
                ++rewrites;
                SCOPED_TRACE(b + a.text + e);
                asked.clear();
                const int logged = capture.count(made);
                EXPECT_EQ(b + a.rewritten + e, rewrite(b + a.text + e));
                EXPECT_EQ(std::vector<int32_t>{a.port}, asked);
                EXPECT_EQ(logged + 1, capture.count(made));
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

// One listener per packet, the further announcements refused. What would
// not fit the packet is removed or refused, never passed unchanged. A line
// cut by the end of its packet never asks for a shortened port.
TEST_F(FtpRewriteTest, PacketLimitsAndLinesCutByThem)
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

    // Every beginning of every form of announcement waits for the rest,
    // nothing else.
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

constexpr const char* kFtpApp = "CorvaneForFtp0000";
constexpr const char* kHttpApp = "CorvaneForHttp000";
// A refusal is answered before any connect would be in a backlog.
constexpr std::chrono::milliseconds kQuiet{50};

// "user:id hex", as the application hands a READ reply to its streams.
std::string readReply(const char* user, int id, const std::vector<uint8_t>& packet)
{
    std::string hex(packet.size() * 2 + 1, '\0');
    hexEncode(static_cast<int32_t>(packet.size()), packet.data(), hex.data(), hex.size());
    hex.resize(packet.size() * 2);
    return std::string(user) + ":" + std::to_string(id) + " " + hex;
}

// Seq, kind, code, port, result, error and data size of a packet.
std::vector<int> header(const std::vector<uint8_t>& p)
{
    const uint8_t* h = p.data();
    if (p.size() < kA2AHeaderSize)
        return {};
    return {static_cast<int>(a2aSeq(h)), a2aKind(h), a2aCode(h), a2aPort(h), a2aResult(h), a2aError(h), a2aDataSize(h)};
}

std::string payload(const std::vector<uint8_t>& p)
{
    return p.size() < kA2AHeaderSize ? "" : std::string(p.begin() + kA2AHeaderSize, p.end());
}

// "227 ENTERING PASSIVE MODE (127,0,0,1,p1,p2)\r\n" (as the rewriting
// writes it) or "PORT 127,0,0,1,p1,p2\r\n".
std::string announce(int port, bool passive = true)
{
    return (passive ? "227 ENTERING PASSIVE MODE (" : "PORT ") + std::string("127,0,0,1,") + std::to_string(port / 256)
           + "," + std::to_string(port % 256) + (passive ? ")\r\n" : "\r\n");
}

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QV_EVENTLOG::getInstance()->setEnabled(1);
        QV_EVENTLOG::getInstance()->addListener(&capture);
        auto fake = std::make_unique<FakeApiLink>();
        link = fake.get();
        com = std::make_unique<QV_SKYPECOM>(std::move(fake));
        link->attach();
    }
    void TearDown() override
    {
        stream.reset();
        for (int fd : fds)
            close(fd);
        com.reset();
        QV_EVENTLOG::destroyInstance();
    }
    int keep(int fd)
    {
        if (fd >= 0)
            fds.push_back(fd);
        return fd;
    }
    std::unique_ptr<QV_SKYPESTREAM> makeStream(const char* app, int id, int servicePort,
                                               const char* forwardHost = "localhost", int forwardPort = 0)
    {
        auto s = std::make_unique<QV_SKYPESTREAM>(*com, &config);
        s->setPeerUser("peer");
        s->setStreamId(id);
        s->setServicePort(servicePort);
        s->setForwardHost(forwardHost);
        s->setForwardPort(forwardPort);
        s->setApplicationName(app);
        s->setClientApplication(config.isClientMode() != 0);
        s->start();
        s->mark = 1;
        return s;
    }
    void feed(const std::vector<uint8_t>& p) { stream->repRead(readReply("peer", stream->getStreamId(), p).c_str()); }
    const std::vector<std::string>& writes() const { return link->commands; }
    // The stream's packets among the WRITE commands, from index `from` on.
    std::vector<std::vector<uint8_t>> packets(size_t from = 0) const
    {
        const std::string prefix = std::string("ALTER APPLICATION ") + stream->getApplicationName()
                                   + " WRITE peer:" + std::to_string(stream->getStreamId()) + " ";
        std::vector<std::vector<uint8_t>> out;
        for (size_t i = from; i < writes().size(); ++i) {
            if (writes()[i].compare(0, prefix.size(), prefix) != 0)
                continue;
            std::vector<uint8_t> p(writes()[i].size() / 2);
            p.resize(
                static_cast<size_t>(std::max(0, hexDecode(writes()[i].c_str() + prefix.size(), p.data(), p.size()))));
            if (p.size() >= kA2AHeaderSize)
                out.push_back(std::move(p));
        }
        return out;
    }
    // The stream's packet in the last WRITE command; empty when it is none.
    std::vector<uint8_t> last() const
    {
        const auto all = packets(writes().empty() ? 0 : writes().size() - 1);
        return all.empty() ? std::vector<uint8_t>{} : all[0];
    }
    // As the messenger's reports and the 20 ms timer would.
    void pump()
    {
        stream->setCanSend();
        stream->sendEarly();
        stream->setCanSend();
        stream->intervalTimer();
    }
    // Pumps until the stream wrote a packet of that kind and code (and port,
    // unless -1) from command `from` on; empty when none came.
    std::vector<uint8_t> awaitPacket(uint16_t kind, uint16_t code, size_t from = 0, int port = -1)
    {
        std::vector<uint8_t> found;
        waitUntil([&] {
            pump();
            for (const auto& p : packets(from))
                if (a2aKind(p.data()) == kind && a2aCode(p.data()) == code && (port < 0 || a2aPort(p.data()) == port))
                    found = p;
            return !found.empty();
        });
        return found;
    }

    TempDir dir;
    QV_CONFIGSTORE config;
    LogCapture capture;
    std::unique_ptr<QV_SKYPECOM> com;
    FakeApiLink* link = nullptr;
    std::unique_ptr<QV_SKYPESTREAM> stream;
    std::vector<int> fds;
    uint32_t seq = 0;
};

// Replies for another stream or malformed change nothing; a NULL packet
// copies the peer's link states. An overlong WRITE is dropped as a success:
// 4 + 17 + hex + 37 against 65534. The keep-alive goes on the 601st idle
// tick; a failed one keeps canSend, uses its seq and is retried at the next
// tick.
TEST_F(StreamTest, RepliesCommandTextsAndKeepAlive)
{
    stream = makeStream(kHttpApp, 1, 80);
    auto twelve = makeStream(kHttpApp, 12, 80);
    const std::vector<uint8_t> null = packet(kA2AKindNull, 0, 0);
    const std::string hex = readReply("", 0, null).substr(3);
    std::vector<uint8_t> badHeader = null;
    a2aWrite16(badHeader.data(), kA2AOffHeaderSize, 41);
    std::vector<uint8_t> shortData = packet(kA2AKindData, 0, 80, "hello");
    const std::string good = readReply("peer", 1, shortData);
    setA2ADataSize(shortData.data(), 10);
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
        ASSERT_EQ(0u, stream->getReceivedBytes()) << text.substr(0, 100);
    }
    EXPECT_EQ(1u, twelve->getRecvSeq());
    EXPECT_TRUE(writes().empty());

    std::vector<uint8_t> links = null;
    setA2AMainLinkState(links.data(), 2);
    setA2AMainLinkFree(links.data(), 17);
    setA2ADataLinkState(links.data(), 1);
    setA2ADataLinkFree(links.data(), 5);
    feed(links);
    EXPECT_EQ((std::vector<int>{2, 17, 1, 5}),
              (std::vector<int>{stream->getPeerMainState(), stream->getPeerMainFree(), stream->getPeerDataLinkState(),
                                stream->getPeerDataLinkFree()}));
    EXPECT_TRUE(writes().empty());

    stream = makeStream(kFtpApp, 1, 21);
    EXPECT_EQ(1, stream->sendNullPacket());
    EXPECT_EQ(std::vector<std::string>{"ALTER APPLICATION CorvaneForFtp0000 WRITE peer:1 2800000002000100"
                                       + std::string(64, '0')},
              writes());
    EXPECT_EQ(0, stream->getCanSend());
    EXPECT_EQ(1, stream->disconnect());
    EXPECT_EQ("ALTER APPLICATION CorvaneForFtp0000 DISCONNECT peer:1", writes().back());

    stream = makeStream(kHttpApp, 3, 8080);
    link->commands.clear();
    const std::string fits(65534 - 4 - 17 - 37, 'a');
    EXPECT_EQ(1, stream->writeHex((fits + "a").c_str()));
    EXPECT_EQ(1, stream->writeHex(fits.c_str()));
    EXPECT_EQ(std::vector<std::string>{"ALTER APPLICATION CorvaneForHttp000 WRITE peer:3 " + fits}, writes());

    link->commands.clear();
    stream->setCanSend();
    for (int i = 0; i < 600; ++i)
        stream->intervalTimer();
    EXPECT_TRUE(writes().empty()) << "nothing before the 601st tick";
    link->setFailing(true);
    stream->intervalTimer();
    EXPECT_EQ(1, stream->getCanSend());
    link->setFailing(false);
    link->attach();
    link->commands.clear();
    stream->intervalTimer();
    EXPECT_EQ((std::vector<int>{1, kA2AKindNull, 0, 0, 0, 0, 0}), header(last())) << "the failed write used its seq";
    EXPECT_EQ(1u, writes().size());
    EXPECT_EQ(0, stream->getIdleTicks());
}

// The server application answers the peer's CONNECT-REQUEST once, when the
// connect is done, with the next seq. A sequence gap disconnects the stream
// every time and still delivers; the peer's end comes after its data. Data
// for the peer waits while canSend is 0 and goes as soon as it is 1.
TEST_F(StreamTest, HttpStreamsOfTheServerAndTheClientApplication)
{
    int port = 0;
    const int listener = keep(listenOn(&port));
    stream = makeStream(kHttpApp, 1, 80, "localhost", port);
    ASSERT_EQ(1, stream->sendNullPacket());
    stream->setCanSend();
    feed(packet(kA2AKindControl, kA2ACodeConnectRequest, 80, "", 0, seq++));
    EXPECT_EQ(1u, writes().size()) << "the answer waits for the connect";
    const std::vector<uint8_t> reply = awaitPacket(kA2AKindControl, kA2ACodeConnectReply);
    EXPECT_EQ((std::vector<int>{1, kA2AKindControl, kA2ACodeConnectReply, port, kA2AResultConnected, 0, 0}),
              header(reply));
    EXPECT_TRUE(capture.waitFor("peer:TCP接続要求: localhost Port=" + std::to_string(port) + " 接続"));
    EXPECT_TRUE(capture.has("TCP接続: localhost ポート番号=" + std::to_string(port)));
    const int server = acceptWithin(listener);
    ASSERT_GE(server, 0);
    for (int i = 0; i < 20; ++i)
        pump();
    const auto all = packets();
    EXPECT_EQ(1, std::count_if(all.begin(), all.end(), [](const auto& p) { return a2aCode(p.data()) != 0; }));
    link->commands.clear();

    const std::string disconnect = "ALTER APPLICATION CorvaneForHttp000 DISCONNECT peer:1";
    feed(packet(kA2AKindData, 0, 80, "a", 0, seq++));
    feed(packet(kA2AKindData, 0, 80, "b", 0, seq++));
    EXPECT_TRUE(writes().empty());
    // Ahead of the expected seq, or behind it.
    for (uint32_t i = 0; i < 3; ++i) {
        feed(packet(kA2AKindData, 0, 80, std::string(1, static_cast<char>('c' + i)), 0, seq + (i == 2 ? 0 : 1 + i)));
        EXPECT_EQ(std::vector<std::string>(i + 1, disconnect), writes());
        EXPECT_EQ(seq + 1 + i, stream->getRecvSeq());
    }
    EXPECT_EQ("abcde", readSome(server, 5));
    EXPECT_EQ(5u, stream->takeReceivedBytes());
    link->commands.clear();

    QV_SOCKETTCP* socket = stream->getTcpManager()->getMainSocket();
    const int idle = stream->getIdleTicks();
    ASSERT_EQ(1, stream->sendNullPacket());
    ASSERT_TRUE(writeAll(server, "abc"));
    ASSERT_TRUE(waitUntil([&] { return socket->getOutboundQueue()->freeSlots() == QV_QUE::kCapacity - 1; }));
    for (int i = 0; i < 15; ++i)
        stream->intervalTimer();
    stream->sendEarly();
    EXPECT_EQ(1u, writes().size());
    EXPECT_EQ(29, socket->getOutboundQueue()->freeSlots()) << "the packet stays queued while canSend is 0";
    EXPECT_EQ(idle, stream->getIdleTicks()) << "ticks while canSend is 0 do not count";
    stream->setCanSend();
    stream->sendEarly();
    ASSERT_EQ(2u, writes().size());
    EXPECT_EQ((std::vector<int>{3, kA2AKindData, 0, port, 0, 0, 3}), header(last()));
    EXPECT_EQ("abc", payload(last()));
    EXPECT_EQ(3u, stream->takeSentBytes());

    seq = stream->getRecvSeq();
    feed(packet(kA2AKindData, 0, 80, "xyz", 0, seq++));
    feed(packet(kA2AKindControl, kA2ACodeDisconnectRequest, 80, "", 0, seq++));
    EXPECT_EQ("xyz", readSome(server, 3));
    EXPECT_EQ(End::Orderly, endOf(server));
    EXPECT_TRUE(capture.has("peer:TCP切断要求: localhost Port=80 切断"));
    close(server);

    // A connect that fails is answered NG with the error.
    const std::string closed = std::to_string(port = freePort());
    stream = makeStream(kHttpApp, 2, 80, "127.0.0.1", port);
    feed(packet(kA2AKindControl, kA2ACodeConnectRequest, 80));
    EXPECT_EQ((std::vector<int>{0, kA2AKindControl, kA2ACodeConnectReply, port, kA2AResultFailed, ECONNREFUSED, 0}),
              header(awaitPacket(kA2AKindControl, kA2ACodeConnectReply)));
    EXPECT_TRUE(capture.has("TCP接続(外部): 127.0.0.1 ポート番号=" + closed));
    EXPECT_TRUE(capture.waitFor("TCP接続失敗: 127.0.0.1 ポート番号=" + closed));
    EXPECT_TRUE(capture.has("peer:TCP接続要求: 127.0.0.1 Port=" + closed + " 接続に失敗"));

    // The client application connects only from its own listener, never on
    // the peer's CONNECT-REQUEST. Its local client's CONNECT-REQUEST carries
    // the stream's link states.
    config.setClientMode(1);
    int target = 0;
    const int forward = keep(listenOn(&target));
    const int servicePort = freePort();
    stream = makeStream(kHttpApp, 3, servicePort, "127.0.0.1", target);
    ASSERT_TRUE(waitUntil([&] { return stream->isMainListening(); }));
    feed(packet(kA2AKindControl, kA2ACodeConnectRequest, 80));
    EXPECT_EQ((std::vector<int>{0, kA2AKindControl, kA2ACodeConnectReply, 80, kA2AResultFailed, EACCES, 0}),
              header(last()));
    EXPECT_TRUE(capture.has("peer:TCP接続要求: 127.0.0.1 Port=" + std::to_string(target) + " 接続に失敗"));
    EXPECT_TRUE(capture.has("peer:TCP接続要求: Port=80 拒否(クライアント側は接続要求を受けない)"));
    EXPECT_LT(acceptWithin(forward, kQuiet), 0) << "the forward host was connected";

    stream->setCanSend();
    ASSERT_GE(keep(connectTo("127.0.0.1", servicePort)), 0);
    QV_QUE* up = stream->getTcpManager()->getMainSocket()->getOutboundQueue();
    ASSERT_TRUE(waitUntil([&] { return up->freeSlots() == QV_QUE::kCapacity - 1; }));
    stream->intervalTimer();
    const std::vector<uint8_t> p = last();
    EXPECT_EQ((std::vector<int>{1, kA2AKindControl, kA2ACodeConnectRequest, servicePort, 0, 0, 0}), header(p));
    ASSERT_FALSE(p.empty());
    EXPECT_EQ((std::vector<int>{2, 30, 0}),
              (std::vector<int>{a2aMainLinkState(p.data()), a2aMainLinkFree(p.data()), a2aDataLinkState(p.data())}));
    EXPECT_TRUE(stream->isMainConnected());
}

// The server application's FTP stream with its control connection up;
// `local` is the FTP server's end.
class FtpStreamTest : public StreamTest {
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        int ftpPort = 0;
        listener = keep(listenOn(&ftpPort));
        stream = makeStream(kFtpApp, 1, 21, "127.0.0.1", ftpPort);
        stream->setAnnouncementClock([this] { return now; });
        ASSERT_TRUE(controlConnects());
        dataListener = keep(listenOn(&dataPort));
    }
    bool controlConnects()
    {
        feed(packet(kA2AKindControl, kA2ACodeConnectRequest, 21, "", 0, seq++));
        local = keep(acceptWithin(listener));
        return local >= 0 && waitUntil([&] { return stream->isMainConnected(); });
    }
    void peerSends(const std::string& data) { feed(packet(kA2AKindData, 0, 21, data, 0, seq++)); }
    bool localSays(const std::string& text)
    {
        const size_t from = writes().size();
        return writeAll(local, text) && payload(awaitPacket(kA2AKindData, 0, from)) == text;
    }
    QV_SOCKETTCP* dataLink() { return stream->getTcpManager()->getDataLinkSocket(); }
    // The peer asks for a data-link connect to dataPort: connected and
    // logged, or refused with EACCES, logged, and nothing connected.
    void expectDataLink(bool allowed, const std::string& why)
    {
        SCOPED_TRACE(why);
        const size_t from = writes().size();
        const std::string port = std::to_string(dataPort);
        feed(packet(kA2AKindDataLinkControl, kA2ACodeConnectRequest, dataPort, "", 0, seq++));
        const auto a = awaitPacket(kA2AKindDataLinkControl, kA2ACodeConnectReply, from, dataPort);
        ASSERT_FALSE(a.empty());
        EXPECT_EQ(allowed ? kA2AResultConnected : kA2AResultFailed, a2aResult(a.data()));
        EXPECT_EQ(allowed ? 0 : EACCES, a2aError(a.data()));
        EXPECT_EQ(allowed, keep(acceptWithin(dataListener, allowed ? kWait : kQuiet)) >= 0);
        EXPECT_TRUE(
            capture.has("peer:TCP接続要求(d-link): 127.0.0.1 Port=" + port + (allowed ? " 接続" : " 接続に失敗")));
        EXPECT_TRUE(
            allowed
            || capture.has("peer:TCP接続要求(d-link): Port=" + port + " 拒否(こちらのFTPが通知していないポート)"));
        EXPECT_TRUE(!allowed || capture.waitFor("TCP接続(datalink): 127.0.0.1 ポート番号=" + port));
    }

    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    int listener = -1, local = -1, dataListener = -1, dataPort = 0;
};

// A data-link connect goes only to a port this side's own FTP program
// announced on the control connection that is up, once, within its
// lifetime; anything else is refused, and nothing is connected. Control lines cut by packets: an
// announcement cut in two is rewritten whole, what precedes it goes at
// once. A kept beginning with a packet of the largest size arrives whole;
// one that grows too long is refused; one dies with its control connection.
TEST_F(FtpStreamTest, DataLinkAllowListAndControlLinesCutByPackets)
{
    EXPECT_EQ(kA2AResultConnected, header(awaitPacket(kA2AKindControl, kA2ACodeConnectReply)).at(4));
    expectDataLink(false, "nothing announced");
    EXPECT_EQ(nullptr, dataLink()) << "the manager was asked";
    // Not this side's announcement: the peer's PORT, or one from the server.
    peerSends(announce(dataPort, false));
    EXPECT_FALSE(readSome(local, 1).empty());
    expectDataLink(false, "announced by the peer");
    ASSERT_TRUE(localSays(announce(dataPort, false)));
    expectDataLink(false, "a command from the server");

    std::string reply = announce(dataPort);
    reply.insert(reply.size() - 2, ".");
    const size_t cut = reply.find(',') + 3;
    ASSERT_TRUE(localSays("150 Here\r\n" + reply.substr(0, cut)));
    ASSERT_TRUE(localSays(reply.substr(cut)));
    expectDataLink(true, "announced in two packets");
    feed(packet(kA2AKindDataLinkControl, kA2ACodeDisconnectRequest, dataPort, "", 0, seq++));
    ASSERT_TRUE(waitUntil([&] { return dataLink()->isRunning() == 0; }));
    expectDataLink(false, "the second time");

    ASSERT_TRUE(localSays("229 Entering Extended Passive Mode (|||" + std::to_string(dataPort) + "|)\r\n"));
    now += std::chrono::seconds(60);
    expectDataLink(true, "extended passive, 60 s after");
    ASSERT_TRUE(localSays(announce(dataPort)));
    now += std::chrono::seconds(61);
    expectDataLink(false, "61 s after");

    for (const std::string& command : writes())
        EXPECT_EQ(std::string::npos, command.find(" DISCONNECT ")) << command;

    // The local server ends the control connection; the peer is told.
    ASSERT_TRUE(localSays(announce(dataPort)));
    const size_t from = writes().size();
    shutdown(local, SHUT_RDWR);
    ASSERT_FALSE(awaitPacket(kA2AKindControl, kA2ACodeDisconnectRequest, from).empty());
    expectDataLink(false, "control connection over");

    ASSERT_TRUE(controlConnects());
    peerSends("150 Here\r\n227 Entering Passive Mode (10,0,0,9,19,1");
    EXPECT_EQ("150 Here\r\n", readSome(local, 10, kQuiet * 40));
    peerSends("37)\r\n150 Here\r\n");
    ASSERT_NE(nullptr, dataLink());
    const std::string rewritten = announce(dataLink()->getBoundPort());
    EXPECT_EQ(rewritten + "150 Here\r\n", readSome(local, rewritten.size() + 10));
    EXPECT_EQ(1, capture.count("peerとのFTP接続:127.0.0.1とのd-port=" + std::to_string(dataLink()->getBoundPort())
                               + "/5001 作成"));

    const std::string full = "137)\r\n" + std::string(kA2AMaxData - 8, 'x') + "\r\n";
    peerSends("211-Status\r\n227 Entering Passive Mode (10,0,0,9,19,");
    peerSends(full);
    const std::string want = "211-Status\r\n" + announce(dataLink()->getBoundPort()) + full.substr(6);
    const std::string all = readSome(local, want.size());
    EXPECT_TRUE(want == all) << all.size() << " of " << want.size();

    peerSends("2");
    peerSends("27 Entering Passive Mode (");
    for (int i = 0; i < 10; ++i)
        peerSends(std::string(100, ' '));
    peerSends("10,0,0,9,19,137)\r\n");
    const std::string refused = readSome(local, sizeof(kFtpRefusedReply) - 1);
    EXPECT_EQ(kFtpRefusedReply, refused);
    EXPECT_EQ(std::string(700, ' ') + "10,0,0,9,19,137)\r\n", readSome(local, 718));  // after 327 bytes kept

    // A plain end counts for the service port only; the peer's half-close
    // names the FTP server's port, which may be another, and counts.
    peerSends("226 Done\r\n22");
    const size_t before = capture.lines().size();
    feed(packet(kA2AKindControl, kA2ACodeDisconnectRequest, 2121, "", 0, seq++));
    EXPECT_EQ(before, capture.lines().size());
    EXPECT_EQ(seq, stream->getRecvSeq());
    feed(packet(kA2AKindControl, kA2ACodeDisconnectRequest, 2121, "", kA2ADisconnectSendEnd, seq++));
    EXPECT_EQ("226 Done\r\n", readSome(local, 64));
    EXPECT_EQ(End::Orderly, endOf(local));
    EXPECT_TRUE(capture.has("peer:TCP切断要求: 127.0.0.1 Port=2121 切断"));
    shutdown(local, SHUT_RDWR);
    ASSERT_TRUE(waitUntil([&] { return !stream->isMainConnected(); }));
    ASSERT_TRUE(controlConnects());
    const std::string text = "7 Entering Passive Mode (10,0,0,9,19,137)\r\n";
    peerSends(text);
    EXPECT_EQ(text, readSome(local, text.size()));
}

}  // namespace
