// The executable's start-up: a file with errors is reported with its path,
// line and reason, and the daemon does not start; --fingerprint and --trust.
// The exact messages of each file are in config_test and identity_test.
#include "messenger/caps.h"
#include "messenger/identity.h"
#include "messenger/pin_file.h"
#include "tests/support/spawned.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <regex>

using namespace std::chrono_literals;

namespace {

class MessengerDaemon : public ::testing::Test {
protected:
    MessengerDaemon() { put("m.conf", "jid = alice@localhost\npassword = pw\n"); }
    void put(const std::string& name, const std::string& text, mode_t mode = 0600)
    {
        writeFile(dir.file(name), text);
        ::chmod(dir.file(name).c_str(), mode);
    }
    // Runs messengerd (--config m.conf) `args` to its end; its exit status.
    int run(const std::vector<std::string>& args, bool withConfig = true)
    {
        const std::string file = dir.file("run" + std::to_string(++runs) + ".out");
        std::vector<std::string> argv{MESSENGERD_PATH};
        if (withConfig)
            argv.insert(argv.end(), {"--config", conf});
        argv.insert(argv.end(), args.begin(), args.end());
        Spawned d;
        if (!d.start(argv, file))
            return -1;
        int status = d.wait(10s);
        out = readFile(file);
        return status;
    }
    TempDir dir;
    const std::string conf = dir.file("m.conf");
    std::string out;
    int runs = 0;
};

}  // namespace

TEST_F(MessengerDaemon, StartIsRefusedWithTheReasonForEveryFileWithErrors)
{
    const std::string key = "secret 1234\n";
    struct Case {
        std::string file;
        std::string text;
        mode_t mode;
        std::string told;  // the whole output when it ends the line
    } cases[] = {
        {"m.conf", "jid = alice@localhost\npassword = pw\nport = many\n", 0600,
         "{dir}/m.conf:3: port must be a number from 1 to 65535, not 'many'\n"
         "messengerd: not started, the configuration has errors\n"},
        {"m.contacts", "bob@localhost\nbob\n", 0600,
         "{dir}/m.contacts:2: contact must be a bare JID like user@example.org, not 'bob'\n"
         "messengerd: not started, the configuration has errors\n"},
        {"m.key", key, 0600, "messengerd: {dir}/m.key: not a key file of messengerd"},
        {"m.key", key, 0644, "permissions 0644 are too open: the file holds the secret key"},
    };
    for (const Case& c : cases) {
        put(c.file, c.text, c.mode);
        const std::string told = std::regex_replace(c.told, std::regex("\\{dir\\}"), dir.path());
        // Every start refuses, the one that adds a contact and the one that
        // shows the fingerprint included.
        for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
                 {}, {"--add-contact", "bob@localhost"}, {"--fingerprint"}}) {
            EXPECT_EQ(run(args), 2) << told;
            if (args.empty() && told.back() == '\n')
                EXPECT_EQ(out, told);
            else
                EXPECT_NE(out.find(told), std::string::npos) << out;
        }
        ::unlink(dir.file(c.file).c_str());
        put("m.conf", "jid = alice@localhost\npassword = pw\n");
    }
    EXPECT_EQ(run({}, false), 2);
    EXPECT_NE(out.find("usage: messengerd --config FILE"), std::string::npos);
    EXPECT_EQ(run({"--help"}, false), 0);
    EXPECT_EQ(out.rfind("usage: messengerd --config FILE", 0), 0u);
}

TEST_F(MessengerDaemon, FingerprintIsThatOfTheKeyFileAndTrustPinsOne)
{
    ASSERT_EQ(run({"--fingerprint"}), 0) << out;
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
        std::vector<std::string> args{"--trust"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(run(args), 2);
        EXPECT_NE(out.find(c.told), std::string::npos) << out;
    }
    ASSERT_EQ(run({"--trust", "bob@localhost", "300c:9c96:03b9:2a4b:39ed:3958:bf92:4011:4804:db4f"}), 0) << out;
    EXPECT_EQ(out, "trusted the key of bob@localhost: fingerprint 300C 9C96 03B9 2A4B 39ED 3958 BF92 4011 4804 DB4F\n");
    std::optional<Pin> pin = PinFile(dir.file("m.pins"), nullptr).pinFor("bob@localhost");
    ASSERT_TRUE(pin);
    EXPECT_EQ(pin->fingerprint, print);
    EXPECT_FALSE(pin->key);
}

TEST(MessengerCaps, VerificationStringOfTheProtocolExampleAndEveryApplicationIsAFeature)
{
    // The worked example of XEP-0115, section 5.2.
    xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
    EXPECT_EQ(capsVer(ctx, "client", "pc", "Exodus 0.9.1",
                      {"http://jabber.org/protocol/muc", "http://jabber.org/protocol/disco#info",
                       "http://jabber.org/protocol/disco#items", "http://jabber.org/protocol/caps"}),
              "QgayPKawpkPSDYmwT/WM94uAlu0=");
    xmpp_ctx_free(ctx);
    std::vector<std::string> f = discoFeatures({"CorvaneForFtp0000", "CorvaneForTcp2000"});
    for (const char* feature : {"urn:corvane:messenger:app:CorvaneForFtp0000",
                                "urn:corvane:messenger:app:CorvaneForTcp2000", "http://jabber.org/protocol/ibb"})
        EXPECT_NE(std::find(f.begin(), f.end(), feature), f.end()) << feature;
    EXPECT_TRUE(std::is_sorted(f.begin(), f.end()));
}
