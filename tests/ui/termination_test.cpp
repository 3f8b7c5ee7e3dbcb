// SIGTERM ends the program whatever is open: the main window run by
// runMainWindow with a message box or a dialog (and a box inside it) waiting
// for an answer, and start-up's own message box. The signals are blocked as
// the program blocks them, and the test sends SIGTERM to itself. A watchdog
// answers whatever is still open after five seconds, so a failing test ends.
#include <unistd.h>
#include <QApplication>
#include <QtTest>
#include <csignal>
#include <functional>

#include "app/termination.h"
#include "tests/support/scripted_messenger.h"
#include "tests/support/temp_dir.h"
#include "ui/main_window.h"
#include "ui/run_main_window.h"
#include "ui/settings_dialogs.h"
#include "ui/ui_style.h"

namespace {

constexpr int kLimitMs = 5000;

CCorvaneForTcpDlg* mainWindow()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<CCorvaneForTcpDlg*>(w))
            return window;
    return nullptr;
}

// Rejects the modal dialog, or ends the window, once the limit has passed;
// `expired` tells whether it had to.
struct Watchdog {
    Watchdog()
    {
        QObject::connect(&timer, &QTimer::timeout, [this] {
            expired = true;
            if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                dialog->reject();
            else if (CCorvaneForTcpDlg* window = mainWindow())
                window->endDialog();
        });
        timer.start(kLimitMs);
    }
    bool expired = false;
    QTimer timer;
};

void sendTermSoon()
{
    QTimer::singleShot(300, [] { kill(getpid(), SIGTERM); });
}

}  // namespace

class TerminationTest : public QObject {
    Q_OBJECT

    // Runs the program's window as a server in a scratch directory; once it
    // runs, `whileRunning` is called from its loop. True when the window
    // ended by itself, before the watchdog.
    bool runWindow(const std::function<void(CCorvaneForTcpDlg*)>& whileRunning)
    {
        TempDir dir;
        writeFile(dir.file("CorvaneForTcp.ini"), "[SYSTEM]\r\nAPPMODE=0\r\n");
        ScriptedMessenger messenger;
        QV_SKYPECOM::setSocketName(messenger.socketName());
        bool called = false;
        QTimer::singleShot(200, [&] {
            called = true;
            whileRunning(mainWindow());
        });
        Watchdog watchdog;
        runMainWindow();
        QV_SKYPECOM::setSocketName(QV_SKYPECOM::kDefaultSocketName);
        return called && !watchdog.expired && mainWindow() == nullptr;
    }

private slots:
    void aTermSignalAnswersTheCloseQuestionAndEndsTheWindow()
    {
        int answer = -1;
        QVERIFY(runWindow([&](CCorvaneForTcpDlg* window) {
            sendTermSoon();
            answer = askYesNo(window, QStringLiteral("CorvaneForTcp"), QStringLiteral("接続中ですが終了しますか？"));
        }));
        QCOMPARE(answer, 0);
    }

    void aTermSignalEndsADialogAndTheBoxOpenInsideIt()
    {
        bool boxShown = false;
        QVERIFY(runWindow([&](CCorvaneForTcpDlg* window) {
            QTimer::singleShot(100, [&] {
                auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
                QVERIFY(about != nullptr);
                boxShown = true;
                sendTermSoon();
                showOkBox(about, QStringLiteral("CorvaneForTcp"), QStringLiteral("inside"));
            });
            window->OnAbout();
        }));
        QVERIFY(boxShown);
    }

    // Last: without its own watch the signal would stay pending for the next test.
    void aTermSignalEndsStartupsMessageBox()
    {
        Watchdog watchdog;
        sendTermSoon();
        showQtMessageBox("     既に起動されています.     ", "２重起動");
        QVERIFY(!watchdog.expired);
    }
};

int main(int argc, char** argv)
{
    blockTerminationSignals();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TerminationTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "termination_test.moc"
