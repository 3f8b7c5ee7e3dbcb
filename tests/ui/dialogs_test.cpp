// The settings dialogs through their real widgets: the forward settings'
// port checks and localhost boxes, the system settings' enabling rule,
// missing user and contact list, the port dialog's range, the version line,
// and OK and Cancel as seen from the main window and the INI file.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QtTest>

#include "tests/ui/ui_fixture.h"
#include "ui/settings_dialogs.h"

namespace {

const std::string kIni =
    "[SYSTEM]\r\nAPPMODE=0\r\nENABLEUSER=1\r\nSOUNDMODE=1\r\n[SERVER]\r\nFOWERDHOST2=server.test\r\n"
    "[CLIENT]\r\nHTTPPORT=8080\r\nAUTOCONNECTUSER=peer@pc-b.test\r\n";

template <class T>
T* child(QWidget* parent, int id)
{
    return parent->findChild<T*>(controlName(id));
}

bool clickCancel(QWidget* top)
{
    auto* dialog = qobject_cast<QDialog*>(top);
    if (!dialog || qobject_cast<QMessageBox*>(top))
        return false;
    QTest::mouseClick(child<QPushButton>(dialog, idc::kCancel), Qt::LeftButton);
    return true;
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT

private slots:
    void init() { f = std::make_unique<UiFixture>(); }
    void cleanup() { f.reset(); }

    // Each invalid port has its message, captioned 確認, in service order
    // whatever the order of the edits; the focus is left on the last one,
    // and text reads as 0. The dialog stays open with its values unchanged.
    void invalidForwardPortsGiveTheirMessagesInServiceOrderWithTheFocusOnTheLast()
    {
        CForwardSettingsDlg dialog;
        for (int k = 0; k < 5; ++k) {
            dialog.hosts[k] = "127.0.0.1";
            dialog.ports[k] = "100";
        }
        dialog.ports[0] = "abc";
        dialog.ports[4] = "-5";
        dialog.initDialog();
        dialog.show();
        child<QLineEdit>(&dialog, 1093)->setText(QStringLiteral("70000"));
        child<QLineEdit>(&dialog, 1087)->setText(QStringLiteral("0"));
        child<QLineEdit>(&dialog, 1084)->setFocus();
        std::vector<QString> captions;
        ModalDriver driver;
        for (int i = 0; i < 4; ++i)
            driver.add([&captions](QWidget* top) {
                auto* box = qobject_cast<QMessageBox*>(top);
                if (!box)
                    return false;
                captions.push_back(box->windowTitle() + QLatin1Char('|') + box->text());
                box->button(QMessageBox::Ok)->click();
                return true;
            });
        QTest::mouseClick(child<QPushButton>(&dialog, idc::kForwardOk), Qt::LeftButton);
        QVERIFY(driver.finished());
        QCOMPARE(captions,
                 (std::vector<QString>{QStringLiteral("確認|FTP Portの設定範囲は不正です。(1～65535)"),
                                       QStringLiteral("確認|HTTP Portの設定範囲は不正です。(1～65535)"),
                                       QStringLiteral("確認|ユーザ設定１ Portの設定範囲は不正です。(1～65535)"),
                                       QStringLiteral("確認|ユーザ設定２ Portの設定範囲は不正です。(1～65535)")}));
        QCOMPARE(dialog.focusWidget(), child<QWidget>(&dialog, 1096));
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.ports[1], std::string("100"));
        QCOMPARE(CForwardSettingsDlg::parsePort(QStringLiteral("65535")), 65535);
        QCOMPARE(CForwardSettingsDlg::parsePort(QStringLiteral("12x")), 0);
    }

    void onlyTheExactLoopbackAddressTicksTheLocalhostBox()
    {
        CForwardSettingsDlg dialog;
        dialog.hosts[0] = "127.0.0.1";
        dialog.hosts[1] = "localhost";
        dialog.hosts[2] = "server.test";
        dialog.hosts[3] = "127.0.0.1 ";
        dialog.hosts[4] = "127.0.0.1";
        dialog.initDialog();
        QVERIFY(child<QCheckBox>(&dialog, 1082)->isChecked());
        QVERIFY(!child<QLineEdit>(&dialog, 1083)->isEnabled());
        QVERIFY(!child<QCheckBox>(&dialog, 1085)->isChecked());
        QVERIFY(child<QLineEdit>(&dialog, 1086)->isEnabled());
        QVERIFY(!child<QCheckBox>(&dialog, 1088)->isChecked());
        QVERIFY(!child<QCheckBox>(&dialog, 1091)->isChecked());
        dialog.show();
        QTest::mouseClick(child<QCheckBox>(&dialog, 1088), Qt::LeftButton);
        QCOMPARE(child<QLineEdit>(&dialog, 1089)->text(), QStringLiteral("127.0.0.1"));
        QVERIFY(!child<QLineEdit>(&dialog, 1089)->isEnabled());
        QTest::mouseClick(child<QCheckBox>(&dialog, 1088), Qt::LeftButton);
        QVERIFY(child<QLineEdit>(&dialog, 1089)->isEnabled());
        QCOMPARE(child<QLineEdit>(&dialog, 1089)->text(), QStringLiteral("127.0.0.1"));
    }

    void choosingTheClientApplicationSwapsTheEnabledGroupsBeforeOk()
    {
        QVERIFY(f->start(kIni, false));
        std::string before = f->ini();
        bool checked = false;
        ModalDriver driver;
        driver.add(onDialog<CSystemSettingsDlg>([&checked](CSystemSettingsDlg* d) {
            auto enabled = [d](int id) { return child<QWidget>(d, id)->isEnabled(); };
            bool serverView =
                enabled(1112) && enabled(1068) && enabled(1110) && !enabled(1113) && !enabled(1106) && !enabled(1111);
            QTest::mouseClick(child<QRadioButton>(d, idc::kClientMode), Qt::LeftButton);
            bool clientView =
                !enabled(1112) && !enabled(1068) && !enabled(1110) && enabled(1113) && enabled(1106) && enabled(1111);
            bool stillOpen = d->isVisible() && d->result() == 0;
            QTest::mouseClick(child<QRadioButton>(d, idc::kServerMode), Qt::LeftButton);
            bool serverAgain = enabled(1112) && !enabled(1113);
            checked = serverView && clientView && stillOpen && serverAgain;
            QTest::mouseClick(child<QRadioButton>(d, idc::kClientMode), Qt::LeftButton);
            QTest::mouseClick(child<QPushButton>(d, idc::kCancel), Qt::LeftButton);
        }));
        QTest::mouseClick(f->control<QPushButton>(idc::kSystemSettings), Qt::LeftButton);
        QVERIFY(driver.finished());
        QVERIFY(checked);
        QCOMPARE(f->window->configuration().isClientMode(), 0);
        QCOMPARE(f->control<QLabel>(idc::kModeText)->text(), QStringLiteral("Sever Application 動作選択"));
        QCOMPARE(f->ini(), before);
    }

    void okOfTheSystemSettingsAppliesAndSaves()
    {
        QVERIFY(f->start(kIni, false));
        ModalDriver driver;
        driver.add(onDialog<CSystemSettingsDlg>([](CSystemSettingsDlg* d) {
            QTest::mouseClick(child<QRadioButton>(d, idc::kClientMode), Qt::LeftButton);
            QTest::mouseClick(child<QRadioButton>(d, idc::kSoundOff), Qt::LeftButton);
            QTest::mouseClick(child<QCheckBox>(d, idc::kAutoConnect), Qt::LeftButton);
            QTest::mouseClick(child<QPushButton>(d, idc::kOk), Qt::LeftButton);
        }));
        QTest::mouseClick(f->control<QPushButton>(idc::kSystemSettings), Qt::LeftButton);
        QVERIFY(driver.finished());
        QCOMPARE(f->window->configuration().isClientMode(), 1);
        QCOMPARE(f->window->configuration().getSoundMode(), 0);
        QCOMPARE(f->window->configuration().getAutoConnect(), 1);
        QCOMPARE(f->control<QLabel>(idc::kModeText)->text(), QStringLiteral("Client Application 動作選択"));
        QCOMPARE(f->control<QLabel>(idc::kModeLabel)->text(),
                 QStringLiteral("自動接続モード:1分毎に接続操作を行います"));
        QVERIFY(f->control<QWidget>(1101)->isVisible());
        QVERIFY(!f->control<QWidget>(1058)->isVisible());
        std::string ini = f->ini();
        for (const char* key : {"APPMODE=1", "SOUNDMODE=0", "AUTOCONNECT=1", "AUTOCONNECTUSER=peer@pc-b.test",
                                "ENABLEUSER=1", "HTTPPORT=8080", "FOWERDHOST2=server.test"})
            QVERIFY2(ini.find(key) != std::string::npos, key);
    }

    void automaticConnectionWithoutAUserKeepsTheDialogOpen()
    {
        CSystemSettingsDlg dialog;
        dialog.appMode = 1;
        dialog.autoConnect = 1;
        dialog.initDialog();
        dialog.show();
        std::vector<QString> texts;
        ModalDriver driver;
        driver.add(answerBox(&texts));
        QTest::mouseClick(child<QPushButton>(&dialog, idc::kOk), Qt::LeftButton);
        QCOMPARE(texts, (std::vector<QString>{QStringLiteral("自動接続先のユーザIDが設定されていません。")}));
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.result(), 0);
        child<QComboBox>(&dialog, idc::kAutoConnectUser)->setEditText(QStringLiteral("someone@pc.test"));
        QTest::mouseClick(child<QPushButton>(&dialog, idc::kOk), Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.autoConnectUser, std::string("someone@pc.test"));
    }

    void theUserListOffersTheStoredUserOrTheContacts()
    {
        {
            CSystemSettingsDlg dialog;
            dialog.appMode = 1;
            dialog.autoConnectUser = "stored@pc.test";
            dialog.initDialog();
            auto* combo = child<QComboBox>(&dialog, idc::kAutoConnectUser);
            QCOMPARE(combo->count(), 1);
            QCOMPARE(combo->itemText(0), QStringLiteral("stored@pc.test"));
            QCOMPARE(combo->currentIndex(), 0);
        }
        CSystemSettingsDlg dialog;
        dialog.appMode = 1;
        dialog.autoConnectUser = "b@pc.test";
        dialog.contacts = {"c@pc.test", "a@pc.test", "b@pc.test"};
        dialog.initDialog();
        auto* combo = child<QComboBox>(&dialog, idc::kAutoConnectUser);
        QCOMPARE(combo->count(), 3);
        QCOMPARE(combo->itemText(0), QStringLiteral("a@pc.test"));
        QCOMPARE(combo->currentText(), QStringLiteral("b@pc.test"));
        QCOMPARE(combo->itemText(combo->currentIndex()), QStringLiteral("b@pc.test"));
        // Values that are neither 0 nor 1 select no button of their pair.
        QVERIFY(!child<QRadioButton>(&dialog, idc::kSoundOff)->isChecked());
        QVERIFY(!child<QRadioButton>(&dialog, idc::kSoundOn)->isChecked());
    }

    void aLongContactHandleNeitherWidensTheDialogNorHidesItself()
    {
        auto widthWith = [](const std::string& handle) {
            CSystemSettingsDlg dialog;
            dialog.appMode = 1;
            dialog.autoConnectUser = handle;
            dialog.contacts = {handle, "a@pc.test"};
            dialog.initDialog();
            auto* combo = child<QComboBox>(&dialog, idc::kAutoConnectUser);
            int shown = combo->findText(QString::fromStdString(handle));
            return std::make_pair(dialog.sizeHint().width(),
                                  combo->itemData(shown, Qt::ToolTipRole).toString() + "|" + combo->toolTip());
        };
        const std::string longHandle = std::string(120, 'x') + "@a-very-long-domain-name.example.org";
        auto [shortWidth, shortTip] = widthWith("b@pc.test");
        auto [longWidth, longTip] = widthWith(longHandle);
        QCOMPARE(longWidth, shortWidth);
        QString whole = QString::fromStdString(longHandle);
        QCOMPARE(longTip, whole + "|" + whole);
    }

    void cancelLeavesTheIniFileUnchanged()
    {
        QVERIFY(f->start(kIni + "[SYSTEM]\r\nAPPMODE=1\r\n", false));
        std::string before = f->ini();
        ModalDriver driver;
        driver.add(clickCancel);
        QTest::mouseClick(f->control<QPushButton>(idc::kSystemSettings), Qt::LeftButton);
        driver.add([](QWidget* top) {
            auto* d = qobject_cast<CForwardSettingsDlg*>(top);
            if (!d)
                return false;
            child<QLineEdit>(d, 1084)->setText(QStringLiteral("2121"));
            return clickCancel(top);
        });
        QTest::mouseClick(f->control<QPushButton>(idc::kForwardSettings), Qt::LeftButton);
        driver.add([](QWidget* top) {
            auto* d = qobject_cast<CPortDlg*>(top);
            if (!d)
                return false;
            child<QSpinBox>(d, idc::kPortSpin)->setValue(8888);
            return clickCancel(top);
        });
        QTest::mouseClick(f->control<QPushButton>(1115), Qt::LeftButton);
        QVERIFY(driver.finished());
        QCOMPARE(f->ini(), before);
        QCOMPARE(f->window->configuration().getForwardPort(0), 21);
        QCOMPARE(f->window->configuration().getHttpPort(), 8080);
        QCOMPARE(f->control<QLabel>(1101)->text(), QStringLiteral("8080"));

        // The same edit with OK does change the file.
        driver.add(onDialog<CPortDlg>([](CPortDlg* d) {
            child<QSpinBox>(d, idc::kPortSpin)->setValue(8888);
            QTest::mouseClick(child<QPushButton>(d, idc::kOk), Qt::LeftButton);
        }));
        QTest::mouseClick(f->control<QPushButton>(1115), Qt::LeftButton);
        QVERIFY(driver.finished());
        QVERIFY(f->ini() != before);
        QVERIFY(f->ini().find("HTTPPORT=8888") != std::string::npos);
        QCOMPARE(f->control<QLabel>(1101)->text(), QStringLiteral("8888"));
    }

    void okOfTheForwardSettingsTakesTheValuesOver()
    {
        QVERIFY(f->start(kIni, false));
        ModalDriver driver;
        driver.add(onDialog<CForwardSettingsDlg>([](CForwardSettingsDlg* d) {
            QTest::mouseClick(child<QCheckBox>(d, 1082), Qt::LeftButton);
            child<QLineEdit>(d, 1083)->setText(QStringLiteral("ftp.test"));
            child<QLineEdit>(d, 1084)->setText(QStringLiteral("2121"));
            QTest::mouseClick(child<QPushButton>(d, idc::kForwardOk), Qt::LeftButton);
        }));
        QTest::mouseClick(f->control<QPushButton>(idc::kForwardSettings), Qt::LeftButton);
        QVERIFY(driver.finished());
        QCOMPARE(f->control<QLabel>(1086)->text(), QStringLiteral("ftp.test"));
        QCOMPARE(f->control<QLabel>(1096)->text(), QStringLiteral("2121"));
        QCOMPARE(f->control<QLabel>(1087)->text(), QStringLiteral("server.test"));
        std::string ini = f->ini();
        QVERIFY(ini.find("FOWERDHOST1=ftp.test") != std::string::npos);
        QVERIFY(ini.find("FOWERDPORT1=2121") != std::string::npos);
    }

    void thePortDialogAcceptsZeroTo65535()
    {
        CPortDlg dialog;
        dialog.port = 5900;
        dialog.initDialog();
        auto* spin = child<QSpinBox>(&dialog, idc::kPortSpin);
        QCOMPARE(spin->value(), 5900);
        QCOMPARE(spin->minimum(), 0);
        QCOMPARE(spin->maximum(), 65535);
        QVERIFY(!spin->isGroupSeparatorShown());
        spin->setValue(0);
        QTest::mouseClick(child<QPushButton>(&dialog, idc::kOk), Qt::LeftButton);
        QCOMPARE(dialog.port, 0);
    }

    void theVersionLineNamesTheProgramAndItsVersion()
    {
        CAboutDlg dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("corvaneForTcpのﾊﾞｰｼﾞｮﾝ情報"));
        QCOMPARE(child<QLabel>(&dialog, idc::kVersionText)->text(), QStringLiteral("CorvaneForTCP Ver.:1-0-0-0"));
    }

private:
    std::unique_ptr<UiFixture> f;
};

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    DialogsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "dialogs_test.moc"
