// The executable's start-up: a configuration with errors is reported with
// file, line and reason, and the daemon does not start.
#include "messenger/caps.h"
#include "tests/messenger/spawned.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(MessengerDaemon, ConfigErrorsStopTheStart)
{
    TempDir dir;
    writeFile(dir.file("bad.conf"), "jid = alice@localhost\npassword = pw\nport = many\n");
    Spawned d;
    ASSERT_TRUE(d.start({MESSENGERD_PATH, "--config", dir.file("bad.conf")}, dir.file("out")));
    EXPECT_EQ(d.wait(10s), 2);
    std::string out = readFile(dir.file("out"));
    EXPECT_NE(out.find(dir.file("bad.conf") + ":3: port must be a number from 1 to 65535, not 'many'"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("not started"), std::string::npos) << out;
}

TEST(MessengerDaemon, UsageErrors)
{
    TempDir dir;
    Spawned d;
    ASSERT_TRUE(d.start({MESSENGERD_PATH}, dir.file("out")));
    EXPECT_EQ(d.wait(10s), 2);
    EXPECT_NE(readFile(dir.file("out")).find("usage: messengerd --config FILE"), std::string::npos);
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
