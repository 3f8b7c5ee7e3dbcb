#include "core/eventlog.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

#include "core/config_store.h"
#include "core/profile.h"
#include "tests/support/temp_dir.h"

namespace {

class Recorder final : public QV_EVENTLOGLISTENER {
public:
    void notifyLogLine(const char* line) override { lines.emplace_back(line); }
    std::vector<std::string> lines;
};

int modeOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

std::string today()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof(text), "%Y/%m/%d ", &local);
    return text;
}

// "YYYY/MM/DD hh:mm:ss:" (today) then the tag, a colon and the text.
bool isLine(const std::string& line, const std::string& tag, const std::string& text)
{
    const std::string shape = "dddd/dd/dd dd:dd:dd:";
    if (line.size() < shape.size() || line.compare(0, 11, today()) != 0)
        return false;
    for (size_t i = 11; i < shape.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == 'd' ? !digit : line[i] != shape[i])
            return false;
    }
    return line.substr(shape.size()) == tag + ":" + text;
}

// One scratch program directory with its configuration and a fresh log,
// enabled and heard by `rec`.
class EventLogTest : public testing::Test {
protected:
    void TearDown() override { QV_EVENTLOG::destroyInstance(); }

    QV_EVENTLOG* open(int enabled = 1)
    {
        QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
        log->setEnabled(enabled);
        log->addListener(&rec);
        return log;
    }
    std::string ini() const { return dir.file("CorvaneForTcp.ini"); }
    std::string logFile(int n) const { return dir.file("LOG" + std::to_string(n) + ".log"); }
    int logKey(const char* key) const { return profile::getInt("LOG", key, 99, ini()); }
    // The lines of LOGn.log, each of which must end in CR LF.
    std::vector<std::string> fileLines(int n) const
    {
        const std::string text = readFile(logFile(n));
        std::vector<std::string> out;
        for (size_t start = 0; start < text.size();) {
            const size_t end = text.find("\r\n", start);
            EXPECT_NE(std::string::npos, end) << "line without CR LF";
            if (end == std::string::npos)
                break;
            out.push_back(text.substr(start, end - start));
            start = end + 2;
        }
        return out;
    }

    TempDir dir;
    QV_CONFIGSTORE config;
    Recorder rec;
};

}  // namespace

// Nothing happens until enabled. Lines reach every listener in order and the
// file in cp932 with CR LF; the count of lines is kept in the INI file; the
// closing line goes to the file only. Formatted text is cut to the event
// buffer at a character boundary.
TEST_F(EventLogTest, LinesCarryDateTagAndTextToListenersAndTheCp932File)
{
    QV_EVENTLOG* log = open(0);
    log->write(2, "too early");
    EXPECT_TRUE(rec.lines.empty());
    EXPECT_FALSE(fileExists(logFile(0)));
    EXPECT_FALSE(fileExists(ini()));
    log->setEnabled(1);
    Recorder second;
    log->addListener(&second);
    const char* tags[] = {"ER", "WA", "EV", "DE"};
    for (int level = 0; level < 4; ++level)
        log->write(level, tags[level]);
    log->write(4, "dropped");
    log->write(-1, "untagged");
    log->write(2, "接続しました");
    // "a" then 60 double-byte characters: byte 99 would fall inside one.
    std::string text = "a", cut = "a";
    for (int i = 0; i < 60; ++i)
        text += "あ";
    for (int i = 0; i < 49; ++i)
        cut += "あ";
    log->writef(2, "%s", text.c_str());

    ASSERT_EQ(7u, rec.lines.size());
    for (int level = 0; level < 4; ++level)
        EXPECT_TRUE(isLine(rec.lines[level], tags[level], tags[level])) << rec.lines[level];
    EXPECT_TRUE(isLine(rec.lines[4], "", "untagged")) << rec.lines[4];
    EXPECT_TRUE(isLine(rec.lines[5], "EV", "接続しました")) << rec.lines[5];
    EXPECT_TRUE(isLine(rec.lines[6], "EV", cut)) << rec.lines[6];
    EXPECT_EQ(rec.lines, second.lines);
    const std::string raw = readFile(logFile(0));
    // 接続しました in cp932
    EXPECT_NE(std::string::npos, raw.find(":EV:\x90\xda\x91\xb1\x82\xb5\x82\xdc\x82\xb5\x82\xbd\r\n"));
    EXPECT_EQ(std::string::npos, raw.find("\r\r\n"));
    auto lines = fileLines(0);
    ASSERT_EQ(7u, lines.size());
    EXPECT_EQ(std::vector<std::string>(rec.lines.begin(), rec.lines.begin() + 5),
              std::vector<std::string>(lines.begin(), lines.begin() + 5));
    EXPECT_EQ(0, logKey("INDEX"));
    EXPECT_EQ(7, logKey("COUNT"));

    QV_EVENTLOG::destroyInstance();
    EXPECT_EQ(7u, rec.lines.size());
    lines = fileLines(0);
    ASSERT_EQ(8u, lines.size());
    EXPECT_TRUE(isLine(lines[7], "EV", "END CorvaneForTcp -log close-")) << lines[7];
}

// The 2000th line of a file moves to the other file, which starts anew; an
// unusual index is used as it is and only one wraps. Restore replays the
// older file first, without writing the lines again, in pieces of at most
// 1023 bytes.
TEST_F(EventLogTest, RotationAndRestore)
{
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

    QV_EVENTLOG::destroyInstance();
    writeFile(ini(), "[LOG]\r\nINDEX=5\r\nCOUNT=1999\r\n");
    open()->write(2, "x");
    EXPECT_EQ(1u, fileLines(5).size());
    EXPECT_EQ(6, logKey("INDEX"));
    EXPECT_EQ(0, logKey("COUNT"));

    QV_EVENTLOG::destroyInstance();
    rec.lines.clear();
    writeFile(ini(), "[LOG]\r\nINDEX=1\r\nCOUNT=1\r\n");
    writeFile(logFile(0), "older\r\n" + std::string(2500, 'z') + "\r\n");
    writeFile(logFile(1), "newer \x83\x65\x83\x58\x83\x67\r\n");  // テスト
    open()->restore();
    EXPECT_EQ(rec.lines, (std::vector<std::string>{"older\r\n", std::string(1023, 'z'), std::string(1023, 'z'),
                                                   std::string(454, 'z') + "\r\n", "newer テスト\r\n"}));
    EXPECT_EQ(1u, fileLines(1).size());
}

// The log files hold contacts and hosts: only their owner may read them,
// whatever the umask, and a file someone left readable is closed up on the
// next line; the content stays as it was.
TEST_F(EventLogTest, LogFilesAndTheIniFileAreTheOwnersAlone)
{
    mode_t saved = ::umask(022);
    writeFile(logFile(1), "older\r\n");
    ::chmod(logFile(1).c_str(), 0644);
    writeFile(ini(), "[LOG]\r\nINDEX=0\r\nCOUNT=1999\r\n");
    ::chmod(ini().c_str(), 0644);
    QV_EVENTLOG* log = open();
    log->write(2, "new file");
    EXPECT_EQ(0600, modeOf(logFile(0)));
    EXPECT_EQ(0600, modeOf(ini()));
    EXPECT_FALSE(fileExists(logFile(1)));
    log->write(2, "rotated");
    EXPECT_EQ(0600, modeOf(logFile(1)));

    writeFile(logFile(1), "kept\r\n");
    ::chmod(logFile(1).c_str(), 0644);
    log->write(2, "narrowed");
    ::umask(saved);
    EXPECT_EQ(0600, modeOf(logFile(1)));
    auto lines = fileLines(1);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("kept", lines[0]);
    EXPECT_TRUE(isLine(lines[1], "EV", "narrowed")) << lines[1];
}
