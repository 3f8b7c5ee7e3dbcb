// What the server between two daemons can do to their streams and contacts,
// through the real Prosody: alice's daemon reaches it through a server of
// its own (tests/support/xmpp_tamper_proxy) that records every byte and may
// change one data block of a stream. The server must read no text of a
// stream; a block it flips, drops or replays ends the stream on both sides
// before the changed text or any after it reaches the program; and a
// contact it puts into the account's roster is no friend of the daemon's.
#include "tests/messenger/raw_xmpp_client.h"
#include "tests/messenger/xmpp_fixture.h"

#include <cstdio>
#include <random>
#include <string_view>
#include <thread>
#include <unordered_set>

using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;
const std::string kApp = StreamBetweenDaemons::kStreamApp;

std::string lowerHex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string lowered(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Every piece of `width` bytes at any offset of the texts it is given.
class Pieces {
public:
    Pieces(const std::vector<std::string>& texts, size_t width)
    {
        for (const std::string& t : texts)
            for (size_t i = 0; i + width <= t.size(); ++i)
                seen.insert(std::string_view(t).substr(i, width));
    }
    bool has(const std::string& piece) const { return seen.count(piece) != 0; }

private:
    std::unordered_set<std::string_view> seen;
};

class SealedStreams : public StreamBetweenDaemons {
protected:
    bool tamperAlice() const override { return true; }

    // The stream is gone for `p`'s program: a STREAMS line of kApp without
    // `ref` among the lines from number `from` of those it has skipped, or
    // one coming before `deadline`.
    bool streamGone(Peer& p, const std::string& ref, size_t from, Clock::time_point deadline)
    {
        const std::string prefix = "APPLICATION " + kApp + " STREAMS";
        auto gone = [&](const std::string& l) {
            return l.rfind(prefix, 0) == 0 && (l.size() == prefix.size() || l[prefix.size()] == ' ')
                   && l.find(ref) == std::string::npos;
        };
        const auto& skipped = p.client.skipped();
        for (size_t i = from; i < skipped.size(); ++i)
            if (gone(skipped[i]))
                return true;
        std::string line;
        auto now = Clock::now();
        auto left = deadline > now ? std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) : 0ms;
        return p.client.waitLine(gone, line, left);
    }

    // alice writes `texts` as the program does (the next one once SENDING is
    // empty, none after an error) while bob reads whatever arrives, until he
    // has read them all (`untilAll`) or his stream is gone, at the latest
    // at `deadline`. Returns what bob read; `bobGone` tells whether his
    // stream ended.
    std::vector<std::string> transfer(const std::vector<std::string>& texts, bool untilAll, Clock::time_point deadline,
                                      bool& bobGone)
    {
        std::thread writer([&] {
            std::string line;
            for (const std::string& t : texts) {
                if (!alice.client.command("ALTER APPLICATION " + kApp + " WRITE " + aRef + " " + t)
                    || !alice.client.waitLine(
                        [&](const std::string& l) {
                            return l == "ALTER APPLICATION " + kApp + " WRITE " + aRef || l.rfind("ERROR", 0) == 0;
                        },
                        line, 10s)
                    || line.rfind("ERROR", 0) == 0 || !waitPrefix(alice, "APPLICATION " + kApp + " SENDING", line, 10s))
                    return;
                if (line != "APPLICATION " + kApp + " SENDING"
                    && !alice.client.waitLine("APPLICATION " + kApp + " SENDING", 20s))
                    return;
            }
        });
        const std::string readPrefix = "ALTER APPLICATION " + kApp + " READ " + bRef + " ";
        const size_t bobFrom = bob.client.skipped().size();
        std::vector<std::string> read;
        bobGone = false;
        while (Clock::now() < deadline && !(untilAll && read.size() >= texts.size())) {
            std::string line;
            if (!bob.client.command("ALTER APPLICATION " + kApp + " READ " + bRef)
                || !bob.client.waitLine(
                    [&](const std::string& l) { return l.rfind(readPrefix, 0) == 0 || l.rfind("ERROR", 0) == 0; }, line,
                    10s))
                break;
            if (line.rfind(readPrefix, 0) == 0) {
                read.push_back(line.substr(readPrefix.size()));
                continue;
            }
            // Nothing to read (543) or no such stream (541).
            if (line.rfind("ERROR 541", 0) == 0 || streamGone(bob, bRef, bobFrom, Clock::now())) {
                bobGone = true;
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        writer.join();
        if (!bobGone && !untilAll)
            bobGone = streamGone(bob, bRef, bobFrom, deadline);
        return read;
    }
};

class SealedStreamTampering : public SealedStreams, public ::testing::WithParamInterface<IbbAction> {};

std::string actionName(const ::testing::TestParamInfo<IbbAction>& info)
{
    switch (info.param) {
        case IbbAction::FlipBit:
            return "FlipBit";
        case IbbAction::Drop:
            return "Drop";
        case IbbAction::Replay:
            return "Replay";
        case IbbAction::None:
            break;
    }
    return "None";
}

}  // namespace

void PrintTo(IbbAction action, std::ostream* out)
{
    *out << actionName(::testing::TestParamInfo<IbbAction>(action, 0));
}

TEST_F(SealedStreams, ServerRecordsNoPieceOfTheTexts)
{
    ASSERT_FALSE(HasFatalFailure());
    // 100 texts as the tunnel writes them: the hex of 1000 random bytes.
    std::random_device seed;
    std::mt19937_64 random(seed());
    std::vector<std::string> payloads, texts;
    for (int i = 0; i < 100; ++i) {
        std::string bytes(1000, '\0');
        for (char& b : bytes)
            b = static_cast<char>(random() & 0xff);
        payloads.push_back(bytes);
        texts.push_back(lowerHex(bytes));
    }
    bool gone = false;
    std::vector<std::string> read = transfer(texts, true, Clock::now() + 60s, gone);
    ASSERT_EQ(read.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i)
        ASSERT_TRUE(read[i] == texts[i]) << "text " << i << " arrived changed";
    EXPECT_FALSE(gone);

    // The server saw both directions of alice's connection: its bytes, and
    // the bytes inside every data block of it.
    const std::vector<std::string> recording = {aliceTamper->fromClient(), aliceTamper->fromServer()};
    std::vector<std::string> blocks;
    for (const std::string& r : recording) {
        int undecodable = 0;
        std::vector<std::string> b = XmppTamperProxy::ibbBlocks(r, undecodable);
        EXPECT_EQ(undecodable, 0);
        blocks.insert(blocks.end(), b.begin(), b.end());
    }
    EXPECT_GE(blocks.size(), texts.size()) << "the texts did not travel in data blocks through the recorded server";
    std::vector<std::string> recordingLower, blocksLower;
    for (const std::string& r : recording)
        recordingLower.push_back(lowered(r));
    for (const std::string& b : blocks)
        blocksLower.push_back(lowered(b));

    struct Seen {
        const char* where;
        Pieces raw;
        Pieces hex;  // in a lower-cased copy: either case of the digits
    };
    const Seen places[] = {{"the recorded bytes", Pieces(recording, 16), Pieces(recordingLower, 32)},
                           {"the decoded data blocks", Pieces(blocks, 16), Pieces(blocksLower, 32)}};
    for (const Seen& place : places) {
        int rawFound = 0, hexFound = 0;
        std::string example;
        for (size_t t = 0; t < payloads.size(); ++t)
            for (size_t at = 0; at + 16 <= payloads[t].size(); at += 16) {
                std::string piece = payloads[t].substr(at, 16);
                bool raw = place.raw.has(piece);
                bool hex = place.hex.has(lowerHex(piece));
                rawFound += raw;
                hexFound += hex;
                if ((raw || hex) && example.empty())
                    example = "bytes " + std::to_string(at) + " to " + std::to_string(at + 15) + " of text "
                              + std::to_string(t) + (raw ? " as they are" : " as hex");
            }
        EXPECT_EQ(rawFound, 0) << "16-byte pieces of the texts in " << place.where << ", e.g. " << example;
        EXPECT_EQ(hexFound, 0) << "16-byte pieces of the texts as hex in " << place.where << ", e.g. " << example;
    }
}

TEST_P(SealedStreamTampering, ChangedBlockEndsTheStreamBeforeItsText)
{
    ASSERT_FALSE(HasFatalFailure());
    // Distinct, numbered hex texts.
    std::vector<std::string> texts;
    for (int i = 0; i < 40; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%08x", i);
        std::string bytes(200, '\0');
        for (size_t k = 0; k < bytes.size(); ++k)
            bytes[k] = static_cast<char>((i * 131 + static_cast<int>(k) * 7) & 0xff);
        texts.push_back(number + lowerHex(bytes));
    }
    const size_t aliceFrom = alice.client.skipped().size();
    aliceTamper->arm(GetParam(), 10);
    const auto deadline = Clock::now() + 30s;
    bool bobGone = false;
    std::vector<std::string> read = transfer(texts, false, deadline, bobGone);
    ASSERT_TRUE(aliceTamper->acted()) << "block 10 of the stream never passed the server";

    // What bob's program read is what alice's wrote, from the start, without
    // a text changed, repeated or left out.
    for (size_t i = 0; i < read.size(); ++i) {
        ASSERT_LT(i, texts.size()) << "more texts read than written";
        ASSERT_TRUE(read[i] == texts[i]) << "text " << i << " read is not text " << i << " written, but one starting "
                                         << read[i].substr(0, 16) << " (changed, repeated or one left out)";
    }
    EXPECT_LT(read.size(), texts.size()) << "every text was read despite the changed block";
    EXPECT_TRUE(bobGone) << "bob's stream stayed open";
    EXPECT_TRUE(streamGone(alice, aRef, aliceFrom, deadline)) << "alice's stream stayed open";
}

INSTANTIATE_TEST_SUITE_P(Blocks, SealedStreamTampering,
                         ::testing::Values(IbbAction::FlipBit, IbbAction::Drop, IbbAction::Replay), actionName);

TEST_F(MessengerXmpp, RosterPushOfAnUnlistedContactMakesNoFriend)
{
    const std::string app = "CorvaneForFtp0000";
    ASSERT_EQ(ask(alice, "CREATE APPLICATION " + app, "CREATE"), "CREATE APPLICATION " + app);
    const size_t aliceFrom = alice.client.skipped().size();
    // The server (here: another client of alice's account and one of
    // carol's) makes carol a mutual contact of alice; carol is in no
    // `contact` line of alice's daemon.
    RawXmppClient other, carol;
    ASSERT_TRUE(other.login("alice@localhost/other", "alicepw", server->port(), 20s));
    ASSERT_TRUE(carol.login("carol@localhost/raw", "carolpw", server->port(), 20s));
    const std::string rosterGet = "<query xmlns='jabber:iq:roster'/></iq>";
    int round = 0;
    // A roster round trip after each presence: the server has taken it.
    auto settled = [&](RawXmppClient& c) {
        std::string id = "r" + std::to_string(++round);
        return c.request(id, "<iq type='get' id='" + id + "'>" + rosterGet, 10s) == "result";
    };
    other.send("<presence to='carol@localhost' type='subscribe'/>");
    ASSERT_TRUE(settled(other));
    carol.send("<presence to='alice@localhost' type='subscribed'/>");
    ASSERT_TRUE(settled(carol));
    carol.send("<presence to='alice@localhost' type='subscribe'/>");
    ASSERT_TRUE(settled(carol));
    other.send("<presence to='carol@localhost' type='subscribed'/>");
    ASSERT_TRUE(settled(other));
    auto mutual = [&] {
        std::string id = "r" + std::to_string(++round);
        if (other.request(id, "<iq type='get' id='" + id + "'>" + rosterGet, 10s) != "result")
            return false;
        std::string roster = other.answerXml(id);
        for (const char* q : {"'", "\""}) {
            size_t at = roster.find(std::string("jid=") + q + "carol@localhost" + q);
            size_t end = at == std::string::npos ? at : roster.find('>', at);
            size_t from = at == std::string::npos ? at : roster.rfind('<', at);
            if (at != std::string::npos
                && roster.substr(from, end - from).find(std::string("subscription=") + q + "both" + q)
                       != std::string::npos)
                return true;
        }
        return false;
    };
    bool isMutual = false;
    for (int i = 0; i < 50 && !(isMutual = mutual()); ++i)
        std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(isMutual) << "the server did not make carol a mutual contact of alice";
    // carol comes online offering the application.
    carol.send("<presence><applications xmlns='urn:corvane:messenger'><application name='" + app
               + "'/></applications></presence>");
    ASSERT_TRUE(settled(carol));

    // The roster pushes reach alice's daemon.
    const std::string ignored = "ignored the server's roster item for carol@localhost: not in the contact list";
    auto deadline = Clock::now() + 20s;
    while (Clock::now() < deadline && logOf(alice).find(ignored) == std::string::npos
           && logOf(alice).find("carol@localhost is now a contact") == std::string::npos)
        std::this_thread::sleep_for(100ms);
    EXPECT_NE(logOf(alice).find(ignored), std::string::npos);

    // carol is never a friend, nor connectable.
    for (int i = 0; i < 15; ++i) {
        std::string friends = ask(alice, "SEARCH FRIENDS", "USERS");
        std::string connectable = ask(alice, "GET APPLICATION " + app + " CONNECTABLE", "APPLICATION " + app);
        EXPECT_EQ(friends, "USERS bob@localhost");
        EXPECT_EQ(connectable, "APPLICATION " + app + " CONNECTABLE");
        if (friends != "USERS bob@localhost" || connectable != "APPLICATION " + app + " CONNECTABLE")
            break;
        std::this_thread::sleep_for(200ms);
    }
    const auto& skipped = alice.client.skipped();
    for (size_t i = aliceFrom; i < skipped.size(); ++i)
        EXPECT_NE(skipped[i], "USER carol@localhost BUDDYSTATUS 3");
}
