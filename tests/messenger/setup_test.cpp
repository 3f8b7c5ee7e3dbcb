// messengerd --setup without a server: refusals of bad input before the
// server is asked, nothing written when the check fails, the file replaced
// only with --force, and the terminal's echo back after Ctrl-C. Against a
// real server (the file of mode 0600 that the daemon logs in with, a wrong
// password, a certificate refused, registration): scripts/twopc/e2e_setup.sh.
#include "messenger/daemon/setup.h"
#include "tests/support/tcp_test_util.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <csignal>
#include <filesystem>
#include <sstream>

using namespace std::chrono_literals;

namespace {

// Answers the password from `lines`; records the server's calls.
class MessengerSetup : public ::testing::Test, public SetupInput, public AccountServer {
protected:
    bool isTerminal() override { return false; }
    bool ask(const std::string&, std::string& answer) override { return readLine(answer); }
    bool askSecret(const std::string&, std::string& answer) override { return readLine(answer); }
    bool readLine(std::string& line) override
    {
        line = password;
        return true;
    }
    AccountResult logIn(const XmppAccount& c) override
    {
        calls.push_back("login " + c.jid + " " + c.password);
        return login;
    }
    AccountResult createAccount(const XmppAccount& c) override
    {
        calls.push_back("create " + c.jid + " " + c.password);
        return creation;
    }
    int run(const std::vector<std::string>& args)
    {
        calls.clear();
        SetupOptions o;
        std::string error;
        EXPECT_TRUE(parseSetupOptions(args, o, error)) << error;
        std::ostringstream out;
        std::ostringstream errStream;
        int status = runSetup(o, *this, *this, out, errStream);
        err = errStream.str();
        return status;
    }
    size_t files() const
    {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir.path()), {}));
    }

    TempDir dir;
    const std::string conf = dir.file("m.conf");
    std::string password = "pw";
    AccountResult login{AccountOutcome::Done, {}};
    AccountResult creation{AccountOutcome::Done, {}};
    std::vector<std::string> calls;  // "login JID PASSWORD" / "create JID PASSWORD"
    std::string err;
};

}  // namespace

TEST_F(MessengerSetup, BadInputOrAFailedCheckWritesNothingAndOnlyForceReplacesAFile)
{
    // The password never from the command line, where ps shows it.
    std::string error;
    SetupOptions ignored;
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--port", "0"}, {"--port", "70000"}, {"--port", "52x"}, {"--frobnicate"}})
        EXPECT_FALSE(parseSetupOptions(bad, ignored, error)) << bad.front();
    EXPECT_NE(error.find("--frobnicate"), std::string::npos) << error;
    EXPECT_FALSE(parseSetupOptions({"--password", "secret"}, ignored, error));
    EXPECT_NE(error.find("--password-stdin"), std::string::npos) << error;

    using O = AccountOutcome;
    struct Case {
        std::vector<std::string> args;
        std::string message;
        std::string password = "pw";
        AccountResult* answer = nullptr;  // the outcome set, when the server is asked
        AccountResult outcome{O::Done, {}};
    };
    const std::vector<Case> cases = {
        // The file's values are trimmed: such a password would log in here
        // and fail in the daemon.
        {{}, "begin or end with a blank", "secret "},
        {{"--jid", "alice@example.org/home"}, "bare JID"},
        {{"--jid", "alice"}, "bare JID"},
        {{"--contact", "bob"}, "contact must be a bare JID"},
        {{"--tls-ca-file", "ca.pem"}, "--tls-ca-file must be an absolute path"},
        {{"--tls-ca-file", dir.file("none.pem")}, "cannot be read"},
        {{}, "cannot be reached: Connection refused", "pw", &login, {O::Unreachable, "Connection refused"}},
        {{}, "no answer from example.org", "pw", &login, {O::TimedOut, {}}},
        // A failed registration is not followed by a login.
        {{"--register"}, "the name alice@example.org is taken", "pw", &creation, {O::Taken, "conflict"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--config", conf, "--password-stdin"};
        if (c.args.empty() || c.args[0] != "--jid")
            args.insert(args.end(), {"--jid", "alice@example.org"});
        args.insert(args.end(), c.args.begin(), c.args.end());
        login = creation = AccountResult{O::Done, {}};
        if (c.answer)
            *c.answer = c.outcome;
        password = c.password;
        EXPECT_EQ(run(args), c.answer ? 1 : 2) << c.message;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(err.find("nothing written") != std::string::npos, c.answer != nullptr) << err;
        EXPECT_EQ(calls.size(), c.answer ? 1u : 0u) << c.message;
        EXPECT_EQ(files(), 0u) << c.message;
    }

    // Blanks and marks inside the password are kept; an existing file is
    // replaced only with --force.
    password = "s3cret = with # marks";
    login = AccountResult{O::Done, {}};
    ASSERT_EQ(run({"--config", conf, "--jid", "alice@example.org", "--password-stdin"}), 0) << err;
    EXPECT_EQ(calls, (std::vector<std::string>{"login alice@example.org s3cret = with # marks"}));
    EXPECT_EQ(files(), 1u) << "a temporary file was left behind";
    const std::string before = readFile(conf);
    EXPECT_EQ(run({"--config", conf, "--jid", "bob@example.org", "--password-stdin"}), 2);
    EXPECT_NE(err.find(conf + " exists; nothing changed (--force replaces it)"), std::string::npos) << err;
    EXPECT_EQ(readFile(conf), before);
    EXPECT_TRUE(calls.empty());
    ASSERT_EQ(run({"--config", conf, "--jid", "bob@example.org", "--password-stdin", "--force"}), 0) << err;
    MessengerConfig loaded;
    std::vector<std::string> errors;
    ASSERT_TRUE(loadConfig(conf, loaded, errors));
    EXPECT_EQ(loaded.jid, "bob@example.org");
    EXPECT_EQ(loaded.password, "s3cret = with # marks");
}

// Ctrl-C at the password question ends setup with the terminal's echo back
// on, as the shell expects it.
TEST(MessengerSetupTerminal, CtrlCAtThePasswordQuestionGivesTheEchoBack)
{
    TempDir dir;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(0, grantpt(master));
    ASSERT_EQ(0, unlockpt(master));
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    std::string config = dir.file("messengerd.conf");
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        for (int fd = 0; fd < 3; ++fd)
            dup2(slave, fd);
        execl(MESSENGERD_PATH, "messengerd", "--setup", "--jid", "a@example.org", "--config", config.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    EXPECT_TRUE(tcptest::waitUntil(
        [&] {
            pollfd p{master, POLLIN, 0};
            char buf[256];
            ssize_t n = poll(&p, 1, 100) > 0 ? read(master, buf, sizeof buf) : 0;
            if (n > 0)
                seen.append(buf, static_cast<size_t>(n));
            return seen.find("assword") != std::string::npos;
        },
        10s))
        << seen;
    // The echo goes off right after the question.
    termios during{};
    EXPECT_TRUE(tcptest::waitUntil([&] { return tcgetattr(slave, &during) == 0 && !(during.c_lflag & ECHO); }, 1s));
    ASSERT_EQ(1, write(master, "\x03", 1));
    int status = 0;
    const bool ended = tcptest::waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5s);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(ended);
    // Normally SIGINT ends it; under ThreadSanitizer, which delays signal
    // handlers, the interrupted question ends it with status 2. Either way
    // it is no success.
    EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    termios after{};
    tcgetattr(slave, &after);
    EXPECT_TRUE(after.c_lflag & ECHO);
    EXPECT_FALSE(std::filesystem::exists(config));
    close(slave);
    close(master);
}
