// messengerd --setup without a server: options, refusals of bad input, and
// the file, which is written only after a successful check, with mode 0600,
// and which the daemon's loadConfig takes as it is. Against a real server:
// scripts/twopc/e2e_setup.sh.
#include "messenger/setup.h"
#include "tests/support/tcp_test_util.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <csignal>
#include <filesystem>
#include <sstream>

using namespace std::chrono_literals;

namespace {

class MessengerSetup : public ::testing::Test, public SetupInput, public AccountServer {
protected:
    // SetupInput: answers from `lines`, in order.
    bool isTerminal() override { return terminal; }
    bool ask(const std::string&, std::string& answer) override { return readLine(answer); }
    bool askSecret(const std::string& q, std::string& answer) override
    {
        ++secretsAsked;
        return ask(q, answer);
    }
    bool readLine(std::string& line) override
    {
        if (lines.empty())
            return false;
        line = lines.front();
        lines.erase(lines.begin());
        return true;
    }
    // AccountServer: records the calls, answers `login` and `creation`.
    AccountResult logIn(const MessengerConfig& c) override
    {
        calls.push_back("login " + c.jid + " " + c.password);
        seen = c;
        return login;
    }
    AccountResult createAccount(const MessengerConfig& c) override
    {
        calls.push_back("create " + c.jid + " " + c.password);
        return creation;
    }

    // Runs setup with `args` and the answers `input`.
    int run(const std::vector<std::string>& args, std::vector<std::string> input = {"pw"})
    {
        lines = std::move(input);
        calls.clear();
        SetupOptions o;
        std::string error;
        EXPECT_TRUE(parseSetupOptions(args, o, error)) << error;
        std::ostringstream outStream;
        std::ostringstream errStream;
        int status = runSetup(o, *this, *this, outStream, errStream);
        out = outStream.str();
        err = errStream.str();
        return status;
    }
    static unsigned modeOf(const std::string& path)
    {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
    }
    static size_t entriesIn(const std::string& dir)
    {
        auto it = std::filesystem::directory_iterator(dir);
        return static_cast<size_t>(std::distance(it, std::filesystem::directory_iterator()));
    }
    MessengerConfig loaded(const std::string& path)
    {
        MessengerConfig c;
        std::vector<std::string> errors;
        EXPECT_TRUE(loadConfig(path, c, errors)) << (errors.empty() ? "" : errors.front());
        return c;
    }

    TempDir dir;
    const std::string conf = dir.file("m.conf");
    bool terminal = false;
    std::vector<std::string> lines;
    int secretsAsked = 0;
    AccountResult login{AccountOutcome::Done, {}};
    AccountResult creation{AccountOutcome::Done, {}};
    std::vector<std::string> calls;  // "login JID PASSWORD" / "create JID PASSWORD"
    MessengerConfig seen;
    std::string out;
    std::string err;
};

}  // namespace

TEST_F(MessengerSetup, OptionsAndTheDefaultFile)
{
    // Every option is taken in the runs below; here what is refused.
    std::string error;
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--port", "0"}, {"--port", "70000"}, {"--port", "52x"}, {"--jid"}, {"--frobnicate"}}) {
        SetupOptions ignored;
        EXPECT_FALSE(parseSetupOptions(bad, ignored, error)) << bad.front();
    }
    // Never from the command line, where ps shows it.
    SetupOptions ignored;
    EXPECT_FALSE(parseSetupOptions({"--password", "secret"}, ignored, error));
    EXPECT_NE(error.find("--password-stdin"), std::string::npos) << error;

    EXPECT_EQ(defaultSetupConfigPath(nullptr, "/home/al"), "/home/al/.config/corvane/messengerd.conf");
    EXPECT_EQ(defaultSetupConfigPath("/xdg", "/home/al"), "/xdg/corvane/messengerd.conf");
    EXPECT_EQ(defaultSetupConfigPath("relative", "/home/al"), "/home/al/.config/corvane/messengerd.conf");
    EXPECT_EQ(defaultSetupConfigPath(nullptr, nullptr), "");
}

TEST_F(MessengerSetup, WritesAFileOfMode0600ThatTheDaemonLoads)
{
    const std::string path = dir.file("new/corvane/messengerd.conf");
    writeFile(dir.file("ca.pem"), "not checked here\n");
    ASSERT_EQ(run({"--config", path, "--jid", "alice@example.org", "--password-stdin", "--contact", "bob@example.org",
                   "--contact", "carol@example.net", "--server", "xmpp.example.org", "--port", "5223",
                   "--tls-ca-file", dir.file("ca.pem")},
                  {"s3cret = with # marks"}),
              0)
        << err;
    EXPECT_EQ(calls, (std::vector<std::string>{"login alice@example.org s3cret = with # marks"}));
    EXPECT_EQ(seen.server, "xmpp.example.org");
    EXPECT_EQ(seen.tlsCaFile, dir.file("ca.pem"));
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(dir.file("new")), 0700u);
    EXPECT_EQ(modeOf(dir.file("new/corvane")), 0700u);
    EXPECT_EQ(entriesIn(dir.file("new/corvane")), 1u) << "a temporary file was left behind";
    MessengerConfig c = loaded(path);
    EXPECT_EQ(c.jid, "alice@example.org");
    EXPECT_EQ(c.password, "s3cret = with # marks");
    EXPECT_EQ(c.contacts, (std::vector<std::string>{"bob@example.org", "carol@example.net"}));
    EXPECT_EQ(c.server, "xmpp.example.org");
    EXPECT_EQ(c.port, 5223);
    EXPECT_EQ(c.tlsCaFile, dir.file("ca.pem"));
    EXPECT_EQ(c.tls, TlsPolicy::Automatic);
    EXPECT_TRUE(c.tlsVerify);
    EXPECT_NE(out.find("messengerd --config " + path + " --fingerprint"), std::string::npos) << out;
    EXPECT_NE(out.find("must add alice@example.org"), std::string::npos) << out;

    // An existing file is replaced only with --force.
    const std::string before = readFile(path);
    EXPECT_EQ(run({"--config", path, "--jid", "bob@example.org", "--password-stdin"}), 2);
    EXPECT_NE(err.find(path + " exists; nothing changed (--force replaces it)"), std::string::npos) << err;
    EXPECT_EQ(readFile(path), before);
    EXPECT_TRUE(calls.empty());
    ASSERT_EQ(run({"--config", path, "--jid", "bob@example.org", "--password-stdin", "--force"}), 0) << err;
    EXPECT_NE(readFile(path).find("jid = bob@example.org\n"), std::string::npos);
    EXPECT_EQ(modeOf(path), 0600u);

    // On a terminal what is missing is asked; a new account's password twice.
    terminal = true;
    ASSERT_EQ(run({"--config", conf, "--register"},
                  {"alice@example.org", "pw", "pw", "bob@example.org carol@example.net"}),
              0)
        << err;
    EXPECT_EQ(secretsAsked, 2);
    EXPECT_EQ(calls, (std::vector<std::string>{"create alice@example.org pw", "login alice@example.org pw"}));
    EXPECT_EQ(loaded(conf).contacts, (std::vector<std::string>{"bob@example.org", "carol@example.net"}));
}

TEST_F(MessengerSetup, BadInputOrAFailedCheckWritesNothing)
{
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
        {{}, "refused alice@example.org with this password (not authorized)", "pw", &login, {O::NotAuthorized, {}}},
        {{}, "cannot be reached: Connection refused", "pw", &login, {O::Unreachable, "Connection refused"}},
        {{},
         "cannot log in: the certificate of example.org does not verify: hostname mismatch",
         "pw",
         &login,
         {O::CertificateRefused, "the certificate of example.org does not verify: hostname mismatch"}},
        {{}, "no answer from example.org", "pw", &login, {O::TimedOut, {}}},
        // A failed registration is not followed by a login.
        {{"--register"}, "the name alice@example.org is taken", "pw", &creation, {O::Taken, "conflict"}},
        {{"--register"},
         "does not offer the creation of accounts",
         "pw",
         &creation,
         {O::NotOffered, "service-unavailable"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--config", conf, "--password-stdin"};
        if (c.args.empty() || c.args[0] != "--jid")
            args.insert(args.end(), {"--jid", "alice@example.org"});
        args.insert(args.end(), c.args.begin(), c.args.end());
        login = creation = AccountResult{O::Done, {}};
        if (c.answer)
            *c.answer = c.outcome;
        EXPECT_EQ(run(args, {c.password}), c.answer ? 1 : 2) << c.message;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(err.find("nothing written") != std::string::npos, c.answer != nullptr) << err;
        EXPECT_EQ(calls.size(), c.answer ? 1u : 0u) << c.message;
        EXPECT_EQ(entriesIn(dir.path()), 0u) << c.message;
    }
    // Not a terminal and no --password-stdin: nothing to read the password from.
    EXPECT_EQ(run({"--config", conf, "--jid", "alice@example.org"}), 2);
    EXPECT_NE(err.find("--password-stdin"), std::string::npos) << err;
    EXPECT_TRUE(calls.empty());
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
