// The executable's start-up: a configuration with errors is reported with
// file, line and reason, and the daemon does not start.
#include "messenger/caps.h"
#include "messenger/config.h"
#include "messenger/identity.h"
#include "messenger/pin_file.h"
#include "tests/support/spawned.h"
#include "tests/support/tcp_test_util.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstddef>
#include <cstring>
#include <regex>

using namespace std::chrono_literals;

namespace {

// A configuration of mode 0600 in `dir`, with `extra` lines; its path.
std::string writeConfig(const TempDir& dir, const std::string& extra = std::string())
{
    const std::string conf = dir.file("m.conf");
    writeFile(conf, "jid = alice@localhost\npassword = pw\n" + extra);
    ::chmod(conf.c_str(), 0600);
    return conf;
}

// Runs messengerd with `args` to its end; its exit status and output.
int runToEnd(const TempDir& dir, const std::vector<std::string>& args, std::string& out)
{
    static int runs = 0;
    const std::string file = dir.file("run" + std::to_string(++runs) + ".out");
    std::vector<std::string> argv{MESSENGERD_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    Spawned d;
    if (!d.start(argv, file))
        return -1;
    int status = d.wait(10s);
    out = readFile(file);
    return status;
}

// Waits until the file holds `text`.
bool waitForText(const std::string& path, const std::string& text, std::chrono::milliseconds timeout)
{
    return tcptest::waitUntil([&] { return readFile(path).find(text) != std::string::npos; }, timeout);
}

}  // namespace

TEST(MessengerDaemon, StartIsRefusedWithTheReasonForEveryFileWithErrors)
{
    // Each row: what is written beside the configuration, and what the
    // start says (after the file's path when it begins with ':').
    struct Case {
        std::string extra;  // configuration lines
        std::string key;    // m.key, when not empty
        mode_t keyMode;
        std::string contacts;  // m.contacts, when not empty
        mode_t confMode;
        std::string told;
    };
    const std::string key =
        "messengerd: {dir}/m.key: not a key file of messengerd (expected a line \"secret\" and 64 "
        "hex digits): restore it from a backup, or remove it to make a new key (contacts must "
        "then trust the new fingerprint)\n";
    const Case cases[] = {
        {"port = many\n", "", 0, "", 0600,
         "{dir}/m.conf:3: port must be a number from 1 to 65535, not 'many'\n"
         "messengerd: not started, the configuration has errors\n"},
        {"", "", 0, "", 0644, "{dir}/m.conf:0: permissions 0644 are too open"},
        {"", "", 0, "bob@localhost\nbob\n", 0600,
         "{dir}/m.contacts:2: contact must be a bare JID like user@example.org, not 'bob'\n"
         "messengerd: not started, the configuration has errors\n"},
        {"", "secret 1234\n", 0600, "", 0600, key},
        {"", "secret 1234\n", 0644, "", 0600, "permissions 0644 are too open: the file holds the secret key"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        const std::string conf =
            writeConfig(dir, c.extra + "api_socket = CorvaneCliTest-" + std::to_string(::getpid()) + "\n");
        ::chmod(conf.c_str(), c.confMode);
        if (!c.key.empty()) {
            writeFile(dir.file("m.key"), c.key);
            ::chmod(dir.file("m.key").c_str(), c.keyMode);
        }
        if (!c.contacts.empty()) {
            writeFile(dir.file("m.contacts"), c.contacts);
            ::chmod(dir.file("m.contacts").c_str(), 0600);
        }
        std::string told = std::regex_replace(c.told, std::regex("\\{dir\\}"), dir.path());
        std::string out;
        EXPECT_EQ(runToEnd(dir, {"--config", conf}, out), 2) << told;
        if (told.back() == '\n')
            EXPECT_EQ(out, told);
        else
            EXPECT_NE(out.find(told), std::string::npos) << out;
        if (!c.key.empty() && c.keyMode != 0600) {
            for (const char* option : {"--add-contact", "--fingerprint"}) {
                std::vector<std::string> args{"--config", conf, option};
                if (option == std::string("--add-contact"))
                    args.push_back("bob@localhost");
                EXPECT_EQ(runToEnd(dir, args, out), 2) << option;
                EXPECT_NE(out.find(told), std::string::npos) << out;
            }
        }
    }
    TempDir dir;
    std::string out;
    EXPECT_EQ(runToEnd(dir, {}, out), 2);
    EXPECT_NE(out.find("usage: messengerd --config FILE"), std::string::npos);
    EXPECT_EQ(runToEnd(dir, {"--help"}, out), 0);
    EXPECT_EQ(out.rfind("usage: messengerd --config FILE", 0), 0u);
}

TEST(MessengerDaemon, StartIsRefusedBesideASocketOfAnotherUser)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to listen as another user id";
    const std::string name = "CorvaneCliTest-held-" + std::to_string(::getpid());
    // A process of user 65534 holds the name until the pipe closes (at most
    // 30 s).
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path + 1, name.data(), name.size());
        auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 4) != 0)
            ::_exit(4);
        char c = 'r';
        if (::write(ready[1], &c, 1) != 1)
            ::_exit(5);
        pollfd p{release[0], POLLIN, 0};
        ::poll(&p, 1, 30000);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);

    TempDir dir;
    const std::string conf = dir.file("m.conf");
    writeFile(conf, "jid = alice@localhost\npassword = pw\nserver = 127.0.0.1\nport = "
                        + std::to_string(freeLoopbackPort()) + "\nlog = " + dir.file("m.log") + "\n");
    ASSERT_EQ(::chmod(conf.c_str(), 0600), 0);
    Spawned d;
    ASSERT_TRUE(d.start({MESSENGERD_PATH, "--config", conf, "--api-socket", name}, dir.file("out")));
    int status = d.wait(10s);
    ::close(release[1]);
    int holderStatus = 0;
    ::waitpid(holder, &holderStatus, 0);
    EXPECT_TRUE(WIFEXITED(holderStatus) && WEXITSTATUS(holderStatus) == 0);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1) << "still running beside the other user's socket";
    std::string out = readFile(dir.file("out"));
    EXPECT_NE(out.find("messengerd: the socket @" + name + " is held by another user (uid 65534); refusing to start"),
              std::string::npos)
        << out;
    EXPECT_NE(readFile(dir.file("m.log")).find("is held by another user (uid 65534)"), std::string::npos);
}

TEST(MessengerDaemon, FingerprintIsThatOfTheKeyFile)
{
    TempDir dir;
    const std::string conf = writeConfig(dir);
    std::string out;
    ASSERT_EQ(runToEnd(dir, {"--config", conf, "--fingerprint"}, out), 0) << out;
    EXPECT_TRUE(std::regex_match(out, std::regex("([0-9A-F]{4} ){9}[0-9A-F]{4}\n"))) << out;
    noise::KeyPair keys;
    std::string error;
    ASSERT_TRUE(loadOrCreateKeyPair(dir.file("m.key"), keys, error)) << error;
    EXPECT_EQ(out, fingerprintText(keys.pub) + "\n");
}

TEST(MessengerDaemon, TrustPinsAFingerprintAndRefusesWhatIsNone)
{
    TempDir dir;
    const std::string conf = writeConfig(dir);
    std::string out;
    EXPECT_EQ(
        runToEnd(dir, {"--config", conf, "--trust", "bob@localhost", "300C9C9603B92A4B39ED3958BF9240114804DB4"}, out),
        2);
    EXPECT_EQ(out,
              "messengerd: '300C9C9603B92A4B39ED3958BF9240114804DB4' is not a fingerprint: expected 40 hex digits, "
              "as messengerd --fingerprint shows them on the contact's PC\n");
    EXPECT_EQ(runToEnd(dir, {"--config", conf, "--trust", "bob", "300C9C9603B92A4B39ED3958BF9240114804DB4F"}, out), 2);
    EXPECT_EQ(out, "messengerd: --trust needs a bare JID, not 'bob'\n");
    EXPECT_EQ(runToEnd(dir, {"--config", conf, "--trust", "bob@localhost"}, out), 2);
    EXPECT_NE(out.find("usage: messengerd --config FILE"), std::string::npos) << out;

    ASSERT_EQ(
        runToEnd(dir,
                 {"--config", conf, "--trust", "bob@localhost", "300c:9c96:03b9:2a4b:39ed:3958:bf92:4011:4804:db4f"},
                 out),
        0)
        << out;
    EXPECT_EQ(out, "trusted the key of bob@localhost: fingerprint 300C 9C96 03B9 2A4B 39ED 3958 BF92 4011 4804 DB4F\n");
    PinFile pins(dir.file("m.pins"), nullptr);
    std::optional<Pin> pin = pins.pinFor("bob@localhost");
    ASSERT_TRUE(pin);
    EXPECT_EQ(pin->fingerprint, "300C9C9603B92A4B39ED3958BF9240114804DB4F");
    EXPECT_FALSE(pin->key);
}

TEST(MessengerDaemon, WeakTransportSettingsAreLoggedAtEveryStart)
{
    // 0.0.0.0 is not loopback by name, and nothing listens there: the
    // daemon only tries to connect on this host.
    TempDir dir;
    const std::string log = dir.file("m.log");
    const std::string conf =
        writeConfig(dir, "server = 0.0.0.0\nport = " + std::to_string(freeLoopbackPort())
                             + "\ntls = optional\ntls_verify = no\nlog = " + log + "\napi_socket = CorvaneCliTest-weak-"
                             + std::to_string(::getpid()) + "\n");
    const std::string optional = "warning: tls = optional: the connection to 0.0.0.0 may run unencrypted";
    const std::string unverified = "warning: tls_verify = no: the certificate of 0.0.0.0 is not checked";
    {
        Spawned d;
        ASSERT_TRUE(d.start({MESSENGERD_PATH, "--config", conf}, dir.file("run.out")));
        EXPECT_TRUE(waitForText(log, unverified, 10s)) << readFile(log);
        EXPECT_NE(readFile(log).find(optional), std::string::npos);
        EXPECT_EQ(d.stop(5s), 0);
    }
    writeFile(log, "");
    {
        // --add-contact records the contact before it tries to log in.
        Spawned d;
        ASSERT_TRUE(
            d.start({MESSENGERD_PATH, "--config", conf, "--add-contact", "bob@localhost"}, dir.file("add.out")));
        EXPECT_TRUE(waitForText(log, unverified, 10s)) << readFile(log);
        EXPECT_NE(readFile(log).find(optional), std::string::npos);
        EXPECT_TRUE(waitForText(dir.file("m.contacts"), "\nbob@localhost\n", 10s));
        d.stop(5s);
    }
}

TEST(MessengerCaps, VerificationStringOfTheProtocolExample)
{
    // The worked example of XEP-0115, section 5.2.
    xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
    EXPECT_EQ(capsVer(ctx, "client", "pc", "Exodus 0.9.1",
                      {"http://jabber.org/protocol/muc", "http://jabber.org/protocol/disco#info",
                       "http://jabber.org/protocol/disco#items", "http://jabber.org/protocol/caps"}),
              "QgayPKawpkPSDYmwT/WM94uAlu0=");
    xmpp_ctx_free(ctx);
}

TEST(MessengerCaps, EveryApplicationIsAFeature)
{
    std::vector<std::string> f = discoFeatures({"CorvaneForFtp0000", "CorvaneForTcp2000"});
    EXPECT_NE(std::find(f.begin(), f.end(), "urn:corvane:messenger:app:CorvaneForFtp0000"), f.end());
    EXPECT_NE(std::find(f.begin(), f.end(), "urn:corvane:messenger:app:CorvaneForTcp2000"), f.end());
    EXPECT_NE(std::find(f.begin(), f.end(), "http://jabber.org/protocol/ibb"), f.end());
    EXPECT_TRUE(std::is_sorted(f.begin(), f.end()));
}
