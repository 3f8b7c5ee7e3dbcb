#include "control/window_logic.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "control/version.h"
#include "core/event_loop.h"
#include "core/eventlog.h"

namespace {

// Messages are built in a buffer of 100 characters, with room for a handle
// that fills it.
constexpr size_t kMessageBuffer = 100;

std::string formatted(const char* format, const char* handle)
{
    char text[kMessageBuffer + 200];
    std::snprintf(text, sizeof(text), format, handle);
    return text;
}

const char* linkStatusText(int status)
{
    switch (status) {
        case 0:
            return "通信ドライバと未接続";
        case 1:
            return "通信ドライバと接続";
        case 2:
            return "通信ドライバと認証中";
        case 3:
            return "通信ドライバと切断中";
        default:
            return nullptr;  // the text stays as it was
    }
}

// Why a port could not listen, with the cure.
const char* listenCause(int error)
{
    switch (error) {
        case EACCES:
        case EPERM:
            return "1024未満のポートには権限が必要です: docs/ports.md";
        case EADDRINUSE:
            return "他のプログラムが使用中です";
        case EADDRNOTAVAIL:
            return "LISTENADDRESSがこのPCのアドレスではありません: docs/ports.md";
        default:
            return "docs/ports.md";
    }
}

// "ポート21、80で待ち受けできません（cause）", one sentence per cause.
std::string listenFailureText(const std::vector<std::pair<int, int>>& failed)
{
    std::vector<const char*> causes;
    for (const auto& [port, error] : failed)
        if (std::find(causes.begin(), causes.end(), listenCause(error)) == causes.end())
            causes.push_back(listenCause(error));
    std::string text;
    for (const char* cause : causes) {
        std::string ports;
        for (const auto& [port, error] : failed)
            if (listenCause(error) == cause)
                ports += (ports.empty() ? "" : "、") + std::to_string(port);
        text += (text.empty() ? "" : " ") + std::string("ポート") + ports + "で待ち受けできません（" + cause + "）";
    }
    return text;
}

}  // namespace

WindowLogic::WindowLogic(WindowView& windowView) : view(windowView), gate(std::make_unique<QV_GATECONTROL>())
{
    gate->addListener(this);
}

WindowLogic::~WindowLogic() { stop(); }

void WindowLogic::start()
{
    config.load();
    view.setSoundsEnabled(config.getSoundMode() == 1);
    std::string version = convertVersion(productVersion());
    view.showVersionLine((version + "  Powered by Quorvantine").c_str());
    QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
    log->setEnabled(1);
    log->restore();
    log->writef(2, "CorvaneForTCP %s", version.c_str());
    showModeLabel();
    view.showWindowAtStart(config);
    view.showSettings(config);
    gate->start(this);
    if (QV_EVENTLOOP* loop = getEventLoop()) {
        timer1 = loop->startTimer(kTimer1Ms, [this] { onTimer1(); });
        timer2 = loop->startTimer(kTimer2Ms, [this] { onTimer2(); });
    }
    autoConnectWait = 0;
    notifyStreamChange();
    showModeView();
}

void WindowLogic::stop()
{
    if (QV_EVENTLOOP* loop = getEventLoop()) {
        if (timer1 != 0)
            loop->stopTimer(timer1);
        if (timer2 != 0)
            loop->stopTimer(timer2);
    }
    timer1 = timer2 = 0;
    // The model runs on the event loop: it goes before the loop does.
    gate.reset();
}

void WindowLogic::showMessage(const std::string& text)
{
    std::printf("MESSAGE:%s\n", text.c_str());
    view.showMessage(text.c_str());
    unlistenedPorts.clear();
    messageActive = 1;
    messageTicks = kMessageTicks;
}

void WindowLogic::onConnectButton()
{
    std::printf("CCorvaneForTcpDlg::OnBconnect()\n");
    const char* selected = gate->getSelectedUser();
    const char* handle = selected ? selected : "";
    // The button reads "手動接続" exactly while no stream was seen.
    if (!streamUp) {
        if (config.isClientMode() == 0) {
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

void WindowLogic::onUserSwitch()
{
    if (config.getAutoConnect()) {
        showMessage("自動接続モードです。ユーザの切り替えはできません。");
        return;
    }
    gate->selectNextUser();
    if (gate->isSelectedUserConnectable())
        view.playUserConnectableSound();
    else
        view.playUserNotConnectableSound();
}

void WindowLogic::onServiceChecks(const std::array<bool, kServiceCount>& enabled)
{
    for (int k = 0; k < kServiceCount; ++k)
        config.setServiceEnabled(k, enabled[k] ? 1 : 0);
    view.showSettings(config);
    config.save();
}

void WindowLogic::onPortEdited(int service, int port)
{
    // The FTP port is shown but never edited.
    switch (service) {
        case 1:
            config.setHttpPort(port);
            break;
        case 2:
            config.setCvsPort(port);
            break;
        case 3:
            config.setGenPort1(port);
            break;
        case 4:
            config.setGenPort2(port);
            break;
        default:
            return;
    }
    view.showSettings(config);
    config.save();
}

void WindowLogic::onSystemSettings(const SystemSettings& accepted)
{
    int mode = accepted.appMode != 0 ? 1 : 0;
    if (mode != config.isClientMode()) {
        config.setClientMode(mode);
        showModeView();
        notifyStreamChange();
    }
    config.setOpenWindow(accepted.openWindow);
    setSoundMode(accepted.soundMode);
    config.setAutoConnect(accepted.autoConnect);
    config.setAcceptPolicy(accepted.acceptPolicy);
    config.setAutoConnectUser(accepted.autoConnectUser.c_str());
    showModeLabel();
    view.showSettings(config);
    config.save();
}

void WindowLogic::onForwardSettings(const std::array<std::string, kServiceCount>& hosts,
                                    const std::array<int, kServiceCount>& ports)
{
    for (int k = 0; k < kServiceCount; ++k) {
        config.setForwardHost(k, hosts[k].c_str());
        config.setForwardPort(k, ports[k]);
    }
    view.showSettings(config);
    config.save();
}

void WindowLogic::setSoundMode(int mode)
{
    config.setSoundMode(mode);
    view.setSoundsEnabled(mode == 1);
}

void WindowLogic::onSuspend()
{
    if (suspended != 0)
        return;
    suspended = 1;
    gate->disconnectAll();
    showMessage("SKYPE STREAM切断操作を行いました");
}

void WindowLogic::onResume()
{
    if (suspended == 1)
        suspended = 0;
}

void WindowLogic::onEndSession()
{
    gate->disconnectAll();
    showMessage("SKYPE STREAM切断操作を行いました");
}

void WindowLogic::onTimer1()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char clock[16];
    std::snprintf(clock, sizeof(clock), "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    view.showClock(clock);
    // Lamps keep their last state while the link is not attached.
    if (skypeStatus == kSkypeAttached)
        showLamps();
    if (messageActive == 1 && --messageTicks <= 0) {
        view.clearMessage();
        messageActive = 0;
    }
}

void WindowLogic::showLamps()
{
    WindowView::Lamps lamps;
    for (int k = 0; k < kServiceCount; ++k) {
        int row = k == 0 ? 0 : k + 1;
        lamps.listening[row] = gate->isListening(k);
        lamps.connected[row] = gate->isConnected(k);
        lamps.peerConnected[row] = gate->isPeerConnected(k);
    }
    lamps.listening[1] = gate->isFtpDataListening();
    lamps.connected[1] = gate->isFtpDataConnected();
    lamps.peerConnected[1] = gate->isFtpDataPeerConnected();
    view.showLamps(lamps);
}

void WindowLogic::onTimer2()
{
    const std::string user = config.getAutoConnectUser();
    if (suspended || skypeStatus != kSkypeAttached || !config.getAutoConnect() || config.isClientMode() != 1
        || user.empty())
        return;
    // The model reports the selection, so the contact display follows.
    gate->selectUser(user.c_str());
    if (!gate->isSelectedUserConnectable())
        return;
    if (autoConnectWait > 0) {
        --autoConnectWait;
        return;
    }
    autoConnectWait = kAutoConnectTicks;
    gate->connectAll();
    showMessage(formatted("%sへのSKYPE STREAM接続操作を行いました", user.c_str()));
}

void WindowLogic::showModeLabel()
{
    const char* text;
    if (config.isClientMode() == 0)
        text =
            config.getAcceptPolicy() == 0 ? "選択表示中ユーザの接続受付可" : "コンタクトリストのユーザからの接続受付可";
    else
        text = config.getAutoConnect() == 1 ? "自動接続モード:1分毎に接続操作を行います"
                                            : "手動接続モード:接続ボタンで接続してください";
    view.showModeLabel(text);
}

void WindowLogic::showModeView()
{
    bool client = config.isClientMode() != 0;
    view.showModeView(client, client ? "Client Application 動作選択" : "Sever Application 動作選択");
}

void WindowLogic::notifyLogLine(const char* line) { view.showLogLine(line); }

void WindowLogic::notifySkypeComStatusChange()
{
    skypeStatus = gate->getSkypeComStatus();
    std::printf("notify from SkypeCom status chenge %d\n", skypeStatus);
    if (const char* text = linkStatusText(skypeStatus))
        view.showLinkStatus(text);
}

void WindowLogic::notifyModelChange()
{
    const char* user = gate->getSelectedUser();
    const char* state = "";
    switch (gate->getSelectedUserStatus()) {
        case QV_SKYPEMODEL::kOffline:
            state = "オフライン";
            break;
        case QV_SKYPEMODEL::kOnline:
            state = gate->isSelectedUserConnectable() ? "接続可能" : "オンライン";
            break;
        default:
            break;
    }
    view.showSelectedUser(user ? user : "", state);
}

void WindowLogic::notifyStreamChange()
{
    bool any = gate->hasAnyStream();
    bool client = config.isClientMode() != 0;
    if (!streamUp && any) {
        streamUp = 1;
        std::printf("STREAM UP\n");
        view.playLinkUpSound();
        if (client) {
            int ret = view.broadcastOpen() ? 1 : 0;
            std::printf("●<-broadcastMessage() to WindowOf ret=%d\n", ret);
        }
    } else if (streamUp && !any) {
        streamUp = 0;
        std::printf("STREAM DOWN\n");
        view.playLinkDownSound();
    }
    view.showStreamView(any, client);
}

void WindowLogic::notifyListenFailed(int port, int error)
{
    std::vector<std::pair<int, int>> failed;
    if (messageActive)
        failed.swap(unlistenedPorts);
    if (std::none_of(failed.begin(), failed.end(), [port](const std::pair<int, int>& f) { return f.first == port; }))
        failed.emplace_back(port, error);
    showMessage(listenFailureText(failed));
    unlistenedPorts = std::move(failed);
}

void WindowLogic::notifyThroughput(int service, double sentRate, double receivedRate)
{
    if (config.isClientMode() == 0 || service < 0 || service >= kServiceCount)
        return;
    char text[64];
    std::snprintf(text, sizeof(text), "S:%.1f,R:%.1f [KB/S]", sentRate * 0.001, receivedRate * 0.001);
    view.showThroughput(service, text, sentRate > 0 || receivedRate > 0);
}
