// QV_EVENTLOOP: what the model needs of the program's event loop, and nothing
// more: periodic timers and readiness of a file descriptor. The program
// installs a Qt-backed loop before the model starts; tests install one they
// step by hand. Every callback runs on the event-loop thread, one at a time,
// so the model objects that use it take no locks.
//
// Event-loop thread only. A callback may stop its own timer or watch.
#pragma once

#include <cstdint>
#include <functional>

class QV_EVENTLOOP {
public:
    using Callback = std::function<void()>;

    // Calls `tick` every periodMs milliseconds until stopTimer. Returns an id
    // above 0.
    virtual int32_t startTimer(int32_t periodMs, Callback tick) = 0;
    virtual void stopTimer(int32_t id) = 0;
    // Calls `ready` whenever fd has data to read (or was closed by its peer)
    // until unwatch. Returns an id above 0.
    virtual int32_t watchReadable(int fd, Callback ready) = 0;
    virtual void unwatch(int32_t id) = 0;
    // Runs `task` once, after the callback that is running now has returned.
    virtual void post(Callback task) = 0;

protected:
    ~QV_EVENTLOOP() = default;
};

// The loop the model uses; null until the program (or a test) sets one. The
// caller keeps ownership and must clear it before destroying the loop.
void setEventLoop(QV_EVENTLOOP* loop);
QV_EVENTLOOP* getEventLoop();
