// Routing of the messenger's application lines, connect and disconnect of
// every service, and the controller's reaction to the lost link.
#include <algorithm>

#include "tests/model/model_fixture.h"

namespace {

TEST_F(ModelTest, AttachRegistersTheFiveApplicationsAfterAskingForFriends)
{
    gate->addListener(&recorder);  // a listener added twice is told twice
    EXPECT_EQ(startAndAttach(),
              (Lines{"SEARCH FRIENDS", "CREATE APPLICATION CorvaneForFtp0000", "CREATE APPLICATION CorvaneForHttp000",
                     "CREATE APPLICATION CorvaneForCvs0000", "CREATE APPLICATION CorvaneForVnc0000",
                     "CREATE APPLICATION CorvaneForTcp2000"}));
    EXPECT_EQ(std::count(recorder.events.begin(), recorder.events.end(), "status 1 contacts 0 streams no"), 2);
    // A second attach registers them again.
    messenger.sendAttach(0);
    loop.pump();
    EXPECT_EQ(messenger.take().size(), 6u);
}

TEST_F(ModelTest, CreateEchoIsTakenByItsOwnApplicationOnly)
{
    startAndAttach();
    deliver("CREATE APPLICATION CorvaneForVnc0000");
    EXPECT_EQ(messenger.take(), (Lines{"GET APPLICATION CorvaneForVnc0000 CONNECTABLE"}));
    EXPECT_EQ(app(3).getState(), QV_SKYPEAPPLICATION::kRegistered);
    EXPECT_EQ(app(2).getState(), QV_SKYPEAPPLICATION::kNotRegistered);
    deliver("CREATE APPLICATION CorvaneForVnc0000 EXTRA");
    deliver("CREATE APPLICATION Unknown0000000000");
    EXPECT_TRUE(messenger.take().empty());
}

TEST_F(ModelTest, LinesForUnknownApplicationsAreDropped)
{
    attachWithPeer();
    testing::internal::CaptureStdout();
    report("Unknown0000000000", "STREAMS", std::string(kPeer) + ":1");
    deliver(std::string("ALTER APPLICATION Unknown0000000000 CONNECT ") + kPeer);
    deliver(std::string("ALTER USER ") + kPeer);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("未サポート書式：APPLICATION"), std::string::npos);
    EXPECT_NE(out.find("QV_A2AMODEL::notifyA2Adata():未サポート書式：ALTER USER peer@pc-b.test"), std::string::npos);
    EXPECT_FALSE(gate->hasAnyStream());
    EXPECT_TRUE(messenger.take().empty());
}

TEST_F(ModelTest, ConnectAllAsksOnlyForEnabledServicesWithoutAStream)
{
    startAndAttach();
    deliver("USERS");
    messenger.take();
    gate->connectAll();
    EXPECT_TRUE(messenger.take().empty()) << "no contact, no connect";

    deliver(std::string("USERS ") + kPeer);
    for (int k = 1; k <= 3; ++k)
        config->setServiceEnabled(k, 0);
    report("CorvaneForTcp2000", "STREAMS", std::string(kPeer) + ":1");
    messenger.take();
    gate->connectAll();
    EXPECT_EQ(messenger.take(), (Lines{std::string("ALTER APPLICATION CorvaneForFtp0000 CONNECT ") + kPeer}));
    gate->disconnectAll();
    EXPECT_EQ(messenger.take(), (Lines{std::string("ALTER APPLICATION CorvaneForTcp2000 DISCONNECT ") + kPeer + ":1"}));
    EXPECT_TRUE(gate->hasAnyStream()) << "the stream stays until the messenger stops listing it";
}

TEST_F(ModelTest, AVacatedEntryStillCountsAsAStream)
{
    attachWithPeer();
    const std::string one = std::string(kPeer) + ":1", two = std::string(kPeer) + ":2";
    report("CorvaneForCvs0000", "STREAMS", one + " " + two);
    report("CorvaneForCvs0000", "STREAMS", two);
    report("CorvaneForCvs0000", "STREAMS", one);
    EXPECT_TRUE(gate->hasAnyStream());
    EXPECT_FALSE(gate->isListening(7));
    EXPECT_FALSE(gate->isConnected(-1));
    EXPECT_FALSE(gate->isPeerConnected(5));
}

// The messenger's hang-up is seen on the read: the listeners hear the lost
// link while the models still hold their contacts and streams; then both
// are reset. A refused or unavailable link resets nothing.
TEST_F(ModelTest, LostLinkResetsBothModelsAfterTheListenersWereTold)
{
    attachWithPeer();
    report("CorvaneForHttp000", "STREAMS", std::string(kPeer) + ":1");
    messenger.sendAttach(2);
    messenger.sendAttach(3);
    loop.pump();
    EXPECT_EQ(gate->getSkypeComStatus(), 4);
    EXPECT_TRUE(gate->hasAnyStream());
    EXPECT_EQ(QV_SKYPEMODEL::getInstance()->getContactCount(), 1u);

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

struct OtherFtpName : QV_CONFIGSTORE {
    const char* getFtpApplicationName() override { return "OtherFtpName00000"; }
};

TEST(ModelNamesTest, FtpSlotTakesItsNameFromTheConfiguration)
{
    TempDir dir;
    ManualEventLoop loop;
    ScriptedMessenger messenger;
    QV_SKYPECOM::setSocketName(messenger.socketName());
    OtherFtpName config;
    {
        QV_GATECONTROL gate;
        gate.start(nullptr);
        ASSERT_TRUE(messenger.accept());
        messenger.sendAttach(0);
        loop.pump();
        Lines lines = messenger.take();
        ASSERT_EQ(lines.size(), 6u);
        EXPECT_EQ(lines[1], "CREATE APPLICATION OtherFtpName00000");
        EXPECT_EQ(lines[2], "CREATE APPLICATION CorvaneForHttp000");
    }
    QV_SKYPECOM::setSocketName(QV_SKYPECOM::kDefaultSocketName);
}

}  // namespace
