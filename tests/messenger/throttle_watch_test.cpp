// The throttle watch: a server that reads this account's data at a trickle
// while a backlog waits is reported, with its rate, again while it lasts,
// and its end; a fast server or a slow reader on the contact's side is not.
#include "messenger/throttle_watch.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

struct Feed {
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

TEST(ThrottleWatch, RateLimitedAccountIsReportedWithItsRateAndTheSetting)
{
    Feed r;
    r.run(4, 10 * 1024, 300 * 1024);
    EXPECT_TRUE(r.lines.empty()) << "a whole period is needed";
    r.run(2, 10 * 1024, 300 * 1024);
    ASSERT_EQ(r.lines.size(), 1u);
    EXPECT_NE(r.lines[0].find("only 10 kB/s"), std::string::npos) << r.lines[0];
    EXPECT_NE(r.lines[0].find("300 kB wait"), std::string::npos) << r.lines[0];
    EXPECT_NE(r.lines[0].find("unlimited_jids"), std::string::npos) << r.lines[0];
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
}

TEST(ThrottleWatch, FastServerAndSlowReaderAreNotReported)
{
    Feed fast;
    // Full speed of five streams, with a short backlog at every sample.
    fast.run(30, 2600 * 1024, 200 * 1024);
    EXPECT_TRUE(fast.lines.empty());
    Feed slowReader;
    // The contact's program reads slowly: little leaves, nothing waits here.
    slowReader.run(30, 1024, 0);
    EXPECT_TRUE(slowReader.lines.empty());
    Feed burst;
    // A backlog that comes and goes within the period.
    for (int i = 0; i < 10; ++i) {
        burst.run(2, 10 * 1024, 300 * 1024);
        burst.run(1, 10 * 1024, 0);
    }
    EXPECT_TRUE(burst.lines.empty());
}
