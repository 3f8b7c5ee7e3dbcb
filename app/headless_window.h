// The program's main window where there is no display: the window logic
// (WindowLogic) with a view that shows what a window would show as trace
// lines on standard output (visible with -D119). It prints the version line,
// the lamps ("LAMPS ", when they change), the event-log lines ("LOG:") and
// the throughput ("THROUGHPUT "); the logic prints the rest (messages,
// stream up and down, the link status). Sounds are silent and the
// CORVANEOPEN broadcast is not sent. SIGUSR1 presses the connect button,
// SIGUSR2 the user switch; SIGINT and SIGTERM close it.
//
// Event-loop thread only, except showLogLine (any thread: one printf).
// doModal installs the Qt event loop for the model.
#pragma once

#include <memory>
#include <string>

#include "control/window_logic.h"
#include "control/window_view.h"

class HeadlessWindow final : public WindowView {
public:
    HeadlessWindow();
    ~HeadlessWindow();
    HeadlessWindow(const HeadlessWindow&) = delete;
    HeadlessWindow& operator=(const HeadlessWindow&) = delete;

    // Starts the logic, runs the loop, returns when asked to end.
    void doModal();

    WindowLogic& logic() { return *windowLogic; }

    // WindowView: trace lines.
    void showVersionLine(const char* text) override;
    void showMessage(const char*) override {}
    void clearMessage() override {}
    void showClock(const char*) override {}
    void showLamps(const Lamps& lamps) override;
    void showLinkStatus(const char*) override {}
    void showSelectedUser(const char*, const char*) override {}
    void showStreamView(bool, bool) override {}
    void showThroughput(int service, const char* text, bool moving) override;
    void showLogLine(const char* line) override;
    void showModeView(bool, const char*) override {}
    void showModeLabel(const char*) override {}
    void showSettings(QV_CONFIGURATION&) override {}
    void showWindowAtStart(QV_CONFIGURATION&) override {}
    void setSoundsEnabled(bool) override {}
    void playLinkUpSound() override {}
    void playLinkDownSound() override {}
    void playUserConnectableSound() override {}
    void playUserNotConnectableSound() override {}
    bool broadcastOpen() override { return false; }

private:
    std::string lamps;  // the marks of the last LAMPS line
    std::unique_ptr<WindowLogic> windowLogic;
};
