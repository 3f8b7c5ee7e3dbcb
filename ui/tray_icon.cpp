#include "ui/tray_icon.h"

#include <QAction>
#include <QSystemTrayIcon>
#include <cstdio>

TrayIcon::TrayIcon() = default;
TrayIcon::~TrayIcon() { removeTrayIcon(); }

void TrayIcon::initTrayIcon(const QIcon& image, std::function<void()> onOpen, std::function<void()> onExit)
{
    open = std::move(onOpen);
    exit = std::move(onExit);
    tip = QStringLiteral("CorvaneForTCP");
    menu.clear();
    QAction* show = menu.addAction(QStringLiteral("メイン画面を起動"));
    show->setObjectName(QStringLiteral("trayOpen"));
    menu.addSeparator();
    QAction* end = menu.addAction(QStringLiteral("終了"));
    end->setObjectName(QStringLiteral("trayExit"));
    QObject::connect(show, &QAction::triggered, &menu, [this] {
        if (open)
            open();
    });
    // The close request is handled after the menu has gone.
    QObject::connect(end, &QAction::triggered, &menu, [this] {
        if (exit)
            QMetaObject::invokeMethod(&menu, exit, Qt::QueuedConnection);
    });

    icon = std::make_unique<QSystemTrayIcon>(image);
    icon->setToolTip(tip);
    icon->setContextMenu(&menu);
    QObject::connect(icon.get(), &QSystemTrayIcon::activated, &menu, [this](QSystemTrayIcon::ActivationReason why) {
        if (why == QSystemTrayIcon::DoubleClick && open)
            open();
    });
}

bool TrayIcon::isAvailable() { return QSystemTrayIcon::isSystemTrayAvailable(); }

bool TrayIcon::addTrayIcon()
{
    if (!icon)
        return false;
    if (!isAvailable()) {
        std::printf("通知領域にアイコンを登録できませんでした。 err=%d\n", 0);
        return false;
    }
    icon->setToolTip(tip);
    icon->show();
    return icon->isVisible();
}

bool TrayIcon::modifyTrayIcon()
{
    if (!icon || !isAvailable() || !icon->isVisible())
        return false;
    icon->setToolTip(tip);
    return true;
}

bool TrayIcon::isShown() const { return icon && isAvailable() && icon->isVisible(); }

void TrayIcon::setTrayTip(const QString& text)
{
    tip = text.left(kMaxTip);
    if (icon)
        icon->setToolTip(tip);
}

void TrayIcon::removeTrayIcon()
{
    if (icon)
        icon->hide();
}
