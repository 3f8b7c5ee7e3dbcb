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

#include <sys/stat.h>
#include <unistd.h>
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

TEST(MessengerDaemon, FingerprintIsThatOfTheKeyFileAndTrustPinsOne)
{
    TempDir dir;
    const std::string conf = writeConfig(dir);
    std::string out;
    ASSERT_EQ(runToEnd(dir, {"--config", conf, "--fingerprint"}, out), 0) << out;
    noise::KeyPair keys;
    std::string error;
    ASSERT_TRUE(loadOrCreateKeyPair(dir.file("m.key"), keys, error)) << error;
    EXPECT_EQ(out, fingerprintText(keys.pub) + "\n");

    const std::string print = "300C9C9603B92A4B39ED3958BF9240114804DB4F";
    struct Case {
        std::vector<std::string> args;
        std::string told;
    } cases[] = {
        {{"bob@localhost", print.substr(1)},
         "messengerd: '" + print.substr(1)
             + "' is not a fingerprint: expected 40 hex digits, as messengerd --fingerprint shows them on the "
               "contact's PC\n"},
        {{"bob", print}, "messengerd: --trust needs a bare JID, not 'bob'\n"},
        {{"bob@localhost"}, "usage: messengerd --config FILE"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--config", conf, "--trust"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(runToEnd(dir, args, out), 2);
        EXPECT_NE(out.find(c.told), std::string::npos) << out;
    }
    ASSERT_EQ(runToEnd(dir,
                       {"--config", conf, "--trust", "bob@localhost",
                        "300c:9c96:03b9:2a4b:39ed:3958:bf92:4011:4804:db4f"},
                       out),
              0)
        << out;
    EXPECT_EQ(out, "trusted the key of bob@localhost: fingerprint 300C 9C96 03B9 2A4B 39ED 3958 BF92 4011 4804 DB4F\n");
    std::optional<Pin> pin = PinFile(dir.file("m.pins"), nullptr).pinFor("bob@localhost");
    ASSERT_TRUE(pin);
    EXPECT_EQ(pin->fingerprint, print);
    EXPECT_FALSE(pin->key);
}

TEST(MessengerDaemon, WeakTransportSettingsAreLoggedAtEveryStart)
{
    // 0.0.0.0 is not loopback by name, and nothing listens there: the
    // daemon only tries to connect on this host.
    TempDir dir;
    const std::string log = dir.file("m.log");
    const std::string conf =
        writeConfig(dir, "server = 0.0.0.0\nport = " + std::to_string(tcptest::freePort())
                             + "\ntls = optional\ntls_verify = no\nlog = " + log + "\napi_socket = CorvaneCliTest-weak-"
                             + std::to_string(::getpid()) + "\n");
    // --add-contact records the contact before it tries to log in.
    for (const std::vector<std::string>& extra : {std::vector<std::string>{}, {"--add-contact", "bob@localhost"}}) {
        writeFile(log, "");
        std::vector<std::string> argv{MESSENGERD_PATH, "--config", conf};
        argv.insert(argv.end(), extra.begin(), extra.end());
        Spawned d;
        ASSERT_TRUE(d.start(argv, dir.file("run.out")));
        EXPECT_TRUE(waitForText(log, "warning: tls_verify = no: the certificate of 0.0.0.0 is not checked", 10s))
            << readFile(log);
        EXPECT_NE(readFile(log).find("warning: tls = optional: the connection to 0.0.0.0 may run unencrypted"),
                  std::string::npos);
        const int status = d.stop(5s);
        EXPECT_TRUE(!extra.empty() || status == 0) << status;
    }
    EXPECT_TRUE(waitForText(dir.file("m.contacts"), "\nbob@localhost\n", 10s));
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
