// The core against fake program and XMPP sides: attach codes, the answers of
// the command set, and the stream life cycle with flow control.
#include "messenger/messenger.h"
#include "tests/messenger/fake_sides.h"

#include <gtest/gtest.h>

using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

const std::string kApp = "CorvaneForFtp0000";
const std::string kBob = "bob@h.test";
const std::string kBobFull = "bob@h.test/pc";

class MessengerCore : public ::testing::Test {
protected:
    // By default at most 3 unread texts per stream, peers get 30 s to
    // answer, one text in flight and no compact form (a daemon of the first
    // version).
    explicit MessengerCore(StreamSettings settings = StreamSettings{3, 30s, 1, false})
        : core(sink, link, log, "alice@h.test", {kBob}, settings)
    {
        log.open("/dev/null");
        log.setCapture(true);
    }

    // Online, bob a mutual contact running kApp, client 1 attached with kApp.
    void standardSetup()
    {
        core.tick(t0);
        core.rosterItem(kBob, "both");
        core.rosterItem("carol@h.test", "from");
        core.serverOnline();
        core.presence(kBobFull, true, "", {kApp});
        core.clientDiscover(1);
        core.clientCommand(1, "CREATE APPLICATION " + kApp);
        sink.take(1);
        link.take();
    }
    // Opens a stream from client 1 to bob: returns its sid. `peerCompact`:
    // bob's daemon takes up the compact form.
    std::string openToBob(bool peerCompact = false)
    {
        core.clientCommand(1, "ALTER APPLICATION " + kApp + " CONNECT " + kBob);
        std::string sid = link.lastSid;
        core.openResult(kBobFull, sid, true, peerCompact);
        sink.take(1);
        link.take();
        return sid;
    }
    IqRef iq(const std::string& id) { return IqRef{kBobFull, id}; }
    bool logged(const std::string& part) { return log.captured().find(part) != std::string::npos; }

    const Messenger::Clock::time_point t0 = Messenger::Clock::now();

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

}  // namespace

TEST_F(MessengerCore, AttachCodesFollowTheServerConnection)
{
    core.clientDiscover(1);
    EXPECT_EQ(sink.take(1), (Lines{"A 3 0"}));
    core.serverOnline();
    EXPECT_EQ(sink.take(1), (Lines{"A 32769 0", "A 0 h", "USERSTATUS ONLINE"}));
    core.clientDiscover(2);
    EXPECT_EQ(sink.take(2), (Lines{"A 0 h", "USERSTATUS ONLINE"}));
    core.serverOffline();
    EXPECT_EQ(sink.take(1), (Lines{"USERSTATUS OFFLINE", "A 3 0"}));
    EXPECT_EQ(sink.take(2), (Lines{"USERSTATUS OFFLINE", "A 3 0"}));
    core.serverOnline();
    EXPECT_EQ(sink.take(1), (Lines{"A 32769 0", "A 0 h", "USERSTATUS ONLINE"}));
    EXPECT_EQ(sink.take(2), (Lines{"A 32769 0", "A 0 h", "USERSTATUS ONLINE"}));
}

TEST_F(MessengerCore, NothingIsSentBeforeAttaching)
{
    core.serverOnline();
    core.clientCommand(5, "SEARCH FRIENDS");
    EXPECT_TRUE(sink.take(5).empty());
    // Told 3 only: still no C frame, until code 0 has been sent.
    core.serverOffline();
    core.clientDiscover(6);
    core.clientCommand(6, "PING");
    EXPECT_EQ(sink.take(6), (Lines{"A 3 0"}));
    core.serverOnline();
    core.clientCommand(6, "PING");
    EXPECT_EQ(sink.take(6), (Lines{"A 32769 0", "A 0 h", "USERSTATUS ONLINE", "PONG"}));
    // Once attached, a lost server does not make it a stranger.
    core.serverOffline();
    core.clientCommand(6, "PING");
    EXPECT_EQ(sink.take(6), (Lines{"USERSTATUS OFFLINE", "A 3 0", "PONG"}));
}

TEST_F(MessengerCore, UserAnswers)
{
    standardSetup();
    core.rosterItem("dave@h.test", "both");
    core.clientCommand(1, "SEARCH FRIENDS");
    core.clientCommand(1, "GET CURRENTUSERHANDLE");
    core.clientCommand(1, "GET USER bob@h.test ONLINESTATUS");
    core.clientCommand(1, "GET USER dave@h.test ONLINESTATUS");
    core.clientCommand(1, "GET USER zed@h.test ONLINESTATUS");
    core.clientCommand(1, "FLY AWAY");
    EXPECT_EQ(sink.take(1), (Lines{"USER dave@h.test BUDDYSTATUS 3", "USERS bob@h.test, dave@h.test",
                                   "CURRENTUSERHANDLE alice@h.test", "USER bob@h.test ONLINESTATUS ONLINE",
                                   "USER dave@h.test ONLINESTATUS OFFLINE", "USER zed@h.test ONLINESTATUS UNKNOWN",
                                   "ERROR 2 Unknown command"}));
}

TEST_F(MessengerCore, PresenceChangesAreReported)
{
    standardSetup();
    core.presence(kBobFull, true, "away", {kApp});
    core.presence(kBobFull, true, "dnd", {kApp});
    core.presence(kBobFull, true, "xa", {});
    core.presence(kBobFull, false, "", {});
    EXPECT_EQ(sink.take(1), (Lines{"USER bob@h.test ONLINESTATUS AWAY", "USER bob@h.test ONLINESTATUS DND",
                                   "USER bob@h.test ONLINESTATUS NA", "USER bob@h.test ONLINESTATUS OFFLINE"}));
}

TEST_F(MessengerCore, SubscriptionsOnlyForListedContacts)
{
    core.rosterItem(kBob, "none");
    core.serverOnline();
    Lines calls = link.take();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "subscribe bob@h.test"), calls.end());
    core.subscriptionRequest("mallory@h.test");
    EXPECT_TRUE(link.take().empty());
    core.subscriptionRequest(kBob);
    // Asked already in this session: only the approval goes out.
    EXPECT_EQ(link.take(), (Lines{"subscribed bob@h.test"}));
}

TEST_F(MessengerCore, CreateAdvertisesAndConnectableListsRunningContacts)
{
    standardSetup();
    core.rosterItem("dave@h.test", "both");
    core.presence("dave@h.test/x", true, "", {"OtherApp"});
    core.presence("carol@h.test/x", true, "", {kApp});  // not mutual
    sink.take(1);
    core.clientCommand(1, "CREATE APPLICATION " + kApp);
    core.clientCommand(1, "CREATE APPLICATION Second");
    EXPECT_EQ(link.take(), (Lines{"advertise " + kApp + " Second"}));
    core.clientCommand(1, "GET APPLICATION " + kApp + " CONNECTABLE");
    core.clientCommand(1, "GET APPLICATION Second CONNECTABLE");
    core.clientCommand(1, "GET APPLICATION Nope CONNECTABLE");
    EXPECT_EQ(sink.take(1), (Lines{"CREATE APPLICATION " + kApp, "CREATE APPLICATION Second",
                                   "APPLICATION " + kApp + " CONNECTABLE bob@h.test", "APPLICATION Second CONNECTABLE",
                                   "ERROR 540 Unknown application Nope"}));
    core.clientCommand(1, "DELETE APPLICATION Second");
    EXPECT_EQ(sink.take(1), (Lines{"DELETE APPLICATION Second"}));
    EXPECT_EQ(link.take(), (Lines{"advertise " + kApp}));
}

TEST_F(MessengerCore, ConnectGivesStreamsAndFailureLeavesTheList)
{
    standardSetup();
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " CONNECT " + kBob);
    EXPECT_EQ(link.take(), (Lines{"open " + kBobFull + " " + kApp}));
    core.openResult(kBobFull, link.lastSid, true, false);
    EXPECT_EQ(sink.take(1),
              (Lines{"ALTER APPLICATION " + kApp + " CONNECT " + kBob, "APPLICATION " + kApp + " CONNECTING " + kBob,
                     "APPLICATION " + kApp + " STREAMS bob@h.test:1"}));
    // A refused open and a non-contact change nothing.
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " CONNECT " + kBob);
    core.openResult(kBobFull, link.lastSid, false, false);
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " CONNECT carol@h.test");
    EXPECT_EQ(sink.take(1),
              (Lines{"ALTER APPLICATION " + kApp + " CONNECT " + kBob, "APPLICATION " + kApp + " CONNECTING " + kBob,
                     "ALTER APPLICATION " + kApp + " CONNECT carol@h.test",
                     "APPLICATION " + kApp + " CONNECTING carol@h.test"}));
    EXPECT_NE(log.captured().find("carol@h.test is not a contact"), std::string::npos);
    // Ids are never reused: the next stream after a disconnect is 2.
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " DISCONNECT bob@h.test:1");
    EXPECT_EQ(sink.take(1),
              (Lines{"ALTER APPLICATION " + kApp + " DISCONNECT bob@h.test:1", "APPLICATION " + kApp + " STREAMS"}));
    EXPECT_EQ(link.take().back(), "close " + kBobFull);
    openToBob();
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " READ bob@h.test:1");
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " READ bob@h.test:2");
    EXPECT_EQ(sink.take(1),
              (Lines{"ERROR 541 Unknown stream bob@h.test:1", "ERROR 543 Nothing to read on bob@h.test:2"}));
}

TEST_F(MessengerCore, WriteReportsSendingUntilAcknowledged)
{
    standardSetup();
    std::string sid = openToBob();
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " WRITE bob@h.test:1 hello");
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " WRITE bob@h.test:1 abc");
    EXPECT_EQ(link.take(), (Lines{"data " + kBobFull + " 0 hello", "data " + kBobFull + " 1 abc"}));
    core.blockResult(kBobFull, sid, true);
    core.blockResult(kBobFull, sid, true);
    EXPECT_EQ(
        sink.take(1),
        (Lines{"ALTER APPLICATION " + kApp + " WRITE bob@h.test:1", "APPLICATION " + kApp + " SENDING bob@h.test:1=5",
               "ALTER APPLICATION " + kApp + " WRITE bob@h.test:1", "APPLICATION " + kApp + " SENDING bob@h.test:1=8",
               "APPLICATION " + kApp + " SENDING bob@h.test:1=3", "APPLICATION " + kApp + " SENDING"}));
    // A failed delivery ends the stream on both sides.
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " WRITE bob@h.test:1 x");
    sink.take(1);
    core.blockResult(kBobFull, sid, false);
    EXPECT_EQ(sink.take(1), (Lines{"APPLICATION " + kApp + " STREAMS", "APPLICATION " + kApp + " SENDING"}));
}

TEST_F(MessengerCore, IncomingStreamsFromContactsOnly)
{
    standardSetup();
    core.openRequest("carol@h.test/x", "s1", kApp, false, IqRef{"carol@h.test/x", "i1"});
    core.openRequest(kBobFull, "s2", "NotRunHere", false, iq("i2"));
    core.openRequest(kBobFull, "s3", kApp, false, iq("i3"));
    EXPECT_EQ(link.take(), (Lines{"answer i1 forbidden", "answer i2 not-acceptable", "answer i3 result"}));
    EXPECT_EQ(sink.take(1), (Lines{"APPLICATION " + kApp + " STREAMS bob@h.test:1"}));
    core.closeRequest(kBobFull, "s3", iq("i4"));
    EXPECT_EQ(sink.take(1), (Lines{"APPLICATION " + kApp + " STREAMS"}));
}

TEST_F(MessengerCore, ReadGivesOneTextInOrderAndWithholdsAcksWhenFull)
{
    standardSetup();
    core.openRequest(kBobFull, "s", kApp, false, iq("open"));
    link.take();
    sink.take(1);
    // maxUnread is 3: the fourth and fifth texts keep their acknowledgement.
    for (int i = 0; i < 5; ++i)
        core.block(kBobFull, "s", static_cast<uint16_t>(i), "t" + std::to_string(i), iq("d" + std::to_string(i)));
    EXPECT_EQ(link.take(), (Lines{"answer d0 result", "answer d1 result", "answer d2 result"}));
    EXPECT_EQ(sink.take(1), (Lines{"APPLICATION " + kApp + " RECEIVED bob@h.test:1=2"}));
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " READ bob@h.test:1");
    EXPECT_EQ(link.take(), (Lines{"answer d3 result"}));
    for (int i = 0; i < 4; ++i)
        core.clientCommand(1, "ALTER APPLICATION " + kApp + " READ bob@h.test:1");
    EXPECT_EQ(link.take(), (Lines{"answer d4 result"}));
    EXPECT_EQ(
        sink.take(1),
        (Lines{
            "ALTER APPLICATION " + kApp + " READ bob@h.test:1 t0", "APPLICATION " + kApp + " RECEIVED bob@h.test:1=8",
            "ALTER APPLICATION " + kApp + " READ bob@h.test:1 t1", "APPLICATION " + kApp + " RECEIVED bob@h.test:1=6",
            "ALTER APPLICATION " + kApp + " READ bob@h.test:1 t2", "APPLICATION " + kApp + " RECEIVED bob@h.test:1=4",
            "ALTER APPLICATION " + kApp + " READ bob@h.test:1 t3", "APPLICATION " + kApp + " RECEIVED bob@h.test:1=2",
            "ALTER APPLICATION " + kApp + " READ bob@h.test:1 t4", "APPLICATION " + kApp + " RECEIVED"}));
}

TEST_F(MessengerCore, OutOfOrderBlockClosesTheStream)
{
    standardSetup();
    core.openRequest(kBobFull, "s", kApp, false, iq("open"));
    link.take();
    sink.take(1);
    core.block(kBobFull, "s", 1, "skipped zero", iq("d1"));
    EXPECT_EQ(link.take(), (Lines{"answer d1 unexpected-request", "close " + kBobFull}));
    EXPECT_EQ(sink.take(1), (Lines{"APPLICATION " + kApp + " STREAMS"}));
}

TEST_F(MessengerCore, LosingTheServerClosesStreamsThenCodeThree)
{
    standardSetup();
    openToBob();
    core.serverOffline();
    EXPECT_EQ(sink.take(1), (Lines{"APPLICATION " + kApp + " STREAMS", "USERSTATUS OFFLINE", "A 3 0"}));
}

TEST_F(MessengerCore, ProgramGoingAwayClosesItsStreams)
{
    standardSetup();
    openToBob();
    core.clientClosed(1);
    EXPECT_EQ(link.take(), (Lines{"close " + kBobFull, "advertise"}));
    EXPECT_EQ(core.streamCount(), 0u);
}

TEST_F(MessengerCore, UnansweredStreamRequestIsGivenUp)
{
    standardSetup();
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " CONNECT " + kBob);
    std::string sid = link.lastSid;
    sink.take(1);
    link.take();
    core.tick(t0 + 29s);
    EXPECT_TRUE(link.take().empty());
    core.tick(t0 + 30s);
    EXPECT_EQ(link.take(), (Lines{"close " + kBobFull}));
    // Never open, so the STREAMS list stays as it was: no line at all.
    EXPECT_TRUE(sink.take(1).empty());
    EXPECT_TRUE(logged("no answer to the stream request within 30000 ms"));
    EXPECT_EQ(core.streamCount(), 0u);
    // An answer that comes after all opens nothing.
    core.openResult(kBobFull, sid, true, false);
    EXPECT_TRUE(sink.take(1).empty());
}

TEST_F(MessengerCore, PeerThatStopsAnsweringLosesTheStream)
{
    standardSetup();
    openToBob();
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " WRITE bob@h.test:1 hello");
    sink.take(1);
    link.take();
    // No acknowledgement for 30 s: the peer is asked whether it is there.
    core.tick(t0 + 29s);
    EXPECT_TRUE(link.take().empty());
    core.tick(t0 + 30s);
    EXPECT_EQ(link.take(), (Lines{"probe " + kBobFull}));
    core.tick(t0 + 59s);
    EXPECT_TRUE(link.take().empty());
    EXPECT_TRUE(sink.take(1).empty());
    // No answer to the probe either: closed on both sides, nothing pending.
    core.tick(t0 + 60s);
    EXPECT_EQ(link.take(), (Lines{"close " + kBobFull}));
    EXPECT_EQ(sink.take(1), (Lines{"APPLICATION " + kApp + " STREAMS", "APPLICATION " + kApp + " SENDING"}));
    EXPECT_TRUE(logged("no answer to a text nor to the probe after it within 30000 ms"));
    EXPECT_EQ(core.streamCount(), 0u);
}

TEST_F(MessengerCore, AnsweredProbeKeepsAHeldBackStream)
{
    standardSetup();
    std::string sid = openToBob();
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " WRITE bob@h.test:1 hello");
    sink.take(1);
    core.tick(t0 + 30s);
    EXPECT_EQ(link.take(), (Lines{"data " + kBobFull + " 0 hello", "probe " + kBobFull}));
    // The peer is alive and withholds the acknowledgement (a slow reader):
    // probed again after another 30 s, never closed for that.
    core.probeResult(kBobFull, sid, true);
    core.tick(t0 + 59s);
    EXPECT_TRUE(link.take().empty());
    core.tick(t0 + 60s);
    EXPECT_EQ(link.take(), (Lines{"probe " + kBobFull}));
    core.probeResult(kBobFull, sid, true);
    core.blockResult(kBobFull, sid, true);
    EXPECT_EQ(sink.take(1), (Lines{"APPLICATION " + kApp + " SENDING"}));
    // Nothing unacknowledged: no probes however long the stream is idle.
    core.tick(t0 + 1h);
    EXPECT_TRUE(link.take().empty());
    // A probe answered with an error ends the stream.
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " WRITE bob@h.test:1 x");
    sink.take(1);
    core.tick(t0 + 1h + 30s);
    EXPECT_EQ(link.take(), (Lines{"data " + kBobFull + " 1 x", "probe " + kBobFull}));
    core.probeResult(kBobFull, sid, false);
    EXPECT_EQ(sink.take(1), (Lines{"APPLICATION " + kApp + " STREAMS", "APPLICATION " + kApp + " SENDING"}));
    EXPECT_EQ(core.streamCount(), 0u);
}

TEST_F(MessengerCore, RemovalFromTheRosterEndsTheContact)
{
    standardSetup();
    openToBob();
    core.openRequest(kBobFull, "in", kApp, false, iq("o2"));
    EXPECT_EQ(sink.take(1), (Lines{"APPLICATION " + kApp + " STREAMS bob@h.test:1 bob@h.test:2"}));
    link.take();
    core.rosterRemoved(kBob);
    EXPECT_EQ(link.take(), (Lines{"close " + kBobFull, "close " + kBobFull}));
    core.clientCommand(1, "SEARCH FRIENDS");
    core.clientCommand(1, "GET USER bob@h.test ONLINESTATUS");
    core.clientCommand(1, "GET APPLICATION " + kApp + " CONNECTABLE");
    EXPECT_EQ(sink.take(1),
              (Lines{"APPLICATION " + kApp + " STREAMS bob@h.test:2", "APPLICATION " + kApp + " STREAMS", "USERS",
                     "USER bob@h.test ONLINESTATUS UNKNOWN", "APPLICATION " + kApp + " CONNECTABLE"}));
    // No longer a contact: bob may not open a stream, nor be connected to.
    core.openRequest(kBobFull, "again", kApp, false, iq("o3"));
    EXPECT_EQ(link.take(), (Lines{"answer o3 forbidden"}));
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " CONNECT " + kBob);
    EXPECT_TRUE(link.take().empty());
}

TEST_F(MessengerCore, PeerIgnoringBackPressureLosesTheStream)
{
    standardSetup();
    core.openRequest(kBobFull, "s", kApp, false, iq("open"));
    link.take();
    sink.take(1);
    // 3 texts are acknowledged, the next kMaxWithheld are kept unacknowledged.
    const int kept = 3 + static_cast<int>(Messenger::kMaxWithheld);
    for (int i = 0; i < kept; ++i)
        core.block(kBobFull, "s", static_cast<uint16_t>(i), "t", iq("d" + std::to_string(i)));
    EXPECT_EQ(link.take(), (Lines{"answer d0 result", "answer d1 result", "answer d2 result"}));
    sink.take(1);
    // One more is refused, and the stream ends on both sides.
    core.block(kBobFull, "s", static_cast<uint16_t>(kept), "t", iq("over"));
    Lines calls = link.take();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "answer over resource-constraint");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "close " + kBobFull), 1);
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string& c) { return c.find(" item-not-found") != std::string::npos; }),
              static_cast<long>(Messenger::kMaxWithheld));
    EXPECT_EQ(sink.take(1), (Lines{"APPLICATION " + kApp + " STREAMS", "APPLICATION " + kApp + " RECEIVED"}));
}

TEST_F(MessengerWindow, ProgramWritesOnUntilTheWindowIsFull)
{
    standardSetup();
    std::string sid = openToBob();
    const std::string write = "ALTER APPLICATION " + kApp + " WRITE bob@h.test:1 ";
    const std::string echo = "ALTER APPLICATION " + kApp + " WRITE bob@h.test:1";
    const std::string clear = "APPLICATION " + kApp + " SENDING";
    // Texts inside the window have left: the empty SENDING releases the
    // program after each of the first two.
    core.clientCommand(1, write + "one");
    core.clientCommand(1, write + "two");
    EXPECT_EQ(sink.take(1), (Lines{echo, clear, echo, clear}));
    // The third fills the window: the stream is listed with all its bytes.
    core.clientCommand(1, write + "three");
    EXPECT_EQ(sink.take(1), (Lines{echo, clear + " bob@h.test:1=11"}));
    EXPECT_EQ(link.take(),
              (Lines{"data " + kBobFull + " 0 one", "data " + kBobFull + " 1 two", "data " + kBobFull + " 2 three"}));
    // One acknowledgement makes room: released at once.
    core.blockResult(kBobFull, sid, true);
    EXPECT_EQ(sink.take(1), (Lines{clear}));
    core.blockResult(kBobFull, sid, true);
    core.blockResult(kBobFull, sid, true);
    EXPECT_TRUE(sink.take(1).empty());
}

TEST_F(MessengerWindow, FullWindowOfOneStreamHoldsTheApplication)
{
    standardSetup();
    std::string first = openToBob();
    std::string second = openToBob();
    for (int i = 0; i < 3; ++i)
        core.clientCommand(1, "ALTER APPLICATION " + kApp + " WRITE bob@h.test:1 t");
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " WRITE bob@h.test:2 u");
    // The empty SENDING would release every stream: while stream 1 is full
    // it is not sent, whatever stream 2 does.
    Lines lines = sink.take(1);
    EXPECT_EQ(lines.back(), "APPLICATION " + kApp + " SENDING bob@h.test:1=3");
    core.blockResult(kBobFull, second, true);
    EXPECT_TRUE(sink.take(1).empty());
    core.blockResult(kBobFull, first, true);
    EXPECT_EQ(sink.take(1), (Lines{"APPLICATION " + kApp + " SENDING"}));
}

TEST_F(MessengerWindow, BrokenStreamWithTextsInFlightIsReportedOnce)
{
    standardSetup();
    std::string sid = openToBob();
    for (int i = 0; i < 3; ++i)
        core.clientCommand(1, "ALTER APPLICATION " + kApp + " WRITE bob@h.test:1 t");
    sink.take(1);
    link.take();
    // The first text fails: the stream closes on both sides; the answers to
    // the texts behind it change nothing more.
    core.blockResult(kBobFull, sid, false);
    core.blockResult(kBobFull, sid, false);
    core.blockResult(kBobFull, sid, true);
    EXPECT_EQ(sink.take(1), (Lines{"APPLICATION " + kApp + " STREAMS", "APPLICATION " + kApp + " SENDING"}));
    EXPECT_EQ(link.take(), (Lines{"close " + kBobFull}));
}

TEST_F(MessengerWindow, CompactFormOnlyWhenBothSidesTakeIt)
{
    standardSetup();
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " CONNECT " + kBob);
    EXPECT_EQ(link.take(), (Lines{"open " + kBobFull + " " + kApp + " compact"}));
    core.openResult(kBobFull, link.lastSid, true, true);
    sink.take(1);
    const std::string write = "ALTER APPLICATION " + kApp + " WRITE bob@h.test:1 ";
    core.clientCommand(1, write + "00ff7f");
    core.clientCommand(1, write + "00FF");  // upper case: as it is
    core.clientCommand(1, write + "abc");   // odd length: as it is
    EXPECT_EQ(link.take(), (Lines{"data " + kBobFull + " 0 " + std::string("\1\0\xff\x7f", 4),
                                  "data " + kBobFull + " 1 "
                                      + std::string("\0"
                                                    "00FF",
                                                    5),
                                  "data " + kBobFull + " 2 "
                                      + std::string("\0"
                                                    "abc",
                                                    4)}));

    // A peer that does not take it up gets plain texts.
    std::string plainSid = openToBob(false);
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " WRITE bob@h.test:2 00ff");
    EXPECT_EQ(link.take(), (Lines{"data " + kBobFull + " 0 00ff"}));

    // Incoming: an offer is taken up and the blocks are read back as texts.
    core.openRequest(kBobFull, "in", kApp, true, iq("o"));
    EXPECT_EQ(link.take(), (Lines{"answer o result compact"}));
    sink.take(1);
    core.block(kBobFull, "in", 0, std::string("\1\x12\xab", 3), iq("d0"));
    core.block(kBobFull, "in", 1,
               std::string("\0"
                           "XYZ",
                           4),
               iq("d1"));
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " READ bob@h.test:3");
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " READ bob@h.test:3");
    Lines lines = sink.take(1);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ALTER APPLICATION " + kApp + " READ bob@h.test:3 12ab"),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "ALTER APPLICATION " + kApp + " READ bob@h.test:3 XYZ"),
              lines.end());
    // A block without a valid tag cannot be read: the stream ends.
    link.take();
    core.block(kBobFull, "in", 2, std::string("\7zz", 3), iq("d2"));
    EXPECT_EQ(link.take(), (Lines{"answer d2 bad-request", "close " + kBobFull}));
}

TEST_F(MessengerCore, DaemonWithoutCompactNeitherOffersNorTakesIt)
{
    standardSetup();
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " CONNECT " + kBob);
    EXPECT_EQ(link.take(), (Lines{"open " + kBobFull + " " + kApp}));
    core.openRequest(kBobFull, "in", kApp, true, iq("o"));
    EXPECT_EQ(link.take(), (Lines{"answer o result"}));
    sink.take(1);
    // Its blocks are texts as they are, even one that looks tagged.
    core.block(kBobFull, "in", 0, std::string("\1\x12", 2), iq("d0"));
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " READ bob@h.test:1");
    Lines lines = sink.take(1);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "ALTER APPLICATION " + kApp + " READ bob@h.test:1 " + std::string("\1\x12", 2)),
              lines.end());
}

TEST_F(MessengerCore, StreamsPerContactAndApplicationAreCapped)
{
    standardSetup();
    const size_t cap = Messenger::kMaxStreamsPerPeer;
    ASSERT_GE(cap, 2u);
    // Half opened by this side (one still opening), half by bob.
    for (size_t i = 0; i < cap / 2; ++i) {
        core.clientCommand(1, "ALTER APPLICATION " + kApp + " CONNECT " + kBob);
        if (i > 0)
            core.openResult(kBobFull, link.lastSid, true, false);
    }
    for (size_t i = cap / 2; i < cap; ++i)
        core.openRequest(kBobFull, "in" + std::to_string(i), kApp, false, iq("o" + std::to_string(i)));
    link.take();
    sink.take(1);
    EXPECT_EQ(core.streamCount(), cap);

    // One more either way is refused, with the reason in the log.
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " CONNECT " + kBob);
    EXPECT_TRUE(link.take().empty());
    EXPECT_EQ(sink.take(1),
              (Lines{"ALTER APPLICATION " + kApp + " CONNECT " + kBob, "APPLICATION " + kApp + " CONNECTING " + kBob}));
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
    core.clientCommand(1, "CREATE APPLICATION " + other);
    core.openRequest(kBobFull, "other", other, false, iq("other"));
    Lines calls = link.take();
    EXPECT_EQ(calls.back(), "answer other result");
    core.closeRequest(kBobFull, "in" + std::to_string(cap - 1), iq("c"));
    core.openRequest(kBobFull, "again", kApp, false, iq("again"));
    EXPECT_EQ(link.take(), (Lines{"answer c result", "answer again result"}));
}

TEST_F(MessengerCore, TextLongerThanAWriteCarriesEndsTheStream)
{
    standardSetup();
    core.openRequest(kBobFull, "s", kApp, false, iq("open"));
    link.take();
    sink.take(1);
    // The longest text a WRITE carries is taken.
    core.block(kBobFull, "s", 0, std::string(65535, 'a'), iq("d0"));
    EXPECT_EQ(link.take(), (Lines{"answer d0 result"}));
    core.block(kBobFull, "s", 1, std::string(65536, 'a'), iq("d1"));
    EXPECT_EQ(link.take(), (Lines{"answer d1 not-acceptable", "close " + kBobFull}));
    EXPECT_EQ(core.streamCount(), 0u);
    EXPECT_TRUE(logged("closed: the peer sent a text of 65536 bytes, more than 65535"));
}

TEST_F(MessengerWindow, CompactTextLongerThanAWriteCarriesEndsTheStream)
{
    standardSetup();
    // Tag 0x01 and 32768 bytes spell 65536 hex digits; tag 0x00 and 65535
    // bytes are the longest plain text.
    for (int round = 0; round < 2; ++round) {
        std::string sid = "s" + std::to_string(round);
        core.openRequest(kBobFull, sid, kApp, true, iq("open"));
        link.take();
        sink.take(1);
        core.block(kBobFull, sid, 0, std::string(1, '\x00') + std::string(65535, 'p'), iq("plain"));
        core.block(kBobFull, sid, 1, std::string(1, '\x01') + std::string(32767, '\x5a'), iq("hex"));
        EXPECT_EQ(link.take(), (Lines{"answer plain result", "answer hex result"}));
        if (round == 0)
            core.block(kBobFull, sid, 2, std::string(1, '\x01') + std::string(32768, '\x5a'), iq("long"));
        else
            core.block(kBobFull, sid, 2, std::string(1, '\x00') + std::string(65536, 'p'), iq("long"));
        Lines calls = link.take();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.front(), "answer long not-acceptable");
        EXPECT_EQ(core.streamCount(), 0u);
    }
    EXPECT_TRUE(logged("closed: the peer sent a text of 65536 bytes, more than 65535"));
    EXPECT_TRUE(logged("closed: the peer sent a text of 65537 bytes, more than 65535"));
}

namespace {

// Many unread texts per stream, so that bytes set the limits.
class MessengerBytes : public MessengerCore {
protected:
    MessengerBytes() : MessengerCore(StreamSettings{100000, 30s, 1, false}) {}
};

}  // namespace

TEST_F(MessengerBytes, UnreadBytesHoldBackAcknowledgementsThenEndTheStream)
{
    standardSetup();
    core.openRequest(kBobFull, "s", kApp, false, iq("open"));
    link.take();
    sink.take(1);
    const std::string text(65535, 'b');
    // Acknowledged while the unread texts take at most kAckedUnreadBytes.
    const size_t acked = Messenger::kAckedUnreadBytes / text.size();
    const size_t kept = Messenger::kMaxUnreadBytes / text.size();
    uint16_t seq = 0;
    for (size_t i = 0; i < kept; ++i, ++seq)
        core.block(kBobFull, "s", seq, text, iq("d" + std::to_string(i)));
    Lines calls = link.take();
    ASSERT_EQ(calls.size(), acked);
    EXPECT_EQ(calls.back(), "answer d" + std::to_string(acked - 1) + " result");
    // A READ makes room for one.
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " READ bob@h.test:1");
    EXPECT_EQ(link.take(), (Lines{"answer d" + std::to_string(acked) + " result"}));
    core.block(kBobFull, "s", seq++, text, iq("refill"));
    EXPECT_TRUE(link.take().empty());
    // Beyond kMaxUnreadBytes the stream ends.
    core.block(kBobFull, "s", seq++, text, iq("over"));
    calls = link.take();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "answer over resource-constraint");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "close " + kBobFull), 1);
    EXPECT_EQ(core.streamCount(), 0u);
    EXPECT_TRUE(logged("closed: the peer sent more than 8 MiB of texts not yet read"));
}

TEST_F(MessengerBytes, UnreadBytesOfAllStreamsAreCapped)
{
    standardSetup();
    const std::string other = "CorvaneForTcp2000";
    core.clientCommand(1, "CREATE APPLICATION " + other);
    link.take();
    const std::string text(65535, 'c');
    const size_t perStream = Messenger::kMaxUnreadBytes / text.size();
    const size_t streams = Messenger::kMaxUnreadTotal / (perStream * text.size());
    ASSERT_LE(streams, 2 * Messenger::kMaxStreamsPerPeer);
    // Every stream up to its own limit: together just below the total one.
    for (size_t n = 0; n < streams; ++n) {
        std::string sid = "s" + std::to_string(n);
        core.openRequest(kBobFull, sid, n % 2 ? other : kApp, false, iq("o"));
        for (size_t i = 0; i < perStream; ++i)
            core.block(kBobFull, sid, static_cast<uint16_t>(i), text, iq("d"));
    }
    link.take();
    sink.take(1);
    EXPECT_EQ(core.streamCount(), streams);
    // One text more on a new stream passes the total.
    core.openRequest(kBobFull, "last", other, false, iq("o"));
    link.take();
    core.block(kBobFull, "last", 0, text, iq("over"));
    Lines calls = link.take();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "answer over resource-constraint");
    EXPECT_EQ(core.streamCount(), streams);
    EXPECT_TRUE(logged("closed: the texts not yet read of all streams would take more than 64 MiB"));
}

TEST_F(MessengerCore, NamesChosenByOthersAreCutInTheLog)
{
    standardSetup();
    const std::string longApp = "\x1b[2J" + std::string(1 << 20, 'A');
    core.openRequest("carol@h.test/x", "s", longApp, false, IqRef{"carol@h.test/x", "i"});
    core.subscriptionRequest(std::string(100000, 'm') + "@h.test");
    core.clientCommand(9, "SEARCH FRIENDS\n" + std::string(100000, 'q'));
    const std::string& text = log.captured();
    EXPECT_LT(text.size(), 2000u);
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_NE(text.find("refused a stream request of \\x1b[2J" + std::string(193, 'A')
                        + "...[cut, 1048580 bytes]"
                          " from carol@h.test/x: not a contact"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("...[cut, 100007 bytes] (not in the contact list)"), std::string::npos) << text;
    EXPECT_NE(text.find("sent a command before attaching: SEARCH FRIENDS\\x0a"), std::string::npos) << text;
}
