// The application notifications: streams coming and going, flow control,
// reads, polls and throughput, as the messenger reports them.
#include <algorithm>

#include "tests/model/model_fixture.h"

namespace {

class ApplicationTest : public ModelTest {
protected:
    void SetUp() override
    {
        ModelTest::SetUp();
        config->setAcceptPolicy(1);
        attachWithPeer();
        deliver("USERS user1@x.test, user2@x.test, user3@x.test");
        messenger.take();
        recorder.events.clear();
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
    static Lines writesOf(const Lines& lines)
    {
        Lines out;
        for (const auto& l : lines)
            if (l.find(" WRITE ") != std::string::npos)
                out.push_back(l);
        return out;
    }
    int count(const Lines& lines, const std::string& line)
    {
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
};

TEST_F(ApplicationTest, ServerAcceptsEveryStreamInListOrder)
{
    deliver("APPLICATION CorvaneForHttp000 STREAMS user1@x.test:1 user2@x.test:2");
    EXPECT_EQ(table(1), (Lines{"user1@x.test:1", "user2@x.test:2"}));
    EXPECT_EQ(recorder.logLines, (Lines{"設定１用 Skype STREAM は user1@x.test と　ID=1 で接続",
                                        "設定１用 Skype STREAM は user2@x.test と　ID=2 で接続"}));
    EXPECT_EQ(count(recorder.events, "streams"), 2);
    EXPECT_EQ(app(1).getState(), QV_SKYPEAPPLICATION::kStreamCreated);
    EXPECT_TRUE(messenger.take().empty());
}

TEST_F(ApplicationTest, ClientTakesOneStreamAndRefusesTheSecond)
{
    config->setClientMode(1);
    config->setServicePort(3, 0);
    deliver("APPLICATION CorvaneForVnc0000 STREAMS user1@x.test:1,user2@x.test:2");
    EXPECT_EQ(table(3), (Lines{"user1@x.test:1"}));
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForVnc0000 DISCONNECT user2@x.test:2"}));
    EXPECT_EQ(streamLogLines(), (Lines{"設定３用 Skype STREAM は user1@x.test と　ID=1 で接続",
                                       "設定３用 Skype STREAM は user2@x.test と　ID=2 を切断(拒否）"}));
}

// The client opens one stream per service to its peer; a second one lives
// only while the messenger still lists the old stream of a reconnecting
// client. A contact asking for more is refused before anything is built.
TEST_F(ApplicationTest, ServerTakesTwoStreamsPerContactAndRefusesTheThird)
{
    deliver("APPLICATION CorvaneForHttp000 STREAMS user1@x.test:1 user1@x.test:2 user1@x.test:3");
    EXPECT_EQ(table(1), (Lines{"user1@x.test:1", "user1@x.test:2"}));
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 DISCONNECT user1@x.test:3"}));
    EXPECT_EQ(streamLogLines(), (Lines{"設定１用 Skype STREAM は user1@x.test と　ID=1 で接続",
                                       "設定１用 Skype STREAM は user1@x.test と　ID=2 で接続",
                                       "設定１用 Skype STREAM は user1@x.test と　ID=3 を切断(相手ごとの上限超過）"}));
    EXPECT_EQ(count(recorder.events, "streams"), 2);

    // Listed again before the messenger has dropped it: still no stream, and
    // no second refusal.
    recorder.logLines.clear();
    deliver("APPLICATION CorvaneForHttp000 STREAMS user1@x.test:1 user1@x.test:2 user1@x.test:3 user2@x.test:4");
    EXPECT_EQ(table(1), (Lines{"user1@x.test:1", "user1@x.test:2", "user2@x.test:4"}));
    EXPECT_TRUE(messenger.take().empty());
    EXPECT_EQ(streamLogLines(), (Lines{"設定１用 Skype STREAM は user2@x.test と　ID=4 で接続"}));

    // Other services count on their own; once a stream of the contact has
    // gone, the contact may open another.
    deliver("APPLICATION CorvaneForCvs0000 STREAMS user1@x.test:5");
    EXPECT_EQ(table(2), (Lines{"user1@x.test:5"}));
    deliver("APPLICATION CorvaneForHttp000 STREAMS user1@x.test:2 user2@x.test:4 user1@x.test:6");
    EXPECT_EQ(table(1), (Lines{"-", "user1@x.test:2", "user2@x.test:4", "user1@x.test:6"}));
    EXPECT_TRUE(messenger.take().empty());
}

TEST_F(ApplicationTest, AnApplicationHoldsAtMost32Streams)
{
    std::string users = "USERS";
    std::string list = "APPLICATION CorvaneForTcp2000 STREAMS";
    for (int i = 1; i <= 33; ++i) {
        users += std::string(i == 1 ? " " : ", ") + "c" + std::to_string(i) + "@x.test";
        list += " c" + std::to_string(i) + "@x.test:" + std::to_string(i);
    }
    deliver(users);
    messenger.take();
    recorder.logLines.clear();
    deliver(list);
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
    deliver("APPLICATION CorvaneForCvs0000 STREAMS user1@x.test:1");
    recorder.events.clear();
    recorder.logLines.clear();
    deliver("APPLICATION CorvaneForCvs0000 STREAMS user2@x.test:2 ");  // trailing blank
    deliver("APPLICATION CorvaneForCvs0000 STREAMS user2@x.test:2 user3@x.test");
    deliver("APPLICATION CorvaneForCvs0000 STREAMS user2@x.test:2 " + std::string(300, 'u') + ":3");
    EXPECT_EQ(table(2), (Lines{"user1@x.test:1"}));
    EXPECT_TRUE(recorder.events.empty());
    EXPECT_TRUE(recorder.logLines.empty());
    EXPECT_TRUE(messenger.take().empty());
}

TEST_F(ApplicationTest, VanishedStreamLeavesAVacatedEntryThatTheNextStreamTakes)
{
    deliver("APPLICATION CorvaneForTcp2000 STREAMS user1@x.test:1 user2@x.test:2");
    recorder.events.clear();
    recorder.logLines.clear();
    deliver("APPLICATION CorvaneForTcp2000 STREAMS user2@x.test:2");
    EXPECT_EQ(table(4), (Lines{"-", "user2@x.test:2"}));
    EXPECT_EQ(recorder.logLines, (Lines{"設定４用 Skype STREAM は user1@x.test と　ID=1 を切断"}));
    EXPECT_EQ(recorder.events, (Lines{"streams"}));
    deliver("APPLICATION CorvaneForTcp2000 STREAMS user2@x.test:2 user3@x.test:7");
    EXPECT_EQ(table(4), (Lines{"user3@x.test:7", "user2@x.test:2"}));
}

TEST_F(ApplicationTest, ClientCountsAVacatedEntryAsOccupied)
{
    config->setClientMode(1);
    config->setServicePort(4, 0);
    deliver("APPLICATION CorvaneForTcp2000 STREAMS user1@x.test:1");
    deliver("APPLICATION CorvaneForTcp2000 STREAMS user2@x.test:2");
    EXPECT_EQ(table(4), (Lines{"-"}));
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForTcp2000 DISCONNECT user2@x.test:2"}));
    deliver("APPLICATION CorvaneForTcp2000 STREAMS");
    EXPECT_FALSE(app(4).hasStreamEntries());
    deliver("APPLICATION CorvaneForTcp2000 STREAMS user2@x.test:3");
    EXPECT_EQ(table(4), (Lines{"user2@x.test:3"}));
}

TEST_F(ApplicationTest, EmptyListClosesEveryStream)
{
    deliver("APPLICATION CorvaneForFtp0000 STREAMS user1@x.test:1 user2@x.test:2");
    recorder.events.clear();
    recorder.logLines.clear();
    deliver("APPLICATION CorvaneForFtp0000 STREAMS");
    EXPECT_FALSE(app(0).hasStreamEntries());
    EXPECT_EQ(app(0).getState(), QV_SKYPEAPPLICATION::kRegistered);
    EXPECT_EQ(recorder.logLines, (Lines{"ＦＴＰ用 Skype STREAM は user1@x.test と　ID=1 を切断",
                                        "ＦＴＰ用 Skype STREAM は user2@x.test と　ID=2 を切断"}));
    EXPECT_EQ(recorder.events, (Lines{"streams"}));
    // One word without a colon reads the same way.
    deliver("APPLICATION CorvaneForFtp0000 STREAMS user1@x.test:4");
    deliver("APPLICATION CorvaneForFtp0000 STREAMS nothing1");
    EXPECT_FALSE(app(0).hasStreamEntries());
}

TEST_F(ApplicationTest, RefusesPeersOutsideThePolicyAndDisabledServices)
{
    config->setAcceptPolicy(0);  // only the selected contact (user1)
    deliver("APPLICATION CorvaneForHttp000 STREAMS user2@x.test:1");
    config->setAcceptPolicy(1);
    deliver("APPLICATION CorvaneForHttp000 STREAMS stranger@x.test:2");
    config->setServiceEnabled(2, 0);
    deliver("APPLICATION CorvaneForCvs0000 STREAMS user1@x.test:3");
    EXPECT_FALSE(app(1).hasStreamEntries());
    EXPECT_FALSE(app(2).hasStreamEntries());
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 DISCONNECT user2@x.test:1",
                                       "ALTER APPLICATION CorvaneForHttp000 DISCONNECT stranger@x.test:2",
                                       "ALTER APPLICATION CorvaneForCvs0000 DISCONNECT user1@x.test:3"}));
}

TEST_F(ApplicationTest, EmptySendingReleasesOnlyThatApplicationsStreams)
{
    deliver("APPLICATION CorvaneForHttp000 STREAMS user1@x.test:1");
    deliver("APPLICATION CorvaneForCvs0000 STREAMS user1@x.test:2");
    // An idle stream sends its keep-alive on the 601st tick, then waits for
    // the messenger to report everything sent.
    loop.fire(QV_A2AMODEL::kFastTickMs, 601);
    Lines writes = writesOf(messenger.take());
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].rfind("ALTER APPLICATION CorvaneForHttp000 WRITE user1@x.test:1 2800000002000100", 0), 0u);
    EXPECT_EQ(writes[1].rfind("ALTER APPLICATION CorvaneForCvs0000 WRITE user1@x.test:2 2800000002000100", 0), 0u);
    EXPECT_FALSE(app(1).getStream(0)->getCanSend());
    EXPECT_FALSE(app(2).getStream(0)->getCanSend());

    deliver("APPLICATION CorvaneForHttp000 SENDING user1@x.test:1=80");
    EXPECT_FALSE(app(1).getStream(0)->getCanSend()) << "a non-empty list releases nothing";
    deliver("APPLICATION CorvaneForHttp000 SENDING user1@x.test 7");
    deliver("APPLICATION CorvaneForHttp000 SENDING");
    EXPECT_TRUE(app(1).getStream(0)->getCanSend());
    EXPECT_FALSE(app(2).getStream(0)->getCanSend());
}

TEST_F(ApplicationTest, ReceivedSendsOneReadForTheFirstStream)
{
    deliver("APPLICATION CorvaneForHttp000 RECEIVED user1@x.test:1=120 user2@x.test:2=40");
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 READ user1@x.test:1"}));
    deliver("APPLICATION CorvaneForHttp000 RECEIVED user1@x.test:1");  // no '=': void
    deliver("APPLICATION CorvaneForHttp000 RECEIVED");
    EXPECT_TRUE(messenger.take().empty());
}

TEST_F(ApplicationTest, OneReadOnItsWayAtATime)
{
    deliver("APPLICATION CorvaneForHttp000 STREAMS user1@x.test:1 user2@x.test:2");
    deliver("APPLICATION CorvaneForHttp000 RECEIVED user1@x.test:1=80");
    deliver("APPLICATION CorvaneForHttp000 RECEIVED user1@x.test:1=80 user2@x.test:2=80");
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 READ user1@x.test:1"}));
    // The reply (an empty packet text here) ends the wait; the messenger's
    // next RECEIVED is read at once.
    deliver("ALTER APPLICATION CorvaneForHttp000 READ user1@x.test:1 ");
    deliver("APPLICATION CorvaneForHttp000 RECEIVED user2@x.test:2=80 user1@x.test:1=80");
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 READ user2@x.test:2"}));
    // Without a reply, reading goes on after the wait runs out.
    deliver("APPLICATION CorvaneForHttp000 RECEIVED user1@x.test:1=80");
    loop.fire(QV_A2AMODEL::kFastTickMs, QV_SKYPEAPPLICATION::kReadReplyTicks - 1);
    EXPECT_TRUE(messenger.take().empty());
    loop.fire(QV_A2AMODEL::kFastTickMs, 1);
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 READ user1@x.test:1"}));
}

TEST_F(ApplicationTest, ConnectableMarksTheContactsOfThatService)
{
    deliver("APPLICATION CorvaneForVnc0000 CONNECTABLE user2@x.test user3@x.test");
    QV_SKYPEMODEL* model = QV_SKYPEMODEL::getInstance();
    EXPECT_EQ(model->getContact(0).connectable[3], 0);
    EXPECT_EQ(model->getContact(1).connectable[3], 1);
    EXPECT_EQ(model->getContact(2).connectable[3], 1);
    EXPECT_EQ(model->getContact(1).connectable[2], 0);
    deliver("APPLICATION CorvaneForVnc0000 CONNECTABLE");
    EXPECT_EQ(model->getContact(1).connectable[3], 0);
}

TEST_F(ApplicationTest, RegisteredApplicationPollsEvery301Ticks)
{
    // attachWithPeer confirmed all five: each sent its first poll at once.
    for (int k = 0; k < 5; ++k)
        EXPECT_EQ(app(k).getState(), QV_SKYPEAPPLICATION::kRegistered);
    loop.fire(QV_A2AMODEL::kFastTickMs, 301);
    Lines polls = messenger.take();
    ASSERT_EQ(polls.size(), 5u);
    EXPECT_EQ(polls[0], "GET APPLICATION CorvaneForFtp0000 CONNECTABLE");
    EXPECT_EQ(polls[4], "GET APPLICATION CorvaneForTcp2000 CONNECTABLE");
    loop.fire(QV_A2AMODEL::kFastTickMs, 300);
    EXPECT_TRUE(messenger.take().empty());
    loop.fire(QV_A2AMODEL::kFastTickMs, 1);
    EXPECT_EQ(messenger.take().size(), 5u);
}

TEST_F(ApplicationTest, ThroughputEverySecondAlsoWithoutStreams)
{
    loop.fire(QV_A2AMODEL::kSlowTickMs);
    EXPECT_EQ(recorder.events, (Lines{"throughput 0 0 0", "throughput 1 0 0", "throughput 2 0 0", "throughput 3 0 0",
                                      "throughput 4 0 0"}));
}

TEST_F(ApplicationTest, ResetCancelsLiveStreamsWithoutTellingTheMessenger)
{
    deliver("APPLICATION CorvaneForHttp000 STREAMS user1@x.test:1 user2@x.test:2");
    deliver("APPLICATION CorvaneForHttp000 STREAMS user2@x.test:2");
    messenger.take();
    recorder.events.clear();
    recorder.logLines.clear();
    app(1).cancelAllStreams();
    EXPECT_FALSE(app(1).hasStreamEntries());
    EXPECT_EQ(app(1).getState(), QV_SKYPEAPPLICATION::kNotRegistered);
    EXPECT_EQ(recorder.logLines, (Lines{"設定１用 Skype STREAM は user2@x.test と　ID=2 をキャンセル"}));
    EXPECT_EQ(recorder.events, (Lines{"streams"}));
    loop.fire(QV_A2AMODEL::kFastTickMs, 301);
    Lines polls = messenger.take();
    EXPECT_EQ(std::count(polls.begin(), polls.end(), "GET APPLICATION CorvaneForHttp000 CONNECTABLE"), 0)
        << "an unregistered application does not poll";
}

TEST_F(ApplicationTest, ConnectEchoAndWriteRepliesSendNothing)
{
    app(1).connect("user2@x.test");
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 CONNECT user2@x.test"}));
    deliver("ALTER APPLICATION CorvaneForHttp000 CONNECT user2@x.test");
    deliver("ALTER APPLICATION CorvaneForHttp000 WRITE user2@x.test:1");
    deliver("APPLICATION CorvaneForHttp000 CONNECTING user2@x.test");
    deliver("APPLICATION CorvaneForHttp000 DATAGRAM user2@x.test:1");
    deliver("APPLICATION CorvaneForHttp000 BOGUS");
    EXPECT_TRUE(messenger.take().empty());
    EXPECT_FALSE(app(1).hasStreamEntries());
}

}  // namespace
