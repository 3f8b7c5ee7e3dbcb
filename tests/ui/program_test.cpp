// The program picks its window: the Qt Widgets main window when a display or
// a platform is named (here Qt's own -platform offscreen, or
// QT_QPA_PLATFORM), the headless window otherwise. Each run has a network
// namespace of its own, so the one-instance name is free.
#include <gtest/gtest.h>

#include <unistd.h>
#include <csignal>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::chrono_literals;

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0 || access("/usr/bin/unshare", X_OK) != 0)
            GTEST_SKIP() << "needs root and unshare for a network namespace of its own";
        program = dir.file("corvanefortcp");
        ASSERT_EQ(0, symlink(CORVANE_PROGRAM, program.c_str()));
    }
    // The program under env without any display, with `extra` settings first.
    std::unique_ptr<ChildProcess> start(const std::vector<std::string>& extraEnv, const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM"};
        argv.insert(argv.end(), extraEnv.begin(), extraEnv.end());
        argv.insert(argv.end(), {"/usr/bin/unshare", "-n", program});
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<ChildProcess>("/usr/bin/env", argv, dir.path());
    }

    TempDir dir;
    std::string program;
};

// -platform offscreen (taken away by Qt; only -D119 is left for start-up)
// and QT_QPA_PLATFORM run the Qt window, whose session events start; with
// neither, the headless window prints its version line. SIGTERM ends the
// session: the program ends, the Qt window's streams disconnected.
TEST_F(ProgramTest, TheNamedPlatformRunsTheQtWindowOtherwiseTheHeadlessOne)
{
    struct Case {
        std::vector<std::string> env, args;
        bool qt;
    } cases[] = {{{}, {"-D119", "-platform", "offscreen"}, true},
                 {{"QT_QPA_PLATFORM=offscreen"}, {"-D119"}, true},
                 {{}, {"-D119"}, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.env.empty() ? c.args.back() : c.env.front());
        auto p = start(c.env, c.args);
        ASSERT_TRUE(p->waitForOutput(c.qt ? "SessionEvents:" : "1-0-0-0  Powered by Quorvantine\n", 20s))
            << p->out() << p->err();
        EXPECT_NE(p->out().find("1番目の引数=-D119\n"), std::string::npos);
        EXPECT_EQ(p->out().find("2番目の引数"), std::string::npos);
        EXPECT_EQ(p->finish(SIGTERM, 20s), 0) << p->out() << p->err();
        EXPECT_EQ(p->out().find("SessionEvents:") != std::string::npos, c.qt);
        EXPECT_EQ(p->out().find("Powered by Quorvantine\n") != std::string::npos, !c.qt);
        if (c.qt) {
            EXPECT_NE(p->out().find("MESSAGE:SKYPE STREAM切断操作を行いました"), std::string::npos);
        }
    }
}

}  // namespace
