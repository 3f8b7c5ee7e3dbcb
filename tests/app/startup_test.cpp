#include "app/startup.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <climits>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

using namespace std::chrono_literals;

namespace {

// The program linked into a scratch program directory, so that its own
// directory (and with it its INI and LOG files) is the test's.
class ProgramDir {
public:
    ProgramDir()
    {
        path = dir.file("corvanefortcp");
        EXPECT_EQ(0, symlink(CORVANE_PROGRAM, path.c_str()));
    }
    std::string path;
    TempDir dir;
};

std::string cwdOf(pid_t pid)
{
    char buf[PATH_MAX];
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/cwd").c_str(), buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string realPath(const std::string& p)
{
    char buf[PATH_MAX];
    return realpath(p.c_str(), buf) ? std::string(buf) : p;
}

// Waits until a file is created in `dir` (watched from construction on), or
// the limit has passed.
class CreationWatch {
public:
    explicit CreationWatch(const std::string& dir) : fd(inotify_init1(IN_CLOEXEC))
    {
        EXPECT_GE(inotify_add_watch(fd, dir.c_str(), IN_CREATE), 0);
    }
    ~CreationWatch() { ::close(fd); }
    bool wait(std::chrono::milliseconds limit)
    {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(limit.count())) == 1;
    }

private:
    int fd;
};

}  // namespace

TEST(StartupArguments, OnlyExactlyTheDebugSwitchCounts)
{
    EXPECT_TRUE(CCorvaneForTcpApp::isDebugSwitch("-D119"));
    EXPECT_FALSE(CCorvaneForTcpApp::isDebugSwitch("-d119"));
    EXPECT_FALSE(CCorvaneForTcpApp::isDebugSwitch("-D1190"));
    EXPECT_FALSE(CCorvaneForTcpApp::isDebugSwitch("-D11"));
    EXPECT_FALSE(CCorvaneForTcpApp::isDebugSwitch(nullptr));
    EXPECT_EQ("/opt/corvane", CCorvaneForTcpApp::directoryOf("/opt/corvane/corvanefortcp"));
    EXPECT_EQ("", CCorvaneForTcpApp::directoryOf("corvanefortcp"));
}

TEST(StartupProcess, DebugModeShowsTheTraceAndMovesToTheProgramDirectory)
{
    ProgramDir prog;
    ChildProcess p(prog.path, {prog.path, "first", "-D119"}, "/");
    ASSERT_TRUE(p.waitForOutput("CurrentDir=" + prog.dir.path(), 10s)) << p.out() << p.err();
    EXPECT_NE(std::string::npos, p.out().find("1番目の引数=first\n2番目の引数=-D119\nDEBUGMODE ON\n"
                                              "********** Start Corvane For Tcp DEBUG MODE  *******\n"
                                              "CurrentDir="
                                              + prog.dir.path()))
        << p.out();
    EXPECT_EQ(realPath(prog.dir.path()), cwdOf(p.pid()));
    EXPECT_EQ(0, p.finish(SIGTERM, 10s)) << p.out() << p.err();
}

TEST(StartupProcess, WithoutTheSwitchTheTraceIsDiscarded)
{
    ProgramDir prog;
    CreationWatch created(prog.dir.path());
    ChildProcess p(prog.path, {prog.path, "-d119", "-D1190"}, "/");
    // The argument lines come before the trace is routed away.
    ASSERT_TRUE(p.waitForOutput("2番目の引数=-D1190\n", 10s)) << p.out() << p.err();
    // The move to the program directory still happens, unseen: the event
    // log starts there.
    ASSERT_TRUE(created.wait(10s));
    EXPECT_EQ(realPath(prog.dir.path()), cwdOf(p.pid()));
    EXPECT_EQ(0, p.finish(SIGTERM, 10s));
    EXPECT_EQ("1番目の引数=-d119\n2番目の引数=-D1190\n", p.out());
}

TEST(StartupProcess, SecondStartIsRefusedAndLeavesTheFirstRunning)
{
    ProgramDir prog;
    ChildProcess first(prog.path, {prog.path, "-D119"});
    ASSERT_TRUE(first.waitForOutput("CurrentDir=", 10s)) << first.out() << first.err();

    ChildProcess second(prog.path, {prog.path, "-D119"});
    EXPECT_EQ(1, second.finish(0, 10s));
    EXPECT_NE(std::string::npos, second.err().find("２重起動")) << second.err();
    EXPECT_NE(std::string::npos, second.err().find("     既に起動されています.     "));
    EXPECT_EQ(std::string::npos, second.out().find("DEBUGMODE ON"));

    EXPECT_TRUE(first.running());
    EXPECT_EQ(0, first.finish(SIGTERM, 10s));

    // Once the first has ended, the name is free again.
    ChildProcess third(prog.path, {prog.path, "-D119"});
    EXPECT_TRUE(third.waitForOutput("CurrentDir=", 10s)) << third.out() << third.err();
    EXPECT_EQ(0, third.finish(SIGTERM, 10s));
}

TEST(StartupProcess, InstancesInOtherNetworkNamespacesDoNotCollide)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace";
    if (access("/usr/bin/unshare", X_OK) != 0)
        GTEST_SKIP() << "unshare not installed";
    ProgramDir prog;
    ChildProcess first(prog.path, {prog.path, "-D119"});
    ASSERT_TRUE(first.waitForOutput("CurrentDir=", 10s));

    ProgramDir other;
    ChildProcess second("/usr/bin/unshare", {"unshare", "-n", other.path, "-D119"});
    EXPECT_TRUE(second.waitForOutput("CurrentDir=" + other.dir.path(), 10s)) << second.out() << second.err();
    EXPECT_EQ(0, second.finish(SIGTERM, 10s));
    EXPECT_EQ(0, first.finish(SIGTERM, 10s));
}

namespace {

// The program started through env(1) with no display and no platform named,
// then `env` settings, then its own arguments.
std::unique_ptr<ChildProcess> startWith(const ProgramDir& prog, const std::vector<std::string>& env,
                                        const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM"};
    argv.insert(argv.end(), env.begin(), env.end());
    argv.push_back(prog.path);
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>("/usr/bin/env", argv, prog.dir.path());
}

}  // namespace

// Nobody can see a box on the offscreen platform: the second start says why
// on standard error and ends as after the box, whichever way offscreen is named.
TEST(StartupProcess, SecondStartOnTheOffscreenPlatformPrintsTheMessageAndEnds)
{
    ProgramDir prog;
    auto first = startWith(prog, {}, {"-D119"});
    ASSERT_TRUE(first->waitForOutput("CurrentDir=", 10s)) << first->out() << first->err();

    auto byOption = startWith(prog, {}, {"-D119", "-platform", "offscreen"});
    EXPECT_EQ(1, byOption->finish(0, 10s)) << "still running or killed: " << byOption->err();
    EXPECT_NE(std::string::npos, byOption->err().find("[２重起動]      既に起動されています.     \n"))
        << byOption->err();
    EXPECT_EQ(std::string::npos, byOption->out().find("DEBUGMODE ON"));

    auto byVariable = startWith(prog, {"QT_QPA_PLATFORM=offscreen"}, {"-D119"});
    EXPECT_EQ(1, byVariable->finish(0, 10s)) << "still running or killed: " << byVariable->err();
    EXPECT_NE(std::string::npos, byVariable->err().find("[２重起動]      既に起動されています.     \n"))
        << byVariable->err();

    EXPECT_TRUE(first->running());
    EXPECT_EQ(0, first->finish(SIGTERM, 10s));
}

// On a real display (Xvfb) the second start shows its box; SIGTERM ends the
// program while the box waits, as pressing it would.
TEST(StartupProcess, SigtermEndsASecondStartWhoseBoxIsShownOnADisplay)
{
    if (access("/usr/bin/Xvfb", X_OK) != 0 || access("/usr/bin/xwininfo", X_OK) != 0
        || access("/usr/bin/xev", X_OK) != 0)
        GTEST_SKIP() << "needs Xvfb, xwininfo and xev (x11-utils)";
    ChildProcess xvfb("/usr/bin/Xvfb", {"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24"});
    ASSERT_TRUE(xvfb.waitForOutput("\n", 20s)) << xvfb.err();
    std::string display = ":" + xvfb.out().substr(0, xvfb.out().find('\n'));

    // xev reports every window mapped on the screen.
    ChildProcess xev("/usr/bin/xev", {"xev", "-display", display, "-root", "-event", "substructure"});
    ProgramDir prog;
    auto first = startWith(prog, {}, {"-D119"});
    ASSERT_TRUE(first->waitForOutput("CurrentDir=", 10s)) << first->out() << first->err();

    auto second = startWith(prog, {"DISPLAY=" + display}, {"-D119"});
    // The box is up once a window of the program is mapped on the screen.
    ASSERT_TRUE(xev.waitForOutput("MapNotify", 20s)) << second->err();
    ChildProcess tree("/usr/bin/xwininfo", {"xwininfo", "-display", display, "-root", "-tree"});
    tree.finish(0, 5s);
    EXPECT_NE(tree.out().find("\"corvanefortcp\""), std::string::npos) << tree.out();
    ASSERT_TRUE(second->running()) << "the box waits for its button";

    EXPECT_EQ(1, second->finish(SIGTERM, 5s)) << "still running or killed: " << second->err();
    EXPECT_TRUE(first->running());
    EXPECT_EQ(0, first->finish(SIGTERM, 10s));
    xev.finish(SIGTERM, 5s);
    xvfb.finish(SIGTERM, 10s);
}
