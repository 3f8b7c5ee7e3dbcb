// The messenger link and the user model against a scripted messenger, and
// the reader of stream lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/config_store.h"
#include "skype/skype_com.h"
#include "skype/skype_model.h"
#include "skype/stream_list.h"
#include "tests/support/fake_api_link.h"
#include "tests/support/scripted_messenger.h"
#include "tests/support/temp_dir.h"

namespace {

using Lines = std::vector<std::string>;

// Each item "user:id" (with "=bytes" in SENDING and RECEIVED); a malformed
// item voids the whole list.
TEST(StreamList, ItemsAndErrors)
{
    using Kind = StreamListKind;
    using Result = StreamListResult;
    const std::string u255(255, 'u');
    const std::vector<std::tuple<std::string, Kind, Result, std::vector<StreamEntry>>> cases = {
        {"", Kind::Streams, Result::Empty, {}},
        {" abc123", Kind::Streams, Result::Empty, {}},
        {"taro.yamada-2_x@example.org:1,user2:2 u3:3",
         Kind::Streams,
         Result::Entries,
         {{"taro.yamada-2_x@example.org", 1, 0}, {"user2", 2, 0}, {"u3", 3, 0}}},
        // An id that is not a number counts as zero, or up to its first letter.
        {"user1:abc user2:12x", Kind::Streams, Result::Entries, {{"user1", 0, 0}, {"user2", 12, 0}}},
        // A blank after the last item starts an item without a user.
        {"user1:1 ", Kind::Streams, Result::NoUser, {}},
        // An overlong word voids the list instead of overflowing; 255 fit.
        {std::string(300, 'u') + ":1", Kind::Streams, Result::TooLong, {}},
        {"user1:1 user2:" + std::string(300, '7'), Kind::Streams, Result::TooLong, {}},
        {u255 + ":3", Kind::Streams, Result::Entries, {{u255, 3, 0}}},
        {"user1:1=120 user2:2=40", Kind::Sending, Result::Entries, {{"user1", 1, 120}, {"user2", 2, 40}}},
        {"user1:1=10 user2:2", Kind::Sending, Result::NoId, {}},
        {"user1:1", Kind::Received, Result::NoId, {}},
        {"user1=5", Kind::Sending, Result::NoUser, {}},
    };
    for (const auto& [text, kind, result, expected] : cases) {
        SCOPED_TRACE('"' + text.substr(0, 40) + "\" kind " + std::to_string(static_cast<int>(kind)));
        std::vector<StreamEntry> entries = {{"stale", 9, 9}};
        EXPECT_EQ(result, parseStreamList(text.c_str(), kind, entries));
        ASSERT_EQ(expected.size(), entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(expected[i].user, entries[i].user);
            EXPECT_EQ(expected[i].id, entries[i].id);
            EXPECT_EQ(expected[i].bytes, entries[i].bytes);
        }
    }
}

struct Recorder : QV_SKYPECOMLISTENER, QV_SKYPEMODELLISTENER {
    Lines events;
    int changes = 0;
    void notifyConnectStatsuChange(int s) override { events.push_back("status " + std::to_string(s)); }
    void notifyCurrentUser(const char* r) override { events.push_back(std::string("current ") + r); }
    void notifyCurrentUserOnlineStatus(const char* r) override { events.push_back(std::string("userstatus ") + r); }
    void notifyUsers(const char* r) override { events.push_back(std::string("users ") + r); }
    void notifyUser(const char* r) override { events.push_back(std::string("user ") + r); }
    void notifyA2Adata(const char* l) override { events.push_back(std::string("a2a ") + l); }
    void notifyModelChange() override { ++changes; }
};

class SkypeComTest : public ::testing::Test, public MessengerRig {
protected:
    void SetUp() override
    {
        com = QV_SKYPECOM::getInstance();
        com->addListener(&recorder);
    }
    void TearDown() override
    {
        QV_SKYPEMODEL::destroyInstance();
        QV_SKYPECOM::destroyInstance();
    }
    Recorder recorder;
    QV_SKYPECOM* com = nullptr;
};

// Discovery every tick until attached; lines before the attach success are
// ignored; each attach code is told; lines go by their first word.
TEST_F(SkypeComTest, AttachAndDispatch)
{
    com->start();
    ASSERT_TRUE(messenger.accept());
    loop.fire(QV_SKYPECOM::kDiscoveryPeriodMs, 2);
    messenger.collect();
    EXPECT_EQ(3, messenger.discoverCount());
    messenger.sendLine("USERSTATUS ONLINE");
    messenger.sendAttach(1);
    loop.pump();
    EXPECT_EQ(kSkypePendingAuthorization, com->getStatus());
    messenger.sendAttach(0, 0x77);
    loop.pump();
    loop.fire(QV_SKYPECOM::kDiscoveryPeriodMs, 3);
    messenger.collect();
    EXPECT_EQ(3, messenger.discoverCount()) << "no discovery while attached";
    for (uint32_t code : {1u, 2u, 3u, 0x8001u, 77u})  // 1: pending while attached stays attached; 77 unknown
        messenger.sendAttach(code);
    for (const char* line : {"USERSTATUS AWAY", "USER a@x ONLINESTATUS OFFLINE", "USERS a@x, b@x",
                             "CURRENTUSERHANDLE me@x", "CALL 12 STATUS RINGING", "DELETE APPLICATION A",
                             "ALTER APPLICATION A CONNECT a@x", "ERROR 2 Unknown command"})
        messenger.sendLine(line);
    loop.pump();
    EXPECT_EQ((Lines{"status 2", "status 1", "status 1", "status 3", "status 4", "status 32769", "status 32769",
                     "userstatus AWAY", "user a@x ONLINESTATUS OFFLINE", "users a@x, b@x", "current me@x",
                     "a2a DELETE APPLICATION A", "a2a ALTER APPLICATION A CONNECT a@x"}),
              recorder.events);
    // Codes 2, 3 and 0x8001 keep the messenger's handle: sends still go out.
    const std::string big = "ALTER APPLICATION A WRITE a@x:1 " + std::string(20560, 'a');
    EXPECT_NE(0, com->send(big.c_str()));
    EXPECT_EQ((Lines{big}), messenger.take());
}

// However the link ends, it detaches at once and the listeners are told
// once, after the sender's callback; the next tick discovers again.
TEST_F(SkypeComTest, EveryEndDetachesOnceAndDiscoveryResumes)
{
    com->start();
    ASSERT_TRUE(attach(1));
    for (const char* end : {"hang-up", "send fails", "protocol error"}) {
        SCOPED_TRACE(end);
        recorder.events.clear();
        if (end == std::string("protocol error")) {
            messenger.sendRaw(std::string("\x01\x00\x00\x00Z", 5));
            loop.pump();
            messenger.collect();
            EXPECT_TRUE(messenger.peerClosed());
        } else {
            messenger.dropConnection();
        }
        if (end == std::string("send fails")) {
            EXPECT_EQ(0, com->send("SEARCH FRIENDS"));
            EXPECT_EQ(0, com->send("SEARCH FRIENDS"));
            EXPECT_FALSE(com->isAttached());
            EXPECT_TRUE(recorder.events.empty()) << "listeners are told after the sender's callback";
            loop.runPosted();
        }
        loop.pump();  // a hang-up is seen on the socket alone: pump() serves only the descriptors
        EXPECT_FALSE(com->isAttached());
        EXPECT_EQ(Lines{"status 0"}, recorder.events);
        EXPECT_EQ(0, com->send("SEARCH FRIENDS")) << "nothing goes to a lost messenger";
        messenger.collect();
        const int discovers = messenger.discoverCount();
        loop.fire(QV_SKYPECOM::kDiscoveryPeriodMs);
        ASSERT_TRUE(attach()) << "the next tick discovers again";
        EXPECT_NE(0, com->send("SEARCH FRIENDS"));
        EXPECT_EQ(Lines{"SEARCH FRIENDS"}, messenger.take());
        EXPECT_EQ(discovers + 1, messenger.discoverCount());
    }
}

// BUDDYSTATUS 3 adds a new contact once, unnotified and unasked.
TEST_F(SkypeComTest, TheUserModel)
{
    QV_CONFIGSTORE config;
    QV_SKYPEMODEL* model = QV_SKYPEMODEL::getInstance();
    model->addListener(&recorder);
    com->start();
    ASSERT_TRUE(attach());
    EXPECT_EQ(Lines{"SEARCH FRIENDS"}, messenger.take());
    deliver("USERS alice@pc-a.test, bob.b-2_x@pc-b.test, me@pc-c.test");
    ASSERT_EQ(3u, model->getContactCount());
    EXPECT_EQ(std::string("bob.b-2_x@pc-b.test"), model->getContact(1).handle);
    EXPECT_STREQ("alice@pc-a.test", model->getSelectedUser());
    EXPECT_EQ(1, recorder.changes);
    EXPECT_EQ((Lines{"GET USER alice@pc-a.test ONLINESTATUS", "GET USER bob.b-2_x@pc-b.test ONLINESTATUS",
                     "GET USER me@pc-c.test ONLINESTATUS", "GET CURRENTUSERHANDLE"}),
              messenger.take());
    deliver("CURRENTUSERHANDLE me@pc-c.test");
    EXPECT_STREQ("me@pc-c.test", model->getCurrentUser()) << "a JID is kept whole";
    for (const char* line :
         {"USER alice@pc-a.test ONLINESTATUS ONLINE", "USER bob.b-2_x@pc-b.test ONLINESTATUS LOGEDOUT",
          "USER me@pc-c.test ONLINESTATUS ONLINE", "USER nobody@x.test ONLINESTATUS ONLINE", "USERSTATUS AWAY"})
        deliver(line);
    EXPECT_EQ(QV_SKYPEMODEL::kOnline, model->getSelectedUserStatus());
    EXPECT_EQ(QV_SKYPEMODEL::kOnline, model->getContact(1).onlineStatus) << "only OFFLINE and UNKNOWN are offline";
    EXPECT_EQ(QV_SKYPEMODEL::kOffline, model->getContact(2).onlineStatus) << "own handle changes no record";
    EXPECT_EQ(QV_SKYPEMODEL::kOnline, model->getOnlineStatus());
    deliver("USER alice@pc-a.test ONLINESTATUS UNKNOWN");
    deliver("USERSTATUS LOGEDOUT");
    EXPECT_EQ(QV_SKYPEMODEL::kOffline, model->getSelectedUserStatus());
    EXPECT_EQ(QV_SKYPEMODEL::kOffline, model->getOnlineStatus());
    model->selectNextUser();
    EXPECT_STREQ("bob.b-2_x@pc-b.test", model->getSelectedUser());
    model->selectNextUser();
    model->selectNextUser();
    EXPECT_STREQ("alice@pc-a.test", model->getSelectedUser());
    model->setConnectable(3, "bob.b-2_x@pc-b.test alice@pc-a.test");
    EXPECT_TRUE(model->isSelectedUserConnectable());
    model->setConnectable(3, "bob.b-2_x@pc-b.test");
    EXPECT_FALSE(model->isSelectedUserConnectable()) << "marks of the others are cleared";
    EXPECT_EQ(1, model->getContact(1).connectable[3]);
    messenger.take();
    const int changes = recorder.changes;
    for (const char* line : {"USER n@x.test BUDDYSTATUS 2", "USER n@x.test BUDDYSTATUS 3",
                             "USER alice@pc-a.test BUDDYSTATUS 3", "USER n@x.test BUDDYSTATUS 3"})
        deliver(line);
    ASSERT_EQ(4u, model->getContactCount());
    EXPECT_EQ(std::string("n@x.test"), model->getContact(3).handle);
    EXPECT_EQ(changes, recorder.changes) << "no notification";
    EXPECT_TRUE(messenger.take().empty()) << "no status query";
}

struct Remover : QV_SKYPECOMLISTENER {
    QV_SKYPECOM* com = nullptr;
    QV_SKYPECOMLISTENER* victim = nullptr;
    void notifyConnectStatsuChange(int) override { com->removeListener(victim); }
};

// A listener removed, even while the link notifies, is not told anything
// afterwards: the user model removes itself when destroyed. Without that,
// the link's next status call lands in freed memory.
TEST(ListenerRemoval, RemovedListenersAreNotToldAndTheOthersAre)
{
    TempDir dir;
    QV_CONFIGSTORE config;
    auto fake = std::make_unique<FakeApiLink>();
    FakeApiLink* link = fake.get();
    QV_SKYPECOM com(std::move(fake));
    auto model = std::make_unique<QV_SKYPEMODEL>(com, &config);
    Remover first;
    Recorder second, third;
    first.com = &com;
    first.victim = &second;
    com.addListener(&first);
    com.addListener(&second);
    com.addListener(&third);
    link->attach();
    EXPECT_TRUE(second.events.empty());
    model.reset();
    link->attach();
    EXPECT_EQ(1, std::count(link->commands.begin(), link->commands.end(), "SEARCH FRIENDS"))
        << "the model gone before the link is not told";
    EXPECT_EQ((Lines{"status 1", "status 1"}), third.events);
    QV_SKYPEMODEL kept(com, &config);
    kept.addListener(&second);
    kept.addListener(&third);
    kept.selectNextUser();
    kept.removeListener(&second);
    kept.selectNextUser();
    EXPECT_EQ(1, second.changes);
    EXPECT_EQ(2, third.changes);
}

}  // namespace
