// The core against fake program and XMPP sides: attach codes, the answers of
// the command set, and the stream life cycle with flow control.
#include "messenger/core/command.h"
#include "messenger/core/compact_text.h"
#include "messenger/core/messenger.h"
#include "tests/messenger/fake_sides.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <utility>

using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

const std::string kApp = "CorvaneForFtp0000";
const std::string kAlice = "alice@h.test";
const std::string kBob = "bob@h.test";
const std::string kBobFull = "bob@h.test/pc";
// Commands on kApp and the lines that tell of it.
const std::string kAlter = "ALTER APPLICATION " + kApp + " ";
const std::string kOfApp = "APPLICATION " + kApp + " ";
// What a handshake block shows in the fake link's calls.
const std::string kHandshake = "<handshake>";

class MessengerCore : public ::testing::Test {
protected:
    // By default at most 3 unread texts per stream, peers get 30 s to
    // answer, one text in flight and no compact form (a daemon of the first
    // version).
    explicit MessengerCore(StreamSettings settings = StreamSettings{3, 30s, 1, false})
        : offer(settings.compact), core(sink, link, link, log, kAlice, {kBob, "dave@h.test"}, settings, aliceKeys, pins)
    {
        log.open("/dev/null");
        log.setCapture(true);
        link.reveal = [this](const std::string& sid, const std::string& block) { return bobReads(sid, block); };
    }

    // Online, bob a mutual contact running kApp, client 1 attached with kApp.
    void SetUp() override
    {
        core.tick(t0);
        core.rosterItem(kBob, "both");
        core.rosterItem("carol@h.test", "from");
        core.serverOnline();
        core.presence(kBobFull, true, "", {kApp});
        core.clientDiscover(1);
        command("CREATE APPLICATION " + kApp);
        clear();
    }

    // bob's daemon, as far as the seal of its streams goes.
    struct BobStream {
        std::unique_ptr<StreamSeal> seal;
        std::deque<std::string> pending;  // bob's blocks not yet delivered
        uint16_t nextSeq = 0;             // of bob's next block
        int handshakeFromCore = 0;        // handshake blocks the core sent, not yet acknowledged
        int handshakeSeen = 0;            // all handshake blocks the core sent
        bool endSeen = false;             // the core sent its sealed end
    };
    // The block the core sent on `sid`, read by bob: a handshake block is
    // answered (the answer waits in `pending`), a text is opened.
    std::string bobReads(const std::string& sid, const std::string& block)
    {
        BobStream& b = bob[sid];
        if (!b.seal)
            b.seal = StreamSeal::acceptor(bobKeys, StreamSeal::prologue(kAlice, kBob, sid, link.lastApp, bobSeesOffer),
                                          bobTakesCompact ? 1 : 0);
        if (b.seal->step() == StreamSeal::Step::Established) {
            std::string text;
            if (b.seal->open(block, text))
                return text;
            // The sealed end before a close: seen by bob, not in the calls.
            b.endSeen = b.seal->openEnd(block);
            return b.endSeen ? kNotShown : "<does not open>";
        }
        ++b.handshakeFromCore;
        ++b.handshakeSeen;
        if (b.seal->receive(block) == StreamSeal::Step::Verify)
            b.seal->accept();
        for (std::string& next : b.seal->takeBlocks())
            b.pending.push_back(std::move(next));
        return kHandshake;
    }
    // Hands bob's waiting blocks of `sid` to the core, in order.
    void deliver(const std::string& sid)
    {
        BobStream& b = bob[sid];
        while (!b.pending.empty()) {
            std::string next = std::move(b.pending.front());
            b.pending.pop_front();
            core.block(kBobFull, sid, b.nextSeq++, next, iq("hs"));
        }
    }
    // bob answers the oldest block the core sent on `sid`.
    void answerBlock(const std::string& sid, bool ok)
    {
        std::deque<uint16_t>& sent = link.unanswered[sid];
        ASSERT_FALSE(sent.empty());
        core.blockResult(kBobFull, sid, sent.front(), ok);
        sent.pop_front();
    }
    // bob acknowledges the core's handshake blocks of `sid`.
    void ackHandshake(const std::string& sid)
    {
        for (; bob[sid].handshakeFromCore > 0; --bob[sid].handshakeFromCore)
            answerBlock(sid, true);
    }
    // Client 1 connects to bob, whose open's answer says `answerCompact`,
    // and bob's first handshake blocks come in: returns the sid.
    std::string connectToBob(bool answerCompact = false)
    {
        command(kAlter + "CONNECT " + kBob);
        const std::string sid = link.lastSid;
        core.openResult(kBobFull, sid, true, answerCompact);
        deliver(sid);
        return sid;
    }
    // Opens a stream from client 1 to bob: returns its sid. `peerCompact`:
    // bob's daemon takes up the compact form.
    std::string openToBob(bool peerCompact = false)
    {
        bobTakesCompact = peerCompact;
        bobSeesOffer = offer;
        const std::string sid = connectToBob(peerCompact);
        ackHandshake(sid);
        clear();
        return sid;
    }
    // bob opens stream `sid` of `app` and runs its handshake; what the
    // core sent and told its program stays to be taken.
    void openFromBob(const std::string& sid, const std::string& app = kApp, bool offersCompact = false)
    {
        bobOpens(sid, app, offersCompact);
        deliver(sid);
        ackHandshake(sid);
    }
    // Only the request, and bob's first handshake block made ready.
    // `aliceKey`: the key bob's daemon has pinned for alice (IK), or null.
    void bobOpens(const std::string& sid, const std::string& app = kApp, bool offersCompact = false,
                  const noise::Key* aliceKey = nullptr)
    {
        BobStream& b = bob[sid];
        b.seal = StreamSeal::opener(bobKeys, StreamSeal::prologue(kBob, kAlice, sid, app, offersCompact), aliceKey);
        for (std::string& next : b.seal->takeBlocks())
            b.pending.push_back(std::move(next));
        core.openRequest(kBobFull, sid, app, offersCompact, iq("open"));
    }
    // One text from bob on `sid`, sealed as bob's daemon seals it (`bytes`:
    // the block's content before sealing, compact form included).
    void fromBob(const std::string& sid, const std::string& bytes, const std::string& iqId)
    {
        BobStream& b = bob[sid];
        core.block(kBobFull, sid, b.nextSeq++, b.seal->seal(bytes), iq(iqId));
    }
    // The data line of the core's text `k` (from 0) on `sid`, behind the
    // handshake's blocks.
    std::string sent(const std::string& sid, int k, const std::string& text)
    {
        return "data " + kBobFull + " " + std::to_string(k + bob[sid].handshakeSeen) + " " + text;
    }
    IqRef iq(const std::string& id) { return IqRef{kBobFull, id}; }
    void clear()
    {
        sink.take(1);
        link.take();
    }
    void command(const std::string& line) { core.clientCommand(1, line); }
    bool logged(const std::string& part) { return log.captured().find(part) != std::string::npos; }

    const Messenger::Clock::time_point t0 = Messenger::Clock::now();

    const bool offer;  // the core offers the compact form
    bool bobTakesCompact = false;
    bool bobSeesOffer = false;  // the offer as bob's daemon got it
    noise::KeyPair aliceKeys = noise::KeyPair::generate();
    noise::KeyPair bobKeys = noise::KeyPair::generate();
    std::map<std::string, BobStream> bob;
    FakePins pins;
    FakeSink sink;
    FakeLink link;
    Log log;
    Messenger core;
};

// Three texts in flight per stream, compact form offered.
class MessengerWindow : public MessengerCore {
protected:
    MessengerWindow() : MessengerCore(StreamSettings{3, 30s, 3, true}) {}
};

// Many unread texts per stream, so that bytes set the limits.
class MessengerBytes : public MessengerCore {
protected:
    MessengerBytes() : MessengerCore(StreamSettings{100000, 30s, 1, false}) {}
};

// Nothing set up: offline, no roster, no program.
class MessengerAttach : public MessengerCore {
protected:
    void SetUp() override {}
};

}  // namespace

TEST_F(MessengerAttach, CodesFollowTheServerConnectionAndSubscriptionsOnlyListedContacts)
{
    core.rosterItem(kBob, "none");
    core.serverOnline();
    Lines calls = link.take();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "subscribe bob@h.test"), calls.end());
    core.subscriptionRequest("mallory@h.test");
    EXPECT_TRUE(link.take().empty());
    // Asked already in this session: only the approval goes out.
    core.subscriptionRequest(kBob);
    EXPECT_EQ(link.take(), (Lines{"subscribed bob@h.test"}));
    core.clientCommand(5, "SEARCH FRIENDS");
    EXPECT_TRUE(sink.take(5).empty());
    core.serverOffline();
    core.clientDiscover(1);
    // Told 3 only: still no C frame, until code 0 has been sent.
    core.clientCommand(1, "PING");
    EXPECT_EQ(sink.take(1), (Lines{"A 3 0"}));
    core.serverOnline();
    core.clientCommand(1, "PING");
    EXPECT_EQ(sink.take(1), (Lines{"A 32769 0", "A 0 h", "USERSTATUS ONLINE", "PONG"}));
    core.clientDiscover(2);
    EXPECT_EQ(sink.take(2), (Lines{"A 0 h", "USERSTATUS ONLINE"}));
    // Once attached, a lost server does not make it a stranger.
    core.serverOffline();
    core.clientCommand(1, "PING");
    EXPECT_EQ(sink.take(1), (Lines{"USERSTATUS OFFLINE", "A 3 0", "PONG"}));
    EXPECT_EQ(sink.take(2), (Lines{"USERSTATUS OFFLINE", "A 3 0"}));
    core.serverOnline();
    EXPECT_EQ(sink.take(2), (Lines{"A 32769 0", "A 0 h", "USERSTATUS ONLINE"}));
}

TEST_F(MessengerCore, UserPresenceApplicationsAndTheRosterDecideWhoIsAContact)
{
    core.rosterItem("dave@h.test", "both");
    // The server puts mallory on the roster, mutually subscribed, online
    // and running the application: still no friend.
    core.rosterItem("mallory@h.test", "both");
    core.presence("mallory@h.test/x", true, "", {kApp});
    command("SEARCH FRIENDS");
    command("GET CURRENTUSERHANDLE");
    command("GET USER bob@h.test ONLINESTATUS");
    command("GET USER dave@h.test ONLINESTATUS");
    command("GET USER mallory@h.test ONLINESTATUS");
    core.presence("dave@h.test/x", true, "", {"OtherApp"});
    core.presence("carol@h.test/x", true, "", {kApp});  // not mutual
    command("CREATE APPLICATION Second");
    command("GET APPLICATION " + kApp + " CONNECTABLE");
    command("GET APPLICATION Second CONNECTABLE");
    command("GET APPLICATION Nope CONNECTABLE");
    command("FLY AWAY");
    core.presence(kBobFull, true, "away", {kApp});
    core.presence(kBobFull, true, "dnd", {kApp});
    core.presence(kBobFull, true, "xa", {});
    core.presence(kBobFull, false, "", {});
    EXPECT_EQ(sink.take(1), (Lines{"USER dave@h.test BUDDYSTATUS 3", "USERS bob@h.test, dave@h.test",
                                   "CURRENTUSERHANDLE alice@h.test", "USER bob@h.test ONLINESTATUS ONLINE",
                                   "USER dave@h.test ONLINESTATUS OFFLINE", "USER mallory@h.test ONLINESTATUS UNKNOWN",
                                   "USER dave@h.test ONLINESTATUS ONLINE", "CREATE APPLICATION Second",
                                   kOfApp + "CONNECTABLE bob@h.test", "APPLICATION Second CONNECTABLE",
                                   "ERROR 540 Unknown application Nope", "ERROR 2 Unknown command",
                                   "USER bob@h.test ONLINESTATUS AWAY", "USER bob@h.test ONLINESTATUS DND",
                                   "USER bob@h.test ONLINESTATUS NA", "USER bob@h.test ONLINESTATUS OFFLINE"}));
    EXPECT_TRUE(logged("ignored the server's roster item for mallory@h.test: not in the contact list"));
    core.openRequest("mallory@h.test/x", "m", kApp, false, IqRef{"mallory@h.test/x", "m1"});
    EXPECT_EQ(link.take(), (Lines{"advertise " + kApp + " Second", "answer m1 forbidden"}));
    EXPECT_FALSE(core.mayQuery("mallory@h.test"));
    command("DELETE APPLICATION Second");
    EXPECT_EQ(sink.take(1), (Lines{"DELETE APPLICATION Second"}));
    EXPECT_EQ(link.take(), (Lines{"advertise " + kApp}));

    // Removal from the roster ends the contact.
    core.presence(kBobFull, true, "", {kApp});
    openToBob();
    openFromBob("in");
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS bob@h.test:1 bob@h.test:2"}));
    link.take();
    core.rosterRemoved(kBob);
    EXPECT_EQ(link.take(), (Lines{"close " + kBobFull, "close " + kBobFull}));
    command("SEARCH FRIENDS");
    command("GET USER bob@h.test ONLINESTATUS");
    command("GET APPLICATION " + kApp + " CONNECTABLE");
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS bob@h.test:2", kOfApp + "STREAMS", "USERS dave@h.test",
                                   "USER bob@h.test ONLINESTATUS UNKNOWN", kOfApp + "CONNECTABLE"}));
    // No longer a contact: bob may not open a stream, nor be connected to.
    core.openRequest(kBobFull, "again", kApp, false, iq("o3"));
    EXPECT_EQ(link.take(), (Lines{"answer o3 forbidden"}));
    command(kAlter + "CONNECT " + kBob);
    EXPECT_TRUE(link.take().empty());
}

TEST_F(MessengerCore, ConnectWriteAndWhatEndsTheStreams)
{
    command(kAlter + "CONNECT " + kBob);
    EXPECT_EQ(link.take(), (Lines{"open " + kBobFull + " " + kApp, "data " + kBobFull + " 0 " + kHandshake}));
    const std::string sid = link.lastSid;
    core.openResult(kBobFull, sid, true, false);
    EXPECT_EQ(sink.take(1), (Lines{kAlter + "CONNECT " + kBob, kOfApp + "CONNECTING " + kBob}));
    deliver(sid);
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS bob@h.test:1"}));
    EXPECT_TRUE(logged("opened stream bob@h.test:1 of " + kApp + " (sid " + sid + ", sealed, XX)"));
    command(kAlter + "CONNECT " + kBob);
    core.openResult(kBobFull, link.lastSid, false, false);
    command(kAlter + "CONNECT carol@h.test");
    EXPECT_EQ(sink.take(1), (Lines{kAlter + "CONNECT " + kBob, kOfApp + "CONNECTING " + kBob,
                                   kAlter + "CONNECT carol@h.test", kOfApp + "CONNECTING carol@h.test"}));
    EXPECT_NE(log.captured().find("carol@h.test is not a contact"), std::string::npos);
    // Ids are never reused: the next stream after a disconnect is 2.
    command(kAlter + "DISCONNECT bob@h.test:1");
    EXPECT_EQ(sink.take(1), (Lines{kAlter + "DISCONNECT bob@h.test:1", kOfApp + "STREAMS"}));
    EXPECT_EQ(link.take().back(), "close " + kBobFull);
    std::string second = openToBob();
    command(kAlter + "READ bob@h.test:1");
    command(kAlter + "READ bob@h.test:2");
    EXPECT_EQ(sink.take(1),
              (Lines{"ERROR 541 Unknown stream bob@h.test:1", "ERROR 543 Nothing to read on bob@h.test:2"}));

    command(kAlter + "WRITE bob@h.test:2 hello");
    command(kAlter + "WRITE bob@h.test:2 abc");
    EXPECT_EQ(link.take(), (Lines{sent(second, 0, "hello"), sent(second, 1, "abc")}));
    answerBlock(second, true);
    answerBlock(second, true);
    EXPECT_EQ(sink.take(1),
              (Lines{kAlter + "WRITE bob@h.test:2", kOfApp + "SENDING bob@h.test:2=5", kAlter + "WRITE bob@h.test:2",
                     kOfApp + "SENDING bob@h.test:2=8", kOfApp + "SENDING bob@h.test:2=3", kOfApp + "SENDING"}));

    core.serverOffline();
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS", "USERSTATUS OFFLINE", "A 3 0"}));
    core.serverOnline();
    core.presence(kBobFull, true, "", {kApp});
    const std::string third = openToBob();
    core.clientClosed(1);
    EXPECT_EQ(link.take(), (Lines{"close " + kBobFull, "advertise"}));
    EXPECT_TRUE(bob[third].endSeen);  // the sealed end went before the close
    EXPECT_EQ(core.streamCount(), 0u);
}

TEST_F(MessengerCore, IncomingStreamsFromContactsOnly)
{
    // Names chosen by others are cut and escaped in the log.
    core.openRequest("carol@h.test/x", "s1", "\x1b[2J" + std::string(1 << 20, 'A'), false,
                     IqRef{"carol@h.test/x", "i1"});
    EXPECT_TRUE(logged("refused a stream request of \\x1b[2J" + std::string(193, 'A')
                       + "...[cut, 1048580 bytes] from carol@h.test/x: not a contact"));
    EXPECT_LT(log.captured().size(), 2000u);
    core.openRequest(kBobFull, "s2", "NotRunHere", false, iq("i2"));
    EXPECT_EQ(link.take(), (Lines{"answer i1 forbidden", "answer i2 not-acceptable"}));
    // This daemon does not take up the compact form bob offers.
    bobOpens("s3", kApp, true);
    EXPECT_EQ(link.take(), (Lines{"answer open result"}));
    EXPECT_TRUE(sink.take(1).empty());
    deliver("s3");
    // XX: bob's key goes last, and the core confirms it has checked it.
    EXPECT_EQ(link.take(), (Lines{"answer hs result", "data " + kBobFull + " 0 " + kHandshake, "answer hs result",
                                  "data " + kBobFull + " 1 " + kHandshake}));
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS bob@h.test:1"}));
    // Its blocks are texts as they are, even one that looks tagged.
    fromBob("s3", std::string("\1\x12", 2), "d0");
    command(kAlter + "READ bob@h.test:1");
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "RECEIVED bob@h.test:1=2",
                                   kAlter + "READ bob@h.test:1 " + std::string("\1\x12", 2), kOfApp + "RECEIVED"}));
    core.closeRequest(kBobFull, "s3", iq("i4"));
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS"}));
}

TEST_F(MessengerCore, ReadGivesOneTextInOrderAndWithholdsAcksWhenFullAndAPeerIgnoringThatLosesTheStream)
{
    openFromBob("s");
    clear();
    // maxUnread is 3: the fourth and fifth texts keep their acknowledgement.
    for (int i = 0; i < 5; ++i)
        fromBob("s", "t" + std::to_string(i), "d" + std::to_string(i));
    EXPECT_EQ(link.take(), (Lines{"answer d0 result", "answer d1 result", "answer d2 result"}));
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "RECEIVED bob@h.test:1=2"}));
    command(kAlter + "READ bob@h.test:1");
    EXPECT_EQ(link.take(), (Lines{"answer d3 result"}));
    for (int i = 0; i < 4; ++i)
        command(kAlter + "READ bob@h.test:1");
    EXPECT_EQ(link.take(), (Lines{"answer d4 result"}));
    EXPECT_EQ(sink.take(1), (Lines{kAlter + "READ bob@h.test:1 t0", kOfApp + "RECEIVED bob@h.test:1=8",
                                   kAlter + "READ bob@h.test:1 t1", kOfApp + "RECEIVED bob@h.test:1=6",
                                   kAlter + "READ bob@h.test:1 t2", kOfApp + "RECEIVED bob@h.test:1=4",
                                   kAlter + "READ bob@h.test:1 t3", kOfApp + "RECEIVED bob@h.test:1=2",
                                   kAlter + "READ bob@h.test:1 t4", kOfApp + "RECEIVED"}));
    // Sealed right, numbered wrong: the stream ends.
    core.block(kBobFull, "s", static_cast<uint16_t>(bob["s"].nextSeq + 1), bob["s"].seal->seal("skipped one"),
               iq("d9"));
    EXPECT_EQ(link.take(), (Lines{"answer d9 unexpected-request", "close " + kBobFull}));
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS"}));

    // A peer ignoring back pressure: 3 texts are acknowledged, the next
    // kMaxWithheld are kept unacknowledged, one more ends the stream.
    openFromBob("s2");
    clear();
    const int kept = 3 + static_cast<int>(Streams::kMaxWithheld);
    for (int i = 0; i < kept; ++i)
        fromBob("s2", "t", "d" + std::to_string(i));
    EXPECT_EQ(link.take(), (Lines{"answer d0 result", "answer d1 result", "answer d2 result"}));
    sink.take(1);
    fromBob("s2", "t", "over");
    Lines calls = link.take();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "answer over resource-constraint");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "close " + kBobFull), 1);
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string& c) { return c.find(" item-not-found") != std::string::npos; }),
              static_cast<long>(Streams::kMaxWithheld));
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS", kOfApp + "RECEIVED"}));
}

TEST_F(MessengerCore, UnansweredOrUnsealedStreamRequestIsGivenUp)
{
    command(kAlter + "CONNECT " + kBob);
    std::string sid = link.lastSid;
    clear();
    core.tick(t0 + 29s);
    EXPECT_TRUE(link.take().empty());
    core.tick(t0 + 30s);
    EXPECT_EQ(link.take(), (Lines{"close " + kBobFull}));
    // Never open, so the STREAMS list stays as it was: no line at all.
    EXPECT_TRUE(sink.take(1).empty());
    EXPECT_TRUE(logged("no answer to the stream request within 30000 ms"));
    EXPECT_EQ(core.streamCount(), 0u);
    core.openResult(kBobFull, sid, true, false);
    EXPECT_TRUE(sink.take(1).empty());
    // A request followed by something that is not a handshake message, as
    // a daemon without the seal would send its first text.
    core.openRequest(kBobFull, "old", kApp, false, iq("open"));
    core.block(kBobFull, "old", 0, "plain text", iq("d0"));
    EXPECT_EQ(link.take(), (Lines{"answer open result", "answer d0 result", "close " + kBobFull}));
    EXPECT_TRUE(sink.take(1).empty());
    EXPECT_TRUE(logged("closed: the handshake failed"));
    // A request that never gets its handshake is given up like an
    // unanswered one.
    core.openRequest(kBobFull, "silent", kApp, false, iq("open2"));
    link.take();
    core.tick(t0 + 60s);
    EXPECT_EQ(link.take(), (Lines{"close " + kBobFull}));
    EXPECT_TRUE(logged("no handshake within 30000 ms"));
    EXPECT_EQ(core.streamCount(), 0u);
}

TEST_F(MessengerCore, AProbeKeepsAHeldBackStreamAndNoAnswerToItLosesTheStream)
{
    std::string sid = openToBob();
    command(kAlter + "WRITE bob@h.test:1 hello");
    sink.take(1);
    core.tick(t0 + 29s);
    EXPECT_EQ(link.take(), (Lines{sent(sid, 0, "hello")}));
    core.tick(t0 + 30s);
    EXPECT_EQ(link.take(), (Lines{"probe " + kBobFull}));
    // The peer is alive and withholds the acknowledgement (a slow reader):
    // probed again after another 30 s, never closed for that.
    core.probeResult(kBobFull, sid, true);
    core.tick(t0 + 59s);
    EXPECT_TRUE(link.take().empty());
    core.tick(t0 + 60s);
    EXPECT_EQ(link.take(), (Lines{"probe " + kBobFull}));
    core.probeResult(kBobFull, sid, true);
    answerBlock(sid, true);
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "SENDING"}));
    core.tick(t0 + 1h);
    EXPECT_TRUE(link.take().empty());
    command(kAlter + "WRITE bob@h.test:1 x");
    sink.take(1);
    core.tick(t0 + 1h + 30s);
    EXPECT_EQ(link.take(), (Lines{sent(sid, 1, "x"), "probe " + kBobFull}));
    core.tick(t0 + 1h + 59s);
    EXPECT_TRUE(link.take().empty());
    EXPECT_TRUE(sink.take(1).empty());
    core.tick(t0 + 1h + 60s);
    EXPECT_EQ(link.take(), (Lines{"close " + kBobFull}));
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS", kOfApp + "SENDING"}));
    EXPECT_TRUE(logged("no answer to a text nor to the probe after it within 30000 ms"));
    core.presence(kBobFull, true, "", {kApp});
    sid = openToBob();
    command(kAlter + "WRITE bob@h.test:2 y");
    sink.take(1);
    core.tick(t0 + 2h);
    EXPECT_EQ(link.take(), (Lines{sent(sid, 0, "y"), "probe " + kBobFull}));
    core.probeResult(kBobFull, sid, false);
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS", kOfApp + "SENDING"}));
    EXPECT_EQ(core.streamCount(), 0u);
}

TEST_F(MessengerWindow, ProgramWritesOnUntilTheWindowIsFull)
{
    std::string sid = openToBob();
    const std::string write = kAlter + "WRITE bob@h.test:1 ";
    const std::string echo = kAlter + "WRITE bob@h.test:1";
    const std::string released = kOfApp + "SENDING";
    // Texts inside the window have left: the empty SENDING releases the
    // program after each of the first two.
    command(write + "one");
    command(write + "two");
    EXPECT_EQ(sink.take(1), (Lines{echo, released, echo, released}));
    // The third fills the window: the stream is listed with all its bytes.
    command(write + "three");
    EXPECT_EQ(sink.take(1), (Lines{echo, released + " bob@h.test:1=11"}));
    EXPECT_EQ(link.take(), (Lines{sent(sid, 0, "one"), sent(sid, 1, "two"), sent(sid, 2, "three")}));
    answerBlock(sid, true);
    EXPECT_EQ(sink.take(1), (Lines{released}));
    answerBlock(sid, true);
    answerBlock(sid, true);
    EXPECT_TRUE(sink.take(1).empty());

    // The empty SENDING would release every stream: while stream 1 is full
    // it is not sent, whatever stream 2 does.
    std::string second = openToBob();
    for (int i = 0; i < 3; ++i)
        command(write + "t");
    command(kAlter + "WRITE bob@h.test:2 u");
    EXPECT_EQ(sink.take(1).back(), released + " bob@h.test:1=3");
    answerBlock(second, true);
    EXPECT_TRUE(sink.take(1).empty());
    answerBlock(sid, true);
    EXPECT_EQ(sink.take(1), (Lines{released}));

    // A failed text with others in flight: the stream closes on both sides
    // once; the answers to the texts behind it change nothing more.
    command(write + "t");
    clear();
    answerBlock(sid, false);
    answerBlock(sid, false);
    answerBlock(sid, true);
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS bob@h.test:2", released}));
    EXPECT_EQ(link.take(), (Lines{"close " + kBobFull}));
}

TEST_F(MessengerWindow, CompactFormOnlyWhenBothSidesTakeIt)
{
    bobTakesCompact = true;
    bobSeesOffer = true;
    command(kAlter + "CONNECT " + kBob);
    EXPECT_EQ(link.take(),
              (Lines{"open " + kBobFull + " " + kApp + " compact", "data " + kBobFull + " 0 " + kHandshake}));
    const std::string sid = link.lastSid;
    core.openResult(kBobFull, sid, true, true);
    deliver(sid);
    ackHandshake(sid);
    clear();
    const std::string write = kAlter + "WRITE bob@h.test:1 ";
    command(write + "00ff7f");
    command(write + "00FF");  // upper case: as it is
    command(write + "abc");   // odd length: as it is
    const std::string plain(1, '\0');
    EXPECT_EQ(link.take(), (Lines{sent(sid, 0, std::string("\1\0\xff\x7f", 4)), sent(sid, 1, plain + "00FF"),
                                  sent(sid, 2, plain + "abc")}));

    std::string plainSid = openToBob(false);
    command(kAlter + "WRITE bob@h.test:2 00ff");
    EXPECT_EQ(link.take(), (Lines{sent(plainSid, 0, "00ff")}));

    // Incoming: an offer is taken up and the blocks are read back as texts.
    openFromBob("in", kApp, true);
    EXPECT_EQ(link.take().front(), "answer open result compact");
    sink.take(1);
    fromBob("in", std::string("\1\x12\xab", 3), "d0");
    fromBob("in", plain + "XYZ", "d1");
    command(kAlter + "READ bob@h.test:3");
    command(kAlter + "READ bob@h.test:3");
    Lines lines = sink.take(1);
    EXPECT_NE(std::find(lines.begin(), lines.end(), kAlter + "READ bob@h.test:3 12ab"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), kAlter + "READ bob@h.test:3 XYZ"), lines.end());
    link.take();
    fromBob("in", std::string("\7zz", 3), "d2");
    EXPECT_EQ(link.take(), (Lines{"answer d2 bad-request", "close " + kBobFull}));

    // The open's answer claims the compact form; bob's daemon said plain in
    // its sealed message: the texts go plain, as bob reads them.
    bobTakesCompact = false;
    const std::string claimed = connectToBob(true);
    ackHandshake(claimed);
    clear();
    command(kAlter + "WRITE bob@h.test:4 00ff");
    EXPECT_EQ(link.take(), (Lines{sent(claimed, 0, "00ff")}));
    // The offer itself altered on the way: the two sides' prologues differ
    // and the handshake fails before the program hears of a stream.
    sink.take(1);
    bobSeesOffer = false;
    connectToBob(true);
    EXPECT_EQ(link.take().back(), "close " + kBobFull);
    EXPECT_EQ(sink.take(1).size(), 2u);
    EXPECT_TRUE(logged("closed: the handshake failed: the contact's handshake message did not verify"));
}

TEST_F(MessengerCore, StreamsPerContactAndApplicationAreCapped)
{
    const size_t cap = Streams::kMaxStreamsPerPeer;
    ASSERT_GE(cap, 2u);
    // Half opened by this side (one still opening), half by bob.
    for (size_t i = 0; i < cap / 2; ++i) {
        command(kAlter + "CONNECT " + kBob);
        if (i > 0)
            core.openResult(kBobFull, link.lastSid, true, false);
    }
    for (size_t i = cap / 2; i < cap; ++i)
        core.openRequest(kBobFull, "in" + std::to_string(i), kApp, false, iq("o" + std::to_string(i)));
    clear();
    EXPECT_EQ(core.streamCount(), cap);

    command(kAlter + "CONNECT " + kBob);
    EXPECT_TRUE(link.take().empty());
    EXPECT_EQ(sink.take(1), (Lines{kAlter + "CONNECT " + kBob, kOfApp + "CONNECTING " + kBob}));
    EXPECT_TRUE(logged("cannot connect " + kApp + " to " + kBob + ": there are already " + std::to_string(cap)
                       + " streams of " + kApp + " with " + kBob));
    core.openRequest(kBobFull, "more", kApp, false, iq("more"));
    EXPECT_EQ(link.take(), (Lines{"answer more resource-constraint"}));
    EXPECT_TRUE(sink.take(1).empty());
    EXPECT_TRUE(logged("refused a stream request of " + kApp + " from " + kBobFull + ": already " + std::to_string(cap)
                       + " streams of it with " + kBob));
    EXPECT_EQ(core.streamCount(), cap);

    // Another application with the same contact is counted apart, and a
    // closed stream makes room.
    const std::string other = "CorvaneForTcp2000";
    command("CREATE APPLICATION " + other);
    core.openRequest(kBobFull, "other", other, false, iq("other"));
    Lines calls = link.take();
    EXPECT_EQ(calls.back(), "answer other result");
    core.closeRequest(kBobFull, "in" + std::to_string(cap - 1), iq("c"));
    core.openRequest(kBobFull, "again", kApp, false, iq("again"));
    EXPECT_EQ(link.take(), (Lines{"answer c result", "answer again result"}));
}

TEST_F(MessengerWindow, TextLongerThanAWriteCarriesEndsTheStream)
{
    // A sealed block is at most 65535 bytes (the open's block-size): a text
    // at most 65518, so that its compact tag and the seal's 16 bytes fit.
    // Compact: tag 0x01 and 32759 bytes spell 65518 hex digits; tag 0x00
    // and 65518 bytes are the longest plain text.
    const std::string hex(1, '\x01'), plain(1, '\x00');
    struct Case {
        bool compact;
        std::string longest, longer, why;
    } cases[] = {
        {false, std::string(65518, 'a'), std::string(65519, 'a'),
         "the peer sent a text of 65519 bytes, more than 65518"},
        {true, hex + std::string(32759, '\x5a'), hex + std::string(32760, '\x5a'),
         "the peer sent a text of 65520 bytes, more than 65518"},
        {true, plain + std::string(65518, 'p'), plain + std::string(65519, 'p'),
         "the peer sent a text of 65520 bytes, more than 65518"},
        {false, std::string(65518, 'a'), std::string(65520, 'a'),
         "block 3 takes 65536 bytes, more than the 65535 of the stream's block size"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string sid = "s" + std::to_string(++n);
        openFromBob(sid, kApp, c.compact);
        clear();
        fromBob(sid, c.longest, "longest");
        EXPECT_EQ(link.take(), (Lines{"answer longest result"}));
        fromBob(sid, c.longer, "longer");
        Lines calls = link.take();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.front(), "answer longer not-acceptable");
        EXPECT_EQ(calls.back(), "close " + kBobFull);
        EXPECT_EQ(core.streamCount(), 0u);
        EXPECT_TRUE(logged("closed: " + c.why)) << c.why;
    }
    // The longest WRITE fills a block, no more.
    const std::string out = openToBob(true);
    link.reveal = nullptr;
    for (const std::string& text : {std::string(65518, 'p'), std::string(65518, 'a')}) {
        command(kAlter + "WRITE bob@h.test:5 " + text);
        Lines calls = link.take();
        ASSERT_EQ(calls.size(), 1u);
        // "data FULL SEQ BLOCK": the block behind the sequence number.
        const size_t block = calls[0].find(' ', ("data " + kBobFull + " ").size()) + 1;
        EXPECT_LE(calls[0].size() - block, kMaxBlockBytes);
        answerBlock(out, true);
    }
}

TEST_F(MessengerBytes, UnreadBytesHoldBackAcknowledgementsThenEndTheStreamAndAllStreamsAreCapped)
{
    openFromBob("s");
    clear();
    const std::string text(kMaxTextLength, 'b');
    // Acknowledged while the unread texts take at most kAckedUnreadBytes.
    const size_t acked = Streams::kAckedUnreadBytes / text.size();
    const size_t kept = Streams::kMaxUnreadBytes / text.size();
    for (size_t i = 0; i < kept; ++i)
        fromBob("s", text, "d" + std::to_string(i));
    Lines calls = link.take();
    ASSERT_EQ(calls.size(), acked);
    EXPECT_EQ(calls.back(), "answer d" + std::to_string(acked - 1) + " result");
    command(kAlter + "READ bob@h.test:1");
    EXPECT_EQ(link.take(), (Lines{"answer d" + std::to_string(acked) + " result"}));
    fromBob("s", text, "refill");
    EXPECT_TRUE(link.take().empty());
    fromBob("s", text, "over");
    calls = link.take();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "answer over resource-constraint");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "close " + kBobFull), 1);
    EXPECT_EQ(core.streamCount(), 0u);
    EXPECT_TRUE(logged("closed: the peer sent more than 8 MiB of texts not yet read"));

    // Unread bytes of all streams are capped as well.
    const std::string other = "CorvaneForTcp2000";
    command("CREATE APPLICATION " + other);
    link.take();
    const size_t perStream = Streams::kMaxUnreadBytes / text.size();
    const size_t streams = Streams::kMaxUnreadTotal / (perStream * text.size());
    ASSERT_LE(streams, 2 * Streams::kMaxStreamsPerPeer);
    // Every stream up to its own limit: together just below the total one.
    for (size_t n = 0; n < streams; ++n) {
        std::string sid = "s" + std::to_string(n);
        openFromBob(sid, n % 2 ? other : kApp);
        for (size_t i = 0; i < perStream; ++i)
            fromBob(sid, text, "d");
    }
    clear();
    EXPECT_EQ(core.streamCount(), streams);
    openFromBob("last", other);
    link.take();
    fromBob("last", text, "over");
    calls = link.take();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "answer over resource-constraint");
    EXPECT_EQ(core.streamCount(), streams);
    EXPECT_TRUE(logged("closed: the texts not yet read of all streams would take more than 64 MiB"));
}

// --- the seal ------------------------------------------------------------

TEST_F(MessengerCore, ABlockThatDoesNotOpenEndsTheStreamAndNothingOfItIsRead)
{
    // A server between the daemons flips a bit of bob's next block and
    // numbers it so that nothing looks missing. (Replays, drops and
    // reorderings do not open either: noise_test.)
    openFromBob("s");
    fromBob("s", "t0", "d0");
    command(kAlter + "READ bob@h.test:1");
    clear();
    BobStream& b = bob["s"];
    std::string block = b.seal->seal("t1");
    block[block.size() / 2] ^= 0x04;
    core.block(kBobFull, "s", b.nextSeq++, block, iq("x"));
    core.block(kBobFull, "s", b.nextSeq++, b.seal->seal("t2"), iq("y"));
    EXPECT_EQ(link.take(), (Lines{"answer x not-acceptable", "close " + kBobFull, "answer y item-not-found"}));
    // Told to the program as a closed stream; what was read before stays
    // the only text it got.
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS"}));
    command(kAlter + "READ bob@h.test:1");
    EXPECT_EQ(sink.take(1), (Lines{"ERROR 541 Unknown stream bob@h.test:1"}));
    EXPECT_TRUE(logged("does not open with the stream's key"));
    EXPECT_EQ(core.streamCount(), 0u);
}

TEST_F(MessengerCore, FirstStreamPinsTheKeyTheNextUsesItAndTextsTravelSealed)
{
    const std::string secret = "5ec7e7f00d5ec7e7f00d";
    openToBob();
    auto reveal = std::exchange(link.reveal, nullptr);
    command(kAlter + "WRITE bob@h.test:1 " + secret);
    command(kAlter + "DISCONNECT bob@h.test:1");
    // Nothing the server gets holds the text, as it is or packed: one block
    // of the text and its 16-byte tag, the sealed end, the close.
    Lines calls = link.take();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].size(), std::string("data " + kBobFull + " 2 ").size() + secret.size() + noise::kTagLength);
    for (const std::string& call : calls)
        for (const std::string& form : {secret, packText(secret).substr(1)})
            EXPECT_EQ(call.find(form), std::string::npos) << call;
    link.reveal = reveal;
    ASSERT_EQ(pins.pins.count(kBob), 1u);
    EXPECT_EQ(pins.pins[kBob].fingerprint, fingerprintCompact(bobKeys.pub));
    EXPECT_TRUE(logged("pinned the key of bob@h.test on first use: fingerprint " + fingerprintText(bobKeys.pub)));
    // With the key pinned, the next stream opens in one round trip (IK).
    const std::string sid = openToBob();
    EXPECT_TRUE(logged("opened stream bob@h.test:2 of " + kApp + " (sid " + link.lastSid + ", sealed, IK)"));
    command(kAlter + "WRITE bob@h.test:2 over-ik");
    EXPECT_EQ(link.take(), (Lines{sent(sid, 0, "over-ik")}));
    EXPECT_EQ(bob[sid].handshakeSeen, 2);  // the IK message and the confirmation
}

TEST_F(MessengerCore, ChangedKeyOfAContactIsRefusedBothWays)
{
    // messengerd --trust: the fingerprint only, compared when the key shows.
    pins.pins[kBob] = Pin{fingerprintCompact(bobKeys.pub), std::nullopt};
    openToBob();
    ASSERT_TRUE(pins.pins[kBob].key.has_value());
    EXPECT_EQ(*pins.pins[kBob].key, bobKeys.pub);
    EXPECT_TRUE(logged("the key of bob@h.test matches the fingerprint trusted for it"));
    const std::string pinned = fingerprintText(bobKeys.pub);
    // bob's daemon now has another key (a new installation, or someone
    // else answering as bob).
    bobKeys = noise::KeyPair::generate();
    const std::string offered = fingerprintText(bobKeys.pub);
    // bob cannot read the IK message and asks for XX; its XX answer shows
    // its new key.
    deliver(connectToBob());
    Lines calls = link.take();
    EXPECT_EQ(calls.back(), "close " + kBobFull);
    EXPECT_EQ(sink.take(1), (Lines{kAlter + "CONNECT " + kBob, kOfApp + "CONNECTING " + kBob}));
    EXPECT_TRUE(logged("refused a stream of " + kApp + " with bob@h.test: its key has changed: pinned fingerprint "
                       + pinned + ", offered " + offered));
    // Re-trusting is the user's explicit step, never the daemon's.
    EXPECT_EQ(groupFingerprint(pins.pins[kBob].fingerprint), pinned);
    openFromBob("in");
    EXPECT_TRUE(sink.take(1).empty());
    EXPECT_EQ(link.take().back(), "close " + kBobFull);
    EXPECT_EQ(core.streamCount(), 1u);
}

TEST_F(MessengerCore, AFirstUseWhosePinCannotBeStoredIsRefused)
{
    // With the pins unreadable no key can be checked.
    pins.readable = false;
    command(kAlter + "CONNECT " + kBob);
    EXPECT_TRUE(link.take().empty());
    EXPECT_TRUE(logged("cannot connect " + kApp + " to bob@h.test: the pins of contacts' keys cannot be read"));
    openFromBob("in0");
    EXPECT_EQ(link.take().back(), "close " + kBobFull);
    EXPECT_EQ(sink.take(1).size(), 2u);  // the echo and CONNECTING of the refused connect
    pins.readable = true;
    // While nothing can be stored every stream is a first use: a server
    // could put in another key each time.
    pins.writable = false;
    const std::string problem = "cannot write the pins file /gone/pins: No such file or directory";
    for (const std::string sid : {"in1", "in2"}) {
        bobKeys = noise::KeyPair::generate();
        openFromBob(sid);
        EXPECT_EQ(link.take().back(), "close " + kBobFull);
        EXPECT_TRUE(sink.take(1).empty());
        EXPECT_TRUE(logged("refused a stream of " + kApp + " with bob@h.test (fingerprint "
                           + fingerprintText(bobKeys.pub) + "): its key cannot be checked or pinned: " + problem));
    }
    connectToBob();
    EXPECT_EQ(link.take().back(), "close " + kBobFull);
    EXPECT_EQ(sink.take(1).size(), 2u);  // the echo and CONNECTING only
    EXPECT_EQ(core.streamCount(), 0u);
    EXPECT_TRUE(pins.pins.empty());

    // Once the pin can be stored, the first use goes on.
    pins.writable = true;
    openFromBob("in3");
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS bob@h.test:1"}));
    EXPECT_EQ(pins.pins[kBob].fingerprint, fingerprintCompact(bobKeys.pub));
}

TEST_F(MessengerCore, ARequestToStartOverWithoutThePinnedKeyIsWarnedOfAndTakenOnce)
{
    openToBob();
    command(kAlter + "CONNECT " + kBob);
    const std::string sid = link.lastSid;
    core.openResult(kBobFull, sid, true, false);
    clear();
    // The server drops the IK message and answers in bob's place.
    link.reveal = nullptr;
    core.block(kBobFull, sid, 0, "R", iq("r1"));
    EXPECT_TRUE(logged("warning: the stream " + sid + " of " + kApp
                       + " to bob@h.test starts over without the pinned key (XX)"));
    Lines calls = link.take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], "answer r1 result");
    EXPECT_EQ(calls[1].substr(0, calls[1].size() - 32), "data " + kBobFull + " 1 X");  // XX's first message: e
    core.block(kBobFull, sid, 1, "R", iq("r2"));
    EXPECT_EQ(link.take().back(), "close " + kBobFull);
    EXPECT_TRUE(sink.take(1).empty());
}

TEST_F(MessengerCore, ARecordedIKOpeningDoesNotMakeAStreamAgain)
{
    pins.pins[kBob] = Pin{fingerprintCompact(bobKeys.pub), bobKeys.pub};
    bobOpens("s1", kApp, false, &aliceKeys.pub);
    const std::string opening = bob["s1"].pending.front();
    bob["s1"].pending.pop_front();
    core.block(kBobFull, "s1", bob["s1"].nextSeq++, opening, iq("b0"));
    // bob's first message alone proves nothing: it could be a recording.
    EXPECT_TRUE(sink.take(1).empty());
    ASSERT_EQ(bob["s1"].pending.size(), 1u);
    const std::string confirmation = bob["s1"].pending.front();
    deliver("s1");
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS bob@h.test:1"}));
    EXPECT_TRUE(logged("accepted stream bob@h.test:1 of " + kApp + " (sid s1, sealed, IK)"));
    core.closeRequest(kBobFull, "s1", iq("c"));
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS"}));

    // The server plays the recorded opening again: no stream for the
    // program, and the old confirmation does not open with the new keys.
    core.openRequest(kBobFull, "s1", kApp, false, iq("again"));
    core.block(kBobFull, "s1", 0, opening, iq("b0"));
    EXPECT_TRUE(sink.take(1).empty());
    core.block(kBobFull, "s1", 1, confirmation, iq("b1"));
    EXPECT_TRUE(sink.take(1).empty());
    EXPECT_EQ(core.streamCount(), 0u);
    EXPECT_TRUE(logged("closed: the handshake failed: the contact did not confirm the handshake"));
}

TEST_F(MessengerCore, ACloseWithoutTheContactsSealedEndIsReportedBroken)
{
    auto endFromBob = [&](const std::string& sid) {
        BobStream& b = bob[sid];
        core.block(kBobFull, sid, b.nextSeq++, b.seal->sealEnd(), iq("end"));
        EXPECT_EQ(link.take(), (Lines{"answer end result"}));
    };
    for (const std::string sid : {"s1", "s2", "s3"})
        openFromBob(sid);
    clear();
    endFromBob("s1");
    core.closeRequest(kBobFull, "s1", iq("c1"));
    EXPECT_TRUE(logged("stream bob@h.test:1 of " + kApp + " closed: closed by bob@h.test/pc"));
    // The server makes up a close: the program loses the stream all the
    // same, and the log says it was cut.
    core.closeRequest(kBobFull, "s2", iq("c2"));
    EXPECT_TRUE(logged("stream bob@h.test:2 of " + kApp
                       + " closed: broken: closed without the sealed end of bob@h.test/pc (the server or the link cut "
                         "it, or its daemon stopped without ending it)"));
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS bob@h.test:2 bob@h.test:3", kOfApp + "STREAMS bob@h.test:3"}));
    link.take();
    // Nothing may follow the end but the close.
    endFromBob("s3");
    fromBob("s3", "late", "d1");
    EXPECT_EQ(link.take(), (Lines{"answer d1 unexpected-request", "close " + kBobFull}));
    EXPECT_TRUE(logged("block 3 came after the contact's sealed end"));
    EXPECT_EQ(sink.take(1), (Lines{kOfApp + "STREAMS"}));
}

// fuzz/crashes/messenger_events_fuzz-zero-byte-in-block: a command frame
// cannot carry a zero byte (the program's decoder ends the connection on
// one, so the peer would cut every tunnel of the program). Whatever the core
// does with a peer's text holding one, its lines stay lines the program reads.
TEST_F(MessengerWindow, ZeroByteInAPeersTextNeverReachesTheProgram)
{
    const std::string text(
        "0a\0"
        "0b",
        5);
    for (bool compact : {false, true}) {
        const std::string sid = compact ? "c" : "p";
        openFromBob(sid, kApp, compact);
        fromBob(sid, compact ? packText(text) : text, "d0");
        command(kAlter + "READ bob@h.test:" + (compact ? "2" : "1"));
        command("PING");
        const Lines lines = sink.take(1);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "PONG");
        for (const std::string& line : lines)
            EXPECT_EQ(line.find('\0'), std::string::npos) << line.c_str();
    }
}
