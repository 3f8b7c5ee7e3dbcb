// The waits of a connection thread: a stop must end every one of them at
// once (stopThread joins the thread right after asking), a nudge must end
// the relay's pause or the peer wait (an inbound packet or the peer's answer
// is acted on without waiting out the pause), and data to read must end the
// pause of an idle relay.
#include "tcp/tcp_waker.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kLongMs = 5000;
constexpr auto kPrompt = std::chrono::milliseconds(2000);

struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fd)); }
    ~SocketPair()
    {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
};

// Runs `wait` while another thread gives `signal` (before the wait begins or
// during it: either must end it); true when the wait ended promptly.
bool endsPromptly(const std::function<void()>& wait, const std::function<void()>& signal)
{
    std::thread other(signal);
    const auto start = Clock::now();
    wait();
    const auto took = Clock::now() - start;
    other.join();
    return took < kPrompt;
}

TEST(TcpWaker, AStopFromAnotherThreadEndsEveryWaitUntilRearmed)
{
    QV_TCPWAKER waker;
    SocketPair pair;
    int32_t ready = 0;
    EXPECT_TRUE(
        endsPromptly([&] { ready = waker.waitReady(pair.fd[0], POLLIN, kLongMs); }, [&] { waker.requestStop(); }));
    EXPECT_EQ(-1, ready);
    EXPECT_TRUE(waker.stopRequested());

    // Still pending: waits that come later end at once too.
    const auto start = Clock::now();
    EXPECT_EQ(-1, waker.waitReady(pair.fd[0], POLLIN, kLongMs));
    waker.pauseMs(kLongMs);
    waker.pauseOrNudgeMs(kLongMs);
    EXPECT_FALSE(waker.pauseForDataMs(pair.fd[0], kLongMs));
    EXPECT_LT(Clock::now() - start, kPrompt);

    // A new thread's waits are its own again.
    waker.rearm();
    EXPECT_FALSE(waker.stopRequested());
    EXPECT_EQ(0, waker.waitReady(pair.fd[0], POLLIN, 20));
}

TEST(TcpWaker, ANudgeEndsOnePauseAndIsUsedUp)
{
    QV_TCPWAKER waker;
    EXPECT_TRUE(endsPromptly([&] { waker.pauseOrNudgeMs(kLongMs); }, [&] { waker.nudge(); }));
    EXPECT_FALSE(waker.stopRequested());

    // Taken by the pause it ended: the next pause lasts.
    const auto start = Clock::now();
    waker.pauseOrNudgeMs(60);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));

    // One given before the pause begins ends it all the same.
    waker.nudge();
    EXPECT_TRUE(endsPromptly([&] { waker.pauseOrNudgeMs(kLongMs); }, [] {}));
}

TEST(TcpWaker, DataOrItsEndOrANudgeEndsThePauseForData)
{
    QV_TCPWAKER waker;
    SocketPair pair;
    bool data = true;
    EXPECT_TRUE(endsPromptly([&] { data = waker.pauseForDataMs(pair.fd[0], kLongMs); }, [&] { waker.nudge(); }));
    EXPECT_FALSE(data);

    EXPECT_TRUE(endsPromptly([&] { data = waker.pauseForDataMs(pair.fd[0], kLongMs); },
                             [&] { EXPECT_EQ(1, write(pair.fd[1], "x", 1)); }));
    EXPECT_TRUE(data);
    char byte = 0;
    EXPECT_EQ(1, read(pair.fd[0], &byte, 1));

    EXPECT_TRUE(endsPromptly([&] { data = waker.pauseForDataMs(pair.fd[0], kLongMs); },
                             [&] { shutdown(pair.fd[1], SHUT_WR); }));
    EXPECT_TRUE(data);
}

}  // namespace
