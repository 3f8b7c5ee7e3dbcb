// The main window and its dialogs through their real widgets on the
// offscreen platform: the wiring of the controls and the exact texts only a
// real window shows (the behaviour itself is tested in tests/control). The
// termination signals are blocked as the program blocks them.
#include <QDBusConnection>
#include <QtTest>
#include <QtWidgets>
#include <csignal>
#include <cstring>
#include <deque>
#include <functional>
#include <thread>

#include <unistd.h>

#include "app/termination.h"
#include "core/eventlog.h"
#include "tests/support/scripted_messenger.h"
#include "tests/support/temp_dir.h"
#include "ui/control_ids.h"
#include "ui/desktop_setup.h"
#include "ui/main_window.h"
#include "ui/run_main_window.h"
#include "ui/session_events.h"
#include "ui/settings_dialogs.h"
#include "ui/tray_icon.h"
#include "ui/ui_style.h"

namespace {

using Lines = std::vector<std::string>;
const std::string& kPeer = kRigPeer;
const std::string& kServer = kRigServerIni;
const std::string& kClient4 = kRigClient4Ini;

template <class T>
T* child(QWidget* parent, int id)
{
    return parent->findChild<T*>(controlName(id));
}

QString text(QWidget* parent, int id)
{
    QWidget* w = child<QWidget>(parent, id);
    if (auto* label = qobject_cast<QLabel*>(w))
        return label->text();
    if (auto* edit = qobject_cast<QLineEdit*>(w))
        return edit->text();
    return qobject_cast<QAbstractButton*>(w)->text();
}

void click(QWidget* parent, int id) { QTest::mouseClick(child<QWidget>(parent, id), Qt::LeftButton); }

CCorvaneForTcpDlg* mainWindow()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<CCorvaneForTcpDlg*>(w))
            return window;
    return nullptr;
}

void sendTermSoon()
{
    QTimer::singleShot(300, [] { kill(getpid(), SIGTERM); });
}

// Offers the top modal widget to each step in turn. After five seconds it
// rejects the modal dialog, or ends the window, and tells it in `expired`.
class ModalDriver : public QObject {
public:
    ModalDriver()
    {
        clock.start();
        connect(&timer, &QTimer::timeout, this, [this] {
            QWidget* top = QApplication::activeModalWidget();
            if (clock.elapsed() > 5000) {
                expired = true;
                if (auto* dialog = qobject_cast<QDialog*>(top))
                    dialog->reject();
                else if (CCorvaneForTcpDlg* window = mainWindow())
                    window->endDialog();
            } else if (top && !steps.empty() && steps.front()(top)) {
                steps.pop_front();
            }
        });
        timer.start(10);
    }
    template <class T>
    void on(std::function<void(T*)> act)
    {
        steps.push_back([act](QWidget* top) {
            auto* w = qobject_cast<T*>(top);
            return w && (act(w), true);
        });
    }
    // Records a message box's caption and text, and presses `answer`.
    void answer(QStringList* texts, QMessageBox::StandardButton answer = QMessageBox::Ok)
    {
        on<QMessageBox>([texts, answer](QMessageBox* box) {
            texts->push_back(box->windowTitle() + QLatin1Char('|') + box->text());
            box->button(answer)->click();
        });
    }
    bool finished() const { return steps.empty(); }
    bool expired = false;

private:
    QTimer timer;
    QElapsedTimer clock;
    std::deque<std::function<bool(QWidget*)>> steps;
};

}  // namespace

class UiTest : public QObject {
    Q_OBJECT

    // A new window on this INI file, attached with the peer as the only contact.
    bool start(const std::string& ini, bool attach = true)
    {
        window.reset();
        writeFile(dir->file("CorvaneForTcp.ini"), ini);
        window = std::make_unique<CCorvaneForTcpDlg>();
        window->initDialog();
        if (!attach)
            return true;
        if (!rig->attach())
            return false;
        deliver("USERS " + kPeer);
        rig->messenger.take();
        return true;
    }
    void deliver(const std::string& line) { rig->deliver(line); }
    std::string ini() const { return readFile(dir->file("CorvaneForTcp.ini")); }
    QString shown(int id) const { return text(window.get(), id); }
    // Runs the program's window; true when it ended by itself after `whileRunning`.
    bool runWindow(const std::function<void(CCorvaneForTcpDlg*)>& whileRunning)
    {
        setEventLoop(nullptr);  // the window's own loop runs
        writeFile(dir->file("CorvaneForTcp.ini"), kServer);
        bool called = false;
        QTimer::singleShot(200, [&] {
            called = true;
            whileRunning(mainWindow());
        });
        ModalDriver watchdog;
        runMainWindow();
        return called && !watchdog.expired && mainWindow() == nullptr;
    }
    std::unique_ptr<TempDir> dir;
    std::unique_ptr<MessengerRig> rig;
    std::unique_ptr<CCorvaneForTcpDlg> window;
    QList<int> opens;

private slots:
    void init()
    {
        dir = std::make_unique<TempDir>();
        rig = std::make_unique<MessengerRig>();
    }
    void cleanup()
    {
        window.reset();
        rig.reset();
        dir.reset();
    }

    // Without a notification area the window starts shown even when told to
    // start hidden. The connected view disables the settings. A client's first
    // stream up sends CORVANEOPEN on the session bus.
    void theControlsAreWiredToTheLogic()
    {
        const bool bus =
            QDBusConnection::sessionBus().connect(QString(), QString::fromLatin1(SessionEvents::kOpenPath),
                                                  QString::fromLatin1(SessionEvents::kOpenInterface),
                                                  QStringLiteral("CORVANEOPEN"), this, SLOT(opened(int, int)));
        QVERIFY(!TrayIcon::isAvailable());
        QVERIFY(start(kServer + "OPENWINDOW=1\r\n"));
        QVERIFY(window->isVisible());
        QCOMPARE(shown(idc::kConnect), QStringLiteral("手動接続"));
        QCOMPARE(window->trayIcon().getTip(), QStringLiteral("CorvaneForTCP\r\nオフライン"));
        QCOMPARE(shown(idc::kSkypeStatus), QStringLiteral("通信ドライバと接続"));
        QCOMPARE(shown(idc::kModeText), QStringLiteral("Sever Application 動作選択"));
        QCOMPARE(shown(idc::kForwardPortLabel[0]), QStringLiteral("21"));
        QVERIFY(shown(idc::kClock).contains(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$"))));
        deliver("USERS first@pc.test, " + kPeer);
        click(window.get(), idc::kSwitchUser);
        QCOMPARE(shown(idc::kSelectedUser), QString::fromStdString(kPeer));
        deliver("APPLICATION CorvaneForHttp000 STREAMS " + kPeer + ":1");
        rig->messenger.take();
        QCOMPARE(shown(idc::kConnect), QStringLiteral("切断"));
        for (int id : {idc::kSwitchUser, idc::kSystemSettings, idc::kForwardSettings, 1003, 1005, 1007, 1009, 1010})
            QVERIFY2(!child<QWidget>(window.get(), id)->isEnabled(), qPrintable(QString::number(id)));
        QCOMPARE(window->trayIcon().getTip(), QStringLiteral("CorvaneForTCP\r\nオンライン"));
        click(window.get(), idc::kConnect);
        QCOMPARE(rig->messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 DISCONNECT " + kPeer + ":1"}));
        deliver("APPLICATION CorvaneForHttp000 STREAMS ");
        QCOMPARE(shown(idc::kConnect), QStringLiteral("手動接続"));
        click(window.get(), 1005);  // a service check box saves at once
        QVERIFY(ini().find("ENABLEPORT2=0") != std::string::npos);
        QVERIFY(start(kClient4));
        deliver("APPLICATION CorvaneForTcp2000 STREAMS " + kPeer + ":1");
        rig->loop.fire(WindowLogic::kTimer1Ms);
        QVERIFY(child<QCheckBox>(window.get(), idc::kLampL[5])->isChecked());
        QVERIFY(!child<QCheckBox>(window.get(), idc::kLampC[5])->isChecked());
        window->logic().notifyThroughput(4, 2048.0, 512.0);
        QCOMPARE(shown(idc::kThroughput0 + 4), QStringLiteral("S:2.0,R:0.5 [KB/S]"));
        QVERIFY(child<QLabel>(window.get(), idc::kThroughput0 + 4)->isVisible());
        if (bus)  // none without dbus-daemon
            QTRY_COMPARE_WITH_TIMEOUT(opens, (QList<int>{0, 0}), 5000);
    }
    void opened(int a, int b) { opens << a << b; }

    // Other threads' lines arrive on the window's thread.
    void theLogListKeepsTheNewest2000Lines()
    {
        QVERIFY(start(kServer, false));
        auto* list = child<QListWidget>(window.get(), idc::kLogList);
        QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
        for (int i = 1; i <= 2001; ++i)
            log->writef(2, "line %d", i);
        QCOMPARE(list->count(), 2000);
        QVERIFY(list->item(0)->text().endsWith(QStringLiteral(":line 2")));
        QVERIFY(list->item(1999)->text().endsWith(QStringLiteral(":line 2001")));
        QCOMPARE(list->currentRow(), 1999);
        std::thread([] { QV_EVENTLOG::getInstance()->write(1, "from a connection thread"); }).join();
        QTRY_VERIFY_WITH_TIMEOUT(
            list->item(list->count() - 1)->text().endsWith(QStringLiteral("from a connection thread")), 5000);
    }

    // Closing asks only while connected, in Qt's Japanese with Yes as the
    // default: No keeps the window, Enter (Yes) ends it.
    void closingAsksOnlyWhileConnectedWithYesAsTheDefault()
    {
        QVERIFY(start(kServer));
        window->close();
        QVERIFY(window->isEnded());
        QVERIFY(start(kServer));
        deliver("APPLICATION CorvaneForHttp000 STREAMS " + kPeer + ":1");
        QStringList texts;
        ModalDriver driver;
        driver.answer(&texts, QMessageBox::No);
        QTest::keyClick(window.get(), Qt::Key_Escape);
        QCOMPARE(texts, QStringList{QStringLiteral("CorvaneForTcp|接続中ですが終了しますか？")});
        QVERIFY(!window->isEnded());
        QString buttons;
        driver.on<QMessageBox>([&buttons](QMessageBox* box) {
            buttons = box->button(QMessageBox::Yes)->text() + QLatin1Char('|') + box->button(QMessageBox::No)->text()
                      + (box->defaultButton() == box->button(QMessageBox::Yes) ? "|yes" : "|no");
            QTest::keyClick(box, Qt::Key_Return);
        });
        window->close();
        QVERIFY(driver.finished());
        QVERIFY2(buttons.contains(QRegularExpression(QStringLiteral("^はい.*\\|いいえ.*\\|yes$"))),
                 qPrintable(buttons));
        QVERIFY(window->isEnded());
    }

    // Each invalid port has its message in service order, text reading as 0;
    // the dialog stays open, unchanged, with the focus on the last. Only the
    // exact loopback address ticks a localhost box.
    void theForwardSettingsDialog()
    {
        CForwardSettingsDlg dialog;
        const char* hosts[] = {"127.0.0.1", "localhost", "server.test", "127.0.0.1 ", "127.0.0.1"};
        const char* ports[] = {"abc", "100", "100", "100", "-5"};
        for (int k = 0; k < 5; ++k)
            dialog.hosts[k] = hosts[k], dialog.ports[k] = ports[k];
        dialog.initDialog();
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("転送設定ダイアログ"));
        for (int k = 0; k < 5; ++k)
            QCOMPARE(child<QLineEdit>(&dialog, idc::kHostEdit[k])->isEnabled(), k > 0 && k < 4);
        click(&dialog, idc::kLocalhostBox[2]);
        QCOMPARE(text(&dialog, idc::kHostEdit[2]), QStringLiteral("127.0.0.1"));
        QVERIFY(!child<QLineEdit>(&dialog, idc::kHostEdit[2])->isEnabled());
        child<QLineEdit>(&dialog, idc::kForwardPortEdit[3])->setText(QStringLiteral("70000"));
        child<QLineEdit>(&dialog, idc::kForwardPortEdit[1])->setText(QStringLiteral("0"));
        QStringList texts;
        ModalDriver driver;
        for (int i = 0; i < 4; ++i)
            driver.answer(&texts);
        click(&dialog, idc::kForwardOk);
        QCOMPARE(texts, (QStringList{QStringLiteral("確認|FTP Portの設定範囲は不正です。(1～65535)"),
                                     QStringLiteral("確認|HTTP Portの設定範囲は不正です。(1～65535)"),
                                     QStringLiteral("確認|ユーザ設定１ Portの設定範囲は不正です。(1～65535)"),
                                     QStringLiteral("確認|ユーザ設定２ Portの設定範囲は不正です。(1～65535)")}));
        QCOMPARE(dialog.focusWidget(), child<QWidget>(&dialog, idc::kForwardPortEdit[4]));
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.ports[1], std::string("100"));
    }

    // Cancel leaves the INI file as it was; OK applies and saves. Automatic
    // connect without a user is refused.
    void theDialogsFromTheMainWindow()
    {
        // Every service off: the client it becomes listens on no fixed port.
        QVERIFY(start(kServer
                          + "ENABLEPORT1=0\r\nENABLEPORT2=0\r\nENABLEPORT3=0\r\nENABLEPORT4=0\r\nENABLEPORT5=0\r\n"
                            "[CLIENT]\r\nHTTPPORT=8080\r\nAUTOCONNECT=1\r\n",
                      false));
        const std::string before = ini();
        ModalDriver driver;
        driver.on<CSystemSettingsDlg>([](CSystemSettingsDlg* d) {
            QCOMPARE(d->windowTitle(), QStringLiteral("システム設定"));
            QVERIFY(child<QWidget>(d, idc::kAcceptGroup)->isEnabled());
            QVERIFY(!child<QWidget>(d, idc::kAutoConnectUser)->isEnabled());
            click(d, idc::kClientMode);
            QVERIFY(!child<QWidget>(d, idc::kAcceptGroup)->isEnabled());
            QVERIFY(child<QWidget>(d, idc::kAutoConnectUser)->isEnabled());
            click(d, idc::kCancel);
        });
        click(window.get(), idc::kSystemSettings);
        QVERIFY(driver.finished());
        QCOMPARE(ini(), before);
        QStringList texts;
        driver.on<CSystemSettingsDlg>([](CSystemSettingsDlg* d) {
            click(d, idc::kClientMode);
            QTimer::singleShot(0, d, [d] { click(d, idc::kOk); });  // its box runs outside this step
        });
        driver.answer(&texts);
        driver.on<CSystemSettingsDlg>([](CSystemSettingsDlg* d) {
            QVERIFY(d->isVisible());
            child<QComboBox>(d, idc::kAutoConnectUser)->setEditText(QStringLiteral("someone@pc.test"));
            click(d, idc::kOk);
        });
        driver.on<CPortDlg>([](CPortDlg* d) {
            QCOMPARE(d->windowTitle(), QStringLiteral("ポート設定"));
            auto* spin = child<QSpinBox>(d, idc::kPortSpin);
            QCOMPARE(spin->value(), 8080);
            QCOMPARE(spin->maximum(), 65535);
            spin->setValue(8888);
            click(d, idc::kOk);
        });
        for (int id : {idc::kSystemSettings, idc::kPortEdit[1]})
            click(window.get(), id);
        QVERIFY(driver.finished());
        QCOMPARE(texts, QStringList{QStringLiteral("システム設定|自動接続先のユーザIDが設定されていません。")});
        QCOMPARE(shown(idc::kModeText), QStringLiteral("Client Application 動作選択"));
        QCOMPARE(shown(idc::kClientPort[1]), QStringLiteral("8888"));
        QVERIFY(ini().find("AUTOCONNECTUSER=someone@pc.test") != std::string::npos);
    }
    void aTermSignalAnswersTheCloseQuestionAndEndsTheWindow()
    {
        int answer = -1;
        QVERIFY(runWindow([&](CCorvaneForTcpDlg* w) {
            sendTermSoon();
            answer = askYesNo(w, QStringLiteral("CorvaneForTcp"), QStringLiteral("接続中ですが終了しますか？"));
        }));
        QCOMPARE(answer, 0);
    }
    void aTermSignalEndsADialogAndTheBoxOpenInsideIt()
    {
        bool boxShown = false;
        QVERIFY(runWindow([&](CCorvaneForTcpDlg* w) {
            QTimer::singleShot(100, [&] {
                auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
                QVERIFY(about != nullptr);
                QCOMPARE(about->windowTitle() + QLatin1Char('|') + text(about, idc::kVersionText),
                         QStringLiteral("corvaneForTcpのﾊﾞｰｼﾞｮﾝ情報|CorvaneForTCP Ver.:1-0-0-0"));
                boxShown = true;
                sendTermSoon();
                showOkBox(about, QStringLiteral("CorvaneForTcp"), QStringLiteral("inside"));
            });
            w->OnAbout();
        }));
        QVERIFY(boxShown);
    }

    // Last: without its own watch the signal would stay pending.
    void aTermSignalEndsStartupsMessageBox()
    {
        ModalDriver watchdog;
        sendTermSoon();
        showQtMessageBox("     既に起動されています.     ", "２重起動");
        QVERIFY(!watchdog.expired);
    }
};

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // A private session bus for the CORVANEOPEN test, where dbus-daemon exists.
    char address[512] = {}, pid[32] = {};
    if (FILE* bus = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1 2>/dev/null", "r")) {
        if (fgets(address, sizeof(address), bus) && fgets(pid, sizeof(pid), bus))
            setenv("DBUS_SESSION_BUS_ADDRESS", std::string(address, std::strcspn(address, "\n")).c_str(), 1);
        pclose(bus);
    }
    blockTerminationSignals();
    QApplication app(argc, argv);
    // As the program does: Qt's own texts in Japanese.
    if (!setUpDesktopApplication(app))
        return 1;
    UiTest test;
    const int failed = QTest::qExec(&test, argc, argv);
    if (std::atoi(pid) > 0)
        kill(std::atoi(pid), SIGKILL);
    return failed;
}

#include "ui_test.moc"
