// The main window as the view of the window logic: what each of the logic's
// calls does to the controls.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QThread>
#include <algorithm>
#include <cstdio>

#include "ui/control_ids.h"
#include "ui/elided_text.h"
#include "ui/main_window.h"
#include "ui/session_events.h"
#include "ui/sound_player.h"
#include "ui/tray_icon.h"
#include "ui/ui_style.h"

void CCorvaneForTcpDlg::showVersionLine(const char* text) { versionLine->setText(QString::fromUtf8(text)); }

void CCorvaneForTcpDlg::showMessage(const char* text) { messageLine->setText(QString::fromUtf8(text)); }

void CCorvaneForTcpDlg::clearMessage() { messageLine->clear(); }

void CCorvaneForTcpDlg::showClock(const char* text) { clock->setText(QString::fromLatin1(text)); }

void CCorvaneForTcpDlg::showLamps(const Lamps& lamps)
{
    for (int row = 0; row < kLampRows; ++row) {
        setLamp(idc::kLampL[row], lamps.listening[row]);
        setLamp(idc::kLampC[row], lamps.connected[row]);
        setLamp(idc::kLampP[row], lamps.peerConnected[row]);
    }
}

void CCorvaneForTcpDlg::showLinkStatus(const char* text) { skypeStatusText->setText(QString::fromUtf8(text)); }

void CCorvaneForTcpDlg::showSelectedUser(const char* handle, const char* stateText)
{
    selectedUser->setFullText(QString::fromUtf8(handle));
    userStatusText->setText(QString::fromUtf8(stateText));
}

void CCorvaneForTcpDlg::showStreamView(bool connected, bool clientMode)
{
    const int locked[] = {idc::kSwitchUser, idc::kSystemSettings, 1003, 1005, 1007, 1009, 1010, idc::kForwardSettings};
    for (int id : locked)
        enableControl(id, !connected);
    if (connected) {
        connectButton->setText(QStringLiteral("切断"));
        for (int k = 1; k < kServiceCount; ++k) {
            showControl(idc::kPortEdit[k], false);
            enableControl(idc::kPortEdit[k], false);
        }
        if (clientMode)
            for (int k = 0; k < kServiceCount; ++k)
                showControl(idc::kThroughput0 + k, true);
        tray->setTrayTip(QStringLiteral("CorvaneForTCP\r\nオンライン"));
    } else {
        connectButton->setText(QStringLiteral("手動接続"));
        if (clientMode) {
            for (int k = 1; k < kServiceCount; ++k) {
                showControl(idc::kPortEdit[k], true);
                enableControl(idc::kPortEdit[k], true);
            }
            for (int k = 0; k < kServiceCount; ++k)
                showControl(idc::kThroughput0 + k, false);
        }
        tray->setTrayTip(QStringLiteral("CorvaneForTCP\r\nオフライン"));
    }
}

void CCorvaneForTcpDlg::showThroughput(int service, const char* text, bool)
{
    if (auto* label = findChild<QLabel*>(controlName(idc::kThroughput0 + service)))
        label->setText(QString::fromLatin1(text));
}

void CCorvaneForTcpDlg::showLogLine(const char* line)
{
    QString text = QString::fromUtf8(line);
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    if (QThread::currentThread() == thread())
        appendLogLine(text);
    else
        QMetaObject::invokeMethod(
            this, [this, text] { appendLogLine(text); }, Qt::QueuedConnection);
}

void CCorvaneForTcpDlg::appendLogLine(const QString& line)
{
    logList->addItem(line);
    while (logList->count() > kMaxLogLines)
        delete logList->takeItem(0);
    logList->setCurrentRow(logList->count() - 1);
}

void CCorvaneForTcpDlg::showModeView(bool client, const char* text)
{
    showControl(idc::kForwardSettings, !client);
    for (int k = 0; k < kServiceCount; ++k) {
        // A client's edit buttons and throughput labels come and go with the
        // streams; their room stays, so the columns do not move.
        for (int id : {idc::kPortEdit[k], idc::kThroughput0 + k}) {
            if (QWidget* w = id != 0 ? findChild<QWidget*>(controlName(id)) : nullptr) {
                QSizePolicy policy = w->sizePolicy();
                policy.setRetainSizeWhenHidden(client);
                w->setSizePolicy(policy);
            }
        }
        showControl(idc::kForwardHostLabel[k], !client);
        showControl(idc::kForwardPortLabel[k], !client);
        showControl(idc::kClientPort[k], client);
        if (idc::kPortEdit[k] != 0)
            showControl(idc::kPortEdit[k], client);
        // The client's throughput labels follow the connected view.
        if (!client)
            showControl(idc::kThroughput0 + k, false);
    }
    showControl(idc::kLampHeadL, client);
    for (const char* head : {"headClientPort", "headClientThroughput", "headForward3", "headForward4"}) {
        if (QWidget* w = findChild<QWidget*>(QLatin1String(head)))
            w->setVisible((head[4] == 'C') == client);
    }
    for (int id : idc::kLampL)
        showControl(id, client);
    modeText->setText(QString::fromUtf8(text));
}

void CCorvaneForTcpDlg::showModeLabel(const char* text) { modeLabel->setText(QString::fromUtf8(text)); }

void CCorvaneForTcpDlg::showSettings(QV_CONFIGURATION& settings)
{
    for (int k = 0; k < kServiceCount; ++k) {
        if (auto* check = findChild<QCheckBox*>(controlName(idc::kServiceCheck[k])))
            check->setChecked(settings.isServiceEnabled(k) != 0);
        if (auto* port = findChild<QLabel*>(controlName(idc::kClientPort[k])))
            port->setText(QString::number(settings.getServicePort(k)));
        if (auto* host = findChild<ElidedLabel*>(controlName(idc::kForwardHostLabel[k])))
            host->setFullText(QString::fromUtf8(settings.getForwardHost(k)));
        if (auto* port = findChild<QLabel*>(controlName(idc::kForwardPortLabel[k])))
            port->setText(QString::number(settings.getForwardPort(k)));
    }
}

void CCorvaneForTcpDlg::showWindowAtStart(QV_CONFIGURATION& settings)
{
    // The full size is taken with every control present; the log list fills
    // the lowest kLogHeight pixels.
    QSize top = panel->sizeHint();
    fullWidth = std::max(top.width(), 560);
    fullHeight = top.height() + kLogHeight;
    panel->setGeometry(0, 0, fullWidth, top.height());
    logList->setGeometry(6, top.height(), fullWidth - 12, kLogHeight - 6);
    logShown = settings.isClientMode() == 1 ? 0 : 1;
    applyLogView();

    tray->initTrayIcon(
        programIcon(), [this] { showWindow(); }, [this] { OnCloseRequest(); });
    bool trayShown = tray->addTrayIcon();
    // Without a notification area a hidden window could never be reached.
    if (settings.getOpenWindow() == 0 || !trayShown) {
        if (settings.getOpenWindow() != 0)
            std::printf("CCorvaneForTcpDlg::initDialog() no notification area: the window is shown\n");
        showWindow();
    } else {
        hideWindow();
    }
    session =
        std::make_unique<SessionEvents>([this] { onSuspend(); }, [this] { onResume(); }, [this] { onEndSession(); });
}

void CCorvaneForTcpDlg::setSoundsEnabled(bool on) { getSoundPlayer()->setEnabled(on ? 1 : 0); }

void CCorvaneForTcpDlg::playLinkUpSound() { getSoundPlayer()->playLinkUpSound(); }

void CCorvaneForTcpDlg::playLinkDownSound() { getSoundPlayer()->playLinkDownSound(); }

void CCorvaneForTcpDlg::playUserConnectableSound() { getSoundPlayer()->playUserConnectableSound(); }

void CCorvaneForTcpDlg::playUserNotConnectableSound() { getSoundPlayer()->playUserNotConnectableSound(); }

bool CCorvaneForTcpDlg::broadcastOpen() { return session && session->broadcastOpen(); }

void CCorvaneForTcpDlg::setLamp(int id, bool on)
{
    if (auto* box = findChild<QCheckBox*>(controlName(id)))
        box->setChecked(on);
}

void CCorvaneForTcpDlg::enableControl(int id, bool on)
{
    if (QWidget* w = findChild<QWidget*>(controlName(id)))
        w->setEnabled(on);
}

void CCorvaneForTcpDlg::showControl(int id, bool shown)
{
    if (QWidget* w = findChild<QWidget*>(controlName(id)))
        w->setVisible(shown);
}
