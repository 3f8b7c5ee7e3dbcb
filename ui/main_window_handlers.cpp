// The main window's start and modal run, and its handlers: each hands the
// user's action to the window logic; the settings dialogs run here and only
// their accepted values go to the logic.
#include <QCheckBox>

#include "core/event_loop.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"
#include "ui/session_events.h"
#include "ui/settings_dialogs.h"
#include "ui/sound_player.h"
#include "ui/tray_icon.h"
#include "ui/ui_style.h"

void CCorvaneForTcpDlg::initDialog()
{
    setWindowIcon(programIcon());
    windowLogic->start();
    if (QV_EVENTLOOP* loop = getEventLoop())
        timer3 = loop->startTimer(kTimer3Ms, [this] { onTimer3(); });
    getSoundPlayer()->setWindow(this);
}

void CCorvaneForTcpDlg::doModal()
{
    initDialog();
    if (!ended)
        modalLoop.exec();
    windowLogic->stop();
}

void CCorvaneForTcpDlg::endDialog()
{
    ended = true;
    modalLoop.exit(0);
    hide();
}

void CCorvaneForTcpDlg::OnBconnect() { windowLogic->onConnectButton(); }

void CCorvaneForTcpDlg::OnBswitch() { windowLogic->onUserSwitch(); }

void CCorvaneForTcpDlg::OnServiceCheck()
{
    std::array<bool, kServiceCount> enabled{};
    for (int k = 0; k < kServiceCount; ++k)
        if (auto* check = findChild<QCheckBox*>(controlName(idc::kServiceCheck[k])))
            enabled[k] = check->isChecked();
    windowLogic->onServiceChecks(enabled);
}

void CCorvaneForTcpDlg::OnPortEdit(int service)
{
    if (service < 1 || service >= kServiceCount)
        return;
    CPortDlg dialog(this);
    dialog.port = configuration().getServicePort(service);
    if (dialog.exec() == QDialog::Accepted)
        windowLogic->onPortEdited(service, dialog.port);
}

void CCorvaneForTcpDlg::OnSystemSettings()
{
    QV_CONFIGSTORE& settings = configuration();
    CSystemSettingsDlg dialog(this);
    dialog.appMode = settings.isClientMode();
    dialog.openWindow = settings.getOpenWindow();
    dialog.soundMode = settings.getSoundMode();
    dialog.autoConnect = settings.getAutoConnect();
    dialog.acceptPolicy = settings.getAcceptPolicy();
    dialog.autoConnectUser = settings.getAutoConnectUser();
    dialog.contacts = windowLogic->contactHandles();
    if (dialog.exec() != QDialog::Accepted)
        return;
    WindowLogic::SystemSettings accepted;
    accepted.appMode = dialog.appMode;
    accepted.openWindow = dialog.openWindow;
    accepted.soundMode = dialog.soundMode;
    accepted.autoConnect = dialog.autoConnect;
    accepted.acceptPolicy = dialog.acceptPolicy;
    accepted.autoConnectUser = dialog.autoConnectUser;
    windowLogic->onSystemSettings(accepted);
}

void CCorvaneForTcpDlg::OnForwardSettings()
{
    QV_CONFIGSTORE& settings = configuration();
    CForwardSettingsDlg dialog(this);
    for (int k = 0; k < kServiceCount; ++k) {
        dialog.hosts[k] = settings.getForwardHost(k);
        dialog.ports[k] = std::to_string(settings.getForwardPort(k));
    }
    if (dialog.exec() != QDialog::Accepted)
        return;
    std::array<std::string, kServiceCount> hosts;
    std::array<int, kServiceCount> ports{};
    for (int k = 0; k < kServiceCount; ++k) {
        hosts[k] = dialog.hosts[k];
        ports[k] = CForwardSettingsDlg::parsePort(QString::fromStdString(dialog.ports[k]));
    }
    windowLogic->onForwardSettings(hosts, ports);
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
    if (windowLogic->asksBeforeClosing()
        && !askYesNo(this, QStringLiteral("CorvaneForTcp"), QStringLiteral("接続中ですが終了しますか？")))
        return;
    endDialog();
}

void CCorvaneForTcpDlg::onTimer3()
{
    // Puts the icon back when the notification area has lost it.
    if (!tray->modifyTrayIcon() && TrayIcon::isAvailable())
        tray->addTrayIcon();
    // A hidden window whose icon is gone for good would be out of reach.
    if (windowVisible == 0 && !tray->isShown()) {
        windowVisible = 1;
        showMinimized();
    }
}

void CCorvaneForTcpDlg::onSuspend() { windowLogic->onSuspend(); }

void CCorvaneForTcpDlg::onResume() { windowLogic->onResume(); }

void CCorvaneForTcpDlg::onEndSession() { windowLogic->onEndSession(); }
