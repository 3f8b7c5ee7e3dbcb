// QtEventLoop: QV_EVENTLOOP on the Qt event loop of the main thread. Timers
// are precise QTimers (the 20 ms tick paces the tunnel), watches are
// QSocketNotifiers, posted tasks are queued calls. Main thread only; it must
// outlive every model object that started a timer or a watch.
#pragma once

#include <QObject>
#include <map>

#include "core/event_loop.h"

class QTimer;
class QSocketNotifier;

class QtEventLoop : public QV_EVENTLOOP {
public:
    QtEventLoop() = default;
    ~QtEventLoop();

    int32_t startTimer(int32_t periodMs, Callback tick) override;
    void stopTimer(int32_t id) override;
    int32_t watchReadable(int fd, Callback ready) override;
    void unwatch(int32_t id) override;
    void post(Callback task) override;

private:
    QObject context;  // owns the timers and notifiers; receives posted calls
    int32_t nextId = 1;
    std::map<int32_t, QTimer*> timers;
    std::map<int32_t, QSocketNotifier*> notifiers;
};
