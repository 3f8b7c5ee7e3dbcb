#include "app/startup.h"
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

// Reads until `until` has appeared (or the end) and returns what it read.
std::string readUntil(FILE* out, const std::string& until)
{
    std::string text;
    char line[4096];
    while (text.find(until) == std::string::npos && fgets(line, sizeof(line), out))
        text += line;
    return text;
}

}  // namespace

// The program linked into a scratch directory, started from / with no
// display. With -D119 (exactly) it shows its trace and moves to its
// directory. A second start is refused (on the offscreen platform with the
// box's text on standard error), but --version answers beside it; the first
// runs on until SIGTERM.
TEST(StartupProcess, OneInstanceInItsDirectoryWithTheWindowOfItsPlatform)
{
    for (const char* other : {"-d119", "-D1190", "-D11"})
        EXPECT_FALSE(CCorvaneForTcpApp::isDebugSwitch(other)) << other;
    // Only the exact words ask for the help or the version.
    const std::pair<std::vector<const char*>, ProgramRequest> requests[] = {
        {{"p", "-D119", "--help"}, ProgramRequest::Help},
        {{"p", "-help", "--help=1", "--Version", "-v", "-D119"}, ProgramRequest::Run},
    };
    for (const auto& [args, request] : requests)
        EXPECT_EQ(programRequest(static_cast<int>(args.size()), args.data()), request) << args.back();
    TempDir dir;
    ASSERT_EQ(0, symlink(CORVANE_PROGRAM, dir.file("corvanefortcp").c_str()));
    const std::string start =
        "cd / && echo $$ && exec env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + dir.file("corvanefortcp");
    FILE* first = popen((start + " -D119 2>&1").c_str(), "r");
    const std::string firstOut = readUntil(first, "1-0-0-0  Powered by Quorvantine\n");
    const pid_t pid = std::stoi(firstOut);
    ASSERT_NE(std::string::npos, firstOut.find("1-0-0-0  Powered by Quorvantine\n")) << firstOut;
    char cwd[PATH_MAX] = {}, real[PATH_MAX] = {};
    ASSERT_GT(readlink(("/proc/" + std::to_string(pid) + "/cwd").c_str(), cwd, sizeof(cwd) - 1), 0);
    EXPECT_STREQ(realpath(dir.path().c_str(), real), cwd);
    for (const std::string& second : {start + " -D119 -platform offscreen", "QT_QPA_PLATFORM=offscreen " + start}) {
        FILE* out = popen((second + " 2>&1").c_str(), "r");
        const std::string text = readUntil(out, "\n\n\n");  // to the end
        EXPECT_EQ(1, WEXITSTATUS(pclose(out))) << text;
        EXPECT_NE(std::string::npos, text.find("[２重起動]      既に起動されています.     \n")) << text;
    }
    FILE* version = popen((dir.file("corvanefortcp") + " -D119 --version 2>&1").c_str(), "r");
    EXPECT_EQ(readUntil(version, "\n\n\n"), "CorvaneForTcp 1.0.0\n");
    EXPECT_EQ(0, pclose(version));
    EXPECT_EQ(0, kill(pid, SIGTERM)) << "the first runs on";
    EXPECT_EQ(std::string::npos, readUntil(first, "SessionEvents:").find("SessionEvents:"));
    EXPECT_EQ(0, pclose(first));
}
