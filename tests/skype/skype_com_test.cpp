// QV_SKYPECOM against a scripted messenger on a real abstract socket.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "skype/skype_com.h"
#include "tests/support/manual_event_loop.h"
#include "tests/support/scripted_messenger.h"

namespace {

struct Recorder : QV_SKYPECOMLISTENER {
    std::vector<std::string> events;
    void notifyConnectStatsuChange(int s) override { events.push_back("status " + std::to_string(s)); }
    void notifyCurrentUser(const char* r) override { events.push_back(std::string("current ") + r); }
    void notifyCurrentUserOnlineStatus(const char* r) override { events.push_back(std::string("userstatus ") + r); }
    void notifyUsers(const char* r) override { events.push_back(std::string("users ") + r); }
    void notifyUser(const char* r) override { events.push_back(std::string("user ") + r); }
    void notifyA2Adata(const char* l) override { events.push_back(std::string("a2a ") + l); }
};

class SkypeComTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(messenger.isListening());
        QV_SKYPECOM::setSocketName(messenger.socketName());
        com = QV_SKYPECOM::getInstance();
        com->addListener(&recorder);
    }
    void TearDown() override
    {
        QV_SKYPECOM::destroyInstance();
        QV_SKYPECOM::setSocketName(QV_SKYPECOM::kDefaultSocketName);
    }
    void attach()
    {
        com->start();
        ASSERT_TRUE(messenger.accept());
        messenger.sendAttach(0);
        loop.pump();
        recorder.events.clear();
    }
    void deliver(const std::string& line)
    {
        messenger.sendLine(line);
        loop.pump();
    }

    ManualEventLoop loop;
    ScriptedMessenger messenger;
    Recorder recorder;
    QV_SKYPECOM* com = nullptr;
};

TEST_F(SkypeComTest, DiscoversAtStartAndEveryTickUntilAttached)
{
    com->start();
    ASSERT_TRUE(messenger.accept());
    messenger.collect();
    EXPECT_EQ(messenger.discoverCount(), 1);
    EXPECT_EQ(loop.timerCount(QV_SKYPECOM::kDiscoveryPeriodMs), 1);

    loop.fire(5000, 2);
    messenger.collect();
    EXPECT_EQ(messenger.discoverCount(), 3);

    messenger.sendAttach(1);
    loop.pump();
    EXPECT_EQ(com->getStatus(), kSkypePendingAuthorization);
    messenger.sendAttach(0, 0x77);
    loop.pump();
    EXPECT_EQ(com->getStatus(), kSkypeAttached);
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"status 2", "status 1"}));

    loop.fire(5000, 3);
    messenger.collect();
    EXPECT_EQ(messenger.discoverCount(), 3) << "no discovery while attached";
}

TEST_F(SkypeComTest, NoMessengerMeansNoAttachAndNoCrash)
{
    messenger.stopListening();
    com->start();
    loop.fire(5000, 2);
    EXPECT_EQ(com->getStatus(), kSkypeNotAttached);
    EXPECT_TRUE(recorder.events.empty());
}

TEST_F(SkypeComTest, AttachCodesSetStatusAndAlwaysNotify)
{
    attach();
    messenger.sendAttach(1);  // pending while attached stays attached
    messenger.sendAttach(2);
    messenger.sendAttach(3);
    messenger.sendAttach(0x8001);
    messenger.sendAttach(77);  // unknown: unchanged, still told
    loop.pump();
    EXPECT_EQ(recorder.events,
              (std::vector<std::string>{"status 1", "status 3", "status 4", "status 32769", "status 32769"}));
    // Codes 2, 3 and 0x8001 keep the messenger's handle: a send still goes out.
    EXPECT_NE(com->send("SEARCH FRIENDS"), 0);
    EXPECT_EQ(messenger.take(), (std::vector<std::string>{"SEARCH FRIENDS"}));
}

TEST_F(SkypeComTest, LinesBeforeAttachSuccessAreIgnored)
{
    com->start();
    ASSERT_TRUE(messenger.accept());
    messenger.sendLine("USERSTATUS ONLINE");
    loop.pump();
    EXPECT_TRUE(recorder.events.empty());
    messenger.sendAttach(0);
    messenger.sendLine("USERSTATUS AWAY");
    loop.pump();
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"status 1", "userstatus AWAY"}));
}

TEST_F(SkypeComTest, DispatchByFirstWord)
{
    attach();
    deliver("USERSTATUS ONLINE");
    deliver("USER alice@example.net ONLINESTATUS OFFLINE");
    deliver("USERS a@x, b@x");
    deliver("USERS");
    deliver("CURRENTUSERHANDLE me@x");
    deliver("CONNSTATUS ONLINE");
    deliver("CALL 12 STATUS RINGING");
    deliver("CREATE APPLICATION CorvaneForFtp0000");
    deliver("DELETE APPLICATION CorvaneForFtp0000");
    deliver("ALTER APPLICATION CorvaneForFtp0000 CONNECT a@x");
    deliver("APPLICATION CorvaneForFtp0000 STREAMS a@x:1");
    deliver("ERROR 2 Unknown command");
    EXPECT_EQ(recorder.events, (std::vector<std::string>{
                                   "userstatus ONLINE",
                                   "user alice@example.net ONLINESTATUS OFFLINE",
                                   "users a@x, b@x",
                                   "users ",
                                   "current me@x",
                                   "a2a CREATE APPLICATION CorvaneForFtp0000",
                                   "a2a DELETE APPLICATION CorvaneForFtp0000",
                                   "a2a ALTER APPLICATION CorvaneForFtp0000 CONNECT a@x",
                                   "a2a APPLICATION CorvaneForFtp0000 STREAMS a@x:1",
                               }));
}

TEST_F(SkypeComTest, SendWritesOneFrameWithItsText)
{
    attach();
    std::string big = "ALTER APPLICATION CorvaneForTcp2000 WRITE a@x:1 " + std::string(20560, 'a');
    EXPECT_NE(com->send("GET CURRENTUSERHANDLE"), 0);
    EXPECT_NE(com->send(big.c_str()), 0);
    EXPECT_EQ(messenger.take(), (std::vector<std::string>{"GET CURRENTUSERHANDLE", big}));
}

// However the link ends, it detaches at once and the listeners are told
// once; nothing more is sent, and the next tick discovers again until the
// messenger attaches.
enum class LinkEnd { HangUp, HangUpWhilePending, SendFails, ProtocolError };

class SkypeComEndTest : public SkypeComTest, public ::testing::WithParamInterface<LinkEnd> {};

TEST_P(SkypeComEndTest, DetachesOnceAndDiscoveryResumes)
{
    if (GetParam() == LinkEnd::HangUpWhilePending) {
        com->start();
        ASSERT_TRUE(messenger.accept());
        messenger.sendAttach(1);
        loop.pump();
        recorder.events.clear();
    } else {
        attach();
    }
    switch (GetParam()) {
        case LinkEnd::HangUp:
        case LinkEnd::HangUpWhilePending:
            // Seen on the socket alone: pump() serves only the descriptors,
            // no timer fires and nothing is sent.
            messenger.dropConnection();
            loop.pump();
            break;
        case LinkEnd::SendFails:
            // Sent before the hang-up was read: the write itself fails. The
            // listeners are told after the sender's callback (their reset
            // destroys the streams).
            messenger.dropConnection();
            EXPECT_EQ(com->send("SEARCH FRIENDS"), 0);
            EXPECT_EQ(com->send("SEARCH FRIENDS"), 0);
            EXPECT_EQ(com->getStatus(), kSkypeNotAttached);
            EXPECT_TRUE(recorder.events.empty()) << "listeners are told after the sender's callback";
            loop.pump();
            loop.runPosted();
            break;
        case LinkEnd::ProtocolError:
            messenger.sendRaw(std::string("\x01\x00\x00\x00Z", 5));
            loop.pump();
            messenger.collect();
            EXPECT_TRUE(messenger.peerClosed());
            break;
    }
    EXPECT_EQ(com->getStatus(), kSkypeNotAttached);
    EXPECT_FALSE(com->isAttached());
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"status 0"}));
    EXPECT_EQ(com->send("SEARCH FRIENDS"), 0) << "nothing goes to a lost messenger";

    messenger.collect();
    const int discovers = messenger.discoverCount();
    loop.fire(QV_SKYPECOM::kDiscoveryPeriodMs);
    ASSERT_TRUE(messenger.accept()) << "the next tick discovers again";
    messenger.collect();
    EXPECT_EQ(messenger.discoverCount(), discovers + 1);
    messenger.sendAttach(0);
    loop.pump();
    EXPECT_EQ(com->getStatus(), kSkypeAttached);
    EXPECT_NE(com->send("SEARCH FRIENDS"), 0);
    EXPECT_EQ(messenger.take(), (std::vector<std::string>{"SEARCH FRIENDS"}));
}

INSTANTIATE_TEST_SUITE_P(Ends, SkypeComEndTest,
                         ::testing::Values(LinkEnd::HangUp, LinkEnd::HangUpWhilePending, LinkEnd::SendFails,
                                           LinkEnd::ProtocolError));

TEST_F(SkypeComTest, SendBeforeAttachFailsAtOnce)
{
    com->start();
    EXPECT_EQ(com->send("SEARCH FRIENDS"), 0);
    loop.runPosted();
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"status 0"}));
}

}  // namespace
