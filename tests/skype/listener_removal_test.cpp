// A listener that goes before the messenger link it listened to is not told
// anything afterwards: the user model removes itself from QV_SKYPECOM when it
// is destroyed. Without that, the link's next status call lands in freed
// memory (a crash, or a heap-use-after-free under ASan).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
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

// A listener that ends another one's registration while the link notifies.
struct Remover : QV_SKYPECOMLISTENER {
    QV_SKYPECOM* com = nullptr;
    QV_SKYPECOMLISTENER* victim = nullptr;
    void notifyConnectStatsuChange(int) override { com->removeListener(victim); }
};

struct ChangeCounter : QV_SKYPEMODELLISTENER {
    int changes = 0;
    void notifyModelChange() override { ++changes; }
};

TEST(ListenerRemoval, RemovedListenersAreNotToldAndTheOthersAre)
{
    TempDir dir;
    QV_CONFIGSTORE config;
    auto fake = std::make_unique<FakeApiLink>();
    FakeApiLink* link = fake.get();
    QV_SKYPECOM com(std::move(fake));
    const auto searches = [&] { return std::count(link->commands.begin(), link->commands.end(), "SEARCH FRIENDS"); };

    auto model = std::make_unique<QV_SKYPEMODEL>(com, &config);
    Remover first;
    StatusRecorder second;
    StatusRecorder third;
    first.com = &com;
    first.victim = &second;
    com.addListener(&first);
    com.addListener(&second);
    com.addListener(&third);
    link->attach();
    ASSERT_EQ(1, searches());
    EXPECT_TRUE(second.statuses.empty());
    model.reset();
    link->attach();
    EXPECT_EQ(1, searches()) << "the model gone before the link is not told";
    EXPECT_EQ((std::vector<int>{kSkypeAttached, kSkypeAttached}), third.statuses);

    QV_SKYPEMODEL kept(com, &config);
    ChangeCounter stays;
    ChangeCounter removed;
    kept.addListener(&removed);
    kept.addListener(&stays);
    kept.selectNextUser();
    kept.removeListener(&removed);
    kept.selectNextUser();
    EXPECT_EQ(1, removed.changes);
    EXPECT_EQ(2, stays.changes);
}

}  // namespace
