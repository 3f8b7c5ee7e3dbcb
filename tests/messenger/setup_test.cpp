// messengerd --setup without a server: options, refusals of bad input, and
// the file, which is written only after a successful check, with mode 0600,
// and which the daemon's loadConfig takes as it is.
#include "messenger/setup.h"
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

namespace {

// Answers from a script; counts what was asked.
class ScriptedInput final : public SetupInput {
public:
    bool terminal = false;
    std::vector<std::string> lines;  // answers and standard input, in order
    int secretsAsked = 0;

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
};

class FakeServer final : public AccountServer {
public:
    AccountResult login{AccountOutcome::Done, {}};
    AccountResult creation{AccountOutcome::Done, {}};
    std::vector<std::string> calls;  // "login JID PASSWORD" / "create JID PASSWORD"
    MessengerConfig seen;

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
};

struct SetupRun {
    int status;
    std::string out;
    std::string err;
};

SetupRun runWith(const std::vector<std::string>& args, ScriptedInput& input, FakeServer& server)
{
    SetupOptions o;
    std::string error;
    EXPECT_TRUE(parseSetupOptions(args, o, error)) << error;
    std::ostringstream out;
    std::ostringstream err;
    int status = runSetup(o, input, server, out, err);
    return SetupRun{status, out.str(), err.str()};
}

unsigned modeOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

size_t entriesIn(const std::string& dir)
{
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir))
        ++n;
    return n;
}

ScriptedInput passwordOnStdin(const std::string& password)
{
    ScriptedInput in;
    in.lines = {password};
    return in;
}

}  // namespace

TEST(MessengerSetupOptions, RefusesBadOptions)
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
}

TEST(MessengerSetupOptions, DefaultFileIsTheOneTheUserUnitReads)
{
    EXPECT_EQ(defaultSetupConfigPath(nullptr, "/home/al"), "/home/al/.config/corvane/messengerd.conf");
    EXPECT_EQ(defaultSetupConfigPath("/xdg", "/home/al"), "/xdg/corvane/messengerd.conf");
    EXPECT_EQ(defaultSetupConfigPath("relative", "/home/al"), "/home/al/.config/corvane/messengerd.conf");
    EXPECT_EQ(defaultSetupConfigPath(nullptr, nullptr), "");
}

TEST(MessengerSetup, WritesAFileOfMode0600ThatTheDaemonLoads)
{
    TempDir dir;
    const std::string conf = dir.file("new/corvane/messengerd.conf");
    writeFile(dir.file("ca.pem"), "not checked here\n");
    ScriptedInput in = passwordOnStdin("s3cret = with # marks");
    FakeServer server;
    SetupRun r = runWith({"--config", conf, "--jid", "alice@example.org", "--password-stdin", "--contact",
                          "bob@example.org", "--contact", "carol@example.net", "--server", "xmpp.example.org", "--port",
                          "5223", "--tls-ca-file", dir.file("ca.pem")},
                         in, server);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(server.calls, (std::vector<std::string>{"login alice@example.org s3cret = with # marks"}));
    EXPECT_EQ(server.seen.server, "xmpp.example.org");
    EXPECT_EQ(server.seen.tlsCaFile, dir.file("ca.pem"));

    EXPECT_EQ(modeOf(conf), 0600u);
    EXPECT_EQ(modeOf(dir.file("new")), 0700u);
    EXPECT_EQ(modeOf(dir.file("new/corvane")), 0700u);
    EXPECT_EQ(entriesIn(dir.file("new/corvane")), 1u) << "a temporary file was left behind";
    MessengerConfig loaded;
    std::vector<std::string> errors;
    ASSERT_TRUE(loadConfig(conf, loaded, errors)) << (errors.empty() ? "" : errors.front());
    EXPECT_EQ(loaded.jid, "alice@example.org");
    EXPECT_EQ(loaded.password, "s3cret = with # marks");
    EXPECT_EQ(loaded.contacts, (std::vector<std::string>{"bob@example.org", "carol@example.net"}));
    EXPECT_EQ(loaded.server, "xmpp.example.org");
    EXPECT_EQ(loaded.port, 5223);
    EXPECT_EQ(loaded.tlsCaFile, dir.file("ca.pem"));
    EXPECT_EQ(loaded.tls, TlsPolicy::Automatic);
    EXPECT_TRUE(loaded.tlsVerify);

    EXPECT_NE(r.out.find("messengerd --config " + conf + " --fingerprint"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("must add alice@example.org"), std::string::npos) << r.out;

    // An existing file is replaced only with --force.
    const std::string before = readFile(conf);
    in = passwordOnStdin("other");
    server.calls.clear();
    r = runWith({"--config", conf, "--jid", "bob@example.org", "--password-stdin"}, in, server);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(conf + " exists; nothing changed (--force replaces it)"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(conf), before);
    EXPECT_TRUE(server.calls.empty());
    in = passwordOnStdin("other");
    r = runWith({"--config", conf, "--jid", "bob@example.org", "--password-stdin", "--force"}, in, server);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(readFile(conf).find("jid = bob@example.org\n"), std::string::npos);
    EXPECT_EQ(modeOf(conf), 0600u);
}

TEST(MessengerSetup, AsksOnATerminalForWhatIsMissing)
{
    TempDir dir;
    ScriptedInput in;
    in.terminal = true;
    in.lines = {"alice@example.org", "pw", "pw", "bob@example.org carol@example.net"};
    FakeServer server;
    SetupRun r = runWith({"--config", dir.file("m.conf"), "--register"}, in, server);
    ASSERT_EQ(r.status, 0) << r.err;
    // A new account's password is asked twice.
    EXPECT_EQ(in.secretsAsked, 2);
    EXPECT_EQ(server.calls, (std::vector<std::string>{"create alice@example.org pw", "login alice@example.org pw"}));
    MessengerConfig loaded;
    std::vector<std::string> errors;
    ASSERT_TRUE(loadConfig(dir.file("m.conf"), loaded, errors));
    EXPECT_EQ(loaded.contacts, (std::vector<std::string>{"bob@example.org", "carol@example.net"}));
}

TEST(MessengerSetup, BadInputIsRefusedBeforeTheServerIsAsked)
{
    TempDir dir;
    const std::string conf = dir.file("m.conf");
    struct Case {
        std::vector<std::string> args;
        std::string message;
        std::string password = "pw";
    };
    const std::vector<Case> cases = {
        // The file's values are trimmed: such a password would log in here
        // and fail in the daemon.
        {{"--jid", "alice@example.org"}, "begin or end with a blank", "secret "},
        {{"--jid", "alice@example.org/home"}, "bare JID"},
        {{"--jid", "alice"}, "bare JID"},
        {{"--jid", "alice@example.org", "--contact", "bob"}, "contact must be a bare JID"},
        {{"--jid", "alice@example.org", "--tls-ca-file", "ca.pem"}, "--tls-ca-file must be an absolute path"},
        {{"--jid", "alice@example.org", "--tls-ca-file", dir.file("none.pem")}, "cannot be read"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--config", conf, "--password-stdin"});
        ScriptedInput in = passwordOnStdin(c.password);
        FakeServer server;
        SetupRun r = runWith(args, in, server);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_TRUE(server.calls.empty()) << c.message;
        EXPECT_FALSE(fileExists(conf)) << c.message;
    }
    // Not a terminal and no --password-stdin: nothing to read the password from.
    ScriptedInput in;
    FakeServer server;
    SetupRun r = runWith({"--config", conf, "--jid", "alice@example.org"}, in, server);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--password-stdin"), std::string::npos) << r.err;
    EXPECT_TRUE(server.calls.empty());
}

TEST(MessengerSetup, NothingIsWrittenWhenTheCheckFails)
{
    using O = AccountOutcome;
    struct Case {
        bool registering;  // the outcome is the creation's, else the login's
        AccountResult outcome;
        std::string message;
    };
    const std::vector<Case> cases = {
        {false, {O::NotAuthorized, {}}, "refused alice@example.org with this password (not authorized)"},
        {false, {O::Unreachable, "Connection refused"}, "cannot be reached: Connection refused"},
        {false,
         {O::CertificateRefused, "the certificate of example.org does not verify: hostname mismatch"},
         "cannot log in: the certificate of example.org does not verify: hostname mismatch"},
        {false, {O::TimedOut, {}}, "no answer from example.org"},
        // A failed registration is not followed by a login.
        {true, {O::Taken, "conflict"}, "the name alice@example.org is taken"},
        {true, {O::NotOffered, "service-unavailable"}, "does not offer the creation of accounts"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        ScriptedInput in = passwordOnStdin("pw");
        FakeServer server;
        (c.registering ? server.creation : server.login) = c.outcome;
        std::vector<std::string> args = {"--config", dir.file("m.conf"), "--jid", "alice@example.org",
                                         "--password-stdin"};
        if (c.registering)
            args.push_back("--register");
        SetupRun r = runWith(args, in, server);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("nothing written"), std::string::npos) << r.err;
        EXPECT_EQ(server.calls.size(), 1u) << c.message;
        EXPECT_EQ(entriesIn(dir.path()), 0u) << c.message;
    }
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
    std::string slaveName = ptsname(master);
    int slave = open(slaveName.c_str(), O_RDWR | O_NOCTTY);
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
    for (int i = 0; i < 100 && seen.find("assword") == std::string::npos; ++i) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[256];
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0)
                seen.append(buf, static_cast<size_t>(n));
        }
    }
    ASSERT_NE(std::string::npos, seen.find("assword")) << seen;
    termios during{};
    for (int i = 0; i < 50; ++i) {  // the echo goes off right after the question
        tcgetattr(slave, &during);
        if (!(during.c_lflag & ECHO))
            break;
        usleep(20000);
    }
    EXPECT_FALSE(during.c_lflag & ECHO);
    ASSERT_EQ(1, write(master, "\x03", 1));
    int status = 0;
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        if (!ended)
            usleep(50000);
    }
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
