// The daemon's log: a log file stays bounded (rotated to one old file, a
// FIFO never), and texts chosen by others reach it cut and with control
// characters escaped.
#include "messenger/support/log.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>

TEST(MessengerLog, OnlyARegularFileIsRotatedAtOneMebibyteKeepingOneOldFile)
{
    TempDir dir;
    const std::string path = dir.file("messengerd.log");
    {
        Log log;
        ASSERT_TRUE(log.open(path));
        // 5 MB written: the log keeps the newest lines, at most about 2 MiB.
        for (int i = 0; i < 5000; ++i)
            log.write(std::to_string(i) + " " + std::string(1000, 'x'));
        log.write("the last line");
    }
    const std::string old = readFile(path + ".1");
    const std::string now = readFile(path);
    EXPECT_FALSE(fileExists(path + ".2"));
    EXPECT_LE(now.size(), Log::kDefaultMaxBytes);
    EXPECT_LE(old.size(), Log::kDefaultMaxBytes + 1100);
    EXPECT_GE(old.size(), Log::kDefaultMaxBytes);
    EXPECT_NE(now.find("the last line"), std::string::npos);
    // Nothing is lost at the rotation: the old file ends where the new one
    // begins (lines "<date> <time> <number> ...").
    auto numberOf = [](const std::string& line) {
        return std::atoi(line.c_str() + line.find(' ', line.find(' ') + 1) + 1);
    };
    ASSERT_FALSE(old.empty());
    EXPECT_EQ(numberOf(now), numberOf(old.substr(old.rfind('\n', old.size() - 2) + 1)) + 1);

    // The size counts what the file held before.
    writeFile(path, std::string(900, 'o') + "\n");
    Log small;
    small.setMaxBytes(920);
    ASSERT_TRUE(small.open(path));
    small.write("a line that passes the size");
    EXPECT_EQ(readFile(path), "");

    // log = /dev/null or a pipe must never be renamed; a FIFO stands in.
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    {
        Log log;
        log.setMaxBytes(10);
        ASSERT_TRUE(log.open(fifo));
        log.write("one line longer than ten bytes");
        log.write("and another");
    }
    char buf[256];
    EXPECT_GT(::read(reader, buf, sizeof buf), 40);
    ::close(reader);
    struct stat st {};
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_FALSE(fileExists(fifo + ".1"));
}

TEST(MessengerLog, PeerTextsAndLinesAreCutAndEscaped)
{
    EXPECT_EQ(peerText("bob@h.test/pc"), "bob@h.test/pc");
    EXPECT_EQ(peerText("a\x1b[31mred\nb\\"), "a\\x1b[31mred\\x0ab\\\\");
    EXPECT_EQ(peerText(std::string("\xc3\xbc", 2)), "\\xc3\\xbc");
    EXPECT_EQ(peerText(std::string(1000000, 'n')), std::string(200, 'n') + "...[cut, 1000000 bytes]");
    // A text of nothing but control characters is cut at the same length.
    EXPECT_LE(peerText(std::string(1000, '\x01')).size(), 230u);

    // Every line is bounded and on one line.
    TempDir dir;
    Log log;
    ASSERT_TRUE(log.open(dir.file("m.log")));
    log.setCapture(true);
    log.write("client 1 sent " + std::string(1 << 20, 'z') + "\nforged line");
    std::string written = readFile(dir.file("m.log"));
    EXPECT_LT(written.size(), Log::kMaxLine + 100);
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 1);
    EXPECT_NE(written.find("...[cut, "), std::string::npos);
    EXPECT_LT(log.captured().size(), Log::kMaxLine + 100);
}
