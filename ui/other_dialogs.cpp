// The forward settings dialog, the port dialog and the version dialog.
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "control/version.h"
#include "ui/control_ids.h"
#include "ui/settings_dialogs.h"
#include "ui/ui_style.h"

namespace {

const char* const kGroupTitles[5] = {"FTP-SERVER", "設定１-SERVER", "設定２-SERVER", "設定３-SERVER", "設定４-SERVER"};
const char* const kPortMessages[5] = {
    "FTP Portの設定範囲は不正です。(1～65535)",          "HTTP Portの設定範囲は不正です。(1～65535)",
    "CVS Portの設定範囲は不正です。(1～65535)",          "ユーザ設定１ Portの設定範囲は不正です。(1～65535)",
    "ユーザ設定２ Portの設定範囲は不正です。(1～65535)",
};

QHBoxLayout* okCancelRow(QDialog* dialog, int okId, QPushButton** okOut)
{
    auto* row = new QHBoxLayout;
    auto* ok = new QPushButton(QStringLiteral("OK"));
    ok->setObjectName(controlName(okId));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"));
    cancel->setObjectName(controlName(idc::kCancel));
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    row->addStretch();
    row->addWidget(ok);
    row->addWidget(cancel);
    *okOut = ok;
    return row;
}

}  // namespace

CForwardSettingsDlg::CForwardSettingsDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("転送設定ダイアログ"));
    setFont(japaneseFixedFont());
    auto* layout = new QVBoxLayout(this);
    for (int k = 0; k < 5; ++k) {
        auto* group = new QGroupBox(QString::fromUtf8(kGroupTitles[k]));
        auto* grid = new QGridLayout(group);
        boxes[k] = new QCheckBox(QStringLiteral("localhost"));
        boxes[k]->setObjectName(controlName(idc::kLocalhostBox[k]));
        hostEdits[k] = new QLineEdit;
        hostEdits[k]->setObjectName(controlName(idc::kHostEdit[k]));
        hostEdits[k]->setMaxLength(260);
        hostEdits[k]->setMinimumWidth(200);
        portEdits[k] = new QLineEdit;
        portEdits[k]->setObjectName(controlName(idc::kForwardPortEdit[k]));
        portEdits[k]->setMaximumWidth(80);
        grid->addWidget(new QLabel(QStringLiteral("HOST名/IPADDRESS")), 0, 1);
        grid->addWidget(new QLabel(QStringLiteral("PORT")), 0, 2);
        grid->addWidget(boxes[k], 1, 0);
        grid->addWidget(hostEdits[k], 1, 1);
        grid->addWidget(portEdits[k], 1, 2);
        layout->addWidget(group);
        connect(boxes[k], &QCheckBox::clicked, this, [this, k] { onLocalhostClicked(k); });
    }
    QPushButton* ok = nullptr;
    layout->addLayout(okCancelRow(this, idc::kForwardOk, &ok));
    connect(ok, &QPushButton::clicked, this, &CForwardSettingsDlg::onOk);
}

void CForwardSettingsDlg::initDialog()
{
    for (int k = 0; k < 5; ++k) {
        localhost[k] = hosts[k] == "127.0.0.1" ? 1 : 0;
        boxes[k]->setChecked(localhost[k] != 0);
        hostEdits[k]->setEnabled(localhost[k] == 0);
        hostEdits[k]->setText(QString::fromStdString(hosts[k]));
        portEdits[k]->setText(QString::fromStdString(ports[k]));
    }
}

void CForwardSettingsDlg::onLocalhostClicked(int k)
{
    localhost[k] = boxes[k]->isChecked() ? 1 : 0;
    if (localhost[k]) {
        hostEdits[k]->setText(QStringLiteral("127.0.0.1"));
        hostEdits[k]->setEnabled(false);
    } else {
        hostEdits[k]->setEnabled(true);
    }
}

int CForwardSettingsDlg::parsePort(const QString& text)
{
    bool ok = false;
    int value = text.trimmed().toInt(&ok, 10);
    return ok ? value : 0;
}

void CForwardSettingsDlg::onOk()
{
    bool valid = true;
    // Every port is examined, in service order, so several messages may follow
    // one another; the focus stays on the last invalid one.
    for (int k = 0; k < 5; ++k) {
        int port = parsePort(portEdits[k]->text());
        if (port < 1 || port > 65535) {
            valid = false;
            showOkBox(this, QStringLiteral("確認"), QString::fromUtf8(kPortMessages[k]));
            portEdits[k]->setFocus();
        }
    }
    if (!valid)
        return;
    for (int k = 0; k < 5; ++k) {
        hosts[k] = hostEdits[k]->text().toStdString();
        ports[k] = std::to_string(parsePort(portEdits[k]->text()));
        localhost[k] = boxes[k]->isChecked() ? 1 : 0;
    }
    accept();
}

int CForwardSettingsDlg::exec()
{
    initDialog();
    return QDialog::exec();
}

CPortDlg::CPortDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("ポート設定"));
    setFont(japaneseFixedFont());
    auto* layout = new QVBoxLayout(this);
    auto* group = new QGroupBox(QStringLiteral("ポート設定"));
    auto* row = new QHBoxLayout(group);
    row->addWidget(new QLabel(QStringLiteral("Port番号")));
    spin = new QSpinBox;
    spin->setObjectName(controlName(idc::kPortSpin));
    spin->setAlignment(Qt::AlignRight);
    spin->setGroupSeparatorShown(false);
    spin->setMinimumWidth(100);
    row->addWidget(spin);
    layout->addWidget(group);
    QPushButton* ok = nullptr;
    layout->addLayout(okCancelRow(this, idc::kOk, &ok));
    connect(ok, &QPushButton::clicked, this, &CPortDlg::accept);
}

void CPortDlg::initDialog()
{
    spin->setRange(0, 65535);
    spin->setValue(port);
}

void CPortDlg::accept()
{
    // Text the box cannot read falls back to the last valid number.
    spin->interpretText();
    port = spin->value();
    QDialog::accept();
}

int CPortDlg::exec()
{
    initDialog();
    return QDialog::exec();
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("corvaneForTcpのﾊﾞｰｼﾞｮﾝ情報"));
    setFont(japaneseFixedFont());
    auto* layout = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    auto* icon = new QLabel;
    icon->setPixmap(programIcon().pixmap(32, 32));
    auto* text =
        new QLabel(QStringLiteral("CorvaneForTCP ") + QString::fromStdString(convertVersion(getVersionText())));
    text->setObjectName(controlName(idc::kVersionText));
    row->addWidget(icon);
    row->addWidget(text, 1);
    layout->addLayout(row);
    auto* ok = new QPushButton(QStringLiteral("OK"));
    ok->setObjectName(controlName(idc::kOk));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &CAboutDlg::accept);
    layout->addWidget(ok, 0, Qt::AlignRight);
}
