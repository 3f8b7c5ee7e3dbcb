// The main window and its dialogs through their real widgets on the
// offscreen platform: the controls are wired to the window logic and show
// its exact texts (the behaviour itself is tested in tests/control), and the
// Qt window's own parts work.
#include <QCheckBox>
#include <QComboBox>
#include <QDBusConnection>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QtTest>
#include <deque>
#include <functional>
#include <thread>

#include <unistd.h>

#include "core/eventlog.h"
#include "tests/support/child_process.h"
#include "tests/support/manual_event_loop.h"
#include "tests/support/scripted_messenger.h"
#include "tests/support/temp_dir.h"
#include "ui/control_ids.h"
#include "ui/desktop_setup.h"
#include "ui/elided_text.h"
#include "ui/main_window.h"
#include "ui/session_events.h"
#include "ui/settings_dialogs.h"
#include "ui/sound_player.h"
#include "ui/tray_icon.h"

namespace {

using Lines = std::vector<std::string>;
const std::string kPeer = "peer@pc-b.test";
const std::string kServer = "[SYSTEM]\r\nAPPMODE=0\r\n";
// A client whose only service is setting 4, on a port of the system's choice.
const std::string kClient4 =
    "[SYSTEM]\r\nAPPMODE=1\r\nENABLEPORT1=0\r\nENABLEPORT2=0\r\nENABLEPORT3=0\r\n"
    "ENABLEPORT4=0\r\n[CLIENT]\r\nGENPORT2=0\r\n";

template <class T>
T* child(QWidget* parent, int id)
{
    return parent->findChild<T*>(controlName(id));
}

// Offers the top modal widget to each step in turn until it returns true;
// after ten seconds a modal dialog is rejected, so no test can hang.
class ModalDriver : public QObject {
public:
    using Step = std::function<bool(QWidget*)>;
    ModalDriver()
    {
        clock.start();
        connect(&timer, &QTimer::timeout, this, [this] {
            QWidget* top = QApplication::activeModalWidget();
            if (top && clock.elapsed() > 10000) {
                if (auto* dialog = qobject_cast<QDialog*>(top))
                    dialog->reject();
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
    void answer(std::vector<QString>* texts, QMessageBox::StandardButton answer = QMessageBox::Ok)
    {
        on<QMessageBox>([texts, answer](QMessageBox* box) {
            texts->push_back(box->windowTitle() + QLatin1Char('|') + box->text());
            box->button(answer)->click();
        });
    }
    bool finished() const { return steps.empty(); }

private:
    QTimer timer;
    QElapsedTimer clock;
    std::deque<Step> steps;
};

class Fixture {
public:
    Fixture() { QV_SKYPECOM::setSocketName(messenger.socketName()); }
    ~Fixture()
    {
        window.reset();
        QV_SKYPECOM::setSocketName(QV_SKYPECOM::kDefaultSocketName);
    }
    // Writes the INI file, initialises the window and, when asked, attaches
    // it with the peer as the only contact.
    bool start(const std::string& ini, bool attach = true)
    {
        writeFile(dir.file("CorvaneForTcp.ini"), ini);
        window = std::make_unique<CCorvaneForTcpDlg>();
        window->initDialog();
        if (!attach)
            return true;
        if (!messenger.accept())
            return false;
        messenger.sendAttach(0);
        loop.pump();
        deliver("USERS " + kPeer);
        messenger.take();
        return true;
    }
    void deliver(const std::string& line)
    {
        messenger.sendLine(line);
        loop.pump();
    }
    std::string ini() const { return readFile(dir.file("CorvaneForTcp.ini")); }
    template <class T>
    T* control(int id) const
    {
        return child<T>(window.get(), id);
    }
    QString text(int id) const
    {
        QWidget* w = control<QWidget>(id);
        if (auto* label = qobject_cast<QLabel*>(w))
            return label->text();
        if (auto* edit = qobject_cast<QLineEdit*>(w))
            return edit->text();
        return qobject_cast<QAbstractButton*>(w)->text();
    }

    TempDir dir;
    ManualEventLoop loop;
    ScriptedMessenger messenger;
    std::unique_ptr<CCorvaneForTcpDlg> window;
};

}  // namespace

class UiTest : public QObject {
    Q_OBJECT

private slots:
    void init() { f = std::make_unique<Fixture>(); }
    void cleanup() { f.reset(); }

    // The buttons reach the logic and its texts, lamps, sounds and the
    // connected view appear in their controls.
    void theControlsAreWiredToTheLogic()
    {
        QVERIFY(f->start(kServer));
        auto* connect = f->control<QPushButton>(idc::kConnect);
        QCOMPARE(connect->text(), QStringLiteral("手動接続"));
        QCOMPARE(f->window->trayIcon().getTip(), QStringLiteral("CorvaneForTCP\r\nオフライン"));
        QCOMPARE(f->text(idc::kSkypeStatus), QStringLiteral("通信ドライバと接続"));
        QCOMPARE(f->text(idc::kUserStatus), QStringLiteral("オフライン"));
        QCOMPARE(f->text(idc::kSelectedUser), QString::fromStdString(kPeer));
        QCOMPARE(f->text(idc::kModeText), QStringLiteral("Sever Application 動作選択"));
        QCOMPARE(f->text(idc::kModeLabel), QStringLiteral("選択表示中ユーザの接続受付可"));
        QVERIFY(!f->control<QWidget>(idc::kLampL[5])->isVisible());
        QCOMPARE(f->text(idc::kForwardPortLabel[0]), QStringLiteral("21"));
        QVERIFY(f->text(idc::kClock).contains(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$"))));
        QTest::mouseClick(connect, Qt::LeftButton);
        QCOMPARE(f->text(idc::kMessage), QStringLiteral("サーバからの接続はできません"));

        f->deliver("USERS first@pc.test, " + kPeer);
        f->deliver("APPLICATION CorvaneForHttp000 CONNECTABLE " + kPeer);
        QTest::mouseClick(f->control<QPushButton>(idc::kSwitchUser), Qt::LeftButton);
        QCOMPARE(f->text(idc::kSelectedUser), QString::fromStdString(kPeer));
        QCOMPARE(getSoundPlayer()->getLastSound(), QV_SOUNDPLAYER::kUserConnectable);

        const int played = getSoundPlayer()->getPlayCount();
        f->deliver("APPLICATION CorvaneForHttp000 STREAMS " + kPeer + ":1");
        f->messenger.take();
        QCOMPARE(connect->text(), QStringLiteral("切断"));
        for (int id : {idc::kSwitchUser, idc::kSystemSettings, idc::kForwardSettings, 1003, 1005, 1007, 1009, 1010})
            QVERIFY2(!f->control<QWidget>(id)->isEnabled(), qPrintable(QString::number(id)));
        QCOMPARE(f->window->trayIcon().getTip(), QStringLiteral("CorvaneForTCP\r\nオンライン"));
        QCOMPARE(getSoundPlayer()->getPlayCount(), played + 1);
        QCOMPARE(getSoundPlayer()->getLastSound(), QV_SOUNDPLAYER::kLinkUp);
        QTest::mouseClick(connect, Qt::LeftButton);
        QCOMPARE(f->messenger.take(), (Lines{"ALTER APPLICATION CorvaneForHttp000 DISCONNECT " + kPeer + ":1"}));
        f->deliver("APPLICATION CorvaneForHttp000 STREAMS ");
        QCOMPARE(getSoundPlayer()->getLastSound(), QV_SOUNDPLAYER::kLinkDown);
        QCOMPARE(connect->text(), QStringLiteral("手動接続"));
        QVERIFY(f->control<QWidget>(idc::kSwitchUser)->isEnabled());

        // A service check box saves at once.
        QTest::mouseClick(f->control<QCheckBox>(1005), Qt::LeftButton);
        QVERIFY(f->ini().find("ENABLEPORT2=0") != std::string::npos);
        QVERIFY(f->ini().find("ENABLEPORT1=1") != std::string::npos);

        // A client: the lamps and throughput.
        f.reset();
        f = std::make_unique<Fixture>();
        QVERIFY(f->start(kClient4));
        f->deliver("APPLICATION CorvaneForTcp2000 STREAMS " + kPeer + ":1");
        f->loop.fire(WindowLogic::kTimer1Ms);
        QVERIFY(f->control<QCheckBox>(idc::kLampL[5])->isChecked());
        QVERIFY(!f->control<QCheckBox>(idc::kLampC[5])->isChecked());
        QVERIFY(!f->control<QCheckBox>(idc::kLampL[0])->isChecked());
        QVERIFY(!f->control<QCheckBox>(idc::kLampL[5])->isEnabled());
        f->window->logic().notifyThroughput(4, 2048.0, 512.0);
        QCOMPARE(f->text(idc::kThroughput0 + 4), QStringLiteral("S:2.0,R:0.5 [KB/S]"));
        QVERIFY(f->control<QLabel>(idc::kThroughput0 + 4)->isVisible());
    }

    // The newest 2000 lines, the newest selected; other threads' lines
    // arrive on the window's thread.
    void theLogListKeepsTheNewest2000Lines()
    {
        QVERIFY(f->start(kServer, false));
        auto* list = f->control<QListWidget>(idc::kLogList);
        QVERIFY(list->item(list->count() - 1)->text().endsWith(QStringLiteral("CorvaneForTCP 1-0-0-0")));
        QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
        for (int i = 1; list->count() < CCorvaneForTcpDlg::kMaxLogLines && i <= 2000; ++i)
            log->writef(2, "line %d", i);
        QCOMPARE(list->count(), 2000);
        const QString second = list->item(1)->text();
        log->writef(2, "the newest line");
        QCOMPARE(list->count(), 2000);
        QCOMPARE(list->item(0)->text(), second);
        QVERIFY(list->item(1999)->text().endsWith(QStringLiteral("the newest line")));
        QCOMPARE(list->currentRow(), 1999);
        std::thread([] { QV_EVENTLOG::getInstance()->write(1, "from a connection thread"); }).join();
        QTRY_VERIFY_WITH_TIMEOUT(
            list->item(list->count() - 1)->text().endsWith(QStringLiteral("from a connection thread")), 5000);
    }

    // Closing asks only while connected, in Qt's Japanese with Yes as the
    // default: No keeps the window, Enter (Yes) ends it.
    void closingAsksOnlyWhileConnectedWithYesAsTheDefault()
    {
        QVERIFY(f->start(kServer));
        std::vector<QString> texts;
        f->deliver("APPLICATION CorvaneForHttp000 STREAMS " + kPeer + ":1");
        ModalDriver driver;
        driver.answer(&texts, QMessageBox::No);
        QTest::keyClick(f->window.get(), Qt::Key_Escape);
        QCOMPARE(texts, (std::vector<QString>{QStringLiteral("CorvaneForTcp|接続中ですが終了しますか？")}));
        QVERIFY(!f->window->isEnded());
        QString buttons;
        driver.on<QMessageBox>([&buttons](QMessageBox* box) {
            buttons = box->button(QMessageBox::Yes)->text() + QLatin1Char('|') + box->button(QMessageBox::No)->text()
                      + (box->defaultButton() == box->button(QMessageBox::Yes) ? "|yes" : "|no");
            QTest::keyClick(box, Qt::Key_Return);
        });
        f->window->close();
        QVERIFY(driver.finished());
        QVERIFY2(buttons.contains(QRegularExpression(QStringLiteral("^はい.*\\|いいえ.*\\|yes$"))),
                 qPrintable(buttons));
        QVERIFY(f->window->isEnded());
        // The edit fields' context menus speak Japanese too.
        QMenu* menu = f->control<QLineEdit>(idc::kMessage)->createStandardContextMenu();
        QStringList items;
        for (QAction* a : menu->actions())
            items << a->text();
        QVERIFY2(items.filter(QStringLiteral("コピー")).size() == 1, qPrintable(items.join(QLatin1Char('|'))));
        delete menu;

        f.reset();
        f = std::make_unique<Fixture>();
        QVERIFY(f->start(kServer));
        f->window->close();
        QVERIFY(f->window->isEnded());
        QCOMPARE(texts.size(), size_t(1));
    }

    // Without a notification area the window starts shown even when told to
    // start hidden, and the hide button minimises it.
    void theTrayMenuTheHelpMenuAndTheHideButton()
    {
        QVERIFY(!TrayIcon::isAvailable());
        QVERIFY(f->start(kServer + "OPENWINDOW=1\r\n", false));
        QVERIFY(f->window->isVisible());
        QCOMPARE(f->window->windowType(), Qt::Window);
        QVERIFY(f->window->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
        QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("jp.quorvantine.CorvaneForTcp"));
        QTest::keyClick(f->window.get(), Qt::Key_Return);  // the default button "ウィドウを閉じる"
        QVERIFY(f->window->isMinimized());
        QVERIFY(!f->window->isEnded());
        QStringList tray;
        for (QAction* a : f->window->trayIcon().getMenu()->actions())
            tray << a->text();
        QCOMPARE(tray, (QStringList{QStringLiteral("メイン画面を起動"), QString(), QStringLiteral("終了")}));
        f->window->trayIcon().getMenu()->actions()[0]->trigger();
        QVERIFY(!f->window->isMinimized());

        auto* bar = f->window->findChild<QMenuBar*>();
        QVERIFY(bar && bar->isVisible());
        QCOMPARE(bar->actions().size(), 1);
        QCOMPARE(bar->actions()[0]->text(), QStringLiteral("ヘルプ(&H)"));
        QAction* about = bar->actions()[0]->menu()->actions().value(0);
        QCOMPARE(about->text(), QStringLiteral("corvaneForTcp のﾊﾞｰｼﾞｮﾝ情報(&A)..."));
        QString version;
        ModalDriver driver;
        driver.on<CAboutDlg>([&version](CAboutDlg* d) {
            version = d->windowTitle() + QLatin1Char('|') + child<QLabel>(d, idc::kVersionText)->text();
            d->accept();
        });
        about->trigger();
        QCOMPARE(version, QStringLiteral("corvaneForTcpのﾊﾞｰｼﾞｮﾝ情報|CorvaneForTCP Ver.:1-0-0-0"));
        f->window->trayIcon().getMenu()->actions()[2]->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(f->window->isEnded(), 5000);
    }

    // The server starts with the log shown, a client with it hidden; the
    // toggle takes 183 pixels away. A long host is elided, whole in its tooltip.
    void theLogToggleAndElidedHosts()
    {
        const QString host = QStringLiteral("h") + QString(180, QLatin1Char('o')) + QStringLiteral("st.example.org");
        QVERIFY(f->start(kServer + "[SERVER]\r\nFOWERDHOST2=" + host.toStdString() + "\r\n", false));
        auto* label = f->control<ElidedLabel>(idc::kForwardHostLabel[1]);
        QCOMPARE(label->toolTip(), host);
        QVERIFY(label->text().contains(QChar(0x2026)));
        QVERIFY(label->width() <= CCorvaneForTcpDlg::kHostWidth + 20);
        auto* toggle = f->control<QPushButton>(idc::kLogToggle);
        const int full = f->window->height();
        QCOMPARE(full, f->window->getFullHeight());
        QCOMPARE(toggle->text(), QStringLiteral("↑LOG表示"));
        QTest::mouseClick(toggle, Qt::LeftButton);
        QCOMPARE(toggle->text(), QStringLiteral("↓LOG表示"));
        QCOMPARE(f->window->height(), full - 183);
        QTest::mouseClick(toggle, Qt::LeftButton);
        QCOMPARE(f->window->height(), full);

        f.reset();
        f = std::make_unique<Fixture>();
        QVERIFY(f->start("[SYSTEM]\r\nAPPMODE=2\r\n", false));
        QCOMPARE(f->text(idc::kModeText), QStringLiteral("Client Application 動作選択"));
        QCOMPARE(f->text(idc::kLogToggle), QStringLiteral("↓LOG表示"));
        QCOMPARE(f->window->height(), f->window->getFullHeight() - 183);
    }

    void aClientBroadcastsCorvaneopen()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            QSKIP("no session bus (dbus-daemon not installed)");
        QVERIFY(bus.connect(QString(), QString::fromLatin1(SessionEvents::kOpenPath),
                            QString::fromLatin1(SessionEvents::kOpenInterface), QStringLiteral("CORVANEOPEN"), this,
                            SLOT(opened(int, int))));
        QVERIFY(f->start(kClient4));
        f->deliver("APPLICATION CorvaneForTcp2000 STREAMS " + kPeer + ":1");
        QTRY_COMPARE_WITH_TIMEOUT(opens, (QList<int>{0, 0}), 5000);
    }

    void opened(int a, int b) { opens << a << b; }

    // Each invalid port has its message in service order whatever the order
    // of the edits, the focus is left on the last, and text reads as 0; the
    // dialog stays open with its values unchanged. Only the exact loopback
    // address ticks a localhost box.
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
        const bool ticked[] = {true, false, false, false, true};
        for (int k = 0; k < 5; ++k) {
            QCOMPARE(child<QCheckBox>(&dialog, idc::kLocalhostBox[k])->isChecked(), ticked[k]);
            QCOMPARE(child<QLineEdit>(&dialog, idc::kHostEdit[k])->isEnabled(), !ticked[k]);
        }
        QTest::mouseClick(child<QCheckBox>(&dialog, idc::kLocalhostBox[2]), Qt::LeftButton);
        QCOMPARE(child<QLineEdit>(&dialog, idc::kHostEdit[2])->text(), QStringLiteral("127.0.0.1"));
        QVERIFY(!child<QLineEdit>(&dialog, idc::kHostEdit[2])->isEnabled());

        child<QLineEdit>(&dialog, idc::kForwardPortEdit[3])->setText(QStringLiteral("70000"));
        child<QLineEdit>(&dialog, idc::kForwardPortEdit[1])->setText(QStringLiteral("0"));
        std::vector<QString> texts;
        ModalDriver driver;
        for (int i = 0; i < 4; ++i)
            driver.answer(&texts);
        QTest::mouseClick(child<QPushButton>(&dialog, idc::kForwardOk), Qt::LeftButton);
        QCOMPARE(texts,
                 (std::vector<QString>{QStringLiteral("確認|FTP Portの設定範囲は不正です。(1～65535)"),
                                       QStringLiteral("確認|HTTP Portの設定範囲は不正です。(1～65535)"),
                                       QStringLiteral("確認|ユーザ設定１ Portの設定範囲は不正です。(1～65535)"),
                                       QStringLiteral("確認|ユーザ設定２ Portの設定範囲は不正です。(1～65535)")}));
        QCOMPARE(dialog.focusWidget(), child<QWidget>(&dialog, idc::kForwardPortEdit[4]));
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.ports[1], std::string("100"));
    }

    // The enabling rule of the groups, the missing user, and the contacts
    // sorted with the stored user shown.
    void theSystemSettingsDialog()
    {
        CSystemSettingsDlg dialog;
        dialog.appMode = 0;
        dialog.autoConnect = 1;
        dialog.autoConnectUser = "b@pc.test";
        dialog.contacts = {"c@pc.test", "a@pc.test", "b@pc.test"};
        dialog.initDialog();
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("システム設定"));
        auto enabled = [&dialog] {
            QString on;
            for (int id : {idc::kAcceptGroup, idc::kAcceptSelected, idc::kAcceptContacts, idc::kAutoConnectGroup,
                           idc::kAutoConnect, idc::kAutoConnectUser})
                on += child<QWidget>(&dialog, id)->isEnabled() ? '1' : '0';
            return on;
        };
        QCOMPARE(enabled(), QStringLiteral("111000"));
        QTest::mouseClick(child<QRadioButton>(&dialog, idc::kClientMode), Qt::LeftButton);
        QCOMPARE(enabled(), QStringLiteral("000111"));
        auto* combo = child<QComboBox>(&dialog, idc::kAutoConnectUser);
        QCOMPARE(combo->count(), 3);
        QCOMPARE(combo->itemText(0), QStringLiteral("a@pc.test"));
        QCOMPARE(combo->currentText(), QStringLiteral("b@pc.test"));
        std::vector<QString> texts;
        ModalDriver driver;
        driver.answer(&texts);
        combo->setEditText(QString());
        QTest::mouseClick(child<QPushButton>(&dialog, idc::kOk), Qt::LeftButton);
        QCOMPARE(texts,
                 (std::vector<QString>{QStringLiteral("システム設定|自動接続先のユーザIDが設定されていません。")}));
        QVERIFY(dialog.isVisible());
        combo->setEditText(QStringLiteral("someone@pc.test"));
        QTest::mouseClick(child<QPushButton>(&dialog, idc::kOk), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.autoConnectUser, std::string("someone@pc.test"));
    }

    // Cancel of each dialog leaves the INI file as it was; OK applies and
    // saves (the forward settings' OK through the logic in tests/control).
    void theDialogsFromTheMainWindow()
    {
        QVERIFY(
            f->start("[SYSTEM]\r\nAPPMODE=0\r\nENABLEUSER=1\r\n[CLIENT]\r\nHTTPPORT=8080\r\n"
                     "AUTOCONNECTUSER=peer@pc-b.test\r\n",
                     false));
        const std::string before = f->ini();
        ModalDriver driver;
        driver.on<CSystemSettingsDlg>([](CSystemSettingsDlg* d) {
            QTest::mouseClick(child<QRadioButton>(d, idc::kClientMode), Qt::LeftButton);
            QTest::mouseClick(child<QPushButton>(d, idc::kCancel), Qt::LeftButton);
        });
        driver.on<CForwardSettingsDlg>([](CForwardSettingsDlg* d) {
            child<QLineEdit>(d, idc::kForwardPortEdit[0])->setText(QStringLiteral("2121"));
            QTest::mouseClick(child<QPushButton>(d, idc::kCancel), Qt::LeftButton);
        });
        driver.on<CPortDlg>([](CPortDlg* d) {
            QCOMPARE(d->windowTitle(), QStringLiteral("ポート設定"));
            child<QSpinBox>(d, idc::kPortSpin)->setValue(8888);
            QTest::mouseClick(child<QPushButton>(d, idc::kCancel), Qt::LeftButton);
        });
        for (int id : {idc::kSystemSettings, idc::kForwardSettings, idc::kPortEdit[1]})
            QTest::mouseClick(f->control<QPushButton>(id), Qt::LeftButton);
        QVERIFY(driver.finished());
        QCOMPARE(f->ini(), before);
        QCOMPARE(f->text(idc::kModeText), QStringLiteral("Sever Application 動作選択"));

        driver.on<CSystemSettingsDlg>([](CSystemSettingsDlg* d) {
            QTest::mouseClick(child<QRadioButton>(d, idc::kClientMode), Qt::LeftButton);
            QTest::mouseClick(child<QRadioButton>(d, idc::kSoundOff), Qt::LeftButton);
            QTest::mouseClick(child<QCheckBox>(d, idc::kAutoConnect), Qt::LeftButton);
            QTest::mouseClick(child<QPushButton>(d, idc::kOk), Qt::LeftButton);
        });
        driver.on<CPortDlg>([](CPortDlg* d) {
            auto* spin = child<QSpinBox>(d, idc::kPortSpin);
            QCOMPARE(spin->value(), 8080);
            QCOMPARE(spin->minimum(), 0);
            QCOMPARE(spin->maximum(), 65535);
            spin->setValue(8888);
            QTest::mouseClick(child<QPushButton>(d, idc::kOk), Qt::LeftButton);
        });
        for (int id : {idc::kSystemSettings, idc::kPortEdit[1]})
            QTest::mouseClick(f->control<QPushButton>(id), Qt::LeftButton);
        QVERIFY(driver.finished());
        QCOMPARE(f->text(idc::kModeText), QStringLiteral("Client Application 動作選択"));
        QCOMPARE(f->text(idc::kModeLabel), QStringLiteral("自動接続モード:1分毎に接続操作を行います"));
        QCOMPARE(f->text(idc::kClientPort[1]), QStringLiteral("8888"));
        const std::string ini = f->ini();
        for (const char* key : {"APPMODE=1", "SOUNDMODE=0", "AUTOCONNECT=1", "AUTOCONNECTUSER=peer@pc-b.test",
                                "ENABLEUSER=1", "HTTPPORT=8888"})
            QVERIFY2(ini.find(key) != std::string::npos, key);
    }

private:
    std::unique_ptr<Fixture> f;
    QList<int> opens;
};

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // A private session bus for the CORVANEOPEN test, where dbus-daemon exists.
    std::unique_ptr<ChildProcess> bus;
    if (access("/usr/bin/dbus-daemon", X_OK) == 0) {
        bus = std::make_unique<ChildProcess>(
            "/usr/bin/dbus-daemon",
            std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--print-address=1"});
        if (bus->waitForOutput("\n", std::chrono::seconds(5)))
            setenv("DBUS_SESSION_BUS_ADDRESS", bus->out().substr(0, bus->out().find('\n')).c_str(), 1);
    }
    QApplication app(argc, argv);
    // As the program does: Qt's own texts in Japanese.
    if (!setUpDesktopApplication(app))
        return 1;
    UiTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ui_test.moc"
