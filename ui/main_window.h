// CCorvaneForTcpDlg: the program's main window. It embeds the gate controller
// and is its listener, holds the settings of CorvaneForTcp.ini (it is the
// program's QV_CONFIGURATION and saves after every change the user accepts),
// and shows the messenger link, the selected contact, the lamps L, C and P of
// every tunnelled port, the throughput, a clock, a message line and the event
// log. It hosts the notification-area icon and the sounds and opens the
// settings dialogs. Hiding it keeps the program running; closing it (after a
// question while a stream is up) ends the modal run.
//
// Main (event-loop) thread only, except notifyLogLine, which may arrive on any
// thread and is handed to the main thread. The model's event loop must be
// installed before initDialog() and stay until the window is destroyed.
#pragma once

#include <QDialog>
#include <QEventLoop>
#include <memory>
#include <string>

#include "control/gate_control.h"
#include "core/config_store.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class SessionEvents;
class TrayIcon;

class CCorvaneForTcpDlg : public QDialog, public QV_GATELISTENER, public QV_CONFIGSTORE {
    Q_OBJECT

public:
    static constexpr int32_t kTimer1Ms = 500;
    static constexpr int32_t kTimer2Ms = 100;
    static constexpr int32_t kTimer3Ms = 5000;
    static constexpr int kAutoConnectTicks = 600;
    static constexpr int kMessageTicks = 6;
    static constexpr int kMaxLogLines = 2000;
    static constexpr int kLogHeight = 183;

    explicit CCorvaneForTcpDlg(QWidget* parent = nullptr);
    ~CCorvaneForTcpDlg() override;

    // Initialises and runs until the window is closed for good.
    void doModal();
    // The initialisation sequence: settings, log, tray icon, controller,
    // timers (on the installed event loop).
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
    void onTimer1();
    void onTimer2();
    void onTimer3();
    void showWindow();
    void hideWindow();
    void onSuspend();
    void onResume();
    void onEndSession();

    QV_GATECONTROL& controller() { return *gate; }
    TrayIcon& trayIcon() { return *tray; }
    int isWindowShown() const { return windowVisible; }
    int isLogShown() const { return logShown; }
    int isSuspended() const { return suspended; }
    int getFullHeight() const { return fullHeight; }

    // QV_GATELISTENER
    void notifyLogLine(const char* line) override;
    void notifySkypeComStatusChange() override;
    void notifyModelChange() override;
    void notifyStreamChange() override;
    void notifyThroughput(int service, double sentRate, double receivedRate) override;

    // QV_CONFIGURATION: the settings live in QV_CONFIGSTORE; these also
    // reach the service check boxes and the sound player.
    int isServiceEnabled(int k) override;
    void setServiceEnabled(int k, int value) override;
    void setSoundMode(int mode) override;

    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void buildControls();
    void applyColours();
    void appendLogLine(const QString& line);
    void showMessage(const std::string& text);
    void updateModeLabel();
    void applyModeView();
    void applyLogView();
    void updateControls();
    void pullServiceChecks();
    void setLamp(int id, bool on);

    std::unique_ptr<QV_GATECONTROL> gate;
    std::unique_ptr<TrayIcon> tray;
    std::unique_ptr<SessionEvents> session;
    QEventLoop modalLoop;
    bool ended = false;

    int skypeStatus = 0;
    int windowVisible = 0;
    int logShown = 1;
    int fullWidth = 0;
    int fullHeight = 0;
    int messageActive = 0;
    int messageTicks = 0;
    int autoConnectWait = 0;
    int suspended = 0;
    int streamUp = 0;
    int32_t timer1 = 0;
    int32_t timer2 = 0;
    int32_t timer3 = 0;
    std::string versionLine;

    QWidget* panel = nullptr;
    QListWidget* logList = nullptr;
    QLineEdit* messageLine = nullptr;
    QLineEdit* selectedUser = nullptr;
    QPushButton* connectButton = nullptr;
    QPushButton* switchButton = nullptr;
    QPushButton* logToggle = nullptr;
    QLabel* clock = nullptr;
    QLabel* skypeStatusText = nullptr;
    QLabel* userStatusText = nullptr;
    QLabel* modeLabel = nullptr;
    QLabel* modeText = nullptr;
};
