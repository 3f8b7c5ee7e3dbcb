// The main window's initialisation, its handlers, its timers and what it
// does with the controller's reports.
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QThread>
#include <QTime>
#include <cstdio>

#include "core/event_loop.h"
#include "core/eventlog.h"
#include "skype/skype_model.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"
#include "ui/session_events.h"
#include "ui/settings_dialogs.h"
#include "ui/sound_player.h"
#include "ui/tray_icon.h"
#include "ui/ui_style.h"
#include "ui/version.h"

namespace {

constexpr size_t kMessageBuffer = 100;

std::string formatted(const char* format, const std::string& handle)
{
    char text[kMessageBuffer + 200];
    std::snprintf(text, sizeof(text), format, handle.c_str());
    return text;
}

}  // namespace

void CCorvaneForTcpDlg::initDialog()
{
    setWindowIcon(programIcon());
    load();
    std::string version = convertVersion(productVersion());
    versionLine = version + "  Powered by Quorvantine";
    QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
    log->setEnabled(1);
    log->restore();
    log->writef(2, "CorvaneForTCP %s", version.c_str());
    updateModeLabel();

    // The full size is taken with every control present; the log list fills
    // the lowest kLogHeight pixels.
    QSize top = panel->sizeHint();
    fullWidth = std::max(top.width(), 560);
    fullHeight = top.height() + kLogHeight;
    panel->setGeometry(0, 0, fullWidth, top.height());
    logList->setGeometry(6, top.height(), fullWidth - 12, kLogHeight - 6);
    logShown = isClientMode() == 1 ? 0 : 1;
    applyLogView();

    updateControls();
    tray->initTrayIcon(programIcon(), [this] { showWindow(); }, [this] { OnCloseRequest(); });
    bool trayShown = tray->addTrayIcon();
    // Without a notification area a hidden window could never be reached.
    if (getOpenWindow() == 0 || !trayShown) {
        if (getOpenWindow() != 0)
            std::printf("CCorvaneForTcpDlg::initDialog() no notification area: the window is shown\n");
        showWindow();
    } else {
        hideWindow();
    }
    session = std::make_unique<SessionEvents>([this] { onSuspend(); }, [this] { onResume(); },
                                              [this] { onEndSession(); });
    gate->start(this);
    if (QV_EVENTLOOP* loop = getEventLoop()) {
        timer1 = loop->startTimer(kTimer1Ms, [this] { onTimer1(); });
        timer2 = loop->startTimer(kTimer2Ms, [this] { onTimer2(); });
        timer3 = loop->startTimer(kTimer3Ms, [this] { onTimer3(); });
    }
    autoConnectWait = 0;
    notifyStreamChange();
    applyModeView();
    getSoundPlayer()->setWindow(this);
}

void CCorvaneForTcpDlg::doModal()
{
    initDialog();
    if (!ended)
        modalLoop.exec();
    if (QV_EVENTLOOP* loop = getEventLoop()) {
        for (int32_t* id : {&timer1, &timer2})
            if (*id != 0)
                loop->stopTimer(*id);
    }
    timer1 = timer2 = 0;
}

void CCorvaneForTcpDlg::endDialog()
{
    ended = true;
    modalLoop.exit(0);
    hide();
}

void CCorvaneForTcpDlg::showMessage(const std::string& text)
{
    messageLine->setText(QString::fromStdString(text));
    messageActive = 1;
    messageTicks = kMessageTicks;
    std::printf("MESSAGE:%s\n", text.c_str());
}

void CCorvaneForTcpDlg::OnBconnect()
{
    std::printf("CCorvaneForTcpDlg::OnBconnect()\n");
    const char* selected = gate->getSelectedUser();
    std::string handle = selected ? selected : "";
    if (connectButton->text() == QStringLiteral("手動接続")) {
        if (isClientMode() == 0) {
            showMessage("サーバからの接続はできません");
        } else if (gate->isSelectedUserConnectable()) {
            gate->connectAll();
            showMessage(formatted("%sへのSKYPE STREAM接続操作を行いました", handle));
        } else {
            showMessage(formatted("現在選択中のユーザ%sは接続可能状態ではありません", handle));
        }
        return;
    }
    gate->disconnectAll();
    showMessage(formatted("%sへのSKYPE STREAM切断操作を行いました", handle));
}

void CCorvaneForTcpDlg::OnBswitch()
{
    if (getAutoConnect()) {
        showMessage("自動接続モードです。ユーザの切り替えはできません。");
        return;
    }
    gate->selectNextUser();
    if (gate->isSelectedUserConnectable())
        getSoundPlayer()->playUserConnectableSound();
    else
        getSoundPlayer()->playUserNotConnectableSound();
}

void CCorvaneForTcpDlg::OnServiceCheck()
{
    pullServiceChecks();
    save();
}

void CCorvaneForTcpDlg::OnPortEdit(int service)
{
    if (service < 1 || service >= kServiceCount)
        return;
    CPortDlg dialog(this);
    dialog.port = getServicePort(service);
    if (dialog.exec() != QDialog::Accepted)
        return;
    switch (service) {
    case 1:
        setHttpPort(dialog.port);
        break;
    case 2:
        setCvsPort(dialog.port);
        break;
    case 3:
        setGenPort1(dialog.port);
        break;
    default:
        setGenPort2(dialog.port);
        break;
    }
    updateControls();
    save();
}

void CCorvaneForTcpDlg::OnSystemSettings()
{
    CSystemSettingsDlg dialog(this);
    dialog.appMode = isClientMode();
    dialog.openWindow = getOpenWindow();
    dialog.soundMode = getSoundMode();
    dialog.autoConnect = getAutoConnect();
    dialog.acceptPolicy = getAcceptPolicy();
    dialog.autoConnectUser = getAutoConnectUser();
    QV_SKYPEMODEL* model = QV_SKYPEMODEL::getInstance();
    for (size_t i = 0; i < model->getContactCount(); ++i)
        dialog.contacts.emplace_back(model->getContact(i).handle);
    if (dialog.exec() != QDialog::Accepted)
        return;
    int mode = dialog.appMode != 0 ? 1 : 0;
    if (mode != isClientMode()) {
        setClientMode(mode);
        applyModeView();
        notifyStreamChange();
    }
    setOpenWindow(dialog.openWindow);
    setSoundMode(dialog.soundMode);
    setAutoConnect(dialog.autoConnect);
    setAcceptPolicy(dialog.acceptPolicy);
    setAutoConnectUser(dialog.autoConnectUser.c_str());
    updateModeLabel();
    updateControls();
    save();
}

void CCorvaneForTcpDlg::OnForwardSettings()
{
    CForwardSettingsDlg dialog(this);
    for (int k = 0; k < kServiceCount; ++k) {
        dialog.hosts[k] = getForwardHost(k);
        dialog.ports[k] = std::to_string(getForwardPort(k));
    }
    if (dialog.exec() != QDialog::Accepted)
        return;
    for (int k = 0; k < kServiceCount; ++k) {
        setForwardHost(k, dialog.hosts[k].c_str());
        setForwardPort(k, CForwardSettingsDlg::parsePort(QString::fromStdString(dialog.ports[k])));
    }
    updateControls();
    save();
}

void CCorvaneForTcpDlg::OnLogToggle()
{
    logShown = logShown ? 0 : 1;
    applyLogView();
}

void CCorvaneForTcpDlg::OnAbout()
{
    CAboutDlg dialog(this);
    dialog.exec();
}

void CCorvaneForTcpDlg::OnCloseRequest()
{
    if (ended)
        return;
    if (gate->hasAnyStream()
        && !askYesNo(this, QStringLiteral("CorvaneForTcp"), QStringLiteral("接続中ですが終了しますか？")))
        return;
    endDialog();
}

void CCorvaneForTcpDlg::onTimer1()
{
    QTime now = QTime::currentTime();
    char text[16];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d", now.hour(), now.minute(), now.second());
    clock->setText(QString::fromLatin1(text));
    if (skypeStatus == kSkypeAttached) {
        for (int k = 0; k < kServiceCount; ++k) {
            int row = k == 0 ? 0 : k + 1;
            setLamp(idc::kLampL[row], gate->isListening(k));
            setLamp(idc::kLampC[row], gate->isConnected(k));
            setLamp(idc::kLampP[row], gate->isPeerConnected(k));
        }
        setLamp(idc::kLampL[1], gate->isFtpDataListening());
        setLamp(idc::kLampC[1], gate->isFtpDataConnected());
        setLamp(idc::kLampP[1], gate->isFtpDataPeerConnected());
    }
    if (messageActive == 1 && --messageTicks <= 0) {
        messageLine->clear();
        messageActive = 0;
    }
}

void CCorvaneForTcpDlg::onTimer2()
{
    const std::string user = getAutoConnectUser();
    if (suspended || skypeStatus != kSkypeAttached || !getAutoConnect() || isClientMode() != 1 || user.empty())
        return;
    gate->selectUser(user.c_str());
    if (!gate->isSelectedUserConnectable())
        return;
    if (autoConnectWait > 0) {
        --autoConnectWait;
        return;
    }
    autoConnectWait = kAutoConnectTicks;
    gate->connectAll();
    showMessage(formatted("%sへのSKYPE STREAM接続操作を行いました", user));
}

void CCorvaneForTcpDlg::onTimer3()
{
    // Puts the icon back when the notification area has lost it.
    if (!tray->modifyTrayIcon() && TrayIcon::isAvailable())
        tray->addTrayIcon();
}

void CCorvaneForTcpDlg::onSuspend()
{
    if (suspended != 0)
        return;
    suspended = 1;
    gate->disconnectAll();
    showMessage("SKYPE STREAM切断操作を行いました");
}

void CCorvaneForTcpDlg::onResume()
{
    if (suspended == 1)
        suspended = 0;
}

void CCorvaneForTcpDlg::onEndSession()
{
    gate->disconnectAll();
    showMessage("SKYPE STREAM切断操作を行いました");
}

void CCorvaneForTcpDlg::notifyLogLine(const char* line)
{
    QString text = QString::fromUtf8(line);
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    if (QThread::currentThread() == thread())
        appendLogLine(text);
    else
        QMetaObject::invokeMethod(this, [this, text] { appendLogLine(text); }, Qt::QueuedConnection);
}

void CCorvaneForTcpDlg::appendLogLine(const QString& line)
{
    logList->addItem(line);
    while (logList->count() > kMaxLogLines)
        delete logList->takeItem(0);
    logList->setCurrentRow(logList->count() - 1);
}

void CCorvaneForTcpDlg::notifySkypeComStatusChange()
{
    skypeStatus = gate->getSkypeComStatus();
    std::printf("notify from SkypeCom status chenge %d\n", skypeStatus);
    const char* text = nullptr;
    switch (skypeStatus) {
    case 0:
        text = "通信ドライバと未接続";
        break;
    case 1:
        text = "通信ドライバと接続";
        break;
    case 2:
        text = "通信ドライバと認証中";
        break;
    case 3:
        text = "通信ドライバと切断中";
        break;
    default:
        break;
    }
    if (text)
        skypeStatusText->setText(QString::fromUtf8(text));
}

void CCorvaneForTcpDlg::notifyModelChange()
{
    const char* user = gate->getSelectedUser();
    selectedUser->setText(QString::fromUtf8(user ? user : ""));
    const char* text = "";
    switch (gate->getSelectedUserStatus()) {
    case QV_SKYPEMODEL::kOffline:
        text = "オフライン";
        break;
    case QV_SKYPEMODEL::kOnline:
        text = gate->isSelectedUserConnectable() ? "接続可能" : "オンライン";
        break;
    default:
        break;
    }
    userStatusText->setText(QString::fromUtf8(text));
}

void CCorvaneForTcpDlg::notifyStreamChange()
{
    bool any = gate->hasAnyStream();
    if (!streamUp && any) {
        streamUp = 1;
        std::printf("STREAM UP\n");
        getSoundPlayer()->playLinkUpSound();
        if (isClientMode() != 0) {
            int ret = session && session->broadcastOpen() ? 1 : 0;
            std::printf("●<-broadcastMessage() to WindowOf ret=%d\n", ret);
        }
    } else if (streamUp && !any) {
        streamUp = 0;
        std::printf("STREAM DOWN\n");
        getSoundPlayer()->playLinkDownSound();
    }
    auto enable = [this](int id, bool on) {
        if (QWidget* w = findChild<QWidget*>(controlName(id)))
            w->setEnabled(on);
    };
    auto show = [this](int id, bool on) {
        if (QWidget* w = findChild<QWidget*>(controlName(id)))
            w->setVisible(on);
    };
    const int locked[] = {idc::kSwitchUser, idc::kSystemSettings, 1003, 1005, 1007, 1009, 1010, idc::kForwardSettings};
    for (int id : locked)
        enable(id, !any);
    if (any) {
        connectButton->setText(QStringLiteral("切断"));
        for (int k = 1; k < kServiceCount; ++k) {
            show(idc::kPortEdit[k], false);
            enable(idc::kPortEdit[k], false);
        }
        if (isClientMode() != 0)
            for (int k = 0; k < kServiceCount; ++k)
                show(idc::kThroughput0 + k, true);
        tray->setTrayTip(QStringLiteral("CorvaneForTCP\r\nオンライン"));
    } else {
        connectButton->setText(QStringLiteral("手動接続"));
        if (isClientMode() != 0) {
            for (int k = 1; k < kServiceCount; ++k) {
                show(idc::kPortEdit[k], true);
                enable(idc::kPortEdit[k], true);
            }
            for (int k = 0; k < kServiceCount; ++k)
                show(idc::kThroughput0 + k, false);
        }
        tray->setTrayTip(QStringLiteral("CorvaneForTCP\r\nオフライン"));
    }
}

void CCorvaneForTcpDlg::notifyThroughput(int service, double sentRate, double receivedRate)
{
    if (isClientMode() == 0 || service < 0 || service >= kServiceCount)
        return;
    char text[64];
    std::snprintf(text, sizeof(text), "S:%.1f,R:%.1f [KB/S]", sentRate * 0.001, receivedRate * 0.001);
    if (auto* label = findChild<QLabel*>(controlName(idc::kThroughput0 + service)))
        label->setText(QString::fromLatin1(text));
}

int CCorvaneForTcpDlg::isServiceEnabled(int k)
{
    pullServiceChecks();
    return QV_CONFIGSTORE::isServiceEnabled(k);
}

void CCorvaneForTcpDlg::setServiceEnabled(int k, int value)
{
    if (k < 0 || k >= kServiceCount)
        return;
    QV_CONFIGSTORE::setServiceEnabled(k, value);
    if (auto* check = findChild<QCheckBox*>(controlName(idc::kServiceCheck[k])))
        check->setChecked(value != 0);
}

void CCorvaneForTcpDlg::setSoundMode(int mode)
{
    QV_CONFIGSTORE::setSoundMode(mode);
    getSoundPlayer()->setEnabled(mode == 1 ? 1 : 0);
}
