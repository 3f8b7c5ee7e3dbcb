// Notices when the server takes this account's data far slower than the
// daemon hands it over, which is what a server-side rate limit (Prosody's
// mod_limits, on by default in Debian at 10 kB/s) looks like from here: the
// bytes wait in this side's socket while the server reads a trickle. A slow
// reader on the contact's side does not look like this (its daemon withholds
// acknowledgements; nothing waits here). Pure: the daemon feeds it the
// socket's counters and writes the lines it returns. One thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

class ThrottleWatch {
public:
    using Clock = std::chrono::steady_clock;

    // The backlog must stay at least this large, over a whole period, and
    // take more than kDrainLimit to leave at the rate seen.
    static constexpr uint64_t kMinWaiting = 32 * 1024;
    static constexpr std::chrono::seconds kPeriod{5};
    static constexpr std::chrono::seconds kDrainLimit{2};
    // While it lasts, the finding is repeated this often.
    static constexpr std::chrono::seconds kRepeat{60};

    // `taken`: bytes the server has taken so far (acknowledged by its TCP);
    // `waiting`: bytes handed to the connection and not yet sent. Called
    // often; samples closer than a second apart are ignored. Returns a line
    // for the log, or an empty string.
    std::string sample(Clock::time_point now, uint64_t taken, uint64_t waiting);
    // The connection ended: counters start again.
    void reset();
    bool throttled() const { return isThrottled; }

private:
    struct Point {
        Clock::time_point at;
        uint64_t taken;
        uint64_t waiting;
    };
    std::deque<Point> points;
    bool isThrottled = false;
    Clock::time_point lastReport{};
};
