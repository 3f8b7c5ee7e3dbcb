// The program's main window where there is no user interface. It holds the
// settings in memory (loaded from the INI file), embeds the controller,
// switches the event log on, connects automatically once a minute when the
// INI file says so, and shows what a window would show as trace lines on
// standard output (visible with -D119): the link status, the lamps, the
// message line and the log lines. SIGUSR1 presses the connect button,
// SIGUSR2 the user switch; SIGINT and SIGTERM close it.
//
// Event-loop thread only; doModal installs the Qt event loop for the model.
#pragma once

#include <memory>
#include <string>

#include "control/gate_control.h"
#include "core/config_store.h"

class HeadlessWindow : public QV_GATELISTENER {
public:
    static constexpr int32_t kTimer1Ms = 500;
    static constexpr int32_t kTimer2Ms = 100;
    static constexpr int kAutoConnectTicks = 600;
    static constexpr int kMessageTicks = 6;

    HeadlessWindow();
    ~HeadlessWindow();

    // Loads the settings, runs the loop, returns when asked to end.
    void doModal();

    // The start of doModal without the loop: settings, log, controller,
    // timers (on the event loop already installed).
    void initDialog();
    void onConnectButton();
    void onUserSwitch();
    void onTimer1();
    void onTimer2();

    QV_CONFIGSTORE& configuration() { return config; }
    QV_GATECONTROL& controller() { return *gate; }
    const std::string& getMessage() const { return message; }
    // "L", "C" and "P" marks of every row, as the lamps show them.
    const std::string& getLamps() const { return lamps; }

    void notifyLogLine(const char* line) override;
    void notifySkypeComStatusChange() override;
    void notifyModelChange() override;
    void notifyStreamChange() override;
    void notifyThroughput(int service, double sentRate, double receivedRate) override;

private:
    void showMessage(const std::string& text);
    std::string lampText() const;

    QV_CONFIGSTORE config;  // before the controller: the event log reads its path
    // Destroyed before the event loop the model runs on.
    std::unique_ptr<QV_GATECONTROL> gate;
    int skypeStatus = 0;
    int streamUp = 0;
    int autoConnectWait = 0;
    int suspended = 0;
    std::string message;
    int messageTicks = 0;
    std::string lamps;
    int32_t timer1 = 0;
    int32_t timer2 = 0;
};
