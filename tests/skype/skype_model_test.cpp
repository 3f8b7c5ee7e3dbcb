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

TEST_F(SkypeModelTest, AttachAsksForFriendsAndUsersReplyAsksForEachStatus)
{
    EXPECT_EQ(messenger.take(), (Lines{"SEARCH FRIENDS"}));
    deliver("USERS alice@pc-a.test, bob.b-2_x@pc-b.test, carol@pc-c.test");
    ASSERT_EQ(model->getContactCount(), 3u);
    EXPECT_EQ(handle(0), "alice@pc-a.test");
    EXPECT_EQ(handle(1), "bob.b-2_x@pc-b.test");
    EXPECT_EQ(handle(2), "carol@pc-c.test");
    EXPECT_STREQ(model->getSelectedUser(), "alice@pc-a.test");
    EXPECT_EQ(counter.changes, 1);
    EXPECT_EQ(messenger.take(),
              (Lines{"GET USER alice@pc-a.test ONLINESTATUS", "GET USER bob.b-2_x@pc-b.test ONLINESTATUS",
                     "GET USER carol@pc-c.test ONLINESTATUS", "GET CURRENTUSERHANDLE"}));
}

TEST_F(SkypeModelTest, EmptyUsersReplyIsAnEmptyList)
{
    messenger.take();
    deliver("USERS");
    EXPECT_EQ(model->getContactCount(), 0u);
    EXPECT_EQ(model->getSelectedUser(), nullptr);
    EXPECT_EQ(model->getSelectedUserStatus(), -1);
    EXPECT_EQ(messenger.take(), (Lines{"GET CURRENTUSERHANDLE"}));
}

TEST_F(SkypeModelTest, OnlineStatusOfContactsButNotOfTheOwnHandle)
{
    deliver("USERS a@x.test, b@x.test, me@x.test");
    deliver("CURRENTUSERHANDLE me@x.test");
    EXPECT_STREQ(model->getCurrentUser(), "me@x.test") << "a JID is kept whole";
    deliver("USER a@x.test ONLINESTATUS ONLINE");
    deliver("USER b@x.test ONLINESTATUS LOGEDOUT");
    deliver("USER me@x.test ONLINESTATUS ONLINE");
    deliver("USER nobody@x.test ONLINESTATUS ONLINE");
    EXPECT_EQ(model->getContact(0).onlineStatus, QV_SKYPEMODEL::kOnline);
    EXPECT_EQ(model->getContact(1).onlineStatus, QV_SKYPEMODEL::kOnline) << "only OFFLINE and UNKNOWN are offline";
    EXPECT_EQ(model->getContact(2).onlineStatus, QV_SKYPEMODEL::kOffline) << "own handle changes no record";
    deliver("USER a@x.test ONLINESTATUS UNKNOWN");
    EXPECT_EQ(model->getContact(0).onlineStatus, QV_SKYPEMODEL::kOffline);
    EXPECT_EQ(model->getSelectedUserStatus(), QV_SKYPEMODEL::kOffline);

    deliver("USERSTATUS AWAY");
    EXPECT_EQ(model->getOnlineStatus(), QV_SKYPEMODEL::kOnline);
    deliver("USERSTATUS LOGEDOUT");
    EXPECT_EQ(model->getOnlineStatus(), QV_SKYPEMODEL::kOffline);
}

TEST_F(SkypeModelTest, BuddyStatusThreeAddsANewContactOnce)
{
    deliver("USERS a@x.test");
    messenger.take();
    int before = counter.changes;
    deliver("USER n@x.test BUDDYSTATUS 2");
    EXPECT_EQ(model->getContactCount(), 1u);
    deliver("USER n@x.test BUDDYSTATUS 3");
    deliver("USER a@x.test BUDDYSTATUS 3");
    deliver("USER n@x.test BUDDYSTATUS 3");
    ASSERT_EQ(model->getContactCount(), 2u);
    EXPECT_EQ(handle(1), "n@x.test");
    EXPECT_EQ(model->getContact(1).onlineStatus, QV_SKYPEMODEL::kOffline);
    EXPECT_EQ(counter.changes, before) << "no notification";
    EXPECT_TRUE(messenger.take().empty()) << "no status query";
}

TEST_F(SkypeModelTest, SelectionWrapsAndSelectUserAlwaysNotifies)
{
    model->selectNextUser();
    EXPECT_EQ(model->getSelectedIndex(), 0) << "empty list";
    deliver("USERS a@x.test, b@x.test");
    model->selectNextUser();
    EXPECT_STREQ(model->getSelectedUser(), "b@x.test");
    model->selectNextUser();
    EXPECT_STREQ(model->getSelectedUser(), "a@x.test");
    model->selectUser("b@x.test");
    EXPECT_STREQ(model->getSelectedUser(), "b@x.test");
    int before = counter.changes;
    model->selectUser("zed@x.test");
    EXPECT_STREQ(model->getSelectedUser(), "b@x.test");
    EXPECT_EQ(counter.changes, before + 1);
}

TEST_F(SkypeModelTest, ConnectableMarksPerService)
{
    EXPECT_FALSE(model->isSelectedUserConnectable());
    deliver("USERS a@x.test, b@x.test");
    model->setConnectable(3, "b@x.test a@x.test");
    EXPECT_TRUE(model->isSelectedUserConnectable());
    model->setConnectable(3, "b@x.test");
    EXPECT_FALSE(model->isSelectedUserConnectable()) << "marks of the others are cleared";
    EXPECT_EQ(model->getContact(1).connectable[3], 1);
    model->setConnectable(3, nullptr);
    EXPECT_EQ(model->getContact(1).connectable[3], 0);
}

TEST_F(SkypeModelTest, AcceptablePeerFollowsThePolicy)
{
    deliver("USERS a@x.test, b@x.test");
    config.setAcceptPolicy(0);
    EXPECT_TRUE(model->isAcceptablePeer("a@x.test"));
    EXPECT_FALSE(model->isAcceptablePeer("b@x.test"));
    config.setAcceptPolicy(1);
    EXPECT_TRUE(model->isAcceptablePeer("b@x.test"));
    EXPECT_FALSE(model->isAcceptablePeer("stranger@x.test"));
}

TEST_F(SkypeModelTest, ResetEmptiesAndNotifies)
{
    deliver("USERS a@x.test");
    deliver("CURRENTUSERHANDLE me@x.test");
    int before = counter.changes;
    model->reset();
    EXPECT_EQ(model->getContactCount(), 0u);
    EXPECT_STREQ(model->getCurrentUser(), "");
    EXPECT_EQ(counter.changes, before + 1);
}

}  // namespace
