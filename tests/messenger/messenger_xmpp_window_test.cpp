// Streams with many texts in flight between two daemons that reach the real
// Prosody through relays: order, bytes, the compact form with a peer that
// offers it and one that does not, a full window holding the writer, a slow
// reader, a stream broken with texts in flight, a server that throttles the
// account, a link that dies without a word, and what the server itself can
// read of the texts.
#include "tests/messenger/xmpp_fixture.h"

#include <deque>
#include <string_view>
#include <thread>
#include <unordered_set>

using namespace std::chrono_literals;

namespace {

const std::string kApp = StreamBetweenDaemons::kStreamApp;

// Each daemon reaches the server through a delay element of 25 ms one way
// (100 ms from one program to the other and back).
class DistantMessengers : public StreamBetweenDaemons {
protected:
    std::chrono::milliseconds serverDelay() const override { return 25ms; }
    // The bytes alice's daemon sent to the server per byte of text, for
    // `count` texts of 20 kB.
    double wireRatio(int count)
    {
        uint64_t before = aliceProxy->bytesToTarget();
        transfer(count, 20480);
        return static_cast<double>(aliceProxy->bytesToTarget() - before) / (count * 20480.0);
    }
};

// bob's daemon does not offer or take up the compact form.
class DistantPlainPeer : public DistantMessengers {
protected:
    std::string extraConfig(const std::string& name) const override { return name == "bob" ? "compact = no\n" : ""; }
};

// Four texts in flight for alice, eight unread texts for bob.
class DistantSmallWindow : public DistantMessengers {
protected:
    std::string extraConfig(const std::string& name) const override
    {
        return name == "alice" ? "window = 4\n" : "max_unread = 8\n";
    }
};

// Prosody as Debian ships it: every client limited to 10 kB/s. No delay
// element: the bytes must wait in the daemon's own socket, as they do when
// the server itself stops reading.
class ThrottledServer : public StreamBetweenDaemons {
protected:
    std::string serverRateLimit() const override { return "10kb/s"; }
};

// A relay of 1 ms each way, which can stop forwarding and close nothing.
class LinkToServer : public StreamBetweenDaemons {
protected:
    std::chrono::milliseconds serverDelay() const override { return 1ms; }
};

// The throttled server and a bob that acknowledges only the first text it
// has not read: alice's texts leave at the server's pace and nothing comes
// back to her.
class SlowServer : public ThrottledServer {
protected:
    std::string extraConfig(const std::string& name) const override { return name == "bob" ? "max_unread = 1\n" : ""; }
};

// alice's daemon reaches the server through a server of its own that
// records every byte.
class SealedStreams : public StreamBetweenDaemons {
protected:
    bool tamperAlice() const override { return true; }
};

std::string lowered(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string fromHex(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace

TEST_F(DistantMessengers, ThousandTextsOfTwentyKilobytesInOrderInCompactForm)
{
    ASSERT_FALSE(HasFatalFailure());
    // Hex texts travel as their bytes: about 0.68 bytes on alice's wire per
    // byte of text (1.34 in plain form).
    EXPECT_LT(wireRatio(1000), 0.72);
    EXPECT_NE(logOf(alice).find(", compact"), std::string::npos);
}

TEST_F(DistantPlainPeer, ThousandTextsOfTwentyKilobytesInOrderInPlainForm)
{
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_GT(wireRatio(1000), 1.3);
    EXPECT_EQ(logOf(alice).find(", compact"), std::string::npos);
    EXPECT_EQ(logOf(bob).find(", compact"), std::string::npos);
}

TEST_F(DistantSmallWindow, FullWindowHoldsTheWriterAndSlowReaderLosesNothing)
{
    ASSERT_FALSE(HasFatalFailure());
    const std::string listed = "APPLICATION " + kApp + " SENDING " + aRef + "=";
    const std::string clear = "APPLICATION " + kApp + " SENDING";
    std::string line;
    // bob does not read: 8 texts are acknowledged, then 4 stay in flight.
    int written = 0;
    bool held = false;
    for (; written < 40 && !held; ++written) {
        ASSERT_TRUE(
            alice.client.command("ALTER APPLICATION " + kApp + " WRITE " + aRef + " " + textFor(written, 1000)));
        ASSERT_TRUE(waitPrefix(alice, clear, line, 10s));
        if (line.rfind(listed, 0) == 0)
            held = !alice.client.waitLine(clear, 2s);
    }
    EXPECT_TRUE(held);
    EXPECT_EQ(written, 12);
    EXPECT_EQ(line, listed + "4000");
    // Each text read makes room for one withheld acknowledgement: the
    // writer is released by the first read and nothing was dropped.
    for (int i = 0; i < written; ++i) {
        ASSERT_TRUE(bob.client.command("ALTER APPLICATION " + kApp + " READ " + bRef));
        ASSERT_TRUE(waitPrefix(bob, "ALTER APPLICATION " + kApp + " READ", line, 10s));
        ASSERT_EQ(line, "ALTER APPLICATION " + kApp + " READ " + bRef + " " + textFor(i, 1000)) << i;
        if (i == 0) {
            EXPECT_TRUE(alice.client.waitLine(clear, 10s));
        }
    }
    EXPECT_EQ(ask(bob, "ALTER APPLICATION " + kApp + " READ " + bRef, "ERROR"), "ERROR 543 Nothing to read on " + bRef);
}

TEST_F(DistantMessengers, StreamBrokenWithTextsInFlightIsClosedOnBothSides)
{
    ASSERT_FALSE(HasFatalFailure());
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(alice.client.command("ALTER APPLICATION " + kApp + " WRITE " + aRef + " " + textFor(i, 20480)));
    ASSERT_TRUE(alice.client.waitLine("ALTER APPLICATION " + kApp + " WRITE " + aRef, 10s));
    // bob's link to the server breaks while the texts are on their way.
    bobProxy->cutAll();
    EXPECT_TRUE(alice.client.waitLine("APPLICATION " + kApp + " STREAMS", 20s));
    EXPECT_TRUE(bob.client.waitLine("APPLICATION " + kApp + " STREAMS", 20s));
    // Both daemons come back and streams work again.
    EXPECT_TRUE(bob.client.waitAttach(0, 30s));
    ASSERT_TRUE(pollFor(alice, "GET APPLICATION " + kApp + " CONNECTABLE", "APPLICATION " + kApp + " CONNECTABLE",
                        "APPLICATION " + kApp + " CONNECTABLE bob@localhost"));
    connectStream(kApp, aRef, bRef);
}

TEST_F(ThrottledServer, ThrottledAccountIsToldInTheLog)
{
    ASSERT_FALSE(HasFatalFailure());
    // A window full of texts: far more than the server takes in seconds.
    for (int i = 0; i < 32; ++i)
        ASSERT_TRUE(alice.client.command("ALTER APPLICATION " + kApp + " WRITE " + aRef + " " + textFor(i, 20480)));
    const std::string told = "the server takes only ";
    ASSERT_TRUE(waitForLog(alice, told, 30s)) << "no word of the limit";
    std::string log = logOf(alice);
    size_t at = log.find(told);
    std::string line = log.substr(at, log.find('\n', at) - at);
    // The figure is what the server took (on loopback, whose segments are
    // 64 KB, it may well be nothing in the first seconds), not the 640 kB
    // of texts the program wrote at once.
    EXPECT_LT(std::stod(line.substr(told.size())), 30.0) << line;
    EXPECT_NE(line.find("unlimited_jids"), std::string::npos) << line;
    // bob, whose server connection carries only acknowledgements, is not told.
    EXPECT_EQ(logOf(bob).find(told), std::string::npos);
}

// The relay stops forwarding and closes nothing, as a link that loses every
// packet: the daemon notices on its own, well before TCP would give up,
// reports it to its program as a lost server, and is back once the link is.
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
    connectStream(kApp, aRef, bRef);
    ASSERT_FALSE(HasFatalFailure());
    transfer(1, 6);
}

TEST_F(SlowServer, BusyLinkWhoseServerReadsSlowlyIsKeptAlive)
{
    ASSERT_FALSE(HasFatalFailure());
    // 640 kB, about a minute at the server's pace; the ping sent after
    // 5 quiet seconds waits behind them.
    for (int i = 0; i < 32; ++i)
        ASSERT_TRUE(alice.client.command("ALTER APPLICATION " + kApp + " WRITE " + aRef + " " + textFor(i, 20480)));
    // A link taken for dead is given up 15 s after the last byte from the
    // server (5 s quiet, 10 s for the ping's answer); nothing comes back
    // after the first seconds. (The stream itself may be given up
    // meanwhile: bob's daemon cannot answer the probe in time through the
    // same queue. The server connection must stay.)
    EXPECT_FALSE(alice.client.waitAttach(3, 20s)) << "alice's daemon gave its server up";
    EXPECT_EQ(logOf(alice).find("server connection lost"), std::string::npos);
    EXPECT_EQ(ask(alice, "GET USERSTATUS", "USERSTATUS"), "USERSTATUS ONLINE");
}

// The server must read no text of a stream: no 16-byte piece of the texts'
// bytes, as they are or as hex in either case, is in what passed the server
// nor in the data blocks decoded from it.
TEST_F(SealedStreams, ServerRecordsNoPieceOfTheTexts)
{
    ASSERT_FALSE(HasFatalFailure());
    const int count = 100;
    transfer(count, 2000);
    const std::vector<std::string> recording = {aliceTamper->fromClient(), aliceTamper->fromServer()};
    std::vector<std::string> blocks;
    for (const std::string& r : recording) {
        int undecodable = 0;
        std::vector<std::string> b = XmppTamperProxy::ibbBlocks(r, undecodable);
        EXPECT_EQ(undecodable, 0);
        blocks.insert(blocks.end(), b.begin(), b.end());
    }
    EXPECT_GE(blocks.size(), static_cast<size_t>(count)) << "the texts did not travel in data blocks";
    std::unordered_set<std::string_view> raw, hex;
    std::deque<std::string> kept;
    const std::vector<std::string>* places[] = {&recording, &blocks};
    for (const std::vector<std::string>* seen : places)
        for (const std::string& s : *seen) {
            const std::string& lower = kept.emplace_back(lowered(s));
            for (size_t i = 0; i + 16 <= s.size(); ++i)
                raw.insert(std::string_view(s).substr(i, 16));
            for (size_t i = 0; i + 32 <= lower.size(); ++i)
                hex.insert(std::string_view(lower).substr(i, 32));
        }
    int found = 0;
    for (int t = 0; t < count; ++t) {
        const std::string text = lowered(textFor(t, 2000));
        for (size_t at = 0; at + 32 <= text.size(); at += 32) {
            const std::string piece = text.substr(at, 32);
            found += raw.count(fromHex(piece)) + hex.count(piece);
        }
    }
    EXPECT_EQ(found, 0) << "pieces of the texts passed the server readable";
}
