#include "app/startup.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <climits>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

using namespace std::chrono_literals;

// The program linked into a scratch directory (its INI and LOG files go
// there), started with no display and no platform named, then `env`, then
// its arguments. With -D119 (exactly) it shows its trace and moves to its
// directory; without a platform it runs the headless window, with one the
// Qt window. A second start is refused (on the offscreen platform with the
// box's text on standard error) and the first runs on.
TEST(StartupProcess, OneInstanceInItsDirectoryWithTheWindowOfItsPlatform)
{
    for (const char* other : {"-d119", "-D1190", "-D11"})
        EXPECT_FALSE(CCorvaneForTcpApp::isDebugSwitch(other)) << other;
    TempDir dir;
    const std::string program = dir.file("corvanefortcp");
    ASSERT_EQ(0, symlink(CORVANE_PROGRAM, program.c_str()));
    using Args = std::vector<std::string>;
    auto start = [&](const Args& env, const Args& args) {
        Args argv = {"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM"};
        argv.insert(argv.end(), env.begin(), env.end());
        argv.push_back(program);
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<ChildProcess>("/usr/bin/env", argv, "/");
    };

    auto first = start({}, {"first", "-D119"});
    ASSERT_TRUE(first->waitForOutput("1-0-0-0  Powered by Quorvantine\n", 20s)) << first->out() << first->err();
    char cwd[PATH_MAX] = {}, real[PATH_MAX] = {};
    ASSERT_GT(readlink(("/proc/" + std::to_string(first->pid()) + "/cwd").c_str(), cwd, sizeof(cwd) - 1), 0);
    EXPECT_STREQ(realpath(dir.path().c_str(), real), cwd);
    for (const auto& [env, args] :
         {std::pair<Args, Args>{{}, {"-D119", "-platform", "offscreen"}}, {{"QT_QPA_PLATFORM=offscreen"}, {}}}) {
        auto second = start(env, args);
        EXPECT_EQ(1, second->finish(0, 10s)) << "still running or killed: " << second->err();
        EXPECT_NE(std::string::npos, second->err().find("[２重起動]      既に起動されています.     \n"))
            << second->err();
    }
    EXPECT_TRUE(first->running());
    EXPECT_EQ(0, first->finish(SIGTERM, 10s)) << first->out() << first->err();
    EXPECT_EQ(std::string::npos, first->out().find("SessionEvents:"));

    auto qt = start({}, {"-D119", "-platform", "offscreen"});
    ASSERT_TRUE(qt->waitForOutput("SessionEvents:", 20s)) << qt->out() << qt->err();
    EXPECT_EQ(0, qt->finish(SIGTERM, 20s)) << qt->out() << qt->err();
    EXPECT_EQ(std::string::npos, qt->out().find("Powered by Quorvantine\n"));
}
