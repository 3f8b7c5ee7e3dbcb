#include "ui/session_events.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QSessionManager>
#include <cstdio>

SessionEvents::SessionEvents(std::function<void()> onSuspend, std::function<void()> onResume,
                             std::function<void()> onEndSession)
    : suspend(std::move(onSuspend)), resume(std::move(onResume)), endSession(std::move(onEndSession))
{
    QDBusConnection system = QDBusConnection::systemBus();
    if (system.isConnected()) {
        // QtDBus binds bus signals to slots by name only.
        sleepWatched =
            system.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                           QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this,
                           SLOT(prepareForSleep(bool)));
    }
    std::printf("SessionEvents: PrepareForSleep %s\n", sleepWatched ? "watched" : "not available");
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) {
            if (endSession)
                endSession();
        });
    }
}

void SessionEvents::prepareForSleep(bool start)
{
    if (start) {
        if (suspend)
            suspend();
    } else if (resume) {
        resume();
    }
}

bool SessionEvents::broadcastOpen()
{
    QDBusConnection session = QDBusConnection::sessionBus();
    if (!session.isConnected())
        return false;
    QDBusMessage signal = QDBusMessage::createSignal(
        QString::fromLatin1(kOpenPath), QString::fromLatin1(kOpenInterface), QString::fromLatin1(kOpenSignal));
    signal << 0 << 0;
    return session.send(signal);
}
