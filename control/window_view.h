// WindowView: what the main window shows, as the window logic (WindowLogic)
// tells it. The logic decides every text and number; a view only puts them
// where its user sees them. Two views exist: the Qt Widgets window and the
// trace view of the program without a display.
//
// Event-loop thread only, except showLogLine, which is called on whatever
// thread wrote the event-log line (a connection thread among them), under the
// event log's lock: a view must hand the line to its own thread, not touch
// its widgets there. The logic keeps a reference to its view: the view
// outlives the logic.
#pragma once

#include "core/configuration.h"

class WindowView {
public:
    // The lamps L (listening), C (connected) and P (peer connected) of the
    // six rows: 0 FTP control, 1 FTP data, 2 to 5 setting 1 to 4.
    static constexpr int kLampRows = 6;
    struct Lamps {
        bool listening[kLampRows] = {};
        bool connected[kLampRows] = {};
        bool peerConnected[kLampRows] = {};
    };

    // "<version>  Powered by Quorvantine", once at start.
    virtual void showVersionLine(const char* text) = 0;
    // The message line: a text, and later its end.
    virtual void showMessage(const char* text) = 0;
    virtual void clearMessage() = 0;
    // The clock "hh:mm:ss", every tick of timer 1.
    virtual void showClock(const char* text) = 0;
    // Every tick of timer 1 while the messenger link is attached.
    virtual void showLamps(const Lamps& lamps) = 0;
    // The link status text; only for the statuses that have one.
    virtual void showLinkStatus(const char* text) = 0;
    // The selected contact's handle (empty: none) and its state text.
    virtual void showSelectedUser(const char* handle, const char* stateText) = 0;
    // Connected (some stream exists) or not; the connect button reads
    // "切断" or "手動接続" accordingly.
    virtual void showStreamView(bool connected, bool clientMode) = 0;
    // "S:%.1f,R:%.1f [KB/S]" of a service 0-4 (client application only);
    // moving is false when both rates are 0.
    virtual void showThroughput(int service, const char* text, bool moving) = 0;
    // An event-log line; any thread (see above).
    virtual void showLogLine(const char* line) = 0;
    // Which controls the application mode shows, with the mode text.
    virtual void showModeView(bool clientMode, const char* modeText) = 0;
    // The mode label (accept policy or connect mode).
    virtual void showModeLabel(const char* text) = 0;
    // Copies the settings the window shows into its controls.
    virtual void showSettings(QV_CONFIGURATION& settings) = 0;
    // The window's own part of the start (its size and log view, the
    // notification icon, shown or hidden by OPENWINDOW): once, after the
    // mode label and before the settings are shown and the controller starts.
    virtual void showWindowAtStart(QV_CONFIGURATION& settings) = 0;

    // Sounds; the sound setting switches them on (1) or off.
    virtual void setSoundsEnabled(bool on) = 0;
    virtual void playLinkUpSound() = 0;
    virtual void playLinkDownSound() = 0;
    virtual void playUserConnectableSound() = 0;
    virtual void playUserNotConnectableSound() = 0;
    // Tells the desktop "CORVANEOPEN" (both arguments 0); true when sent.
    virtual bool broadcastOpen() = 0;

protected:
    ~WindowView() = default;
};
