#include "core/eventlog.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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

// One scratch program directory with its configuration and a fresh log.
class EventLogTest : public testing::Test {
protected:
    void TearDown() override { QV_EVENTLOG::destroyInstance(); }

    QV_EVENTLOG* open(int enabled = 1)
    {
        QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
        log->setEnabled(enabled);
        return log;
    }
    std::string ini() const { return dir.file("CorvaneForTcp.ini"); }
    std::vector<std::string> fileLines(int n) const
    {
        std::string text = readFile(dir.file("LOG" + std::to_string(n) + ".log"));
        std::vector<std::string> out;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find("\r\n", start);
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
};

// Permission bits of a file; -1 when it is missing.
int modeOf(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 07777);
}

// Sets the usual umask for the test's lifetime, whatever the runner had.
class UsualUmask {
public:
    UsualUmask() : saved(::umask(022)) {}
    ~UsualUmask() { ::umask(saved); }

private:
    mode_t saved;
};

// "YYYY/MM/DD hh:mm:ss:" then the tag, a colon and the text.
bool isLine(const std::string& line, const std::string& tag, const std::string& text)
{
    const std::string shape = "dddd/dd/dd dd:dd:dd:";
    if (line.size() < shape.size())
        return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == 'd' ? !digit : line[i] != shape[i])
            return false;
    }
    return line.substr(shape.size()) == tag + ":" + text;
}

}  // namespace

TEST_F(EventLogTest, NothingHappensUntilEnabled)
{
    QV_EVENTLOG* log = open(0);
    Recorder rec;
    log->addListener(&rec);
    log->write(2, "too early");
    EXPECT_TRUE(rec.lines.empty());
    EXPECT_FALSE(fileExists(dir.file("LOG0.log")));
    EXPECT_FALSE(fileExists(ini()));
}

TEST_F(EventLogTest, LinesCarryDateTagAndTextAndReachListenersInOrder)
{
    QV_EVENTLOG* log = open();
    Recorder first, second;
    log->addListener(&first);
    log->addListener(&second);
    log->write(0, "e0");
    log->write(1, "e1");
    log->write(2, "e2");
    log->write(3, "e3");
    log->write(4, "dropped");
    log->write(-1, "untagged");

    ASSERT_EQ(5u, first.lines.size());
    EXPECT_TRUE(isLine(first.lines[0], "ER", "e0")) << first.lines[0];
    EXPECT_TRUE(isLine(first.lines[1], "WA", "e1")) << first.lines[1];
    EXPECT_TRUE(isLine(first.lines[2], "EV", "e2")) << first.lines[2];
    EXPECT_TRUE(isLine(first.lines[3], "DE", "e3")) << first.lines[3];
    EXPECT_TRUE(isLine(first.lines[4], "", "untagged")) << first.lines[4];
    EXPECT_EQ(first.lines, second.lines);
    EXPECT_EQ(first.lines, fileLines(0));
    EXPECT_EQ(0, profile::getInt("LOG", "INDEX", 9, ini()));
    EXPECT_EQ(5, profile::getInt("LOG", "COUNT", 9, ini()));
}

TEST_F(EventLogTest, FileIsCp932WithCrLf)
{
    QV_EVENTLOG* log = open();
    log->write(2, "接続しました");
    std::string raw = readFile(dir.file("LOG0.log"));
    // 接続しました in cp932
    const std::string expected = ":EV:\x90\xda\x91\xb1\x82\xb5\x82\xdc\x82\xb5\x82\xbd\r\n";
    ASSERT_GE(raw.size(), expected.size());
    EXPECT_EQ(expected, raw.substr(raw.size() - expected.size()));
    EXPECT_EQ(std::string::npos, raw.find("\r\r\n"));
}

TEST_F(EventLogTest, FormattedTextIsCutToTheEventBufferAtACharacterBoundary)
{
    QV_EVENTLOG* log = open();
    Recorder rec;
    log->addListener(&rec);
    // "a" then 60 double-byte characters: byte 99 would fall inside one.
    std::string text = "a";
    for (int i = 0; i < 60; ++i)
        text += "あ";
    log->writef(2, "%s", text.c_str());
    ASSERT_EQ(1u, rec.lines.size());
    std::string expected = "a";
    for (int i = 0; i < 49; ++i)
        expected += "あ";
    EXPECT_TRUE(isLine(rec.lines[0], "EV", expected)) << rec.lines[0];
}

TEST_F(EventLogTest, RotationDeletesTheOtherFileAndResetsTheCount)
{
    writeFile(ini(), "[LOG]\r\nINDEX=1\r\nCOUNT=1999\r\n[SYSTEM]\r\nAPPMODE=1\r\n");
    writeFile(dir.file("LOG0.log"), "old line\r\n");
    writeFile(dir.file("LOG1.log"), "older line\r\n");
    QV_EVENTLOG* log = open();
    log->write(2, "last of LOG1");
    EXPECT_FALSE(fileExists(dir.file("LOG0.log")));
    auto one = fileLines(1);
    ASSERT_EQ(2u, one.size());
    EXPECT_TRUE(isLine(one[1], "EV", "last of LOG1"));
    EXPECT_EQ(0, profile::getInt("LOG", "INDEX", 9, ini()));
    EXPECT_EQ(0, profile::getInt("LOG", "COUNT", 9, ini()));
    EXPECT_EQ(1, profile::getInt("SYSTEM", "APPMODE", 0, ini()));

    log->write(2, "first of LOG0");
    auto zero = fileLines(0);
    ASSERT_EQ(1u, zero.size());
    EXPECT_TRUE(isLine(zero[0], "EV", "first of LOG0"));
    EXPECT_EQ(1, profile::getInt("LOG", "COUNT", 9, ini()));
}

TEST_F(EventLogTest, UnusualIndexIsUsedAsIsAndOnlyOneWraps)
{
    writeFile(ini(), "[LOG]\r\nINDEX=5\r\nCOUNT=1999\r\n");
    QV_EVENTLOG* log = open();
    log->write(2, "x");
    EXPECT_EQ(1u, fileLines(5).size());
    EXPECT_EQ(6, profile::getInt("LOG", "INDEX", 0, ini()));
    EXPECT_EQ(0, profile::getInt("LOG", "COUNT", 9, ini()));
}

TEST_F(EventLogTest, RestoreReplaysTheOlderFileFirst)
{
    writeFile(ini(), "[LOG]\r\nINDEX=1\r\nCOUNT=1\r\n");
    writeFile(dir.file("LOG0.log"), "older\r\n");
    writeFile(dir.file("LOG1.log"), "newer \x83\x65\x83\x58\x83\x67\r\n");  // テスト
    QV_EVENTLOG* log = open();
    Recorder rec;
    log->addListener(&rec);
    log->restore();
    ASSERT_EQ(2u, rec.lines.size());
    EXPECT_EQ("older\r\n", rec.lines[0]);
    EXPECT_EQ("newer テスト\r\n", rec.lines[1]);
    // Replayed lines are not written again.
    EXPECT_EQ(1u, fileLines(1).size());
}

TEST_F(EventLogTest, RestoreWithoutFilesReportsBothAndDeliversNothing)
{
    QV_EVENTLOG* log = open();
    Recorder rec;
    log->addListener(&rec);
    testing::internal::CaptureStdout();
    log->restore();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("LOG FILE RESTORE OPEN ERROR! name=" + dir.file("LOG1.log")
                  + "LOG FILE RESTORE OPEN ERROR! name=" + dir.file("LOG0.log"),
              out);
    EXPECT_TRUE(rec.lines.empty());
}

TEST_F(EventLogTest, LongStoredLineArrivesInPiecesOfAtMost1023Bytes)
{
    writeFile(dir.file("LOG0.log"), std::string(2500, 'z') + "\r\n");
    QV_EVENTLOG* log = open();
    Recorder rec;
    log->addListener(&rec);
    log->restore();
    ASSERT_EQ(3u, rec.lines.size());
    EXPECT_EQ(std::string(1023, 'z'), rec.lines[0]);
    EXPECT_EQ(std::string(1023, 'z'), rec.lines[1]);
    EXPECT_EQ(std::string(454, 'z') + "\r\n", rec.lines[2]);
}

TEST_F(EventLogTest, DestructionLeavesTheClosingLineInTheFileOnly)
{
    QV_EVENTLOG* log = open();
    Recorder rec;
    log->addListener(&rec);
    log->write(2, "running");
    QV_EVENTLOG::destroyInstance();
    EXPECT_EQ(1u, rec.lines.size());
    auto lines = fileLines(0);
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(isLine(lines[1], "EV", "END CorvaneForTcp -log close-")) << lines[1];
}

// The log files hold contacts and hosts: only their owner may read them,
// whatever the umask, and a file someone left readable is closed up on the
// next line; the content stays as it was.
TEST_F(EventLogTest, LogFilesAndTheIniFileAreTheOwnersAlone)
{
    UsualUmask umask022;
    writeFile(dir.file("LOG1.log"), "older\r\n");
    ::chmod(dir.file("LOG1.log").c_str(), 0644);
    writeFile(ini(), "[LOG]\r\nINDEX=0\r\nCOUNT=1999\r\n");
    ::chmod(ini().c_str(), 0644);
    QV_EVENTLOG* log = open();
    log->write(2, "new file");
    EXPECT_EQ(0600, modeOf(dir.file("LOG0.log")));
    EXPECT_EQ(0600, modeOf(ini()));
    // Rotated: LOG1.log was deleted and starts again, private.
    EXPECT_FALSE(fileExists(dir.file("LOG1.log")));
    log->write(2, "rotated");
    EXPECT_EQ(0600, modeOf(dir.file("LOG1.log")));

    writeFile(dir.file("LOG1.log"), "kept\r\n");
    ::chmod(dir.file("LOG1.log").c_str(), 0644);
    log->write(2, "narrowed");
    EXPECT_EQ(0600, modeOf(dir.file("LOG1.log")));
    auto lines = fileLines(1);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("kept", lines[0]);
    EXPECT_TRUE(isLine(lines[1], "EV", "narrowed")) << lines[1];
}
