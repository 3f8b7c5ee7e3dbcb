// WindowLogic: the behaviour of the program's main window, without any
// toolkit. It holds the settings of CorvaneForTcp.ini (the registered
// QV_CONFIGURATION) and the gate controller, is the controller's only
// listener, and decides what the window shows through its WindowView: the
// start-up sequence, the connect button, the user switch, the automatic
// connect, the message line, the lamps, the link and contact status, the
// connected view with its sounds and the CORVANEOPEN broadcast, the
// throughput, suspend and resume, and the settings changed through the
// window (each saved at once).
//
// Trace lines of the window ("CCorvaneForTcpDlg::OnBconnect()", "MESSAGE:",
// "STREAM UP", "STREAM DOWN", the status change, the broadcast) are printed
// here; what else a view prints is its own business.
//
// Owned by the window (the view), which must outlive it. Event-loop thread
// only, except notifyLogLine (any thread, passed straight to the view). The
// model's event loop (getEventLoop()) must be installed before start() and
// stay until stop() or destruction; no handler may be called after stop().
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "control/gate_control.h"
#include "control/window_view.h"
#include "core/config_store.h"

class WindowLogic final : public QV_GATELISTENER {
public:
    static constexpr int32_t kTimer1Ms = 500;      // clock, lamps, message countdown
    static constexpr int32_t kTimer2Ms = 100;      // automatic connect
    static constexpr int kAutoConnectTicks = 600;  // of timer 2: one minute
    static constexpr int kMessageTicks = 6;        // of timer 1: about 3 seconds

    // The values the system settings dialog edits.
    struct SystemSettings {
        int appMode = 0;
        int openWindow = 0;
        int soundMode = 1;
        int autoConnect = 0;
        int acceptPolicy = 0;
        std::string autoConnectUser;
    };

    explicit WindowLogic(WindowView& view);
    ~WindowLogic();
    WindowLogic(const WindowLogic&) = delete;
    WindowLogic& operator=(const WindowLogic&) = delete;

    // The start-up sequence: settings, version line, event log, the view's
    // start, the controller, timers 1 and 2.
    void start();
    // Stops timers 1 and 2, then takes the controller and with it the model
    // down. Idempotent; the destructor calls it too.
    void stop();

    // The user's actions.
    void onConnectButton();
    void onUserSwitch();
    void onServiceChecks(const std::array<bool, kServiceCount>& enabled);
    // The client port of setting 1 to 4 (service 1-4), from the port dialog.
    void onPortEdited(int service, int port);
    void onSystemSettings(const SystemSettings& accepted);
    void onForwardSettings(const std::array<std::string, kServiceCount>& hosts,
                           const std::array<int, kServiceCount>& ports);
    // Whether closing needs the user's confirmation: some stream exists.
    bool asksBeforeClosing() const { return gate && gate->hasAnyStream(); }

    // The desktop's notices.
    void onSuspend();
    void onResume();
    void onEndSession();

    void onTimer1();
    void onTimer2();

    // Stores the sound setting and switches the view's sounds (on at 1).
    void setSoundMode(int mode);

    QV_CONFIGSTORE& settings() { return config; }
    QV_GATECONTROL& controller() { return *gate; }
    // The contact handles the system settings dialog offers.
    std::vector<std::string> contactHandles() const { return gate->getContactHandles(); }
    int isSuspended() const { return suspended; }
    // Whether the last stream change saw a stream: the connect button then
    // disconnects.
    bool isStreamUp() const { return streamUp != 0; }

    // QV_GATELISTENER
    void notifyLogLine(const char* line) override;
    void notifySkypeComStatusChange() override;
    void notifyModelChange() override;
    void notifyStreamChange() override;
    void notifyThroughput(int service, double sentRate, double receivedRate) override;
    // The message names the port and the cure; the ports that fail while
    // it shows (those of one connect) join it.
    void notifyListenFailed(int port, int error) override;

private:
    void showMessage(const std::string& text);
    void showModeLabel();
    void showModeView();
    void showLamps();

    WindowView& view;
    QV_CONFIGSTORE config;  // before the controller: the event log reads its path
    std::unique_ptr<QV_GATECONTROL> gate;
    int skypeStatus = 0;
    int streamUp = 0;
    int messageActive = 0;
    std::vector<std::pair<int, int>> unlistenedPorts;  // port, errno; of the message shown
    int messageTicks = 0;
    int autoConnectWait = 0;
    int suspended = 0;
    int32_t timer1 = 0;
    int32_t timer2 = 0;
};
