#include "app/headless_window.h"

#include <unistd.h>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>

#include "app/qt_event_loop.h"
#include "app/termination.h"

HeadlessWindow::HeadlessWindow() : windowLogic(std::make_unique<WindowLogic>(*this)) {}

// The logic goes first: it reports to this view until it is gone.
HeadlessWindow::~HeadlessWindow() { windowLogic.reset(); }

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
            windowLogic->onConnectButton();
        } else if (sig == SIGUSR2) {
            windowLogic->onUserSwitch();
        } else if (sig != 0) {
            std::printf("HeadlessWindow::doModal() signal %d: closing\n", sig);
            QCoreApplication::quit();
        }
    });
    windowLogic->start();
    QCoreApplication::exec();
    notifier.setEnabled(false);
    close(fd);
    windowLogic->stop();
    setEventLoop(nullptr);
}

void HeadlessWindow::showVersionLine(const char* text) { std::printf("%s\n", text); }

void HeadlessWindow::showLamps(const Lamps& lamp)
{
    auto row = [&lamp](int r) {
        return std::string(lamp.listening[r] ? "L" : "-") + (lamp.connected[r] ? "C" : "-")
               + (lamp.peerConnected[r] ? "P" : "-");
    };
    // Rows by service: 0, the FTP data row "0d", then 1 to 4.
    std::string now = "0:" + row(0) + " 0d:" + row(1);
    for (int r = 2; r < kLampRows; ++r)
        now += " " + std::to_string(r - 1) + ":" + row(r);
    if (now == lamps)
        return;
    lamps = now;
    std::printf("LAMPS %s\n", lamps.c_str());
}

void HeadlessWindow::showThroughput(int service, const char* text, bool moving)
{
    if (moving)
        std::printf("THROUGHPUT %d %s\n", service, text);
}

void HeadlessWindow::showLogLine(const char* line) { std::printf("LOG:%s\n", line); }
