#include "app/qt_event_loop.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>

QtEventLoop::~QtEventLoop()
{
    for (auto& [id, t] : timers)
        t->stop();
    for (auto& [id, n] : notifiers)
        n->setEnabled(false);
}

int32_t QtEventLoop::startTimer(int32_t periodMs, Callback tick)
{
    auto* timer = new QTimer(&context);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(periodMs);
    QObject::connect(timer, &QTimer::timeout, &context, std::move(tick));
    timer->start();
    int32_t id = nextId++;
    timers[id] = timer;
    return id;
}

void QtEventLoop::stopTimer(int32_t id)
{
    auto it = timers.find(id);
    if (it == timers.end())
        return;
    // The timer may be the one whose tick is running now.
    it->second->stop();
    it->second->deleteLater();
    timers.erase(it);
}

int32_t QtEventLoop::watchReadable(int fd, Callback ready)
{
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, &context);
    QObject::connect(notifier, &QSocketNotifier::activated, &context, [ready = std::move(ready)] { ready(); });
    int32_t id = nextId++;
    notifiers[id] = notifier;
    return id;
}

void QtEventLoop::unwatch(int32_t id)
{
    auto it = notifiers.find(id);
    if (it == notifiers.end())
        return;
    // Called from inside the notifier's own signal when the link closes.
    it->second->setEnabled(false);
    it->second->deleteLater();
    notifiers.erase(it);
}

void QtEventLoop::post(Callback task) { QMetaObject::invokeMethod(&context, std::move(task), Qt::QueuedConnection); }
