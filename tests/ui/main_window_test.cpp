// The main window's wiring, through its real widgets on the offscreen
// platform: the buttons reach the window logic and what the logic shows
// appears in the controls (the behaviour itself is tested once, in
// tests/control). Also the Qt window's own parts: the log list and its cap,
// the connected view with the sounds and the tooltip, the close question,
// hiding and the hidden start, the mode view, the log toggle, the sound
// resources and the CORVANEOPEN signal.
#include <QCheckBox>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>
#include <cstdlib>
#include <thread>

#include "tests/support/child_process.h"
#include "ui/session_events.h"

#include <unistd.h>

#include "core/eventlog.h"
#include "tests/ui/ui_fixture.h"
#include "ui/desktop_setup.h"
#include "ui/elided_text.h"
#include "ui/settings_dialogs.h"
#include "ui/sound_player.h"
#include "ui/tray_icon.h"

namespace {

const std::string kServer = "[SYSTEM]\r\nAPPMODE=0\r\n";
// A client whose services other than setting 4 are off; setting 4 listens on
// a port of the system's choice.
const std::string kClient4 =
    "[SYSTEM]\r\nAPPMODE=1\r\nENABLEPORT1=0\r\nENABLEPORT2=0\r\nENABLEPORT3=0\r\n"
    "ENABLEPORT4=0\r\n[CLIENT]\r\nGENPORT2=0\r\n";

QString message(UiFixture& f) { return f.control<QLineEdit>(idc::kMessage)->text(); }

// Counts the CORVANEOPEN signals and the test's own marker on the session bus.
class BusListener : public QObject {
    Q_OBJECT

public:
    int opens = 0;
    int markers = 0;
    QList<int> lastArguments;

public slots:
    void opened(int a, int b)
    {
        ++opens;
        lastArguments = {a, b};
    }
    void marker() { ++markers; }
};

// The WAVE header of a sound resource: channels, rate, bits and seconds.
struct WaveInfo {
    int channels = 0;
    int rate = 0;
    int bits = 0;
    double seconds = 0;
};

WaveInfo waveInfo(const QString& path)
{
    WaveInfo info;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return info;
    QByteArray d = file.readAll();
    auto u16 = [&d](int at) { return int(uchar(d[at])) | int(uchar(d[at + 1])) << 8; };
    auto u32 = [&d, &u16](int at) { return u16(at) | u16(at + 2) << 16; };
    if (d.size() < 44 || d.left(4) != "RIFF" || d.mid(8, 4) != "WAVE" || d.mid(12, 4) != "fmt " || u16(20) != 1)
        return info;
    info.channels = u16(22);
    info.rate = u32(24);
    info.bits = u16(34);
    int at = 12;
    while (at + 8 <= d.size()) {
        int size = u32(at + 4);
        if (d.mid(at, 4) == "data") {
            info.seconds = double(size) / (info.channels * info.rate * info.bits / 8);
            break;
        }
        at += 8 + size;
    }
    return info;
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init() { f = std::make_unique<UiFixture>(); }
    void cleanup() { f.reset(); }

    // The connect button and the desktop's suspend reach the logic; its
    // messages show and clear; streams switch the button, the controls that
    // wait while connected, the tooltip and the sounds.
    void theConnectButtonAndTheStreamsSwitchTheControlsSoundsAndTooltip()
    {
        QVERIFY(f->start(kServer));
        auto* connect = f->control<QPushButton>(idc::kConnect);
        const int waiting[] = {idc::kSwitchUser,     idc::kSystemSettings, 1003, 1005, 1007, 1009, 1010,
                               idc::kForwardSettings};
        QCOMPARE(connect->text(), QStringLiteral("手動接続"));
        QCOMPARE(f->window->trayIcon().getTip(), QStringLiteral("CorvaneForTCP\r\nオフライン"));
        QTest::mouseClick(connect, Qt::LeftButton);
        QCOMPARE(message(*f), QStringLiteral("サーバからの接続はできません"));
        f->loop.fire(WindowLogic::kTimer1Ms, WindowLogic::kMessageTicks);
        QVERIFY(message(*f).isEmpty());

        int played = getSoundPlayer()->getPlayCount();
        f->deliver(std::string("APPLICATION CorvaneForHttp000 STREAMS ") + kPeer + ":1");
        f->messenger.take();
        QCOMPARE(connect->text(), QStringLiteral("切断"));
        for (int id : waiting)
            QVERIFY2(!f->control<QWidget>(id)->isEnabled(), qPrintable(QString::number(id)));
        QCOMPARE(f->window->trayIcon().getTip(), QStringLiteral("CorvaneForTCP\r\nオンライン"));
        QCOMPARE(getSoundPlayer()->getPlayCount(), played + 1);
        QCOMPARE(getSoundPlayer()->getLastSound(), QV_SOUNDPLAYER::kLinkUp);
        QTest::mouseClick(connect, Qt::LeftButton);
        QCOMPARE(f->messenger.take(),
                 (Lines{std::string("ALTER APPLICATION CorvaneForHttp000 DISCONNECT ") + kPeer + ":1"}));
        QCOMPARE(message(*f), QString::fromUtf8(kPeer) + QString::fromUtf8("へのSKYPE STREAM切断操作を行いました"));
        f->window->onSuspend();
        QCOMPARE(message(*f), QStringLiteral("SKYPE STREAM切断操作を行いました"));
        QCOMPARE(f->window->logic().isSuspended(), 1);
        f->window->onResume();
        QCOMPARE(f->window->logic().isSuspended(), 0);

        f->deliver("APPLICATION CorvaneForHttp000 STREAMS ");
        QCOMPARE(getSoundPlayer()->getPlayCount(), played + 2);
        QCOMPARE(getSoundPlayer()->getLastSound(), QV_SOUNDPLAYER::kLinkDown);
        QCOMPARE(connect->text(), QStringLiteral("手動接続"));
        for (int id : waiting)
            QVERIFY(f->control<QWidget>(id)->isEnabled());
        QCOMPARE(f->window->trayIcon().getTip(), QStringLiteral("CorvaneForTCP\r\nオフライン"));
    }

    void theLinkTheContactAndTheLampsShowInTheirControls()
    {
        QVERIFY(f->start(kClient4));
        QCOMPARE(f->control<QLabel>(idc::kSkypeStatus)->text(), QStringLiteral("通信ドライバと接続"));
        QCOMPARE(f->control<QLabel>(idc::kUserStatus)->text(), QStringLiteral("オフライン"));
        QCOMPARE(f->control<QLineEdit>(idc::kSelectedUser)->text(), QString::fromUtf8(kPeer));
        f->deliver(std::string("APPLICATION CorvaneForTcp2000 STREAMS ") + kPeer + ":1");
        f->loop.fire(WindowLogic::kTimer1Ms);
        QVERIFY(f->control<QCheckBox>(1040)->isChecked());   // setting 4, L
        QVERIFY(!f->control<QCheckBox>(1041)->isChecked());  // setting 4, C
        QVERIFY(!f->control<QCheckBox>(1032)->isChecked());  // FTP control, L
        QVERIFY(!f->control<QCheckBox>(1040)->isEnabled());
        QVERIFY(f->control<QCheckBox>(1040)->isVisible());
        QVERIFY(f->control<QLabel>(idc::kClock)
                    ->text()
                    .contains(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$"))));
        f->window->logic().notifyThroughput(4, 2048.0, 512.0);
        QCOMPARE(f->control<QLabel>(1126)->text(), QStringLiteral("S:2.0,R:0.5 [KB/S]"));
        QVERIFY(f->control<QLabel>(1126)->isVisible());
    }

    void theUserSwitchButtonPlaysItsSoundUnlessTheSoundSettingIsOff()
    {
        QVERIFY(f->start(kServer));
        f->deliver("USERS first@pc.test, second@pc.test");
        f->deliver("APPLICATION CorvaneForHttp000 CONNECTABLE second@pc.test");
        QTest::mouseClick(f->control<QPushButton>(idc::kSwitchUser), Qt::LeftButton);
        QCOMPARE(f->control<QLineEdit>(idc::kSelectedUser)->text(), QStringLiteral("second@pc.test"));
        QCOMPARE(getSoundPlayer()->getLastSound(), QV_SOUNDPLAYER::kUserConnectable);
        QTest::mouseClick(f->control<QPushButton>(idc::kSwitchUser), Qt::LeftButton);
        QCOMPARE(getSoundPlayer()->getLastSound(), QV_SOUNDPLAYER::kUserNotConnectable);

        f.reset();
        f = std::make_unique<UiFixture>();
        QVERIFY(f->start(kServer + "SOUNDMODE=0\r\n"));
        int played = getSoundPlayer()->getPlayCount();
        f->deliver(std::string("APPLICATION CorvaneForHttp000 STREAMS ") + kPeer + ":1");
        f->deliver("APPLICATION CorvaneForHttp000 STREAMS ");
        QTest::mouseClick(f->control<QPushButton>(idc::kSwitchUser), Qt::LeftButton);
        QCOMPARE(getSoundPlayer()->getPlayCount(), played);
        QCOMPARE(getSoundPlayer()->isEnabled(), 0);
    }

    void theLogListKeepsTheNewest2000LinesAndSelectsTheNewest()
    {
        QVERIFY(f->start(kServer, false));
        auto* list = f->control<QListWidget>(idc::kLogList);
        QVERIFY(list->count() >= 1);
        QVERIFY(list->item(list->count() - 1)->text().endsWith(QStringLiteral("CorvaneForTCP 1-0-0-0")));
        QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
        for (int i = 1; list->count() < CCorvaneForTcpDlg::kMaxLogLines && i <= 2000; ++i)
            log->writef(2, "line %d", i);
        QCOMPARE(list->count(), 2000);
        QString oldest = list->item(0)->text();
        QString second = list->item(1)->text();
        log->writef(2, "the newest line");
        QCOMPARE(list->count(), 2000);
        QVERIFY(list->item(0)->text() != oldest);
        QCOMPARE(list->item(0)->text(), second);
        QVERIFY(list->item(1999)->text().endsWith(QStringLiteral("the newest line")));
        QCOMPARE(list->currentRow(), 1999);
        // Lines of other threads arrive on the window's thread.
        std::thread writer([] { QV_EVENTLOG::getInstance()->write(1, "from a connection thread"); });
        writer.join();
        QTRY_VERIFY_WITH_TIMEOUT(
            list->item(list->count() - 1)->text().endsWith(QStringLiteral("from a connection thread")), 5000);
    }

    // Closing asks only while connected, in Qt's Japanese with Yes as the
    // default: No keeps the window, Enter (Yes) ends it.
    void closingAsksOnlyWhileConnectedWithYesAsTheDefault()
    {
        QVERIFY(f->start(kServer));
        std::vector<QString> texts;
        {
            ModalDriver driver;
            driver.add(answerBox(&texts, QMessageBox::No));
            f->window->close();
            QVERIFY(texts.empty());
            QVERIFY(f->window->isEnded());
        }
        f.reset();
        f = std::make_unique<UiFixture>();
        QVERIFY(f->start(kServer));
        f->deliver(std::string("APPLICATION CorvaneForHttp000 STREAMS ") + kPeer + ":1");
        {
            ModalDriver driver;
            driver.add(answerBox(&texts, QMessageBox::No));
            QTest::keyClick(f->window.get(), Qt::Key_Escape);
            QVERIFY(driver.finished());
        }
        QCOMPARE(texts, (std::vector<QString>{QStringLiteral("接続中ですが終了しますか？")}));
        QVERIFY(!f->window->isEnded());
        QString yes, no;
        bool yesIsDefault = false;
        ModalDriver driver;
        driver.add([&](QWidget* top) {
            auto* box = qobject_cast<QMessageBox*>(top);
            if (!box)
                return false;
            yes = box->button(QMessageBox::Yes)->text();
            no = box->button(QMessageBox::No)->text();
            yesIsDefault = box->defaultButton() == box->button(QMessageBox::Yes);
            QTest::keyClick(box, Qt::Key_Return);
            return true;
        });
        f->window->close();
        QVERIFY(driver.finished());
        QVERIFY2(yes.startsWith(QStringLiteral("はい")), qPrintable(yes));
        QVERIFY2(no.startsWith(QStringLiteral("いいえ")), qPrintable(no));
        QVERIFY(yesIsDefault);
        QVERIFY(f->window->isEnded());
        // The edit fields' context menus speak Japanese too.
        std::unique_ptr<QMenu> menu(f->control<QLineEdit>(idc::kMessage)->createStandardContextMenu());
        QStringList items;
        for (QAction* a : menu->actions())
            items << a->text();
        QVERIFY2(items.filter(QStringLiteral("コピー")).size() == 1, qPrintable(items.join(QLatin1Char('|'))));
    }

    // Without a notification area the window starts shown even when told to
    // start hidden, and the hide button minimises it.
    void withoutANotificationAreaTheHideButtonMinimisesAndTheTrayMenuStillWorks()
    {
        QVERIFY(!TrayIcon::isAvailable());
        QVERIFY(f->start(kServer + "OPENWINDOW=1\r\n", false));
        QVERIFY(f->window->isVisible());
        // Enter presses the default button "ウィドウを閉じる".
        QTest::keyClick(f->window.get(), Qt::Key_Return);
        QVERIFY(f->window->isVisible());
        QVERIFY(f->window->isMinimized());
        QCOMPARE(f->window->isWindowShown(), 1);
        QVERIFY(!f->window->isEnded());
        QList<QAction*> actions = f->window->trayIcon().getMenu()->actions();
        QCOMPARE(actions.size(), 3);
        QCOMPARE(actions[0]->text(), QStringLiteral("メイン画面を起動"));
        QVERIFY(actions[1]->isSeparator());
        QCOMPARE(actions[2]->text(), QStringLiteral("終了"));
        actions[0]->trigger();
        QVERIFY(f->window->isVisible());
        QVERIFY(!f->window->isMinimized());
        actions[2]->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(f->window->isEnded(), 5000);
    }

    void theMainWindowIsANormalWindowWithMinimiseAndAHelpMenu()
    {
        QVERIFY(f->start(kServer, false));
        QCOMPARE(f->window->windowType(), Qt::Window);
        QVERIFY(f->window->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
        QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("jp.quorvantine.CorvaneForTcp"));
        auto* bar = f->window->findChild<QMenuBar*>();
        QVERIFY(bar && bar->isVisible());
        QCOMPARE(bar->actions().size(), 1);
        QCOMPARE(bar->actions()[0]->text(), QStringLiteral("ヘルプ(&H)"));
        QList<QAction*> items = bar->actions()[0]->menu()->actions();
        QCOMPARE(items.size(), 1);
        QCOMPARE(items[0]->text(), QStringLiteral("corvaneForTcp のﾊﾞｰｼﾞｮﾝ情報(&A)..."));
        QString title;
        ModalDriver driver;
        driver.add(onDialog<CAboutDlg>([&title](CAboutDlg* d) {
            title = d->windowTitle();
            d->accept();
        }));
        items[0]->trigger();
        QCOMPARE(title, QStringLiteral("corvaneForTcpのﾊﾞｰｼﾞｮﾝ情報"));
    }

    void theClientColumnsStayInPlaceWhenStreamsComeAndGo()
    {
        QVERIFY(f->start(kClient4));
        auto columns = [this] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
            QList<int> xs;
            for (int id : {idc::kLampL[5], idc::kLampC[5], idc::kLampP[5], idc::kForwardHostLabel[4]})
                xs << f->control<QWidget>(id)->mapTo(f->window.get(), QPoint()).x();
            xs << f->control<QWidget>(idc::kThroughput0 + 4)->geometry().x();
            return xs;
        };
        QList<int> idle = columns();
        f->deliver(std::string("APPLICATION CorvaneForTcp2000 STREAMS ") + kPeer + ":1");
        QVERIFY(f->control<QLabel>(idc::kThroughput0 + 4)->isVisible());
        QVERIFY(!f->control<QWidget>(idc::kPortEdit[4])->isVisible());
        QCOMPARE(columns(), idle);
        f->deliver("APPLICATION CorvaneForTcp2000 STREAMS ");
        QVERIFY(f->control<QWidget>(idc::kPortEdit[4])->isVisible());
        QCOMPARE(columns(), idle);
    }

    void longHostsAndHandlesAreElidedWithTheWholeTextInTheTooltip()
    {
        QVERIFY(f->start(kServer, false));
        QSize plain = f->window->size();
        f.reset();
        f = std::make_unique<UiFixture>();
        const QString host = QStringLiteral("h") + QString(180, QLatin1Char('o')) + QStringLiteral("st.example.org");
        QVERIFY(f->start(kServer + "[SERVER]\r\nFOWERDHOST2=" + host.toStdString() + "\r\n", false));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        QCOMPARE(f->window->size(), plain);
        auto* label = f->control<ElidedLabel>(idc::kForwardHostLabel[1]);
        QCOMPARE(label->fullText(), host);
        QCOMPARE(label->toolTip(), host);
        QVERIFY(label->text().contains(QChar(0x2026)));
        QVERIFY2(label->text().endsWith(QStringLiteral("ple.org")), qPrintable(label->text()));
        QVERIFY(label->width() <= CCorvaneForTcpDlg::kHostWidth + 20);
        QCOMPARE(f->control<ElidedLabel>(idc::kForwardHostLabel[0])->toolTip(), QString());

        const QString handle = QString(80, QLatin1Char('u')) + QStringLiteral("@pc-b.test");
        f->window->showSelectedUser(handle.toUtf8().constData(), "オンライン");
        auto* edit = f->control<ElidedLineEdit>(idc::kSelectedUser);
        QCOMPARE(edit->toolTip(), handle);
        QVERIFY(edit->text().contains(QChar(0x2026)));
        QVERIFY(edit->text().endsWith(QStringLiteral("@pc-b.test")));
        QCOMPARE(f->window->size(), plain);
        f->window->showSelectedUser(kPeer, "オンライン");
        QCOMPARE(edit->text(), QString::fromLatin1(kPeer));
        QCOMPARE(edit->toolTip(), QString());
    }

    void anAppModeOtherThanZeroOrOneShowsTheClientEverywhere()
    {
        QVERIFY(f->start("[SYSTEM]\r\nAPPMODE=2\r\n", false));
        QCOMPARE(f->control<QLabel>(idc::kModeText)->text(), QStringLiteral("Client Application 動作選択"));
        QCOMPARE(f->control<QLabel>(idc::kModeLabel)->text(),
                 QStringLiteral("手動接続モード:接続ボタンで接続してください"));
        QCOMPARE(f->window->isLogShown(), 0);
        QVERIFY(f->control<QWidget>(idc::kLampL[0])->isVisible());
        bool clientChecked = false;
        ModalDriver driver;
        driver.add(onDialog<CSystemSettingsDlg>([&clientChecked](CSystemSettingsDlg* d) {
            clientChecked = d->findChild<QRadioButton*>(controlName(idc::kClientMode))->isChecked();
            d->reject();
        }));
        f->window->OnSystemSettings();
        QVERIFY(clientChecked);
    }

    void theServerHidesTheListenColumnAndTheClientShowsIt()
    {
        QVERIFY(f->start(kServer, false));
        QCOMPARE(f->control<QLabel>(idc::kModeText)->text(), QStringLiteral("Sever Application 動作選択"));
        QCOMPARE(f->control<QLabel>(idc::kModeLabel)->text(), QStringLiteral("選択表示中ユーザの接続受付可"));
        for (int id : {1032, 1043, 1034, 1036, 1038, 1040, 1103, 1100, 1115, 1122})
            QVERIFY2(!f->control<QWidget>(id)->isVisible(), qPrintable(QString::number(id)));
        QVERIFY(!f->window->findChild<QWidget*>(QStringLiteral("headClientThroughput"))->isVisible());
        for (int id : {1058, 1086, 1096, 1045, 1047})
            QVERIFY2(f->control<QWidget>(id)->isVisible(), qPrintable(QString::number(id)));
        QCOMPARE(f->control<QLabel>(1096)->text(), QStringLiteral("21"));
        QCOMPARE(f->control<QLabel>(1086)->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(f->control<QLabel>(idc::kSkypeStatus)->text(), QStringLiteral("SKYPEとの接続状態"));
    }

    // The server starts with the log shown, a client with it hidden.
    void theLogToggleTakes183PixelsAway()
    {
        QVERIFY(f->start(kServer, false));
        auto* toggle = f->control<QPushButton>(idc::kLogToggle);
        int full = f->window->height();
        QCOMPARE(full, f->window->getFullHeight());
        QCOMPARE(toggle->text(), QStringLiteral("↑LOG表示"));
        int width = f->window->width();
        QTest::mouseClick(toggle, Qt::LeftButton);
        QCOMPARE(toggle->text(), QStringLiteral("↓LOG表示"));
        QCOMPARE(f->window->height(), full - 183);
        QCOMPARE(f->window->width(), width);
        QTest::mouseClick(toggle, Qt::LeftButton);
        QCOMPARE(f->window->height(), full);

        f.reset();
        f = std::make_unique<UiFixture>();
        QVERIFY(f->start(kClient4, false));
        QCOMPARE(f->window->isLogShown(), 0);
        QCOMPARE(f->control<QPushButton>(idc::kLogToggle)->text(), QStringLiteral("↓LOG表示"));
        QCOMPARE(f->window->height(), f->window->getFullHeight() - 183);
    }

    void aServiceCheckBoxSavesAtOnce()
    {
        QVERIFY(f->start(kServer, false));
        auto* box = f->control<QCheckBox>(1005);
        QVERIFY(box->isChecked());
        QTest::mouseClick(box, Qt::LeftButton);
        QVERIFY(!box->isChecked());
        QCOMPARE(f->window->configuration().isServiceEnabled(1), 0);
        std::string ini = f->ini();
        QVERIFY2(ini.find("ENABLEPORT2=0") != std::string::npos, ini.c_str());
        QVERIFY(ini.find("ENABLEPORT1=1") != std::string::npos);
    }

    void theFourSoundsHaveTheirFormatsAndLengths()
    {
        struct Want {
            int sound, channels, rate, bits;
            double seconds;
        };
        for (Want w :
             {Want{QV_SOUNDPLAYER::kLinkUp, 2, 44100, 16, 2.2}, Want{QV_SOUNDPLAYER::kLinkDown, 2, 44100, 16, 2.9},
              Want{QV_SOUNDPLAYER::kUserConnectable, 2, 11025, 8, 4.0},
              Want{QV_SOUNDPLAYER::kUserNotConnectable, 2, 11025, 8, 4.8}}) {
            WaveInfo info = waveInfo(QString::fromLatin1(QV_SOUNDPLAYER::resourcePath(w.sound)));
            QCOMPARE(info.channels, w.channels);
            QCOMPARE(info.rate, w.rate);
            QCOMPARE(info.bits, w.bits);
            QVERIFY2(std::abs(info.seconds - w.seconds) < 0.05, qPrintable(QString::number(info.seconds)));
        }
        QVERIFY(!programIconPixmapIsNull());
    }

    void aClientBroadcastsCorvaneopenOnceAServerNever()
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected())
            QSKIP("no session bus (dbus-daemon not installed)");
        BusListener listener;
        const QString path = QString::fromLatin1(SessionEvents::kOpenPath);
        const QString iface = QString::fromLatin1(SessionEvents::kOpenInterface);
        QVERIFY(bus.connect(QString(), path, iface, QStringLiteral("CORVANEOPEN"), &listener, SLOT(opened(int, int))));
        QVERIFY(bus.connect(QString(), path, iface, QStringLiteral("MARKER"), &listener, SLOT(marker())));
        auto passMarker = [&] {
            int before = listener.markers;
            bus.send(QDBusMessage::createSignal(path, iface, QStringLiteral("MARKER")));
            // Signals arrive in order: once the marker is back, anything sent
            // before it has arrived too.
            QTRY_VERIFY_WITH_TIMEOUT(listener.markers > before, 5000);
        };

        QVERIFY(f->start(kServer));
        f->deliver(std::string("APPLICATION CorvaneForHttp000 STREAMS ") + kPeer + ":1");
        passMarker();
        QCOMPARE(listener.opens, 0);
        f.reset();

        f.reset();
        f = std::make_unique<UiFixture>();
        QVERIFY(f->start(kClient4 + "[SYSTEM]\r\nENABLEPORT4=1\r\n[CLIENT]\r\nGENPORT1=0\r\n"));
        f->deliver(std::string("APPLICATION CorvaneForTcp2000 STREAMS ") + kPeer + ":1");
        QTRY_COMPARE_WITH_TIMEOUT(listener.opens, 1, 5000);
        QCOMPARE(listener.lastArguments, (QList<int>{0, 0}));
        f->deliver(std::string("APPLICATION CorvaneForVnc0000 STREAMS ") + kPeer + ":2");
        passMarker();
        QCOMPARE(listener.opens, 1);
    }

private:
    static bool programIconPixmapIsNull() { return QPixmap(QStringLiteral(":/res/corvane32.png")).isNull(); }

    std::unique_ptr<UiFixture> f;
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
        if (bus->waitForOutput("\n", std::chrono::seconds(5))) {
            std::string address = bus->out().substr(0, bus->out().find('\n'));
            setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        }
    }
    QApplication app(argc, argv);
    // As the program does: Qt's own texts in Japanese.
    if (!setUpDesktopApplication(app)) {
        std::fprintf(stderr, "Qt's Japanese translations are missing (qt6-translations-l10n)\n");
        return 1;
    }
    MainWindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "main_window_test.moc"
