// The link watch: a server that says nothing is pinged after the quiet time
// and given up when the ping is followed by nothing; anything heard from it,
// or a server that keeps taking a backlog, keeps the connection; an idle
// socket's acknowledgements alone do not.
#include "messenger/link_watch.h"

#include <gtest/gtest.h>

#include <vector>

using namespace std::chrono_literals;

namespace {

using Action = LinkWatch::Action;

struct Feed {
    LinkWatch watch;
    LinkWatch::Clock::time_point t = LinkWatch::Clock::now();
    LinkWatch::Counters c;
    std::vector<std::pair<double, Action>> actions;  // seconds since the start, action
    double elapsed = 0;

    Feed() { watch.start(t, c); }

    // `ms` of samples, ten a second; `step` changes the counters before each.
    template <typename Step>
    void run(int ms, Step step)
    {
        for (int i = 0; i < ms / 100; ++i) {
            t += 100ms;
            elapsed += 0.1;
            step(c);
            Action a = watch.sample(t, c);
            if (a != Action::None)
                actions.push_back({elapsed, a});
        }
    }
    void run(int ms)
    {
        run(ms, [](LinkWatch::Counters&) {});
    }
};

}  // namespace

TEST(LinkWatch, SilentServerIsPingedThenGivenUpAndAnythingHeardRestartsTheQuietTime)
{
    Feed f;
    f.run(6000);                                                   // pinged at 5 s
    f.run(100, [](LinkWatch::Counters& c) { c.received += 60; });  // the pong
    f.run(16000);
    ASSERT_EQ(f.actions.size(), 3u);
    EXPECT_EQ(f.actions[0].second, Action::Ping);
    EXPECT_NEAR(f.actions[0].first, 5.0, 0.15);
    EXPECT_EQ(f.actions[1].second, Action::Ping);
    EXPECT_NEAR(f.actions[1].first, 11.1, 0.15);
    EXPECT_EQ(f.actions[2].second, Action::Dead);
    EXPECT_NEAR(f.actions[2].first, 21.1, 0.15);
    // A new connection starts afresh.
    f.actions.clear();
    f.c = LinkWatch::Counters{};
    f.watch.start(f.t, f.c);
    f.run(4900);
    EXPECT_TRUE(f.actions.empty());
    f.run(10200);
    ASSERT_EQ(f.actions.size(), 2u);
    EXPECT_EQ(f.actions[1].second, Action::Dead);
}

TEST(LinkWatch, TrafficOrATakenBacklogKeepsTheLinkButAcknowledgementsAloneDoNot)
{
    Feed traffic;
    traffic.run(60000, [](LinkWatch::Counters& c) { c.received += 1000; });
    EXPECT_TRUE(traffic.actions.empty());
    // Nothing comes back (the ping waits behind the backlog), but the
    // server's TCP takes 64 KB every 6 s while 500 KB wait.
    Feed backlog;
    int tick = 0;
    backlog.run(60000, [&](LinkWatch::Counters& c) {
        c.unsent = 500000;
        if (++tick % 60 == 0)
            c.acked += 65536;
    });
    for (const auto& [at, action] : backlog.actions)
        EXPECT_EQ(action, Action::Ping) << "at " << at << " s";
    // The kernel of a server whose process hangs acknowledges the ping.
    Feed hung;
    hung.run(5000);
    hung.run(100, [](LinkWatch::Counters& c) { c.acked += 60; });
    hung.run(11000);
    ASSERT_EQ(hung.actions.size(), 2u);
    EXPECT_EQ(hung.actions[1].second, Action::Dead);
}
