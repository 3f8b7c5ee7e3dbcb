#include "tests/support/manual_event_loop.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <vector>

ManualEventLoop::~ManualEventLoop()
{
    if (getEventLoop() == this)
        setEventLoop(nullptr);
}

int32_t ManualEventLoop::startTimer(int32_t periodMs, Callback tick)
{
    timers[nextId] = {periodMs, std::move(tick)};
    return nextId++;
}

int32_t ManualEventLoop::watchReadable(int fd, Callback ready)
{
    watches[nextId] = {fd, std::move(ready)};
    return nextId++;
}

void ManualEventLoop::fire(int32_t periodMs, int times)
{
    for (int t = 0; t < times; ++t) {
        std::vector<int32_t> ids;
        for (const auto& [id, timer] : timers)
            if (timer.first == periodMs)
                ids.push_back(id);
        for (int32_t id : ids) {
            if (auto it = timers.find(id); it != timers.end()) {
                Callback tick = it->second.second;  // the tick may stop its timer
                tick();
                runPosted();
            }
        }
    }
}

int ManualEventLoop::timerCount(int32_t periodMs) const
{
    return static_cast<int>(
        std::count_if(timers.begin(), timers.end(), [periodMs](const auto& t) { return t.second.first == periodMs; }));
}

void ManualEventLoop::runPosted()
{
    // Bounded: a task that keeps posting stops after this many rounds.
    for (int i = 0; i < 10000 && !posted.empty(); ++i) {
        Callback task = std::move(posted.front());
        posted.pop_front();
        task();
    }
}

void ManualEventLoop::pump(int quietMs, int maxMs)
{
    runPosted();
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
         std::chrono::steady_clock::now() < deadline && !watches.empty();) {
        std::vector<pollfd> fds;
        std::vector<int32_t> ids;
        for (const auto& [id, w] : watches) {
            fds.push_back(pollfd{w.first, POLLIN, 0});
            ids.push_back(id);
        }
        if (::poll(fds.data(), fds.size(), quietMs) <= 0)
            return;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (auto it = watches.find(ids[i]); fds[i].revents != 0 && it != watches.end()) {
                Callback ready = it->second.second;
                ready();
                runPosted();
            }
        }
    }
}
