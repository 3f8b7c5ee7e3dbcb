// CCorvaneForTcpDlg: the program's main window in Qt Widgets. It owns the
// window logic (WindowLogic, which holds the settings and the gate
// controller) and is its view: the messenger link, the selected contact, the
// lamps L, C and P of every tunnelled port, the throughput, a clock, a
// message line and the event log. Its handlers hand the user's actions to
// the logic; the settings dialogs are run here and their results go to the
// logic. It also hosts the notification-area icon, the sounds, the desktop's
// session events and the log view. Hiding it keeps the program running (where
// the desktop has no notification area it is minimised instead, so it stays
// reachable); closing it (after a question while a stream is up) ends the
// modal run. It is a normal top-level window with a minimise button and a
// help menu that opens the version dialog.
//
// Main (event-loop) thread only, except showLogLine, which may arrive on any
// thread and is handed to the main thread. The model's event loop must be
// installed before initDialog() and stay until the window is destroyed.
#pragma once

#include <QDialog>
#include <QEventLoop>
#include <memory>

#include "control/window_logic.h"
#include "control/window_view.h"

class QGridLayout;
class QGroupBox;
class QLabel;
class QLayout;
class QLineEdit;
class QListWidget;
class QMenuBar;
class ElidedLineEdit;
class QPushButton;
class SessionEvents;
class TrayIcon;

class CCorvaneForTcpDlg : public QDialog, public WindowView {
    Q_OBJECT

public:
    static constexpr int32_t kTimer3Ms = 5000;  // puts the tray icon back
    static constexpr int kMaxLogLines = 2000;
    static constexpr int kLogHeight = 183;
    // Widths that do not follow the texts: a forward host and a throughput.
    static constexpr int kHostWidth = 140;
    static constexpr int kThroughputWidth = 190;

    explicit CCorvaneForTcpDlg(QWidget* parent = nullptr);
    ~CCorvaneForTcpDlg() override;

    // Initialises and runs until the window is closed for good.
    void doModal();
    // The initialisation: the logic's start-up sequence, timer 3, the
    // sound player's window.
    void initDialog();
    // Ends the modal run.
    void endDialog();
    bool isEnded() const { return ended; }

    // Handlers of the controls and events.
    void OnBconnect();
    void OnBswitch();
    void OnServiceCheck();
    void OnPortEdit(int service);
    void OnSystemSettings();
    void OnForwardSettings();
    void OnLogToggle();
    void OnAbout();
    void OnCloseRequest();
    void onTimer3();
    void showWindow();
    void hideWindow();
    void onSuspend();
    void onResume();
    void onEndSession();

    WindowLogic& logic() { return *windowLogic; }
    // The settings the window shows and edits (the logic's store).
    QV_CONFIGSTORE& configuration() { return windowLogic->settings(); }
    TrayIcon& trayIcon() { return *tray; }
    int isWindowShown() const { return windowVisible; }
    int isLogShown() const { return logShown; }
    int getFullHeight() const { return fullHeight; }

    // WindowView
    void showVersionLine(const char* text) override;
    void showMessage(const char* text) override;
    void clearMessage() override;
    void showClock(const char* text) override;
    void showLamps(const Lamps& lamps) override;
    void showLinkStatus(const char* text) override;
    void showSelectedUser(const char* handle, const char* stateText) override;
    void showStreamView(bool connected, bool clientMode) override;
    void showThroughput(int service, const char* text, bool moving) override;
    void showLogLine(const char* line) override;
    void showModeView(bool clientMode, const char* modeText) override;
    void showModeLabel(const char* text) override;
    void showSettings(QV_CONFIGURATION& settings) override;
    void showWindowAtStart(QV_CONFIGURATION& settings) override;
    void setSoundsEnabled(bool on) override;
    void playLinkUpSound() override;
    void playLinkDownSound() override;
    void playUserConnectableSound() override;
    void playUserNotConnectableSound() override;
    bool broadcastOpen() override;

    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    // The controls, group by group, top to bottom.
    void buildControls();
    QMenuBar* buildMenuBar();
    QLayout* buildHead();
    QGroupBox* buildPortGroup();
    void addPortColumnHeads(QGridLayout* grid);
    void addServiceRow(QGridLayout* grid, int row);
    QGroupBox* buildLinkGroup();
    QLayout* buildButtonRow();
    void applyColours();
    void appendLogLine(const QString& line);
    void applyLogView();
    void setLamp(int id, bool on);
    void enableControl(int id, bool on);
    void showControl(int id, bool shown);

    std::unique_ptr<TrayIcon> tray;
    std::unique_ptr<SessionEvents> session;
    QEventLoop modalLoop;
    bool ended = false;

    int windowVisible = 0;
    int logShown = 1;
    int fullWidth = 0;
    int fullHeight = 0;
    int32_t timer3 = 0;

    QWidget* panel = nullptr;
    QListWidget* logList = nullptr;
    QLineEdit* messageLine = nullptr;
    ElidedLineEdit* selectedUser = nullptr;
    QPushButton* connectButton = nullptr;
    QPushButton* switchButton = nullptr;
    QPushButton* logToggle = nullptr;
    QLabel* versionLine = nullptr;
    QLabel* clock = nullptr;
    QLabel* skypeStatusText = nullptr;
    QLabel* userStatusText = nullptr;
    QLabel* modeLabel = nullptr;
    QLabel* modeText = nullptr;

    // Last: made after the controls, gone before them.
    std::unique_ptr<WindowLogic> windowLogic;
};
