#include "app/headless_window.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <unistd.h>

#include "app/qt_event_loop.h"
#include "app/termination.h"

namespace {

constexpr const char* kVersion = "1-0-0-0";

}  // namespace

HeadlessWindow::HeadlessWindow() : gate(std::make_unique<QV_GATECONTROL>()) {}

HeadlessWindow::~HeadlessWindow()
{
    if (QV_EVENTLOOP* loop = getEventLoop()) {
        if (timer1 != 0)
            loop->stopTimer(timer1);
        if (timer2 != 0)
            loop->stopTimer(timer2);
    }
}

void HeadlessWindow::initDialog()
{
    gate->addListener(this);
    config.load();
    std::printf("%s  Powered by Quorvantine\n", kVersion);
    QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
    log->setEnabled(1);
    log->restore();
    log->writef(2, "CorvaneForTCP %s", kVersion);
    gate->start(this);
    if (QV_EVENTLOOP* loop = getEventLoop()) {
        timer1 = loop->startTimer(kTimer1Ms, [this] { onTimer1(); });
        timer2 = loop->startTimer(kTimer2Ms, [this] { onTimer2(); });
    }
    autoConnectWait = 0;
    notifyStreamChange();
}

void HeadlessWindow::doModal()
{
    QtEventLoop loop;
    setEventLoop(&loop);

    int fd = terminationSignalFd();
    if (fd < 0) {
        std::printf("HeadlessWindow::doModal() signalfd failed\n");
        setEventLoop(nullptr);
        return;
    }
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [this, fd]() {
        int sig = readTerminationSignal(fd);
        if (sig == SIGUSR1) {
            onConnectButton();
        } else if (sig == SIGUSR2) {
            onUserSwitch();
        } else if (sig != 0) {
            std::printf("HeadlessWindow::doModal() signal %d: closing\n", sig);
            QCoreApplication::quit();
        }
    });
    initDialog();
    QCoreApplication::exec();
    notifier.setEnabled(false);
    close(fd);
    // The model goes with the controller, before the loop it runs on.
    if (timer1 != 0)
        loop.stopTimer(timer1);
    if (timer2 != 0)
        loop.stopTimer(timer2);
    timer1 = timer2 = 0;
    gate.reset();
    setEventLoop(nullptr);
}

void HeadlessWindow::showMessage(const std::string& text)
{
    message = text;
    messageTicks = kMessageTicks;
    std::printf("MESSAGE:%s\n", text.c_str());
}

void HeadlessWindow::onConnectButton()
{
    std::printf("CCorvaneForTcpDlg::OnBconnect()\n");
    const char* selected = gate->getSelectedUser();
    std::string handle = selected ? selected : "";
    char text[QV_EVENTLOG::kTextBuffer + 200];
    if (!gate->hasAnyStream()) {
        if (!config.isClientMode()) {
            showMessage("サーバからの接続はできません");
        } else if (gate->isSelectedUserConnectable()) {
            gate->connectAll();
            std::snprintf(text, sizeof(text), "%sへのSKYPE STREAM接続操作を行いました", handle.c_str());
            showMessage(text);
        } else {
            std::snprintf(text, sizeof(text), "現在選択中のユーザ%sは接続可能状態ではありません", handle.c_str());
            showMessage(text);
        }
        return;
    }
    gate->disconnectAll();
    std::snprintf(text, sizeof(text), "%sへのSKYPE STREAM切断操作を行いました", handle.c_str());
    showMessage(text);
}

void HeadlessWindow::onUserSwitch()
{
    if (config.getAutoConnect()) {
        showMessage("自動接続モードです。ユーザの切り替えはできません。");
        return;
    }
    gate->selectNextUser();
}

std::string HeadlessWindow::lampText() const
{
    auto row = [](bool l, bool c, bool p) {
        return std::string(l ? "L" : "-") + (c ? "C" : "-") + (p ? "P" : "-");
    };
    std::string out = "0:" + row(gate->isListening(0), gate->isConnected(0), gate->isPeerConnected(0));
    out += " 0d:" + row(gate->isFtpDataListening(), gate->isFtpDataConnected(), gate->isFtpDataPeerConnected());
    for (int k = 1; k < kServiceCount; ++k)
        out += " " + std::to_string(k) + ":" + row(gate->isListening(k), gate->isConnected(k), gate->isPeerConnected(k));
    return out;
}

void HeadlessWindow::onTimer1()
{
    if (skypeStatus == kSkypeAttached) {
        std::string now = lampText();
        if (now != lamps) {
            lamps = now;
            std::printf("LAMPS %s\n", lamps.c_str());
        }
    }
    if (messageTicks > 0 && --messageTicks == 0)
        message.clear();
}

void HeadlessWindow::onTimer2()
{
    const char* user = config.getAutoConnectUser();
    if (suspended || skypeStatus != kSkypeAttached || !config.getAutoConnect() || config.isClientMode() != 1
        || user[0] == '\0')
        return;
    gate->selectUser(user);
    if (!gate->isSelectedUserConnectable())
        return;
    if (autoConnectWait > 0) {
        --autoConnectWait;
        return;
    }
    autoConnectWait = kAutoConnectTicks;
    gate->connectAll();
    char text[QV_EVENTLOG::kTextBuffer + 200];
    std::snprintf(text, sizeof(text), "%sへのSKYPE STREAM接続操作を行いました", user);
    showMessage(text);
}

void HeadlessWindow::notifyLogLine(const char* line) { std::printf("LOG:%s\n", line); }

void HeadlessWindow::notifySkypeComStatusChange()
{
    skypeStatus = gate->getSkypeComStatus();
    std::printf("notify from SkypeCom status chenge %d\n", skypeStatus);
}

void HeadlessWindow::notifyModelChange() {}

void HeadlessWindow::notifyStreamChange()
{
    bool any = gate->hasAnyStream();
    if (!streamUp && any) {
        streamUp = 1;
        std::printf("STREAM UP\n");
    } else if (streamUp && !any) {
        streamUp = 0;
        std::printf("STREAM DOWN\n");
    }
}

void HeadlessWindow::notifyThroughput(int service, double sentRate, double receivedRate)
{
    if (!config.isClientMode() || service < 0 || service >= kServiceCount)
        return;
    if (sentRate > 0 || receivedRate > 0)
        std::printf("THROUGHPUT %d S:%.1f,R:%.1f [KB/S]\n", service, sentRate * 0.001, receivedRate * 0.001);
}
