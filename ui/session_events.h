// What the desktop tells the program, and the one thing the program tells
// the desktop, over D-Bus where it exists:
//   - logind's PrepareForSleep(true/false) on the system bus: suspend and
//     resume;
//   - the session manager's request to save state at log-out (Qt's
//     commitDataRequest): the session ends;
//   - the signal CORVANEOPEN (two int arguments, both 0) on the session bus,
//     sent when the client's first tunnel stream comes up.
// Without a bus the program runs on without them.
//
// Owned by the main window; main thread only. The callbacks run on it.
#pragma once

#include <QObject>
#include <functional>

class SessionEvents : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kOpenPath = "/jp/quorvantine/CorvaneForTcp";
    static constexpr const char* kOpenInterface = "jp.quorvantine.CorvaneForTcp";
    static constexpr const char* kOpenSignal = "CORVANEOPEN";

    SessionEvents(std::function<void()> onSuspend, std::function<void()> onResume, std::function<void()> onEndSession);

    // True when the system bus was reached and the sleep signal is watched.
    bool watchesSleep() const { return sleepWatched; }
    // Sends CORVANEOPEN on the session bus; true when it was sent.
    bool broadcastOpen();

public slots:
    void prepareForSleep(bool start);

private:
    std::function<void()> suspend;
    std::function<void()> resume;
    std::function<void()> endSession;
    bool sleepWatched = false;
};
