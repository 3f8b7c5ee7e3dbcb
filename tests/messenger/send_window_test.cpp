// The window on paths the daemon meets: a server that throttles the
// account, a far server that keeps up, and a path that grows longer. A
// program writes one text of the tunnel's largest kind per 20 ms tick
// whenever the window has room; the path passes its bytes at `rate` in
// order and acknowledges each text a round trip after it has passed. A
// server that throttles lets two seconds of its rate through at once first,
// as Prosody's limits do.
#include "messenger/core/send_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>

namespace {

using namespace std::chrono_literals;
using Clock = SendWindow::Clock;

constexpr size_t kText = 20560;  // a packet of 10240 data bytes in hex

struct Path {
    double rate;                   // bytes per second through the bottleneck
    Clock::duration rtt;           // without any queue
    Clock::duration rttLater;      // from `change` on
    Clock::duration change = 0ms;  // 0: never
    double burst = 0;              // bytes that pass at once first
};

struct Outcome {
    double bytesPerSecond = 0;  // acknowledged over the last ten seconds
    size_t mostInFlight = 0;    // after the first five seconds
};

Outcome simulate(const Path& path, Clock::duration length)
{
    SendWindow window(32);
    std::deque<Clock::time_point> acks;
    Clock::time_point start{}, passed{};
    Outcome run;
    size_t lateBytes = 0;
    double burst = path.burst;
    for (Clock::duration t = 0ms; t < length; t += 1ms) {
        Clock::time_point now = start + t;
        for (; !acks.empty() && acks.front() <= now; acks.pop_front()) {
            window.acked(now);
            if (t >= length - 10s)
                lateBytes += kText;
        }
        if (t % 20ms == 0ms && !window.full()) {
            window.sent(kText, now);
            double queued = std::max(0.0, kText - burst);
            burst = std::max(0.0, burst - kText);
            passed = std::max(passed, now)
                     + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(queued / path.rate));
            bool later = path.change != 0ms && t >= path.change;
            acks.push_back(passed + (later ? path.rttLater : path.rtt));
        }
        if (t >= 5s)
            run.mostInFlight = std::max(run.mostInFlight, window.inFlightBytes());
    }
    run.bytesPerSecond = static_cast<double>(lateBytes) / 10;
    return run;
}

constexpr double kPace = kText / 0.02;

TEST(SendWindow, KeepsLittleQueuedOnASlowPathAndFullPaceOnAFastOne)
{
    // Throttled to 14 kB/s: the path stays busy, and what waits in front
    // of it (what a program that gives up has to wait for) passes in less
    // than five seconds, not the minute of a whole window.
    Outcome slow = simulate({14000, 50ms, 50ms, 0ms, 2 * 14000}, 40s);
    EXPECT_GE(slow.bytesPerSecond, 0.9 * 14000);
    EXPECT_LE(static_cast<double>(slow.mostInFlight) / 14000, 5.0);

    // A far server that keeps up: the program is never held back.
    Outcome far = simulate({20 * kPace, 420ms, 420ms}, 30s);
    EXPECT_GE(far.bytesPerSecond, 0.99 * kPace);

    // The path grows ten times longer: the round trip it had does not
    // hold the window small for long.
    Outcome longer = simulate({20 * kPace, 50ms, 500ms, 5s}, 35s);
    EXPECT_GE(longer.bytesPerSecond, 0.99 * kPace);
}

}  // namespace
