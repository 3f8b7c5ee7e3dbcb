// Streams with many texts in flight, between two daemons that each reach the
// real Prosody through a delay element of 25 ms one way (100 ms from one
// program to the other and back): order, bytes, the compact form with a peer
// that offers it and one that does not, a full window holding the writer, a
// slow reader, a stream broken with texts in flight, and a server that
// throttles the account.
#include "tests/messenger/xmpp_fixture.h"

#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kApp = StreamBetweenDaemons::kStreamApp;

// Text number i of a run: lower-case hex (what the program writes), except
// every 50th, which is not hex and must travel as it is.
std::string textFor(int i, size_t size)
{
    std::string t(size, ' ');
    uint32_t x = 2654435761u * static_cast<uint32_t>(i + 1);
    const char* digits = i % 50 == 7 ? "0123456789ABCDEF" : "0123456789abcdef";
    for (size_t k = 0; k < size; ++k) {
        x = x * 1103515245u + 12345u;
        t[k] = digits[(x >> 16) & 15];
    }
    return t;
}

class DistantMessengers : public StreamBetweenDaemons {
protected:
    std::chrono::milliseconds serverDelay() const override { return 25ms; }

    // alice writes `count` texts as the program does (the next one once
    // SENDING is empty) while bob reads each as soon as it is there; every
    // text must arrive whole, once, in order.
    void transfer(int count, size_t size)
    {
        std::string writeError;
        std::thread writer([&] {
            std::string line;
            for (int i = 0; i < count && writeError.empty(); ++i) {
                if (!alice.client.command("ALTER APPLICATION " + kApp + " WRITE " + aRef + " " + textFor(i, size))
                    || !alice.client.waitLine("ALTER APPLICATION " + kApp + " WRITE " + aRef, 20s)
                    || !waitPrefix(alice, "APPLICATION " + kApp + " SENDING", line, 20s))
                    writeError = "no answer to WRITE " + std::to_string(i);
                else if (line != "APPLICATION " + kApp + " SENDING"
                         && !alice.client.waitLine("APPLICATION " + kApp + " SENDING", 20s))
                    writeError = "never released after text " + std::to_string(i);
            }
        });
        const std::string readPrefix = "ALTER APPLICATION " + kApp + " READ " + bRef + " ";
        int read = 0;
        auto deadline = std::chrono::steady_clock::now() + 120s;
        while (read < count && std::chrono::steady_clock::now() < deadline) {
            std::string line;
            ASSERT_TRUE(bob.client.command("ALTER APPLICATION " + kApp + " READ " + bRef));
            ASSERT_TRUE(bob.client.waitLine(
                [&](const std::string& l) { return l.rfind(readPrefix, 0) == 0 || l.rfind("ERROR", 0) == 0; }, line,
                20s));
            if (line.rfind("ERROR 543", 0) == 0) {
                std::this_thread::sleep_for(2ms);
                continue;
            }
            ASSERT_EQ(line.size(), readPrefix.size() + size) << "text " << read;
            ASSERT_TRUE(line.compare(readPrefix.size(), size, textFor(read, size)) == 0) << "text " << read;
            ++read;
        }
        writer.join();
        EXPECT_EQ(writeError, "");
        EXPECT_EQ(read, count);
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

}  // namespace

TEST_F(DistantMessengers, ThousandTextsOfTwentyKilobytesInOrderInCompactForm)
{
    ASSERT_FALSE(HasFatalFailure());
    uint64_t before = aliceProxy->bytesToTarget();
    transfer(1000, 20480);
    EXPECT_NE(logOf(alice).find(", compact"), std::string::npos);
    // Hex texts travel as their bytes: about 0.68 bytes on alice's wire per
    // byte of text (1.34 in plain form).
    double ratio = static_cast<double>(aliceProxy->bytesToTarget() - before) / (1000.0 * 20480);
    EXPECT_LT(ratio, 0.72);
}

TEST_F(DistantPlainPeer, ThousandTextsOfTwentyKilobytesInOrderInPlainForm)
{
    ASSERT_FALSE(HasFatalFailure());
    uint64_t before = aliceProxy->bytesToTarget();
    transfer(1000, 20480);
    EXPECT_EQ(logOf(alice).find(", compact"), std::string::npos);
    EXPECT_EQ(logOf(bob).find(", compact"), std::string::npos);
    double ratio = static_cast<double>(aliceProxy->bytesToTarget() - before) / (1000.0 * 20480);
    EXPECT_GT(ratio, 1.3);
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
    std::string aRef2, bRef2;
    connectStream(kApp, aRef2, bRef2);
}

TEST_F(ThrottledServer, ThrottledAccountIsToldInTheLog)
{
    ASSERT_FALSE(HasFatalFailure());
    // A window full of texts: far more than the server takes in seconds.
    for (int i = 0; i < 32; ++i)
        ASSERT_TRUE(alice.client.command("ALTER APPLICATION " + kApp + " WRITE " + aRef + " " + textFor(i, 20480)));
    const std::string told = "the server takes only ";
    auto deadline = std::chrono::steady_clock::now() + 30s;
    while (logOf(alice).find(told) == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(200ms);
    std::string log = logOf(alice);
    size_t at = log.find(told);
    ASSERT_NE(at, std::string::npos) << "no word of the limit";
    std::string line = log.substr(at, log.find('\n', at) - at);
    // The figure is what the server took (on loopback, whose segments are
    // 64 KB, it may well be nothing in the first seconds), not the 640 kB
    // of texts the program wrote at once.
    double rate = std::stod(line.substr(told.size()));
    EXPECT_LT(rate, 30.0) << line;
    EXPECT_NE(line.find("unlimited_jids"), std::string::npos) << line;
    // bob, whose server connection carries only acknowledgements, is not told.
    EXPECT_EQ(logOf(bob).find(told), std::string::npos);
}
