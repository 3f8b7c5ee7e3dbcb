// QV_SKYPEMODEL fed by a scripted messenger: the commands it sends and the
// contacts it keeps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/config_store.h"
#include "skype/skype_model.h"
#include "tests/support/manual_event_loop.h"
#include "tests/support/scripted_messenger.h"

namespace {

using Lines = std::vector<std::string>;

struct ChangeCounter : QV_SKYPEMODELLISTENER {
    int changes = 0;
    void notifyModelChange() override { ++changes; }
};

class SkypeModelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QV_SKYPECOM::setSocketName(messenger.socketName());
        model = QV_SKYPEMODEL::getInstance();
        model->addListener(&counter);
        QV_SKYPECOM::getInstance()->start();
        ASSERT_TRUE(messenger.accept());
        messenger.sendAttach(0);
        loop.pump();
    }
    void TearDown() override
    {
        QV_SKYPEMODEL::destroyInstance();
        QV_SKYPECOM::destroyInstance();
        QV_SKYPECOM::setSocketName(QV_SKYPECOM::kDefaultSocketName);
    }
    void deliver(const std::string& line)
    {
        messenger.sendLine(line);
        loop.pump();
    }
    std::string handle(size_t i) const { return model->getContact(i).handle; }

    QV_CONFIGSTORE config;
    ManualEventLoop loop;
    ScriptedMessenger messenger;
    ChangeCounter counter;
    QV_SKYPEMODEL* model = nullptr;
};

TEST_F(SkypeModelTest, FriendsStatusesAndSelection)
{
    EXPECT_EQ(Lines{"SEARCH FRIENDS"}, messenger.take());
    deliver("USERS");
    EXPECT_EQ(0u, model->getContactCount());
    EXPECT_EQ(nullptr, model->getSelectedUser());
    EXPECT_EQ(-1, model->getSelectedUserStatus());
    EXPECT_EQ(Lines{"GET CURRENTUSERHANDLE"}, messenger.take());
    model->selectNextUser();
    EXPECT_EQ(0, model->getSelectedIndex()) << "empty list";

    const int before = counter.changes;
    deliver("USERS alice@pc-a.test, bob.b-2_x@pc-b.test, me@pc-c.test");
    ASSERT_EQ(3u, model->getContactCount());
    EXPECT_EQ("alice@pc-a.test", handle(0));
    EXPECT_EQ("bob.b-2_x@pc-b.test", handle(1));
    EXPECT_EQ("me@pc-c.test", handle(2));
    EXPECT_STREQ("alice@pc-a.test", model->getSelectedUser());
    EXPECT_EQ(before + 1, counter.changes);
    EXPECT_EQ((Lines{"GET USER alice@pc-a.test ONLINESTATUS", "GET USER bob.b-2_x@pc-b.test ONLINESTATUS",
                     "GET USER me@pc-c.test ONLINESTATUS", "GET CURRENTUSERHANDLE"}),
              messenger.take());

    deliver("CURRENTUSERHANDLE me@pc-c.test");
    EXPECT_STREQ("me@pc-c.test", model->getCurrentUser()) << "a JID is kept whole";
    for (const char* line :
         {"USER alice@pc-a.test ONLINESTATUS ONLINE", "USER bob.b-2_x@pc-b.test ONLINESTATUS LOGEDOUT",
          "USER me@pc-c.test ONLINESTATUS ONLINE", "USER nobody@x.test ONLINESTATUS ONLINE"})
        deliver(line);
    EXPECT_EQ(QV_SKYPEMODEL::kOnline, model->getContact(0).onlineStatus);
    EXPECT_EQ(QV_SKYPEMODEL::kOnline, model->getContact(1).onlineStatus) << "only OFFLINE and UNKNOWN are offline";
    EXPECT_EQ(QV_SKYPEMODEL::kOffline, model->getContact(2).onlineStatus) << "own handle changes no record";
    deliver("USER alice@pc-a.test ONLINESTATUS UNKNOWN");
    EXPECT_EQ(QV_SKYPEMODEL::kOffline, model->getContact(0).onlineStatus);
    EXPECT_EQ(QV_SKYPEMODEL::kOffline, model->getSelectedUserStatus());
    deliver("USERSTATUS AWAY");
    EXPECT_EQ(QV_SKYPEMODEL::kOnline, model->getOnlineStatus());
    deliver("USERSTATUS LOGEDOUT");
    EXPECT_EQ(QV_SKYPEMODEL::kOffline, model->getOnlineStatus());

    model->selectNextUser();
    EXPECT_STREQ("bob.b-2_x@pc-b.test", model->getSelectedUser());
    model->selectNextUser();
    model->selectNextUser();
    EXPECT_STREQ("alice@pc-a.test", model->getSelectedUser());
    model->selectUser("me@pc-c.test");
    EXPECT_STREQ("me@pc-c.test", model->getSelectedUser());
    const int changes = counter.changes;
    model->selectUser("zed@x.test");
    EXPECT_STREQ("me@pc-c.test", model->getSelectedUser());
    EXPECT_EQ(changes + 1, counter.changes) << "selectUser always notifies";

    model->reset();
    EXPECT_EQ(0u, model->getContactCount());
    EXPECT_STREQ("", model->getCurrentUser());
    EXPECT_EQ(changes + 2, counter.changes);
}

// Connectable marks per service; contacts that BUDDYSTATUS adds; the peers a stream is accepted from: the
// selected contact (policy 0) or any contact (policy 1), never a stranger.
TEST_F(SkypeModelTest, ConnectableMarksAndAcceptablePeers)
{
    EXPECT_FALSE(model->isSelectedUserConnectable());
    deliver("USERS a@x.test, b@x.test");
    model->setConnectable(3, "b@x.test a@x.test");
    EXPECT_TRUE(model->isSelectedUserConnectable());
    model->setConnectable(3, "b@x.test");
    EXPECT_FALSE(model->isSelectedUserConnectable()) << "marks of the others are cleared";
    EXPECT_EQ(1, model->getContact(1).connectable[3]);
    model->setConnectable(3, nullptr);
    EXPECT_EQ(0, model->getContact(1).connectable[3]);

    // BUDDYSTATUS 3 adds a new contact once, unnotified and unasked.
    messenger.take();
    const int before = counter.changes;
    for (const char* line : {"USER n@x.test BUDDYSTATUS 2", "USER n@x.test BUDDYSTATUS 3",
                             "USER a@x.test BUDDYSTATUS 3", "USER n@x.test BUDDYSTATUS 3"})
        deliver(line);
    ASSERT_EQ(3u, model->getContactCount());
    EXPECT_EQ("n@x.test", handle(2));
    EXPECT_EQ(QV_SKYPEMODEL::kOffline, model->getContact(2).onlineStatus);
    EXPECT_EQ(before, counter.changes) << "no notification";
    EXPECT_TRUE(messenger.take().empty()) << "no status query";

    config.setAcceptPolicy(0);
    EXPECT_TRUE(model->isAcceptablePeer("a@x.test"));
    EXPECT_FALSE(model->isAcceptablePeer("b@x.test"));
    config.setAcceptPolicy(1);
    EXPECT_TRUE(model->isAcceptablePeer("b@x.test"));
    EXPECT_TRUE(model->isAcceptablePeer("n@x.test"));
    EXPECT_FALSE(model->isAcceptablePeer("stranger@x.test"));
}

}  // namespace
