// Contacts' keys through the real Prosody: the first stream pins the
// contact's key, a fingerprint pinned beforehand with --trust is checked,
// and a contact whose key file was replaced is refused in both directions
// until the user trusts the new key.
#include "tests/messenger/xmpp_fixture.h"

#include <cstdio>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kApp = "CorvaneForTcp2000";

class ContactKeys : public MessengerXmpp {
protected:
    // Runs messengerd with `args` for `p`'s configuration; its output.
    std::string cli(const Peer& p, std::vector<std::string> args, int& status)
    {
        static int runs = 0;
        const std::string out = dir->file("cli" + std::to_string(++runs) + ".out");
        args.insert(args.begin(), {MESSENGERD_PATH, "--config", p.config});
        Spawned run;
        if (!run.start(args, out)) {
            status = -1;
            return std::string();
        }
        status = run.wait(10s);
        std::ifstream in(out);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    }
    std::string fingerprint(const Peer& p)
    {
        int status = 0;
        std::string fp = cli(p, {"--fingerprint"}, status);
        EXPECT_EQ(status, 0) << fp;
        EXPECT_EQ(fp.size(), 49u) << fp;  // ten groups of four
        return fp;
    }
    void trust(const Peer& p, const std::string& jid, const std::string& fp)
    {
        int status = 0;
        std::string out = cli(p, {"--trust", jid, fp}, status);
        EXPECT_EQ(status, 0) << out;
    }
    // alice asks for a stream to bob; true when both programs get it within
    // `wait`. A refused one leaves both STREAMS lists as they were.
    bool aliceConnects(std::chrono::milliseconds wait = 10s)
    {
        std::string line;
        alice.client.command("ALTER APPLICATION " + kApp + " CONNECT bob@localhost");
        auto listed = [](const std::string& who) {
            return [who](const std::string& l) {
                return l.rfind("APPLICATION " + kApp + " STREAMS", 0) == 0 && l.find(who) != std::string::npos;
            };
        };
        return alice.client.waitLine(listed("bob@localhost:"), line, wait)
               && bob.client.waitLine(listed("alice@localhost:"), line, wait);
    }
    bool bobConnects(std::chrono::milliseconds wait)
    {
        std::string line;
        bob.client.command("ALTER APPLICATION " + kApp + " CONNECT alice@localhost");
        return bob.client.waitLine(
            [](const std::string& l) {
                return l.rfind("APPLICATION " + kApp + " STREAMS", 0) == 0
                       && l.find("alice@localhost:") != std::string::npos;
            },
            line, wait);
    }
    bool waitForLog(const Peer& p, const std::string& text, std::chrono::milliseconds wait = 10s)
    {
        auto deadline = std::chrono::steady_clock::now() + wait;
        while (logOf(p).find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }
};

}  // namespace

TEST_F(ContactKeys, FingerprintTrustedBeforeTheFirstStream)
{
    const std::string bobFp = fingerprint(bob);
    trust(alice, "bob@localhost", bobFp);
    createOnBoth(kApp);
    ASSERT_TRUE(aliceConnects());
    EXPECT_TRUE(waitForLog(alice, "the key of bob@localhost matches the fingerprint trusted for it: " + bobFp));
    // bob had nothing pinned: its first stream with alice pinned her key.
    EXPECT_TRUE(waitForLog(bob, "pinned the key of alice@localhost on first use: fingerprint " + fingerprint(alice)));
}

TEST_F(ContactKeys, WrongTrustedFingerprintRefusesTheContact)
{
    const std::string wrong = "0123 4567 89AB CDEF 0123 4567 89AB CDEF 0123 4567";
    trust(alice, "bob@localhost", wrong);
    createOnBoth(kApp);
    EXPECT_FALSE(aliceConnects(4s));
    EXPECT_TRUE(waitForLog(alice, "refused a stream of " + kApp
                                      + " with bob@localhost: its key has changed: pinned fingerprint " + wrong
                                      + ", offered " + fingerprint(bob)));
    // Nor may bob open one: alice checks the key of every stream.
    EXPECT_FALSE(bobConnects(4s));
}

TEST_F(ContactKeys, ReplacedKeyFileIsRefusedUntilTrustedAgain)
{
    createOnBoth(kApp);
    ASSERT_TRUE(aliceConnects());
    const std::string oldFp = fingerprint(bob);
    ASSERT_TRUE(waitForLog(alice, "pinned the key of bob@localhost on first use: fingerprint " + oldFp));

    // bob's PC gets a new key file (a reinstall, or someone else's daemon
    // logging in as bob).
    bob.client.close();
    ASSERT_EQ(bob.daemon.stop(8s), 0);
    const std::string keyFile = bob.config.substr(0, bob.config.rfind('.')) + ".key";
    ASSERT_EQ(std::remove(keyFile.c_str()), 0) << keyFile;
    ASSERT_TRUE(startDaemon(bob));
    ASSERT_TRUE(attach(bob));
    const std::string newFp = fingerprint(bob);
    ASSERT_NE(newFp, oldFp);
    ASSERT_EQ(ask(bob, "CREATE APPLICATION " + kApp, "CREATE"), "CREATE APPLICATION " + kApp);
    ASSERT_TRUE(pollFor(alice, "GET APPLICATION " + kApp + " CONNECTABLE", "APPLICATION " + kApp + " CONNECTABLE",
                        "APPLICATION " + kApp + " CONNECTABLE bob@localhost"));

    EXPECT_FALSE(aliceConnects(4s));
    EXPECT_TRUE(waitForLog(alice, "refused a stream of " + kApp
                                      + " with bob@localhost: its key has changed: pinned fingerprint " + oldFp
                                      + ", offered " + newFp));
    EXPECT_FALSE(bobConnects(4s));

    // The user checks the new fingerprint with bob and trusts it.
    trust(alice, "bob@localhost", newFp);
    EXPECT_TRUE(aliceConnects());
}
