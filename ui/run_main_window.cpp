#include "ui/run_main_window.h"

#include <QMessageBox>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "app/qt_event_loop.h"
#include "app/termination.h"
#include "ui/main_window.h"

void showQtMessageBox(const char* text, const char* caption)
{
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(caption), QString::fromUtf8(text), QMessageBox::Ok);
    box.exec();
}

void runMainWindow()
{
    QtEventLoop loop;
    setEventLoop(&loop);
    {
        CCorvaneForTcpDlg window;
        int fd = terminationSignalFd();
        std::unique_ptr<QSocketNotifier> notifier;
        if (fd >= 0) {
            notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
            QObject::connect(notifier.get(), &QSocketNotifier::activated, &window, [&window, fd] {
                int sig = readTerminationSignal(fd);
                if (sig == SIGUSR1) {
                    window.OnBconnect();
                } else if (sig == SIGUSR2) {
                    window.OnBswitch();
                } else if (sig != 0) {
                    // Asked to end (log-out, shutdown): the streams go first.
                    std::printf("runMainWindow() signal %d: closing\n", sig);
                    window.onEndSession();
                    window.endDialog();
                }
            });
        }
        window.doModal();
        if (notifier)
            notifier->setEnabled(false);
        if (fd >= 0)
            close(fd);
    }
    setEventLoop(nullptr);
}
