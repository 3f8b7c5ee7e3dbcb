// The daemon's link to its server dies without a word (a relay in between
// stops forwarding and closes nothing, as a link that loses every packet):
// the daemon notices on its own, well before TCP would give up, reports it
// to its program as a lost server, and is back once the link is. A busy
// link whose server only reads slowly is not taken for a dead one.
#include "tests/messenger/xmpp_fixture.h"

#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kApp = StreamBetweenDaemons::kStreamApp;

// A stream between the daemons, each of which reaches the server through a
// relay (1 ms each way).
class LinkToServer : public StreamBetweenDaemons {
protected:
    std::chrono::milliseconds serverDelay() const override { return 1ms; }
};

// Prosody as Debian ships it (10 kB/s per client) and a bob that acknowledges
// only the first text it has not read: alice's texts leave at the server's
// pace and nothing comes back to her for a minute.
class SlowServer : public LinkToServer {
protected:
    std::chrono::milliseconds serverDelay() const override { return 0ms; }
    std::string serverRateLimit() const override { return "10kb/s"; }
    std::string extraConfig(const std::string& name) const override { return name == "bob" ? "max_unread = 1\n" : ""; }
};

std::string textOf(int i, size_t size)
{
    std::string t(size, '0');
    for (size_t k = 0; k < size; ++k)
        t[k] = "0123456789abcdef"[(static_cast<size_t>(i) * 7 + k * 13) % 16];
    return t;
}

}  // namespace

TEST_F(LinkToServer, DeadLinkIsReportedAsALostServerAndComesBack)
{
    ASSERT_FALSE(HasFatalFailure());
    aliceProxy->freeze();
    // Within the bound of the check (a ping after 5 quiet seconds, 10 s for
    // its answer): the stream is reported closed and then code 3, as for a
    // server that closed the connection.
    EXPECT_TRUE(alice.client.waitLine("APPLICATION " + kApp + " STREAMS", 25s));
    EXPECT_TRUE(alice.client.waitAttach(3, 5s));
    EXPECT_NE(logOf(alice).find("server connection lost: no answer to ping within 10 s"), std::string::npos);

    aliceProxy->thaw();
    EXPECT_TRUE(alice.client.waitAttach(0, 40s));
    ASSERT_TRUE(pollFor(alice, "GET APPLICATION " + kApp + " CONNECTABLE", "APPLICATION " + kApp + " CONNECTABLE",
                        "APPLICATION " + kApp + " CONNECTABLE bob@localhost"));
    // bob's program is told that the old stream is gone: the server ends
    // alice's old session when the relay passes the reset on, at the latest
    // when her new one takes its resource.
    EXPECT_TRUE(bob.client.waitLine("APPLICATION " + kApp + " STREAMS", 20s));
    std::string aRef2, bRef2;
    connectStream(kApp, aRef2, bRef2);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(alice.client.command("ALTER APPLICATION " + kApp + " WRITE " + aRef2 + " 0a0b0c"));
    std::string line;
    ASSERT_TRUE(waitPrefix(bob, "APPLICATION " + kApp + " RECEIVED " + bRef2 + "=", line));
    EXPECT_EQ(ask(bob, "ALTER APPLICATION " + kApp + " READ " + bRef2, "ALTER APPLICATION " + kApp + " READ"),
              "ALTER APPLICATION " + kApp + " READ " + bRef2 + " 0a0b0c");
}

TEST_F(SlowServer, BusyLinkWhoseServerReadsSlowlyIsKeptAlive)
{
    ASSERT_FALSE(HasFatalFailure());
    // 640 kB, about a minute at the server's pace; the ping sent after
    // 5 quiet seconds waits behind them.
    for (int i = 0; i < 32; ++i)
        ASSERT_TRUE(alice.client.command("ALTER APPLICATION " + kApp + " WRITE " + aRef + " " + textOf(i, 20480)));
    // (The stream itself may be given up meanwhile: bob's daemon cannot
    // answer the probe in time through the same queue. The server
    // connection must stay.)
    EXPECT_FALSE(alice.client.waitAttach(3, 30s)) << "alice's daemon gave its server up";
    EXPECT_EQ(logOf(alice).find("server connection lost"), std::string::npos);
    EXPECT_EQ(ask(alice, "GET USERSTATUS", "USERSTATUS"), "USERSTATUS ONLINE");
}
