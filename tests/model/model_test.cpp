// The model against a scripted messenger, the ticks fired by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "control/gate_control.h"
#include "core/config_store.h"
#include "tests/support/fake_api_link.h"
#include "tests/support/scripted_messenger.h"
#include "tests/support/temp_dir.h"

namespace {

using Lines = std::vector<std::string>;

constexpr const char* kFtp = "CorvaneForFtp0000";
constexpr const char* kHttp = "CorvaneForHttp000";
constexpr const char* kCvs = "CorvaneForCvs0000";
constexpr const char* kVnc = "CorvaneForVnc0000";
constexpr const char* kTcp = "CorvaneForTcp2000";

struct GateRecorder : QV_GATELISTENER {
    Lines logLines;
    Lines events;
    QV_GATECONTROL* gate = nullptr;
    FakeApiLink* link = nullptr;
    void notifyLogLine(const char* line) override { logLines.push_back(std::string(line).substr(23)); }
    void notifySkypeComStatusChange() override
    {
        if (link)
            events.push_back("status after " + std::to_string(link->commands.size()) + " commands");
        else
            events.push_back("status " + std::to_string(gate->getSkypeComStatus()) + " contacts "
                             + std::to_string(QV_SKYPEMODEL::getInstance()->getContactCount()) + " streams "
                             + (gate->hasAnyStream() ? "yes" : "no"));
    }
    void notifyModelChange() override { events.push_back("model"); }
    void notifyStreamChange() override { events.push_back("streams"); }
    void notifyThroughput(int, double, double) override {}
    void notifyListenFailed(int, int) override {}
};

class ModelTest : public ::testing::Test, public MessengerRig {
protected:
    void SetUp() override
    {
        config = std::make_unique<QV_CONFIGSTORE>();
        config->setAcceptPolicy(1);
        gate = std::make_unique<QV_GATECONTROL>();
        recorder.gate = gate.get();
        gate->addListener(&recorder);
        QV_EVENTLOG::getInstance()->setEnabled(1);
    }
    void TearDown() override
    {
        gate.reset();
        config.reset();
    }
    Lines startAndAttach()
    {
        gate->start(nullptr);
        EXPECT_TRUE(attach());
        return messenger.take();
    }
    void attachWithContacts()
    {
        startAndAttach();
        deliver("USERS user1@x.test, user2@x.test, user3@x.test");
        for (const char* name : {kFtp, kHttp, kCvs, kVnc, kTcp})
            deliver(std::string("CREATE APPLICATION ") + name);
        clearHeard();
    }
    void report(const char* name, const char* what, const std::string& list = "")
    {
        deliver(std::string("APPLICATION ") + name + " " + what + (list.empty() ? "" : " " + list));
    }
    void clearHeard()
    {
        messenger.take();
        recorder.events.clear();
        recorder.logLines.clear();
    }
    QV_SKYPEAPPLICATION& app(int k) { return QV_A2AMODEL::getInstance()->getApplication(k); }
    Lines table(int k)
    {
        Lines out;
        for (size_t i = 0; i < app(k).getStreamEntryCount(); ++i) {
            QV_SKYPESTREAM* s = app(k).getStream(i);
            out.push_back(s ? std::string(s->getPeerUser()) + ":" + std::to_string(s->getStreamId()) : "-");
        }
        return out;
    }
    TempDir dir;
    std::unique_ptr<QV_CONFIGSTORE> config;
    std::unique_ptr<QV_GATECONTROL> gate;
    GateRecorder recorder;
};

// A CREATE echo is taken by its own application only. Connect asks only for
// enabled services without a stream, with a contact. The messenger's hang-up
// is seen on the read: the listeners hear the lost link while the models
// still hold their contacts and streams; then both are reset.
TEST_F(ModelTest, AttachConnectAndTheLostLink)
{
    gate->addListener(&recorder);  // a listener added twice is told twice
    EXPECT_EQ(startAndAttach(),
              (Lines{"SEARCH FRIENDS", "CREATE APPLICATION CorvaneForFtp0000", "CREATE APPLICATION CorvaneForHttp000",
                     "CREATE APPLICATION CorvaneForCvs0000", "CREATE APPLICATION CorvaneForVnc0000",
                     "CREATE APPLICATION CorvaneForTcp2000"}));
    EXPECT_EQ(std::count(recorder.events.begin(), recorder.events.end(), "status 1 contacts 0 streams no"), 2);
    messenger.sendAttach(0);
    loop.pump();
    EXPECT_EQ(messenger.take().size(), 6u);
    deliver("CREATE APPLICATION CorvaneForVnc0000");
    EXPECT_EQ(messenger.take(), (Lines{"GET APPLICATION CorvaneForVnc0000 CONNECTABLE"}));
    deliver("CREATE APPLICATION CorvaneForVnc0000 EXTRA");
    deliver("CREATE APPLICATION Unknown0000000000");
    gate->connectAll();
    EXPECT_TRUE(messenger.take().empty()) << "no contact, no connect";
    deliver("USERS peer@pc-b.test");
    report("Unknown0000000000", "STREAMS", "peer@pc-b.test:1");
    deliver("ALTER APPLICATION Unknown0000000000 CONNECT peer@pc-b.test");
    EXPECT_FALSE(gate->hasAnyStream());
    for (int k = 1; k <= 3; ++k)
        config->setServiceEnabled(k, 0);
    report(kTcp, "STREAMS", "peer@pc-b.test:1");
    messenger.take();
    gate->connectAll();
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForFtp0000 CONNECT peer@pc-b.test"}));
    gate->disconnectAll();
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForTcp2000 DISCONNECT peer@pc-b.test:1"}));
    EXPECT_TRUE(gate->hasAnyStream()) << "the stream stays until the messenger stops listing it";
    EXPECT_FALSE(gate->isListening(7));
    EXPECT_FALSE(gate->isConnected(-1));
    EXPECT_FALSE(gate->isPeerConnected(5));
    messenger.sendAttach(2);
    messenger.sendAttach(3);
    loop.pump();
    EXPECT_EQ(gate->getSkypeComStatus(), 4);
    EXPECT_TRUE(gate->hasAnyStream()) << "a refused or unavailable link resets nothing";
    recorder.events.clear();
    messenger.dropConnection();
    loop.pump();
    gate->connectAll();  // the hang-up, seen on the read, has already detached the link
    loop.runPosted();
    ASSERT_FALSE(recorder.events.empty());
    EXPECT_EQ(recorder.events[0], "status 0 contacts 1 streams yes");
    EXPECT_FALSE(gate->hasAnyStream());
    EXPECT_EQ(QV_SKYPEMODEL::getInstance()->getContactCount(), 0u);
    EXPECT_EQ(gate->getSkypeComStatus(), 0);
    EXPECT_NE(std::find(recorder.logLines.begin(), recorder.logLines.end(),
                        "SkypeDriverへの通知に失敗しました。Skypeは未接続"),
              recorder.logLines.end());
}

// A server takes streams in list order, two per contact (for a reconnecting
// client), at most 32 per application; more are refused once.
TEST_F(ModelTest, ServerLimitsPerContactAndPerApplication)
{
    attachWithContacts();
    report(kHttp, "STREAMS", "user1@x.test:1 user2@x.test:2 user1@x.test:3 user1@x.test:5");
    EXPECT_EQ(table(1), (Lines{"user1@x.test:1", "user2@x.test:2", "user1@x.test:3"}));
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 DISCONNECT user1@x.test:5"}));
    EXPECT_EQ(recorder.logLines, (Lines{"設定１用 Skype STREAM は user1@x.test と　ID=1 で接続",
                                        "設定１用 Skype STREAM は user2@x.test と　ID=2 で接続",
                                        "設定１用 Skype STREAM は user1@x.test と　ID=3 で接続",
                                        "設定１用 Skype STREAM は user1@x.test と　ID=5 を切断(相手ごとの上限超過）"}));
    EXPECT_EQ(std::count(recorder.events.begin(), recorder.events.end(), "streams"), 3);
    EXPECT_EQ(app(1).getState(), QV_SKYPEAPPLICATION::kStreamCreated);
    report(kHttp, "STREAMS", "user1@x.test:1 user2@x.test:2 user1@x.test:3 user1@x.test:5 user3@x.test:4");
    EXPECT_EQ(table(1).back(), "user3@x.test:4");
    EXPECT_TRUE(messenger.take().empty());
    // Other services count on their own; once a stream of the contact has
    // gone, the contact may open another.
    report(kCvs, "STREAMS", "user1@x.test:6");
    EXPECT_EQ(table(2), (Lines{"user1@x.test:6"}));
    report(kHttp, "STREAMS", "user1@x.test:3 user2@x.test:2 user3@x.test:4 user1@x.test:7");
    EXPECT_EQ(table(1), (Lines{"-", "user2@x.test:2", "user1@x.test:3", "user3@x.test:4", "user1@x.test:7"}));
    EXPECT_TRUE(messenger.take().empty());
    std::string users = "USERS", list;
    for (int i = 1; i <= 33; ++i) {
        users += std::string(i == 1 ? " " : ", ") + "c" + std::to_string(i) + "@x.test";
        list += " c" + std::to_string(i) + "@x.test:" + std::to_string(i);
    }
    deliver(users);
    clearHeard();
    report(kTcp, "STREAMS", list.substr(1));
    ASSERT_EQ(table(4).size(), 32u);
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForTcp2000 DISCONNECT c33@x.test:33"}));
    EXPECT_EQ(recorder.logLines.back(), "設定４用 Skype STREAM は c33@x.test と　ID=33 を切断(全体の上限超過）");
}

// Only the selected contact under policy 0, any contact under policy 1 but
// never a stranger, never for a disabled service. A client takes one stream
// per service; a vacated entry counts until the messenger lists nothing.
TEST_F(ModelTest, RefusedPeersAndTheClientsOneStream)
{
    attachWithContacts();
    config->setAcceptPolicy(0);  // only the selected contact (user1)
    report(kHttp, "STREAMS", "user2@x.test:1");
    report(kVnc, "STREAMS", "user1@x.test:4");
    config->setAcceptPolicy(1);
    report(kHttp, "STREAMS", "stranger@x.test:2");
    config->setServiceEnabled(2, 0);
    report(kCvs, "STREAMS", "user1@x.test:3");
    report(kFtp, "STREAMS", "user2@x.test:5");
    EXPECT_FALSE(app(1).hasStreamEntries());
    EXPECT_FALSE(app(2).hasStreamEntries());
    EXPECT_EQ(table(3), (Lines{"user1@x.test:4"}));
    EXPECT_EQ(table(0), (Lines{"user2@x.test:5"}));
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 DISCONNECT user2@x.test:1",
                                       "ALTER APPLICATION CorvaneForHttp000 DISCONNECT stranger@x.test:2",
                                       "ALTER APPLICATION CorvaneForCvs0000 DISCONNECT user1@x.test:3"}));
    config->setClientMode(1);
    config->setServicePort(4, 0);
    clearHeard();
    report(kTcp, "STREAMS", "user1@x.test:1,user2@x.test:2");
    EXPECT_EQ(table(4), (Lines{"user1@x.test:1"}));
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForTcp2000 DISCONNECT user2@x.test:2"}));
    EXPECT_EQ(Lines(recorder.logLines.end() - 2, recorder.logLines.end()),
              (Lines{"設定４用 Skype STREAM は user1@x.test と　ID=1 で接続",
                     "設定４用 Skype STREAM は user2@x.test と　ID=2 を切断(拒否）"}));
    report(kTcp, "STREAMS", "user1@x.test:1");
    report(kTcp, "STREAMS", "user2@x.test:3");
    EXPECT_EQ(table(4), (Lines{"-"}));
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForTcp2000 DISCONNECT user2@x.test:3"}));
    report(kTcp, "STREAMS");
    report(kTcp, "STREAMS", "user2@x.test:4");
    EXPECT_EQ(table(4), (Lines{"user2@x.test:4"}));
}

// A vanished stream leaves a vacated entry; cancel tells no messenger; an
// unregistered application does not poll; echoes send nothing; one read is
// on its way at a time, until its reply or the wait runs out.
TEST_F(ModelTest, VanishedStreamsPollsAndReads)
{
    attachWithContacts();
    report(kTcp, "STREAMS", "user1@x.test:1 user2@x.test:2");
    clearHeard();
    report(kTcp, "STREAMS", "user2@x.test:2");
    EXPECT_EQ(table(4), (Lines{"-", "user2@x.test:2"}));
    EXPECT_EQ(recorder.logLines, (Lines{"設定４用 Skype STREAM は user1@x.test と　ID=1 を切断"}));
    EXPECT_EQ(recorder.events, (Lines{"streams"}));
    report(kTcp, "STREAMS", "user2@x.test:2 user3@x.test:7");
    EXPECT_EQ(table(4), (Lines{"user3@x.test:7", "user2@x.test:2"}));
    report(kTcp, "STREAMS");
    EXPECT_FALSE(app(4).hasStreamEntries());
    EXPECT_EQ(app(4).getState(), QV_SKYPEAPPLICATION::kRegistered);
    report(kCvs, "STREAMS", "user1@x.test:1 user2@x.test:2");
    report(kCvs, "STREAMS", "user2@x.test:2");
    clearHeard();
    app(2).cancelAllStreams();
    EXPECT_FALSE(app(2).hasStreamEntries());
    EXPECT_EQ(recorder.logLines, (Lines{"設定２用 Skype STREAM は user2@x.test と　ID=2 をキャンセル"}));
    loop.fire(QV_A2AMODEL::kFastTickMs, 301);
    EXPECT_EQ(
        messenger.take(),
        (Lines{"GET APPLICATION CorvaneForFtp0000 CONNECTABLE", "GET APPLICATION CorvaneForHttp000 CONNECTABLE",
               "GET APPLICATION CorvaneForVnc0000 CONNECTABLE", "GET APPLICATION CorvaneForTcp2000 CONNECTABLE"}));

    report(kVnc, "CONNECTABLE", "user2@x.test user3@x.test");
    EXPECT_EQ(QV_SKYPEMODEL::getInstance()->getContact(1).connectable[3], 1);
    app(1).connect("user2@x.test");
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 CONNECT user2@x.test"}));
    deliver("ALTER APPLICATION CorvaneForHttp000 CONNECT user2@x.test");
    deliver("ALTER APPLICATION CorvaneForHttp000 WRITE user2@x.test:1");
    report(kHttp, "CONNECTING", "user2@x.test");
    report(kHttp, "DATAGRAM", "user2@x.test:1");
    report(kHttp, "RECEIVED", "user1@x.test:1");  // no '=': void
    EXPECT_TRUE(messenger.take().empty());
    report(kHttp, "STREAMS", "user1@x.test:1 user2@x.test:2");
    report(kHttp, "RECEIVED", "user1@x.test:1=80");
    report(kHttp, "RECEIVED", "user1@x.test:1=80 user2@x.test:2=80");
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 READ user1@x.test:1"}));
    deliver("ALTER APPLICATION CorvaneForHttp000 READ user1@x.test:1 ");
    report(kHttp, "RECEIVED", "user2@x.test:2=80 user1@x.test:1=80");
    EXPECT_EQ(messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 READ user2@x.test:2"}));
    report(kHttp, "RECEIVED", "user1@x.test:1=80");
    loop.fire(QV_A2AMODEL::kFastTickMs, QV_SKYPEAPPLICATION::kReadReplyTicks - 1);
    EXPECT_TRUE(sent(" READ ").empty());
    loop.fire(QV_A2AMODEL::kFastTickMs, 1);
    EXPECT_EQ(sent(" READ "), (Lines{"ALTER APPLICATION CorvaneForHttp000 READ user1@x.test:1"}));
}

struct OtherFtpName : QV_CONFIGSTORE {
    const char* getFtpApplicationName() override { return "OtherFtpName00000"; }
};

// The controller hears the attach before the models send anything; each
// part gone first is no longer told anything (each of them crashed once,
// told after its end), while the others go on.
TEST(GivenCollaborators, TheControllerHearsFirstAndAPartGoneFirstIsNotTold)
{
    TempDir dir;
    OtherFtpName config;
    GateRecorder recorder;
    auto fake = std::make_unique<FakeApiLink>();
    FakeApiLink* link = recorder.link = fake.get();
    auto com = std::make_unique<QV_SKYPECOM>(std::move(fake));
    auto model = std::make_unique<QV_SKYPEMODEL>(*com, &config);
    auto a2a = std::make_unique<QV_A2AMODEL>(*com, *model, &config);
    QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
    log->setEnabled(1);
    auto gate = std::make_unique<QV_GATECONTROL>(*log, *com, *model, *a2a);
    gate->addListener(&recorder);
    gate->start(nullptr);
    const auto creates = [link] {
        return std::count_if(link->commands.begin(), link->commands.end(),
                             [](const std::string& c) { return c.rfind("CREATE APPLICATION ", 0) == 0; });
    };
    link->attach();
    ASSERT_EQ(recorder.events, (Lines{"status after 0 commands"}));
    ASSERT_GE(link->commands.size(), 2u);
    EXPECT_EQ(link->commands[0], "SEARCH FRIENDS");
    EXPECT_EQ(creates(), 5);
    EXPECT_EQ(link->commands[1], "CREATE APPLICATION OtherFtpName00000") << "the FTP name is the configuration's";
    gate.reset();
    recorder.logLines.clear();
    link->attach();
    log->write(2, "after the controller");
    model->selectNextUser();
    a2a->notifyStreamChange();
    EXPECT_EQ(recorder.events.size(), 1u);
    EXPECT_TRUE(recorder.logLines.empty());
    EXPECT_EQ(creates(), 10);
    a2a.reset();
    link->attach();
    EXPECT_EQ(creates(), 10);
    model.reset();
    com.reset();
    QV_EVENTLOG::destroyInstance();
}

}  // namespace
