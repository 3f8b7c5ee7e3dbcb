// An event loop that a test steps by hand: timers fire only when the test
// says so, watched descriptors are polled by pump(). It installs itself.
#pragma once

#include <deque>
#include <map>

#include "core/event_loop.h"

class ManualEventLoop : public QV_EVENTLOOP {
public:
    ManualEventLoop() { setEventLoop(this); }
    ~ManualEventLoop();

    int32_t startTimer(int32_t periodMs, Callback tick) override;
    void stopTimer(int32_t id) override { timers.erase(id); }
    int32_t watchReadable(int fd, Callback ready) override;
    void unwatch(int32_t id) override { watches.erase(id); }
    void post(Callback task) override { posted.push_back(std::move(task)); }
    // Runs the posted tasks (also those they post). fire() and pump() run
    // them after every callback.
    void runPosted();

    // Fires every running timer of that period once, in the order started.
    void fire(int32_t periodMs, int times = 1);
    int timerCount(int32_t periodMs) const;
    // Serves readable descriptors until none has been ready for quietMs, or
    // at most maxMs in all.
    void pump(int quietMs = 30, int maxMs = 2000);

private:
    int32_t nextId = 1;
    std::map<int32_t, std::pair<int32_t, Callback>> timers;  // period, tick
    std::map<int32_t, std::pair<int, Callback>> watches;     // descriptor, ready
    std::deque<Callback> posted;
};
