// The watches of the server link. The link watch: a server that says nothing
// is pinged after the quiet time and given up when the ping is followed by
// nothing; anything heard from it, or a server that keeps taking a backlog,
// keeps the connection; an idle socket's acknowledgements alone do not. The
// throttle watch: a server that reads this account's data at a trickle while
// a backlog waits is reported, with its rate, again while it lasts, and its
// end; a fast server or a slow reader on the contact's side is not.
#include "messenger/xmpp/link_watch.h"
#include "messenger/xmpp/throttle_watch.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

using namespace std::chrono_literals;

namespace {

using Action = LinkWatch::Action;

struct LinkFeed {
    LinkWatch watch;
    LinkWatch::Clock::time_point t = LinkWatch::Clock::now();
    LinkWatch::Counters c;
    std::vector<std::pair<double, Action>> actions;  // seconds since the start, action
    double elapsed = 0;

    LinkFeed() { watch.start(t, c); }
    // `ms` of samples, ten a second; `step` changes the counters before each.
    void run(
        int ms, const std::function<void(LinkWatch::Counters&)>& step = [](LinkWatch::Counters&) {})
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
};

struct ThrottleFeed {
    ThrottleWatch watch;
    ThrottleWatch::Clock::time_point t = ThrottleWatch::Clock::now();
    uint64_t taken = 0;
    std::vector<std::string> lines;

    // `seconds` of samples, twice a second: the server takes `rate` bytes
    // a second while `waiting` bytes wait.
    void run(int seconds, uint64_t rate, uint64_t waiting)
    {
        for (int i = 0; i < 2 * seconds; ++i) {
            t += 500ms;
            taken += rate / 2;
            std::string line = watch.sample(t, taken, waiting);
            if (!line.empty())
                lines.push_back(line);
        }
    }
};

}  // namespace

// The pinging and giving up themselves, with their log line, are in
// scripts/twopc/e2e_linkbreak.sh.
TEST(LinkWatch, TrafficOrATakenBacklogKeepsTheLinkButAcknowledgementsAloneDoNot)
{
    LinkFeed traffic;
    traffic.run(60000, [](LinkWatch::Counters& c) { c.received += 1000; });
    EXPECT_TRUE(traffic.actions.empty());
    // Nothing comes back (the ping waits behind the backlog), but the
    // server's TCP takes 64 KB every 6 s while 500 KB wait.
    LinkFeed backlog;
    int tick = 0;
    backlog.run(60000, [&](LinkWatch::Counters& c) {
        c.unsent = 500000;
        if (++tick % 60 == 0)
            c.acked += 65536;
    });
    for (const auto& [at, action] : backlog.actions)
        EXPECT_EQ(action, Action::Ping) << "at " << at << " s";
    // The kernel of a server whose process hangs acknowledges the ping:
    // pinged after 5 quiet seconds, given up 10 s later.
    LinkFeed hung;
    hung.run(5000);
    hung.run(100, [](LinkWatch::Counters& c) { c.acked += 60; });
    hung.run(11000);
    ASSERT_EQ(hung.actions.size(), 2u);
    EXPECT_EQ(hung.actions[0].second, Action::Ping);
    EXPECT_NEAR(hung.actions[0].first, 5.0, 0.15);
    EXPECT_EQ(hung.actions[1].second, Action::Dead);
    EXPECT_NEAR(hung.actions[1].first, 15.0, 0.15);
}

TEST(ThrottleWatch, RateLimitedAccountIsReportedWithItsRateAndTheSetting)
{
    ThrottleFeed r;
    r.run(4, 10 * 1024, 300 * 1024);
    EXPECT_TRUE(r.lines.empty()) << "a whole period is needed";
    r.run(2, 10 * 1024, 300 * 1024);
    ASSERT_EQ(r.lines.size(), 1u);
    for (const char* part : {"only 10 kB/s", "300 kB wait", "unlimited_jids"})
        EXPECT_NE(r.lines[0].find(part), std::string::npos) << r.lines[0];
    EXPECT_TRUE(r.watch.throttled());
    // Again once a minute while it lasts, not more often.
    r.run(50, 10 * 1024, 300 * 1024);
    EXPECT_EQ(r.lines.size(), 1u);
    r.run(12, 10 * 1024, 300 * 1024);
    EXPECT_EQ(r.lines.size(), 2u);
    // The end is said once.
    r.run(10, 500 * 1024, 0);
    ASSERT_EQ(r.lines.size(), 3u);
    EXPECT_NE(r.lines[2].find("without delay again"), std::string::npos) << r.lines[2];
    EXPECT_FALSE(r.watch.throttled());

    // Not reported: full speed of five streams with a short backlog at
    // every sample, a contact's program that reads slowly (nothing waits
    // here), and a backlog that comes and goes within the period.
    ThrottleFeed fast;
    fast.run(30, 2600 * 1024, 200 * 1024);
    ThrottleFeed slowReader;
    slowReader.run(30, 1024, 0);
    ThrottleFeed burst;
    for (int i = 0; i < 10; ++i) {
        burst.run(2, 10 * 1024, 300 * 1024);
        burst.run(1, 10 * 1024, 0);
    }
    for (const ThrottleFeed* quiet : {&fast, &slowReader, &burst})
        EXPECT_TRUE(quiet->lines.empty()) << quiet->lines.front();
}
