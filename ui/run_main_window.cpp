#include "ui/run_main_window.h"

#include <unistd.h>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>

#include "app/qt_event_loop.h"
#include "app/termination.h"
#include "ui/main_window.h"

namespace {

// The signals of app/termination as events of the Qt loop, for as long as the
// object lives. The events also reach the loops that modal boxes run.
class SignalWatch {
public:
    explicit SignalWatch(std::function<void(int)> handler) : onSignal(std::move(handler)), fd(terminationSignalFd())
    {
        if (fd < 0)
            return;
        notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] {
            if (int sig = readTerminationSignal(fd))
                onSignal(sig);
        });
    }
    ~SignalWatch()
    {
        notifier.reset();
        if (fd >= 0)
            close(fd);
    }
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

private:
    std::function<void(int)> onSignal;
    int fd;
    std::unique_ptr<QSocketNotifier> notifier;
};

bool asksToEnd(int sig) { return sig == SIGINT || sig == SIGTERM; }

// Cancels the open popup menus and modal boxes and dialogs, innermost first,
// as their Cancel (or No) would: each exec() returns and its loop ends.
void cancelModalWidgets()
{
    for (int i = 0; i < 32; ++i) {
        if (QWidget* popup = QApplication::activePopupWidget()) {
            popup->close();
            continue;
        }
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->done(QDialog::Rejected);
        else
            modal->close();
    }
}

}  // namespace

void showQtMessageBox(const char* text, const char* caption)
{
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(caption), QString::fromUtf8(text), QMessageBox::Ok);
    // Asked to end while the box waits: it goes as if its button was pressed.
    SignalWatch watch([&box](int sig) {
        if (asksToEnd(sig))
            box.done(QMessageBox::Ok);
    });
    box.exec();
}

void runMainWindow()
{
    QtEventLoop loop;
    setEventLoop(&loop);
    {
        CCorvaneForTcpDlg window;
        // Once asked to end, boxes opened after the signal are cancelled too.
        QTimer canceller;
        canceller.setInterval(100);
        QObject::connect(&canceller, &QTimer::timeout, [] { cancelModalWidgets(); });
        SignalWatch watch([&window, &canceller](int sig) {
            if (sig == SIGUSR1) {
                window.OnBconnect();
            } else if (sig == SIGUSR2) {
                window.OnBswitch();
            } else if (asksToEnd(sig)) {
                // Asked to end (log-out, shutdown): the streams go first. A
                // box or dialog open now runs its own loop inside the
                // window's, which ends only after it.
                std::printf("runMainWindow() signal %d: closing\n", sig);
                window.onEndSession();
                window.endDialog();
                cancelModalWidgets();
                canceller.start();
            }
        });
        window.doModal();
    }
    setEventLoop(nullptr);
}
