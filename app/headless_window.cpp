#include "app/headless_window.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <unistd.h>

#include "app/termination.h"

void HeadlessWindow::doModal() {
    config.load();

    int fd = terminationSignalFd();
    if (fd < 0) {
        std::printf("HeadlessWindow::doModal() signalfd failed\n");
        return;
    }
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [fd]() {
        int sig = readTerminationSignal(fd);
        if (sig != 0) {
            std::printf("HeadlessWindow::doModal() signal %d: closing\n", sig);
            QCoreApplication::quit();
        }
    });
    QCoreApplication::exec();
    close(fd);
}
