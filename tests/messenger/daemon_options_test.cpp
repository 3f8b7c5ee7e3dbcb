// messengerd's command line: each wrong one named, the modes and their
// values, the default configuration; and a second daemon of the same user,
// which ends at once, with status 0, before it touches anything.
#include "messenger/daemon/daemon_options.h"
#include "messenger/local/api_server.h"
#include "tests/support/spawned.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>

using namespace std::chrono_literals;
using Mode = DaemonOptions::Mode;

TEST(MessengerdCommandLine, EachWrongOneIsNamedAndEachModeGetsItsValues)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> wrong = {
        {{"--frob"}, "unknown option '--frob'"},
        {{"alice@example.org"}, "unexpected argument 'alice@example.org'"},
        {{"--config"}, "--config needs a FILE"},
        {{"--api-socket", "--fingerprint"}, "--api-socket needs a NAME"},
        {{"--trust", "bob@example.org"}, "--trust needs JID and FINGERPRINT"},
        {{"--trust", "bob@example.org", "--config", "c"}, "--trust needs JID and FINGERPRINT"},
        {{"--setup", "--jid"}, "--jid needs a JID"},
        {{"--fingerprint", "--trust", "bob@example.org", "FP"}, "--fingerprint and --trust cannot be combined"},
        {{"--fingerprint", "--fingerprint"}, "--fingerprint is given twice"},
        {{"--fingerprint", "--api-socket", "S"}, "--fingerprint and --api-socket cannot be combined"},
        {{"--config", "c", "--contact", "bob@example.org"}, "--contact works only with --setup"},
    };
    for (const auto& [args, message] : wrong) {
        DaemonOptions o;
        std::string error;
        EXPECT_FALSE(parseDaemonOptions(args, o, error)) << message;
        EXPECT_EQ(error, message);
    }

    DaemonOptions o;
    std::string error;
    ASSERT_TRUE(parseDaemonOptions({"--trust", "bob@example.org", "3F2A 9C1B", "--config", "c"}, o, error));
    EXPECT_EQ(o.jid + "|" + o.fingerprint + "|" + o.configPath, "bob@example.org|3F2A 9C1B|c");
    o = {};
    ASSERT_TRUE(parseDaemonOptions({"--jid", "a@example.org", "--setup", "--config", "c", "--force"}, o, error));
    EXPECT_EQ(o.mode, Mode::Setup);
    EXPECT_EQ(o.setupArgs, (std::vector<std::string>{"--jid", "a@example.org", "--force"}));
    for (const auto& [args, mode] : std::vector<std::pair<std::vector<std::string>, Mode>>{
             {{}, Mode::Run}, {{"--setup", "--help"}, Mode::Help}, {{"--version", "--frob"}, Mode::Version}}) {
        o = {};
        ASSERT_TRUE(parseDaemonOptions(args, o, error));
        EXPECT_EQ(o.mode, mode);
    }

    // Without --config: the file --setup writes, which only --setup may lack.
    TempDir dir;
    const std::string conf = dir.file("corvane/messengerd.conf");
    o = {};
    EXPECT_EQ(configPathFor(o, dir.path().c_str(), nullptr, error), "");
    EXPECT_EQ(error, "no configuration at " + conf + ": run 'messengerd --setup' first, or give --config FILE");
    EXPECT_EQ(configPathFor(o, nullptr, nullptr, error), "");
    EXPECT_EQ(error, "--config FILE is needed when neither HOME nor XDG_CONFIG_HOME is set");
    o.mode = Mode::Setup;
    EXPECT_EQ(configPathFor(o, dir.path().c_str(), nullptr, error), conf);
    o.mode = Mode::Fingerprint;
    std::filesystem::create_directory(dir.file("corvane"));
    std::ofstream(conf) << "";
    EXPECT_EQ(configPathFor(o, dir.path().c_str(), nullptr, error), conf);
}

// A systemd unit and a desktop's autostart may both start the daemon: the
// second says which one runs and ends with status 0, before it makes a key
// or asks the server.
TEST(MessengerdCommandLine, ASecondDaemonOfTheSameUserNamesTheFirstAndEndsWithoutEffects)
{
    TempDir dir;
    const std::string socket = "CorvaneMsgTest-" + std::to_string(::getpid()) + "-second";
    int held = -1;
    std::string error;
    ASSERT_EQ(listenOnName(socket, held, error), ListenOutcome::Listening) << error;
    const std::string conf = dir.file("m.conf");
    std::ofstream(conf) << "jid = a@localhost\npassword = pw\nserver = 127.0.0.1\nport = 1\n";
    ::chmod(conf.c_str(), 0600);
    Spawned second;
    ASSERT_TRUE(second.start({MESSENGERD_PATH, "--config", conf, "--api-socket", socket}, dir.file("out")));
    EXPECT_EQ(second.wait(20s), 0);
    EXPECT_EQ(readFile(dir.file("out")),
              "messengerd: one runs already for this user (pid " + std::to_string(::getpid()) + "); not started\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("m.key")));
    ::close(held);
}
