// QV_SKYPECOM against a scripted messenger on a real abstract socket.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "skype/skype_com.h"
#include "tests/support/manual_event_loop.h"
#include "tests/support/scripted_messenger.h"

namespace {

using Lines = std::vector<std::string>;

struct Recorder : QV_SKYPECOMLISTENER {
    Lines events;
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

TEST_F(SkypeComTest, NoMessengerMeansNoAttachAndSendsFail)
{
    messenger.stopListening();
    com->start();
    loop.fire(QV_SKYPECOM::kDiscoveryPeriodMs, 2);
    EXPECT_EQ(kSkypeNotAttached, com->getStatus());
    EXPECT_TRUE(recorder.events.empty());
    EXPECT_EQ(0, com->send("SEARCH FRIENDS"));
    loop.runPosted();
    EXPECT_EQ(Lines{"status 0"}, recorder.events);
}

// Discovery every tick until attached; lines before the attach success are
// ignored; each attach code sets its status and is told; lines are
// dispatched by their first word; a send is one frame with its text.
TEST_F(SkypeComTest, AttachAndDispatch)
{
    com->start();
    ASSERT_TRUE(messenger.accept());
    messenger.collect();
    EXPECT_EQ(1, messenger.discoverCount());
    EXPECT_EQ(1, loop.timerCount(QV_SKYPECOM::kDiscoveryPeriodMs));
    loop.fire(QV_SKYPECOM::kDiscoveryPeriodMs, 2);
    messenger.collect();
    EXPECT_EQ(3, messenger.discoverCount());

    deliver("USERSTATUS ONLINE");
    messenger.sendAttach(1);
    loop.pump();
    EXPECT_EQ(kSkypePendingAuthorization, com->getStatus());
    messenger.sendAttach(0, 0x77);
    deliver("USERSTATUS AWAY");
    EXPECT_EQ(kSkypeAttached, com->getStatus());
    EXPECT_EQ((Lines{"status 2", "status 1", "userstatus AWAY"}), recorder.events);
    loop.fire(QV_SKYPECOM::kDiscoveryPeriodMs, 3);
    messenger.collect();
    EXPECT_EQ(3, messenger.discoverCount()) << "no discovery while attached";

    recorder.events.clear();
    for (uint32_t code : {1u, 2u, 3u, 0x8001u, 77u})  // 1: pending while attached stays attached; 77 unknown
        messenger.sendAttach(code);
    loop.pump();
    EXPECT_EQ((Lines{"status 1", "status 3", "status 4", "status 32769", "status 32769"}), recorder.events);

    recorder.events.clear();
    for (const char* line : {"USERSTATUS ONLINE", "USER alice@example.net ONLINESTATUS OFFLINE", "USERS a@x, b@x",
                             "USERS", "CURRENTUSERHANDLE me@x", "CONNSTATUS ONLINE", "CALL 12 STATUS RINGING",
                             "CREATE APPLICATION CorvaneForFtp0000", "DELETE APPLICATION CorvaneForFtp0000",
                             "ALTER APPLICATION CorvaneForFtp0000 CONNECT a@x",
                             "APPLICATION CorvaneForFtp0000 STREAMS a@x:1", "ERROR 2 Unknown command"})
        deliver(line);
    EXPECT_EQ((Lines{"userstatus ONLINE", "user alice@example.net ONLINESTATUS OFFLINE", "users a@x, b@x", "users ",
                     "current me@x", "a2a CREATE APPLICATION CorvaneForFtp0000",
                     "a2a DELETE APPLICATION CorvaneForFtp0000", "a2a ALTER APPLICATION CorvaneForFtp0000 CONNECT a@x",
                     "a2a APPLICATION CorvaneForFtp0000 STREAMS a@x:1"}),
              recorder.events);

    // Codes 2, 3 and 0x8001 keep the messenger's handle: sends still go out.
    const std::string big = "ALTER APPLICATION CorvaneForTcp2000 WRITE a@x:1 " + std::string(20560, 'a');
    EXPECT_NE(0, com->send("GET CURRENTUSERHANDLE"));
    EXPECT_NE(0, com->send(big.c_str()));
    EXPECT_EQ((Lines{"GET CURRENTUSERHANDLE", big}), messenger.take());
}

// However the link ends, it detaches at once and the listeners are told
// once; nothing more is sent, and the next tick discovers again until the
// messenger attaches.
enum class LinkEnd { HangUp, HangUpWhilePending, SendFails, ProtocolError };

class SkypeComEndTest : public SkypeComTest, public ::testing::WithParamInterface<LinkEnd> {};

TEST_P(SkypeComEndTest, DetachesOnceAndDiscoveryResumes)
{
    com->start();
    ASSERT_TRUE(messenger.accept());
    messenger.sendAttach(GetParam() == LinkEnd::HangUpWhilePending ? 1 : 0);
    loop.pump();
    recorder.events.clear();
    switch (GetParam()) {
        case LinkEnd::HangUp:
        case LinkEnd::HangUpWhilePending:
            // Seen on the socket alone: pump() serves only the descriptors.
            messenger.dropConnection();
            loop.pump();
            break;
        case LinkEnd::SendFails:
            // The write itself fails; the listeners are told after the
            // sender's callback (their reset destroys the streams).
            messenger.dropConnection();
            EXPECT_EQ(0, com->send("SEARCH FRIENDS"));
            EXPECT_EQ(0, com->send("SEARCH FRIENDS"));
            EXPECT_EQ(kSkypeNotAttached, com->getStatus());
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
    EXPECT_EQ(kSkypeNotAttached, com->getStatus());
    EXPECT_FALSE(com->isAttached());
    EXPECT_EQ(Lines{"status 0"}, recorder.events);
    EXPECT_EQ(0, com->send("SEARCH FRIENDS")) << "nothing goes to a lost messenger";

    messenger.collect();
    const int discovers = messenger.discoverCount();
    loop.fire(QV_SKYPECOM::kDiscoveryPeriodMs);
    ASSERT_TRUE(messenger.accept()) << "the next tick discovers again";
    messenger.collect();
    EXPECT_EQ(discovers + 1, messenger.discoverCount());
    messenger.sendAttach(0);
    loop.pump();
    EXPECT_EQ(kSkypeAttached, com->getStatus());
    EXPECT_NE(0, com->send("SEARCH FRIENDS"));
    EXPECT_EQ(Lines{"SEARCH FRIENDS"}, messenger.take());
}

INSTANTIATE_TEST_SUITE_P(Ends, SkypeComEndTest,
                         ::testing::Values(LinkEnd::HangUp, LinkEnd::HangUpWhilePending, LinkEnd::SendFails,
                                           LinkEnd::ProtocolError));

}  // namespace
