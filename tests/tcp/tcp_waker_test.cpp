// The waits of a connection thread: a stop ends every one of them at once
// until rearmed, a nudge ends one pause (an inbound packet or the peer's
// answer is acted on without waiting it out). Data ending the pause is the
// relay's everyday path.
#include "tcp/tcp_waker.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kLongMs = 5000;

// Runs `wait` while another thread gives `signal` (before the wait begins or
// during it: either must end it); true when the wait ended promptly.
template <typename Wait, typename Signal>
bool endsPromptly(Wait wait, Signal signal)
{
    std::thread other(signal);
    const auto start = Clock::now();
    wait();
    other.join();
    return Clock::now() - start < std::chrono::milliseconds(2000);
}

TEST(TcpWaker, StopsAndNudgesEndTheWaits)
{
    int fd[2] = {-1, -1};
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fd));
    QV_TCPWAKER waker;
    bool data = true;
    EXPECT_TRUE(endsPromptly([&] { data = waker.pauseForDataMs(fd[0], kLongMs); }, [&] { waker.nudge(); }));
    EXPECT_FALSE(data);
    EXPECT_TRUE(endsPromptly([&] { waker.pauseOrNudgeMs(kLongMs); }, [&] { waker.nudge(); }));
    const auto start = Clock::now();
    waker.pauseOrNudgeMs(60);  // the nudge was used up by the pause it ended
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_FALSE(waker.stopRequested());

    int32_t ready = 0;
    EXPECT_TRUE(endsPromptly([&] { ready = waker.waitReady(fd[0], POLLIN, kLongMs); }, [&] { waker.requestStop(); }));
    EXPECT_EQ(-1, ready);
    EXPECT_TRUE(waker.stopRequested());
    EXPECT_TRUE(endsPromptly(  // still pending: later waits end at once too
        [&] {
            EXPECT_EQ(-1, waker.waitReady(fd[0], POLLIN, kLongMs));
            waker.pauseMs(kLongMs);
            waker.pauseOrNudgeMs(kLongMs);
            EXPECT_FALSE(waker.pauseForDataMs(fd[0], kLongMs));
        },
        [] {}));
    waker.rearm();
    EXPECT_FALSE(waker.stopRequested());
    EXPECT_EQ(0, waker.waitReady(fd[0], POLLIN, 20));
    close(fd[0]);
    close(fd[1]);
}

}  // namespace
