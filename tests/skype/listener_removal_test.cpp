// A listener that goes before the messenger link it listened to is not told
// anything afterwards: the user model removes itself from QV_SKYPECOM when it
// is destroyed. Without that, the link's next status call lands in freed
// memory (a crash, or a heap-use-after-free under ASan).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/config_store.h"
#include "skype/skype_com.h"
#include "skype/skype_model.h"
#include "tests/support/fake_api_link.h"
#include "tests/support/temp_dir.h"

namespace {

struct StatusRecorder : QV_SKYPECOMLISTENER {
    std::vector<int> statuses;
    void notifyConnectStatsuChange(int status) override { statuses.push_back(status); }
};

class ListenerRemovalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto fake = std::make_unique<FakeApiLink>();
        link = fake.get();
        com = std::make_unique<QV_SKYPECOM>(std::move(fake));
    }
    size_t count(const std::string& command) const
    {
        return static_cast<size_t>(std::count(link->commands.begin(), link->commands.end(), command));
    }

    TempDir dir;
    QV_CONFIGSTORE config;
    std::unique_ptr<QV_SKYPECOM> com;
    FakeApiLink* link = nullptr;
};

TEST_F(ListenerRemovalTest, AUserModelGoneBeforeTheLinkIsNotToldTheNextAttach)
{
    StatusRecorder after;
    auto model = std::make_unique<QV_SKYPEMODEL>(*com, &config);
    com->addListener(&after);
    link->attach();
    ASSERT_EQ(count("SEARCH FRIENDS"), 1u);

    model.reset();
    link->attach();
    EXPECT_EQ(count("SEARCH FRIENDS"), 1u);
    // The listeners after it are still told, once each.
    EXPECT_EQ(after.statuses, (std::vector<int>{kSkypeAttached, kSkypeAttached}));
}

TEST_F(ListenerRemovalTest, AListenerRemovedWhileTheLinkNotifiesLetsTheOthersBeTold)
{
    // The first listener ends the second one's registration and a third
    // follows: each listener still present is told exactly once.
    struct Remover : QV_SKYPECOMLISTENER {
        QV_SKYPECOM* com = nullptr;
        QV_SKYPECOMLISTENER* victim = nullptr;
        void notifyConnectStatsuChange(int) override { com->removeListener(victim); }
    };
    Remover first;
    StatusRecorder second;
    StatusRecorder third;
    first.com = com.get();
    first.victim = &second;
    com->addListener(&first);
    com->addListener(&second);
    com->addListener(&third);
    link->attach();
    EXPECT_TRUE(second.statuses.empty());
    EXPECT_EQ(third.statuses, (std::vector<int>{kSkypeAttached}));
}

TEST_F(ListenerRemovalTest, ARemovedModelListenerIsNotToldOfChanges)
{
    struct Counter : QV_SKYPEMODELLISTENER {
        int changes = 0;
        void notifyModelChange() override { ++changes; }
    };
    QV_SKYPEMODEL model(*com, &config);
    Counter kept;
    Counter removed;
    model.addListener(&removed);
    model.addListener(&kept);
    model.selectNextUser();
    model.removeListener(&removed);
    model.selectNextUser();
    EXPECT_EQ(removed.changes, 1);
    EXPECT_EQ(kept.changes, 2);
}

}  // namespace
