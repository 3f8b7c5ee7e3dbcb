// The system settings dialog: application mode, sound, window at start,
// accept policy (server) and automatic connection (client).
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "ui/control_ids.h"
#include "ui/settings_dialogs.h"
#include "ui/ui_style.h"

namespace {

QGroupBox* pairGroup(const QString& title, QRadioButton* first, QRadioButton* second)
{
    auto* group = new QGroupBox(title);
    auto* row = new QHBoxLayout(group);
    row->addWidget(first);
    row->addWidget(second);
    return group;
}

}  // namespace

CSystemSettingsDlg::CSystemSettingsDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("システム設定"));
    setFont(japaneseFixedFont());
    serverMode = radio(idc::kServerMode, QStringLiteral("サーバアプリケーション"));
    clientMode = radio(idc::kClientMode, QStringLiteral("クライアントプリケーション"));
    soundOff = radio(idc::kSoundOff, QStringLiteral("OFF"));
    soundOn = radio(idc::kSoundOn, QStringLiteral("ON"));
    windowOpen = radio(idc::kOpenWindowOpen, QStringLiteral("開く"));
    windowClosed = radio(idc::kOpenWindowClosed, QStringLiteral("閉じる"));
    acceptSelected = radio(idc::kAcceptSelected, QStringLiteral("選択中のユーザのみ"));
    acceptContacts = radio(idc::kAcceptContacts, QStringLiteral("コンタクトリストのユーザ"));

    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    auto* modeGroup = new QGroupBox(QStringLiteral("C/S"));
    auto* modeColumn = new QVBoxLayout(modeGroup);
    modeColumn->addWidget(serverMode);
    modeColumn->addWidget(clientMode);
    top->addWidget(modeGroup);
    auto* right = new QVBoxLayout;
    right->addWidget(pairGroup(QStringLiteral("サウンド"), soundOff, soundOn));
    right->addWidget(pairGroup(QStringLiteral("起動時ウィンドウ"), windowOpen, windowClosed));
    top->addLayout(right);
    layout->addLayout(top);

    acceptGroup = new QGroupBox(QStringLiteral("接続受付（サーバ）"));
    acceptGroup->setObjectName(controlName(idc::kAcceptGroup));
    auto* acceptColumn = new QVBoxLayout(acceptGroup);
    acceptColumn->addWidget(acceptSelected);
    acceptColumn->addWidget(acceptContacts);
    layout->addWidget(acceptGroup);

    autoGroup = new QGroupBox(QStringLiteral("自動接続（クライアント）"));
    autoGroup->setObjectName(controlName(idc::kAutoConnectGroup));
    auto* autoRow = new QHBoxLayout(autoGroup);
    autoBox = new QCheckBox(QStringLiteral("自動接続"));
    autoBox->setObjectName(controlName(idc::kAutoConnect));
    userBox = new QComboBox;
    userBox->setObjectName(controlName(idc::kAutoConnectUser));
    userBox->setEditable(true);
    userBox->setInsertPolicy(QComboBox::InsertAlphabetically);
    userBox->setMinimumWidth(220);
    // A long handle neither widens the box nor the dialog: the box shows
    // what fits and the whole handle in the tooltip.
    userBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    userBox->setMinimumContentsLength(24);
    connect(userBox, &QComboBox::currentTextChanged, userBox, &QComboBox::setToolTip);
    autoRow->addWidget(autoBox);
    autoRow->addWidget(userBox, 1);
    layout->addWidget(autoGroup);

    auto* buttons = new QHBoxLayout;
    auto* ok = new QPushButton(QStringLiteral("OK"));
    ok->setObjectName(controlName(idc::kOk));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"));
    cancel->setObjectName(controlName(idc::kCancel));
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);

    // The two mode buttons re-apply the enabling rule on every click.
    connect(serverMode, &QRadioButton::clicked, this, [this] {
        readControls();
        applyEnablingRule();
    });
    connect(clientMode, &QRadioButton::clicked, this, [this] {
        readControls();
        applyEnablingRule();
    });
    connect(ok, &QPushButton::clicked, this, &CSystemSettingsDlg::accept);
    connect(cancel, &QPushButton::clicked, this, &CSystemSettingsDlg::reject);
}

QRadioButton* CSystemSettingsDlg::radio(int id, const QString& text)
{
    auto* button = new QRadioButton(text);
    button->setObjectName(controlName(id));
    // Each pair is exclusive within its own group box.
    button->setAutoExclusive(true);
    return button;
}

void CSystemSettingsDlg::setPair(QRadioButton* first, QRadioButton* second, int value)
{
    first->setChecked(value == 0);
    second->setChecked(value == 1);
}

int CSystemSettingsDlg::pairValue(const QRadioButton* first, const QRadioButton* second)
{
    if (first->isChecked())
        return 0;
    if (second->isChecked())
        return 1;
    return -1;
}

void CSystemSettingsDlg::initDialog()
{
    userBox->clear();
    if (contacts.empty()) {
        if (!autoConnectUser.empty())
            userBox->addItem(QString::fromStdString(autoConnectUser));
    } else {
        for (const auto& handle : contacts)
            userBox->addItem(QString::fromStdString(handle));
    }
    for (int i = 0; i < userBox->count(); ++i)
        userBox->setItemData(i, userBox->itemText(i), Qt::ToolTipRole);
    userBox->model()->sort(0);
    int found = userBox->findText(QString::fromStdString(autoConnectUser), Qt::MatchExactly | Qt::MatchCaseSensitive);
    userBox->setCurrentIndex(found);
    userBox->setEditText(QString::fromStdString(autoConnectUser));

    setPair(serverMode, clientMode, appMode);
    setPair(soundOff, soundOn, soundMode);
    setPair(windowOpen, windowClosed, openWindow);
    setPair(acceptSelected, acceptContacts, acceptPolicy);
    autoBox->setChecked(autoConnect != 0);
    applyEnablingRule();
}

void CSystemSettingsDlg::readControls()
{
    appMode = pairValue(serverMode, clientMode);
    soundMode = pairValue(soundOff, soundOn);
    openWindow = pairValue(windowOpen, windowClosed);
    acceptPolicy = pairValue(acceptSelected, acceptContacts);
    autoConnect = autoBox->isChecked() ? 1 : 0;
    autoConnectUser = userBox->currentText().toStdString();
}

void CSystemSettingsDlg::applyEnablingRule()
{
    bool server = appMode == 0;
    bool client = appMode == 1;
    acceptGroup->setEnabled(server);
    acceptSelected->setEnabled(server);
    acceptContacts->setEnabled(server);
    autoGroup->setEnabled(client);
    autoBox->setEnabled(client);
    userBox->setEnabled(client);
}

void CSystemSettingsDlg::accept()
{
    readControls();
    if (autoConnect && autoConnectUser.empty()) {
        showOkBox(this, QStringLiteral("システム設定"), QStringLiteral("自動接続先のユーザIDが設定されていません。"));
        return;
    }
    QDialog::accept();
}

int CSystemSettingsDlg::exec()
{
    initDialog();
    return QDialog::exec();
}
