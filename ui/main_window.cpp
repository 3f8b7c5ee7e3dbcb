// Construction, layout and colours of the main window; showing, hiding and
// the log view.
#include "ui/main_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <cstdio>

#include "core/event_loop.h"
#include "ui/control_ids.h"
#include "ui/elided_text.h"
#include "ui/session_events.h"
#include "ui/sound_player.h"
#include "ui/tray_icon.h"
#include "ui/ui_style.h"

namespace {

const char* const kAboutItem = "corvaneForTcp のﾊﾞｰｼﾞｮﾝ情報(&A)...";

// Value labels and read-only edits painted with the highlight colour.
const int kHighlighted[] = {idc::kSelectedUser,
                            idc::kMessage,
                            idc::kSkypeStatus,
                            idc::kModeLabel,
                            idc::kModeText,
                            idc::kUserStatus,
                            idc::kClock,
                            idc::kVersionLine,
                            1086,
                            1087,
                            1088,
                            1089,
                            1090,
                            1092,
                            1093,
                            1094,
                            1095,
                            1096,
                            1100,
                            1101,
                            1102,
                            1119,
                            1120};

QLabel* valueLabel(int id, const QString& text)
{
    auto* label = new QLabel(text);
    label->setObjectName(controlName(id));
    return label;
}

QPushButton* button(int id, const QString& text)
{
    auto* b = new QPushButton(text);
    b->setObjectName(controlName(id));
    b->setAutoDefault(false);
    return b;
}

QCheckBox* lamp(int id)
{
    auto* box = new QCheckBox;
    box->setObjectName(controlName(id));
    box->setEnabled(false);
    return box;
}

}  // namespace

// A normal top-level window with a minimise button: window managers keep it in
// the task bar, which some drop dialogs from.
CCorvaneForTcpDlg::CCorvaneForTcpDlg(QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                          | Qt::WindowCloseButtonHint),
      tray(std::make_unique<TrayIcon>())
{
    setWindowTitle(QStringLiteral("CorvaneForTcp"));
    setObjectName(QStringLiteral("CCorvaneForTcpDlg"));
    setFont(japaneseFixedFont());
    buildControls();
    applyColours();
    // Window creation: the logic listens to the controller from the start.
    windowLogic = std::make_unique<WindowLogic>(*this);
}

CCorvaneForTcpDlg::~CCorvaneForTcpDlg()
{
    // The logic and the model go first: their threads may still report log
    // lines, and the logic reports to the controls.
    windowLogic.reset();
    if (QV_EVENTLOOP* loop = getEventLoop())
        if (timer3 != 0)
            loop->stopTimer(timer3);
    tray->removeTrayIcon();
    destroySoundPlayer();
}

void CCorvaneForTcpDlg::buildControls()
{
    panel = new QWidget(this);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(6, 6, 6, 4);
    column->setSpacing(4);
    column->setMenuBar(buildMenuBar());
    column->addLayout(buildHead());
    modeText = valueLabel(idc::kModeText, QStringLiteral("APP 動作モード"));
    column->addWidget(modeText);
    column->addWidget(buildPortGroup());
    column->addWidget(buildLinkGroup());

    messageLine = new QLineEdit;
    messageLine->setObjectName(controlName(idc::kMessage));
    messageLine->setReadOnly(true);
    messageLine->setFocusPolicy(Qt::NoFocus);
    column->addWidget(messageLine);
    column->addLayout(buildButtonRow());

    logList = new QListWidget(this);
    logList->setObjectName(controlName(idc::kLogList));
    logList->setUniformItemSizes(true);
}

// The version dialog where a user looks for it; the window's context menu
// offers it too.
QMenuBar* CCorvaneForTcpDlg::buildMenuBar()
{
    auto* bar = new QMenuBar;
    bar->setObjectName(QStringLiteral("menuBar"));
    QMenu* help = bar->addMenu(QStringLiteral("ヘルプ(&H)"));
    QAction* about = help->addAction(QString::fromUtf8(kAboutItem));
    about->setObjectName(QStringLiteral("menuAbout"));
    connect(about, &QAction::triggered, this, &CCorvaneForTcpDlg::OnAbout);
    return bar;
}

QLayout* CCorvaneForTcpDlg::buildHead()
{
    auto* head = new QHBoxLayout;
    versionLine = valueLabel(idc::kVersionLine, QString());
    head->addWidget(versionLine, 1);
    clock = valueLabel(idc::kClock, QStringLiteral("00:00:00"));
    head->addWidget(clock);
    return head;
}

QGroupBox* CCorvaneForTcpDlg::buildPortGroup()
{
    auto* ports = new QGroupBox(QStringLiteral("ポート"));
    auto* grid = new QGridLayout(ports);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(2);
    addPortColumnHeads(grid);
    // Rows: FTP control, FTP data, setting 1 to 4.
    for (int row = 0; row < kLampRows; ++row)
        addServiceRow(grid, row);
    QPushButton* forward = button(idc::kForwardSettings, QStringLiteral("転送先設定"));
    connect(forward, &QPushButton::clicked, this, &CCorvaneForTcpDlg::OnForwardSettings);
    grid->addWidget(forward, 7, 3, 1, 2);
    return ports;
}

void CCorvaneForTcpDlg::addPortColumnHeads(QGridLayout* grid)
{
    const QString heads[] = {QStringLiteral("サービス"),    QStringLiteral("PORT"), QString(),
                             QStringLiteral("転送先HOST"),  QStringLiteral("PORT"), QString(),
                             QStringLiteral("L"),           QStringLiteral("C"),    QStringLiteral("P"),
                             QStringLiteral("スループット")};
    for (int c = 0; c < 10; ++c) {
        QLabel* l = c == 6 ? valueLabel(idc::kLampHeadL, heads[c]) : new QLabel(heads[c]);
        // Column heads that belong to one mode only.
        if (c == 1)
            l->setObjectName(QStringLiteral("headClientPort"));
        else if (c == 3 || c == 4)
            l->setObjectName(QStringLiteral("headForward%1").arg(c));
        else if (c == 9)
            l->setObjectName(QStringLiteral("headClientThroughput"));
        grid->addWidget(l, 0, c, c >= 6 && c <= 8 ? Qt::AlignHCenter : Qt::Alignment());
    }
}

void CCorvaneForTcpDlg::addServiceRow(QGridLayout* grid, int row)
{
    int k = row == 0 ? 0 : row - 1;
    int r = row + 1;
    if (row == 1) {
        grid->addWidget(new QLabel(QStringLiteral("　　　　")), r, 0);
    } else {
        auto* check = new QCheckBox(QString::fromUtf8(getServiceName(k)));
        check->setObjectName(controlName(idc::kServiceCheck[k]));
        connect(check, &QCheckBox::clicked, this, &CCorvaneForTcpDlg::OnServiceCheck);
        grid->addWidget(check, r, 0);
        grid->addWidget(valueLabel(idc::kClientPort[k], QString::number(getDefaultServicePort(k))), r, 1);
        if (idc::kPortEdit[k] != 0) {
            QPushButton* edit = button(idc::kPortEdit[k], QStringLiteral("編集"));
            connect(edit, &QPushButton::clicked, this, [this, k] { OnPortEdit(k); });
            grid->addWidget(edit, r, 2);
        }
        auto* host = new ElidedLabel(kHostWidth);
        host->setObjectName(controlName(idc::kForwardHostLabel[k]));
        host->setFullText(QStringLiteral("127.0.0.1"));
        grid->addWidget(host, r, 3);
        grid->addWidget(valueLabel(idc::kForwardPortLabel[k], QString::number(getDefaultServicePort(k))), r, 4);
        auto* thru = valueLabel(idc::kThroughput0 + k, QString());
        thru->setFixedWidth(kThroughputWidth);
        grid->addWidget(thru, r, 9);
    }
    grid->addWidget(new QLabel(row == 0 ? QStringLiteral("制") : row == 1 ? QStringLiteral("デ") : QString()), r, 5);
    grid->addWidget(lamp(idc::kLampL[row]), r, 6, Qt::AlignHCenter);
    grid->addWidget(lamp(idc::kLampC[row]), r, 7, Qt::AlignHCenter);
    grid->addWidget(lamp(idc::kLampP[row]), r, 8, Qt::AlignHCenter);
}

QGroupBox* CCorvaneForTcpDlg::buildLinkGroup()
{
    auto* link = new QGroupBox(QStringLiteral("接続"));
    auto* linkGrid = new QGridLayout(link);
    linkGrid->addWidget(new QLabel(QStringLiteral("SKYPE:")), 0, 0);
    skypeStatusText = valueLabel(idc::kSkypeStatus, QStringLiteral("SKYPEとの接続状態"));
    linkGrid->addWidget(skypeStatusText, 0, 1, 1, 2);
    linkGrid->addWidget(new QLabel(QStringLiteral("ユーザ:")), 1, 0);
    selectedUser = new ElidedLineEdit;
    selectedUser->setObjectName(controlName(idc::kSelectedUser));
    selectedUser->setMinimumWidth(200);
    linkGrid->addWidget(selectedUser, 1, 1);
    switchButton = button(idc::kSwitchUser, QStringLiteral("切替↓"));
    connect(switchButton, &QPushButton::clicked, this, &CCorvaneForTcpDlg::OnBswitch);
    linkGrid->addWidget(switchButton, 1, 2);
    userStatusText = valueLabel(idc::kUserStatus, QStringLiteral("ユーザ接続状態"));
    linkGrid->addWidget(userStatusText, 1, 3);
    modeLabel = valueLabel(idc::kModeLabel, QStringLiteral("接続許可条件"));
    linkGrid->addWidget(modeLabel, 2, 0, 1, 3);
    connectButton = button(idc::kConnect, QStringLiteral("手動接続"));
    connect(connectButton, &QPushButton::clicked, this, &CCorvaneForTcpDlg::OnBconnect);
    linkGrid->addWidget(connectButton, 2, 3);
    linkGrid->setColumnStretch(1, 1);
    return link;
}

QLayout* CCorvaneForTcpDlg::buildButtonRow()
{
    auto* buttons = new QHBoxLayout;
    QPushButton* system = button(idc::kSystemSettings, QStringLiteral("システム設定"));
    connect(system, &QPushButton::clicked, this, &CCorvaneForTcpDlg::OnSystemSettings);
    logToggle = button(idc::kLogToggle, QStringLiteral("↑LOG表示"));
    connect(logToggle, &QPushButton::clicked, this, &CCorvaneForTcpDlg::OnLogToggle);
    QPushButton* hideButton = button(idc::kHide, QStringLiteral("ウィドウを閉じる"));
    hideButton->setDefault(true);
    connect(hideButton, &QPushButton::clicked, this, &CCorvaneForTcpDlg::hideWindow);
    buttons->addWidget(system);
    buttons->addWidget(logToggle);
    buttons->addStretch();
    buttons->addWidget(hideButton);
    return buttons;
}

void CCorvaneForTcpDlg::applyColours()
{
    QPalette window = palette();
    window.setColor(QPalette::Window, backgroundColour());
    setPalette(window);
    setAutoFillBackground(true);
    for (int id : kHighlighted) {
        QWidget* w = findChild<QWidget*>(controlName(id));
        if (!w)
            continue;
        QPalette p = w->palette();
        p.setColor(QPalette::Window, highlightColour());
        p.setColor(QPalette::Base, highlightColour());
        w->setPalette(p);
        w->setAutoFillBackground(true);
    }
}

void CCorvaneForTcpDlg::applyLogView()
{
    logToggle->setText(logShown ? QStringLiteral("↑LOG表示") : QStringLiteral("↓LOG表示"));
    setFixedSize(fullWidth, logShown ? fullHeight : fullHeight - kLogHeight);
}

void CCorvaneForTcpDlg::showWindow()
{
    windowVisible = 1;
    showNormal();
    raise();
    activateWindow();
}

void CCorvaneForTcpDlg::hideWindow()
{
    // Without the notification area's icon nothing could show a hidden
    // window again: it is minimised instead and stays in the task bar.
    if (!tray->isShown()) {
        std::printf("CCorvaneForTcpDlg::hideWindow() no notification area: minimised\n");
        windowVisible = 1;
        showMinimized();
        return;
    }
    windowVisible = 0;
    hide();
}

void CCorvaneForTcpDlg::reject() { OnCloseRequest(); }

void CCorvaneForTcpDlg::closeEvent(QCloseEvent* event)
{
    // Closing ends the program only through the confirmation.
    event->ignore();
    OnCloseRequest();
}

void CCorvaneForTcpDlg::contextMenuEvent(QContextMenuEvent* event)
{
    // Stands in for the system-menu item of the version dialog.
    QMenu menu(this);
    QAction* about = menu.addAction(QString::fromUtf8(kAboutItem));
    if (menu.exec(event->globalPos()) == about)
        OnAbout();
}
