// The queue, the text helpers, the INI file and the event log.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/config_store.h"
#include "core/eventlog.h"
#include "core/profile.h"
#include "core/que.h"
#include "core/text.h"
#include "tests/support/temp_dir.h"

namespace {

using Lines = std::vector<std::string>;

// An entry fills at most one slot of 30976 bytes; thirty entries fit, the
// thirty-first is refused; order holds across the wrap; reset empties.
TEST(Que, CapacityOrderWrapAndReset)
{
    QV_QUE q;
    std::vector<uint8_t> out(QV_QUE::kSlotSize, 0xee);
    EXPECT_EQ(0, q.dequeue(out.data()));
    std::vector<uint8_t> big(30976, 0x5a), tooBig(30977, 0x11);
    EXPECT_EQ(1, q.enqueue(big.data(), 30976));
    EXPECT_EQ(0, q.enqueue(tooBig.data(), 30977));
    ASSERT_EQ(1, q.dequeue(out.data()));
    EXPECT_EQ(big, out);
    int nextIn = 0, nextOut = 0;
    auto get = [&] {
        int v;
        std::memcpy(&v, out.data(), sizeof(v));
        EXPECT_EQ(nextOut++, v);
    };
    for (; nextIn < 30; ++nextIn) {
        ASSERT_EQ(1, q.enqueue(reinterpret_cast<uint8_t*>(&nextIn), 4)) << nextIn;
        EXPECT_EQ(29 - nextIn, q.freeSlots());
        EXPECT_EQ(nextIn < 29, q.hasRoom());
    }
    uint8_t one = 1;
    EXPECT_EQ(0, q.enqueue(&one, 1));
    for (; nextIn < 60; ++nextIn) {
        ASSERT_EQ(1, q.dequeue(out.data()));
        get();
        ASSERT_EQ(1, q.enqueue(reinterpret_cast<uint8_t*>(&nextIn), 4));
    }
    while (q.dequeue(out.data()))
        get();
    EXPECT_EQ(60, nextOut);
    ASSERT_EQ(1, q.enqueue(&one, 1));
    q.reset();
    EXPECT_EQ(30, q.freeSlots());
    EXPECT_EQ(0, q.dequeue(out.data()));
}

TEST(HexCodec, EncodesLowerCaseRoundTripsEveryByteAndRefusesBadInput)
{
    const uint8_t bytes[] = {0x00, 0x7f, 0xff};
    char small[6] = "xxxxx";
    EXPECT_EQ(0, hexEncode(3, bytes, small, sizeof(small)));
    EXPECT_STREQ("", small);
    std::vector<uint8_t> all(256), back(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    std::vector<char> text(513);
    ASSERT_EQ(1, hexEncode(256, all.data(), text.data(), text.size()));
    EXPECT_EQ(0, std::strncmp(text.data(), "000102", 6));
    EXPECT_STREQ("fdfeff", text.data() + 506);
    ASSERT_EQ(256, hexDecode(text.data(), back.data(), back.size()));
    EXPECT_EQ(all, back);
    // Upper case reads too; odd length is refused untouched; a bad digit
    // reads as zero; too long for the destination is refused.
    uint8_t buf[8] = {0xee, 0xee, 9, 9, 9, 9, 0xee, 0xee};
    EXPECT_EQ(0, hexDecode("abc", buf + 2, 4));
    EXPECT_EQ(9, buf[2]);
    EXPECT_EQ(2, hexDecode("zzFf", buf + 2, 4));
    EXPECT_EQ(0, buf[2]);
    EXPECT_EQ(0xff, buf[3]);
    EXPECT_EQ(0, hexDecode("0102030405", buf + 2, 4));
    EXPECT_EQ(4, hexDecode("01020304", buf + 2, 4));
    EXPECT_EQ(0xee, buf[1]);
    EXPECT_EQ(0xee, buf[6]);
}

// A token ends at white space, at the delimiter or, without one, at
// punctuation (both consumed); an overlong one is cut and told.
TEST(NextToken, TokensAndWhatFollowsThem)
{
    struct Case {
        const char *src, *delimiter, *token, *rest;  // rest nullptr: the end was reached
    } cases[] = {
        {"  192,168", ",", "192", "168"},
        {"168", ",", "168", nullptr},
        {"1,2)\r\n", nullptr, "1", "2)\r\n"},
        {"ab cd", ",", "ab", "cd"},
        {"\xef\xbc\xa6\xef\xbc\xb4 x", nullptr, "\xef\xbc\xa6\xef\xbc\xb4", "x"},  // "ＦＴＰ"
    };
    char tok[256];
    for (const Case& c : cases) {
        EXPECT_STREQ(c.rest, nextToken(c.src, tok, c.delimiter, sizeof(tok))) << c.src;
        EXPECT_STREQ(c.token, tok) << c.src;
    }
    std::string src = std::string(300, 'a') + " next";
    bool tooLong = false;
    EXPECT_STREQ("next", nextToken(src.c_str(), tok, nullptr, sizeof(tok), &tooLong));
    EXPECT_TRUE(tooLong);
    EXPECT_EQ(255u, std::strlen(tok));
}

TEST(ListenAddress, OnlyTheFourPartFormNamesAnAddress)
{
    uint32_t address = 0;
    const std::pair<const char*, uint32_t> good[] = {
        {"127.0.0.1", INADDR_LOOPBACK}, {"0.0.0.0", INADDR_ANY}, {"192.0.2.7", 0xc0000207u}};
    for (const auto& [text, value] : good) {
        ASSERT_TRUE(parseListenAddress(text, &address)) << text;
        EXPECT_EQ(htonl(value), address) << text;
    }
    // Short, octal and hexadecimal forms read as other addresses elsewhere
    // ("0" as every address); names and blanks are not addresses.
    address = 12345;
    for (const char* bad : {"", "0", "127.1", "0x7f.0.0.1", "192.168.1", "256.0.0.1", "1.2.3.4.5", "localhost",
                            " 127.0.0.1", "127.0.0.1 x", "::1"})
        EXPECT_FALSE(parseListenAddress(bad, &address)) << "'" << bad << "'";
    EXPECT_FALSE(parseListenAddress(nullptr, &address));
    EXPECT_EQ(12345u, address);
}

int modeOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

class ProfileTest : public testing::Test {
protected:
    std::string ini() const { return dir.file("CorvaneForTcp.ini"); }
    std::string lines() const
    {
        std::string text = readFile(ini());
        std::erase(text, '\r');
        return text;
    }
    TempDir dir;
};

// The INI file names contacts and hosts: it is the owner's alone, whatever
// the umask; a file someone left readable is closed up by the next write,
// which keeps the other keys and sections and stores Japanese in cp932.
TEST_F(ProfileTest, WritesKeepOtherKeysUseCp932AndLeaveTheFileTheOwnersAlone)
{
    mode_t saved = ::umask(022);
    ASSERT_TRUE(profile::writeString("CLIENT", "AUTOCONNECTUSER", "山田", dir.file("new.ini")));
    EXPECT_EQ(0600, modeOf(dir.file("new.ini")));
    writeFile(ini(), "[USER]\r\nNOTE=keep me\r\n[SYSTEM]\r\nAPPMODE=0\r\nMYKEY=mine\r\n");
    ::chmod(ini().c_str(), 0644);
    ASSERT_TRUE(profile::writeStrings("SYSTEM", {{"APPMODE", "1"}, {"SOUNDMODE", "0"}}, ini()));
    ASSERT_TRUE(profile::writeString("CLIENT", "AUTOCONNECTUSER", "山田", ini()));
    ::umask(saved);
    EXPECT_EQ(0600, modeOf(ini()));
    EXPECT_FALSE(fileExists(ini() + ".tmp"));
    EXPECT_EQ(1, profile::getInt("SYSTEM", "APPMODE", 9, ini()));
    EXPECT_EQ(0, profile::getInt("SYSTEM", "SOUNDMODE", 9, ini()));
    EXPECT_EQ("mine", profile::getString("SYSTEM", "MYKEY", "", ini()));
    EXPECT_EQ("keep me", profile::getString("USER", "NOTE", "", ini()));
    EXPECT_NE(std::string::npos, readFile(ini()).find("AUTOCONNECTUSER=\x8e\x52\x93\x63"));
    EXPECT_EQ("山田", profile::getString("CLIENT", "AUTOCONNECTUSER", "", ini()));

    // Numbers are read up to their first other character; strings are cut.
    writeFile(ini(), "[SYSTEM]\r\nA=42abc\r\nB=abc\r\nC=-5\r\nD=\r\nE=0021\r\n[SERVER]\r\nFOWERDHOST1="
                         + std::string(300, 'h') + "\r\n");
    const std::pair<const char*, int> ints[] = {{"A", 42}, {"B", 0}, {"C", 0}, {"D", 0}, {"E", 21}, {"APPMODE", 7}};
    for (const auto& [key, value] : ints)
        EXPECT_EQ(value, profile::getInt("SYSTEM", key, 7, ini())) << key;
    EXPECT_EQ(9, profile::getInt("SERVER", "A", 9, ini())) << "a key of another section";
    EXPECT_EQ(std::string(260, 'h'), profile::getString("SERVER", "FOWERDHOST1", "", ini()));
}

// A missing file loads the defaults. Each setting is read from its own key of
// its own section and saved to it, keys of other sections kept. Any APPMODE
// but 0 is the client, saved as 1; a LISTENADDRESS that names no address is
// kept as written (the listeners fall back to loopback).
TEST_F(ProfileTest, EveryKeyIsReadFromAndSavedToItsSection)
{
    QV_CONFIGSTORE fresh;
    fresh.load();
    fresh.save();
    EXPECT_EQ(
        "[SYSTEM]\nAPPMODE=0\nENABLEUSER=0\nENABLEPORT1=1\nENABLEPORT2=1\nENABLEPORT3=1\nENABLEPORT4=1\n"
        "ENABLEPORT5=1\nOPENWINDOW=0\nSOUNDMODE=1\n\n\n[SERVER]\nFOWERDHOST1=127.0.0.1\nFOWERDHOST2=127.0.0.1\n"
        "FOWERDHOST3=127.0.0.1\nFOWERDHOST4=127.0.0.1\nFOWERDHOST5=127.0.0.1\nFOWERDPORT1=21\nFOWERDPORT2=80\n"
        "FOWERDPORT3=2401\nFOWERDPORT4=5900\nFOWERDPORT5=9023\n\n\n[CLIENT]\nFTPPORT=21\nHTTPPORT=80\nCVSPORT=2401\n"
        "GENPORT1=5900\nGENPORT2=9023\nAUTOCONNECT=0\nAUTOCONNECTUSER=\nLISTENADDRESS=127.0.0.1\n",
        lines());
    const std::string all =
        "[SYSTEM]\nAPPMODE=1\nENABLEUSER=1\nENABLEPORT1=0\nENABLEPORT2=1\nENABLEPORT3=0\nENABLEPORT4=1\nENABLEPORT5=0\n"
        "OPENWINDOW=1\nSOUNDMODE=0\n\n\n[SERVER]\nFOWERDHOST1=h1.test\nFOWERDHOST2=h2.test\nFOWERDHOST3=h3.test\n"
        "FOWERDHOST4=h4.test\nFOWERDHOST5=h5.test\nFOWERDPORT1=1001\nFOWERDPORT2=1002\nFOWERDPORT3=1003\n"
        "FOWERDPORT4=1004\nFOWERDPORT5=1005\n\n\n[CLIENT]\nFTPPORT=2001\nHTTPPORT=2002\nCVSPORT=2003\nGENPORT1=2004\n"
        "GENPORT2=2005\nAUTOCONNECT=1\nAUTOCONNECTUSER=auto@pc.test\nLISTENADDRESS=192.0.2.7\n";
    std::string crlf;
    for (char c : all)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    writeFile(ini(), crlf);
    QV_CONFIGSTORE config;
    config.load();
    EXPECT_EQ(2005, config.getServicePort(4));
    EXPECT_EQ(1004, config.getForwardPort(3));
    EXPECT_STREQ("h2.test", config.getForwardHost(1));
    EXPECT_EQ(1, config.isServiceEnabled(3));
    writeFile(ini(), "[LOG]\r\nCOUNT=17\r\n");
    config.save();
    EXPECT_EQ("[LOG]\nCOUNT=17\n\n\n" + all, lines());
    writeFile(ini(), "[SYSTEM]\r\nAPPMODE=2\r\n[CLIENT]\r\nLISTENADDRESS=192.168.1\r\n");
    QV_CONFIGSTORE odd;
    odd.load();
    EXPECT_EQ(1, odd.isClientMode());
    odd.save();
    EXPECT_EQ(1, profile::getInt("SYSTEM", "APPMODE", 0, ini()));
    EXPECT_EQ("192.168.1", profile::getString("CLIENT", "LISTENADDRESS", "", ini()));
}

class Recorder final : public QV_EVENTLOGLISTENER {
public:
    void notifyLogLine(const char* line) override { lines.emplace_back(line); }
    Lines lines;
};

// "YYYY/MM/DD hh:mm:ss:" (today) then the tag, a colon and the text.
bool isLine(const std::string& line, const std::string& tag, const std::string& text)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char today[16];
    std::strftime(today, sizeof(today), "%Y/%m/%d ", &local);
    return line.size() > 20 && line.compare(0, 11, today) == 0 && line[13] == ':' && line[16] == ':'
           && line.substr(19) == ":" + tag + ":" + text;
}

class EventLogTest : public ProfileTest {
protected:
    void TearDown() override { QV_EVENTLOG::destroyInstance(); }
    QV_EVENTLOG* open(int enabled = 1)
    {
        QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
        log->setEnabled(enabled);
        log->addListener(&rec);
        return log;
    }
    std::string logFile(int n) const { return dir.file("LOG" + std::to_string(n) + ".log"); }
    int logKey(const char* key) const { return profile::getInt("LOG", key, 99, ini()); }
    Lines fileLines(int n) const
    {
        Lines out;
        std::string text = readFile(logFile(n));
        for (size_t end; (end = text.find("\r\n")) != std::string::npos; text.erase(0, end + 2))
            out.push_back(text.substr(0, end));
        EXPECT_EQ("", text) << "a line without CR LF";
        return out;
    }
    QV_CONFIGSTORE config;
    Recorder rec;
};

// Nothing happens until enabled. Lines reach the listeners and the file in
// cp932 with CR LF, counted in the INI file; the closing line goes to the
// file only. Formatted text is cut at a character boundary.
TEST_F(EventLogTest, LinesCarryDateTagAndTextToListenersAndTheCp932File)
{
    QV_EVENTLOG* log = open(0);
    log->write(2, "too early");
    EXPECT_TRUE(rec.lines.empty());
    EXPECT_FALSE(fileExists(ini()));
    log->setEnabled(1);
    const char* tags[] = {"ER", "WA", "EV", "DE"};
    for (int level = 0; level < 4; ++level)
        log->write(level, tags[level]);
    log->write(4, "dropped");
    log->write(-1, "untagged");
    // "a" then 60 double-byte characters: byte 99 would fall inside one.
    std::string text = "a", cut = "a";
    for (int i = 0; i < 60; ++i)
        text += "あ";
    for (int i = 0; i < 49; ++i)
        cut += "あ";
    log->writef(2, "%s", text.c_str());
    log->write(2, "接続しました");
    ASSERT_EQ(7u, rec.lines.size());
    for (int level = 0; level < 4; ++level)
        EXPECT_TRUE(isLine(rec.lines[level], tags[level], tags[level])) << rec.lines[level];
    EXPECT_TRUE(isLine(rec.lines[4], "", "untagged")) << rec.lines[4];
    EXPECT_TRUE(isLine(rec.lines[5], "EV", cut)) << rec.lines[5];
    // 接続しました in cp932
    EXPECT_NE(std::string::npos, readFile(logFile(0)).find(":EV:\x90\xda\x91\xb1\x82\xb5\x82\xdc\x82\xb5\x82\xbd\r\n"));
    const Lines lines = fileLines(0);
    ASSERT_EQ(7u, lines.size());
    EXPECT_EQ(Lines(rec.lines.begin(), rec.lines.begin() + 5), Lines(lines.begin(), lines.begin() + 5));
    EXPECT_EQ(7, logKey("COUNT"));
    QV_EVENTLOG::destroyInstance();
    EXPECT_EQ(7u, rec.lines.size());
    EXPECT_TRUE(isLine(fileLines(0).at(7), "EV", "END CorvaneForTcp -log close-"));
}

// The 2000th line moves to the other file, which starts anew, the owner's
// alone whatever the umask; a file left readable is closed up on the next
// line. Restore replays the older file first, in pieces of at most 1023
// bytes, without writing them again.
TEST_F(EventLogTest, RotationOwnerOnlyFilesAndRestore)
{
    mode_t saved = ::umask(022);
    writeFile(ini(), "[LOG]\r\nINDEX=1\r\nCOUNT=1999\r\n[SYSTEM]\r\nAPPMODE=1\r\n");
    writeFile(logFile(0), "old line\r\n");
    writeFile(logFile(1), "older line\r\n");
    QV_EVENTLOG* log = open();
    log->write(2, "last of LOG1");
    EXPECT_FALSE(fileExists(logFile(0)));
    auto one = fileLines(1);
    ASSERT_EQ(2u, one.size());
    EXPECT_TRUE(isLine(one[1], "EV", "last of LOG1"));
    EXPECT_EQ(0, logKey("INDEX"));
    EXPECT_EQ(0, logKey("COUNT"));
    EXPECT_EQ(1, profile::getInt("SYSTEM", "APPMODE", 0, ini()));
    log->write(2, "first of LOG0");
    auto zero = fileLines(0);
    ASSERT_EQ(1u, zero.size());
    EXPECT_TRUE(isLine(zero[0], "EV", "first of LOG0"));
    EXPECT_EQ(1, logKey("COUNT"));
    EXPECT_EQ(0600, modeOf(logFile(0)));
    writeFile(logFile(0), "kept\r\n");
    ::chmod(logFile(0).c_str(), 0644);
    log->write(2, "narrowed");
    ::umask(saved);
    EXPECT_EQ(0600, modeOf(logFile(0)));
    EXPECT_EQ("kept", fileLines(0)[0]);
    QV_EVENTLOG::destroyInstance();
    rec.lines.clear();
    writeFile(ini(), "[LOG]\r\nINDEX=1\r\nCOUNT=1\r\n");
    writeFile(logFile(0), "older\r\n" + std::string(2500, 'z') + "\r\n");
    writeFile(logFile(1), "newer \x83\x65\x83\x58\x83\x67\r\n");  // テスト
    open()->restore();
    EXPECT_EQ(rec.lines, (Lines{"older\r\n", std::string(1023, 'z'), std::string(1023, 'z'),
                                std::string(454, 'z') + "\r\n", "newer テスト\r\n"}));
    EXPECT_EQ(1u, fileLines(1).size());
}

}  // namespace
