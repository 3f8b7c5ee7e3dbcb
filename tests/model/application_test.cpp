// The application notifications: streams coming and going, flow control,
// reads, polls and throughput, as the messenger reports them.
#include <algorithm>

#include "tests/model/model_fixture.h"

namespace {

constexpr const char* kFtp = "CorvaneForFtp0000";
constexpr const char* kHttp = "CorvaneForHttp000";
constexpr const char* kCvs = "CorvaneForCvs0000";
constexpr const char* kVnc = "CorvaneForVnc0000";
constexpr const char* kTcp = "CorvaneForTcp2000";

class ApplicationTest : public ModelTest {
protected:
    void SetUp() override
    {
        ModelTest::SetUp();
        config->setAcceptPolicy(1);
        attachWithPeer();
        deliver("USERS user1@x.test, user2@x.test, user3@x.test");
        clearHeard();
    }
    // Handles of the table entries, "-" for a vacated one.
    Lines table(int k)
    {
        Lines out;
        for (size_t i = 0; i < app(k).getStreamEntryCount(); ++i) {
            QV_SKYPESTREAM* s = app(k).getStream(i);
            out.push_back(s ? std::string(s->getPeerUser()) + ":" + std::to_string(s->getStreamId()) : "-");
        }
        return out;
    }
    // The stream lines of the event log (the TCP side writes its own too).
    Lines streamLogLines() const
    {
        Lines out;
        for (const auto& l : recorder.logLines)
            if (l.find("Skype STREAM") != std::string::npos)
                out.push_back(l);
        return out;
    }
    int count(const Lines& lines, const std::string& line)
    {
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
};

// The client opens one stream per service to its peer; a second one lives
// only while the messenger still lists the old stream of a reconnecting
// client. A contact asking for more is refused before anything is built.
TEST_F(ApplicationTest, ServerAcceptsInListOrderTwoStreamsPerContactAndRefusesTheThird)
{
    report(kHttp, "STREAMS", "user1@x.test:1 user2@x.test:2 user1@x.test:3 user1@x.test:5");
    EXPECT_EQ(table(1), (Lines{"user1@x.test:1", "user2@x.test:2", "user1@x.test:3"}));
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 DISCONNECT user1@x.test:5"}));
    EXPECT_EQ(streamLogLines(), (Lines{"設定１用 Skype STREAM は user1@x.test と　ID=1 で接続",
                                       "設定１用 Skype STREAM は user2@x.test と　ID=2 で接続",
                                       "設定１用 Skype STREAM は user1@x.test と　ID=3 で接続",
                                       "設定１用 Skype STREAM は user1@x.test と　ID=5 を切断(相手ごとの上限超過）"}));
    EXPECT_EQ(count(recorder.events, "streams"), 3);
    EXPECT_EQ(app(1).getState(), QV_SKYPEAPPLICATION::kStreamCreated);

    // Listed again before the messenger has dropped it: still no stream, and
    // no second refusal.
    clearHeard();
    report(kHttp, "STREAMS", "user1@x.test:1 user2@x.test:2 user1@x.test:3 user1@x.test:5 user3@x.test:4");
    EXPECT_EQ(table(1).back(), "user3@x.test:4");
    EXPECT_TRUE(messenger.take().empty());
    EXPECT_EQ(streamLogLines(), (Lines{"設定１用 Skype STREAM は user3@x.test と　ID=4 で接続"}));

    // Other services count on their own; once a stream of the contact has
    // gone, the contact may open another.
    report(kCvs, "STREAMS", "user1@x.test:6");
    EXPECT_EQ(table(2), (Lines{"user1@x.test:6"}));
    report(kHttp, "STREAMS", "user1@x.test:3 user2@x.test:2 user3@x.test:4 user1@x.test:7");
    EXPECT_EQ(table(1), (Lines{"-", "user2@x.test:2", "user1@x.test:3", "user3@x.test:4", "user1@x.test:7"}));
    EXPECT_TRUE(messenger.take().empty());
}

TEST_F(ApplicationTest, ClientTakesOneStreamRefusesTheSecondAndCountsAVacatedEntryAsOccupied)
{
    config->setClientMode(1);
    config->setServicePort(3, 0);
    config->setServicePort(4, 0);
    report(kVnc, "STREAMS", "user1@x.test:1,user2@x.test:2");
    EXPECT_EQ(table(3), (Lines{"user1@x.test:1"}));
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForVnc0000 DISCONNECT user2@x.test:2"}));
    EXPECT_EQ(streamLogLines(), (Lines{"設定３用 Skype STREAM は user1@x.test と　ID=1 で接続",
                                       "設定３用 Skype STREAM は user2@x.test と　ID=2 を切断(拒否）"}));

    report(kTcp, "STREAMS", "user1@x.test:1");
    report(kTcp, "STREAMS", "user2@x.test:2");
    EXPECT_EQ(table(4), (Lines{"-"}));
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForTcp2000 DISCONNECT user2@x.test:2"}));
    report(kTcp, "STREAMS");
    EXPECT_FALSE(app(4).hasStreamEntries());
    report(kTcp, "STREAMS", "user2@x.test:3");
    EXPECT_EQ(table(4), (Lines{"user2@x.test:3"}));
}

TEST_F(ApplicationTest, AnApplicationHoldsAtMost32Streams)
{
    std::string users = "USERS";
    std::string list;
    for (int i = 1; i <= 33; ++i) {
        users += std::string(i == 1 ? " " : ", ") + "c" + std::to_string(i) + "@x.test";
        list += " c" + std::to_string(i) + "@x.test:" + std::to_string(i);
    }
    deliver(users);
    clearHeard();
    report(kTcp, "STREAMS", list.substr(1));
    Lines t = table(4);
    ASSERT_EQ(t.size(), 32u);
    EXPECT_EQ(t.back(), "c32@x.test:32");
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForTcp2000 DISCONNECT c33@x.test:33"}));
    Lines log = streamLogLines();
    ASSERT_EQ(log.size(), 33u);
    EXPECT_EQ(log.back(), "設定４用 Skype STREAM は c33@x.test と　ID=33 を切断(全体の上限超過）");
}

TEST_F(ApplicationTest, MalformedListsChangeNothing)
{
    report(kCvs, "STREAMS", "user1@x.test:1");
    clearHeard();
    report(kCvs, "STREAMS", "user2@x.test:2 ");  // trailing blank
    report(kCvs, "STREAMS", "user2@x.test:2 user3@x.test");
    report(kCvs, "STREAMS", "user2@x.test:2 " + std::string(300, 'u') + ":3");
    EXPECT_EQ(table(2), (Lines{"user1@x.test:1"}));
    EXPECT_TRUE(recorder.events.empty());
    EXPECT_TRUE(recorder.logLines.empty());
    EXPECT_TRUE(messenger.take().empty());
}

TEST_F(ApplicationTest, AVanishedStreamLeavesAVacatedEntryAndAnEmptyListClosesEveryStream)
{
    report(kTcp, "STREAMS", "user1@x.test:1 user2@x.test:2");
    clearHeard();
    report(kTcp, "STREAMS", "user2@x.test:2");
    EXPECT_EQ(table(4), (Lines{"-", "user2@x.test:2"}));
    EXPECT_EQ(recorder.logLines, (Lines{"設定４用 Skype STREAM は user1@x.test と　ID=1 を切断"}));
    EXPECT_EQ(recorder.events, (Lines{"streams"}));
    report(kTcp, "STREAMS", "user2@x.test:2 user3@x.test:7");
    EXPECT_EQ(table(4), (Lines{"user3@x.test:7", "user2@x.test:2"}));

    clearHeard();
    report(kTcp, "STREAMS");
    EXPECT_FALSE(app(4).hasStreamEntries());
    EXPECT_EQ(app(4).getState(), QV_SKYPEAPPLICATION::kRegistered);
    EXPECT_EQ(recorder.logLines, (Lines{"設定４用 Skype STREAM は user3@x.test と　ID=7 を切断",
                                        "設定４用 Skype STREAM は user2@x.test と　ID=2 を切断"}));
    EXPECT_EQ(recorder.events, (Lines{"streams"}));
    // One word without a colon reads the same way.
    report(kFtp, "STREAMS", "user1@x.test:4");
    report(kFtp, "STREAMS", "nothing1");
    EXPECT_FALSE(app(0).hasStreamEntries());
}

TEST_F(ApplicationTest, RefusesPeersOutsideThePolicyAndDisabledServices)
{
    config->setAcceptPolicy(0);  // only the selected contact (user1)
    report(kHttp, "STREAMS", "user2@x.test:1");
    report(kVnc, "STREAMS", "user1@x.test:4");
    config->setAcceptPolicy(1);
    report(kHttp, "STREAMS", "stranger@x.test:2");
    config->setServiceEnabled(2, 0);
    report(kCvs, "STREAMS", "user1@x.test:3");
    EXPECT_FALSE(app(1).hasStreamEntries());
    EXPECT_FALSE(app(2).hasStreamEntries());
    EXPECT_EQ(table(3), (Lines{"user1@x.test:4"}));
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 DISCONNECT user2@x.test:1",
                                       "ALTER APPLICATION CorvaneForHttp000 DISCONNECT stranger@x.test:2",
                                       "ALTER APPLICATION CorvaneForCvs0000 DISCONNECT user1@x.test:3"}));
}

TEST_F(ApplicationTest, EmptySendingReleasesOnlyThatApplicationsStreams)
{
    report(kHttp, "STREAMS", "user1@x.test:1");
    report(kCvs, "STREAMS", "user1@x.test:2");
    // An idle stream sends its keep-alive on the 601st tick, then waits for
    // the messenger to report everything sent.
    loop.fire(QV_A2AMODEL::kFastTickMs, 601);
    Lines writes = messenger.take();
    std::erase_if(writes, [](const std::string& l) { return l.find(" WRITE ") == std::string::npos; });
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].rfind("ALTER APPLICATION CorvaneForHttp000 WRITE user1@x.test:1 2800000002000100", 0), 0u);
    EXPECT_EQ(writes[1].rfind("ALTER APPLICATION CorvaneForCvs0000 WRITE user1@x.test:2 2800000002000100", 0), 0u);
    EXPECT_FALSE(app(1).getStream(0)->getCanSend());

    report(kHttp, "SENDING", "user1@x.test:1=80");
    EXPECT_FALSE(app(1).getStream(0)->getCanSend()) << "a non-empty list releases nothing";
    report(kHttp, "SENDING", "user1@x.test 7");
    report(kHttp, "SENDING");
    EXPECT_TRUE(app(1).getStream(0)->getCanSend());
    EXPECT_FALSE(app(2).getStream(0)->getCanSend());
}

TEST_F(ApplicationTest, OneReadOnItsWayAtATimeForTheFirstStreamListed)
{
    report(kHttp, "RECEIVED", "user1@x.test:1");  // no '=': void
    report(kHttp, "RECEIVED");
    EXPECT_TRUE(messenger.take().empty());
    report(kHttp, "STREAMS", "user1@x.test:1 user2@x.test:2");
    report(kHttp, "RECEIVED", "user1@x.test:1=80");
    report(kHttp, "RECEIVED", "user1@x.test:1=80 user2@x.test:2=80");
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 READ user1@x.test:1"}));
    // The reply (an empty packet text here) ends the wait; the messenger's
    // next RECEIVED is read at once.
    deliver("ALTER APPLICATION CorvaneForHttp000 READ user1@x.test:1 ");
    report(kHttp, "RECEIVED", "user2@x.test:2=80 user1@x.test:1=80");
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 READ user2@x.test:2"}));
    // Without a reply, reading goes on after the wait runs out.
    report(kHttp, "RECEIVED", "user1@x.test:1=80");
    loop.fire(QV_A2AMODEL::kFastTickMs, QV_SKYPEAPPLICATION::kReadReplyTicks - 1);
    EXPECT_TRUE(messenger.take().empty());
    loop.fire(QV_A2AMODEL::kFastTickMs, 1);
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 READ user1@x.test:1"}));
}

TEST_F(ApplicationTest, ConnectableMarksTheContactsOfThatService)
{
    report(kVnc, "CONNECTABLE", "user2@x.test user3@x.test");
    QV_SKYPEMODEL* model = QV_SKYPEMODEL::getInstance();
    EXPECT_EQ(model->getContact(0).connectable[3], 0);
    EXPECT_EQ(model->getContact(1).connectable[3], 1);
    EXPECT_EQ(model->getContact(2).connectable[3], 1);
    EXPECT_EQ(model->getContact(1).connectable[2], 0);
    report(kVnc, "CONNECTABLE");
    EXPECT_EQ(model->getContact(1).connectable[3], 0);
}

// Registered applications poll every 301 fast ticks (attachWithPeer
// confirmed all five, each polled at once); throughput comes every slow
// tick, also without streams.
TEST_F(ApplicationTest, TicksPollTheRegisteredApplicationsAndReportThroughput)
{
    loop.fire(QV_A2AMODEL::kFastTickMs, 301);
    Lines polls = messenger.take();
    ASSERT_EQ(polls.size(), 5u);
    EXPECT_EQ(polls[0], "GET APPLICATION CorvaneForFtp0000 CONNECTABLE");
    EXPECT_EQ(polls[4], "GET APPLICATION CorvaneForTcp2000 CONNECTABLE");
    loop.fire(QV_A2AMODEL::kFastTickMs, 300);
    EXPECT_TRUE(messenger.take().empty());
    loop.fire(QV_A2AMODEL::kFastTickMs, 1);
    EXPECT_EQ(messenger.take().size(), 5u);

    loop.fire(QV_A2AMODEL::kSlowTickMs);
    EXPECT_EQ(recorder.events, (Lines{"throughput 0 0 0", "throughput 1 0 0", "throughput 2 0 0", "throughput 3 0 0",
                                      "throughput 4 0 0"}));
}

TEST_F(ApplicationTest, ResetCancelsLiveStreamsWithoutTellingTheMessenger)
{
    report(kHttp, "STREAMS", "user1@x.test:1 user2@x.test:2");
    report(kHttp, "STREAMS", "user2@x.test:2");
    clearHeard();
    app(1).cancelAllStreams();
    EXPECT_FALSE(app(1).hasStreamEntries());
    EXPECT_EQ(app(1).getState(), QV_SKYPEAPPLICATION::kNotRegistered);
    EXPECT_EQ(recorder.logLines, (Lines{"設定１用 Skype STREAM は user2@x.test と　ID=2 をキャンセル"}));
    EXPECT_EQ(recorder.events, (Lines{"streams"}));
    loop.fire(QV_A2AMODEL::kFastTickMs, 301);
    EXPECT_EQ(count(messenger.take(), "GET APPLICATION CorvaneForHttp000 CONNECTABLE"), 0)
        << "an unregistered application does not poll";
}

TEST_F(ApplicationTest, ConnectEchoAndWriteRepliesSendNothing)
{
    app(1).connect("user2@x.test");
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 CONNECT user2@x.test"}));
    deliver("ALTER APPLICATION CorvaneForHttp000 CONNECT user2@x.test");
    deliver("ALTER APPLICATION CorvaneForHttp000 WRITE user2@x.test:1");
    report(kHttp, "CONNECTING", "user2@x.test");
    report(kHttp, "DATAGRAM", "user2@x.test:1");
    report(kHttp, "BOGUS");
    EXPECT_TRUE(messenger.take().empty());
    EXPECT_FALSE(app(1).hasStreamEntries());
}

}  // namespace
