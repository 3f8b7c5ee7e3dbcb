// The notification-area icon of the main window: the program icon with a
// tooltip that says whether a tunnel is up, and a menu with
// "メイン画面を起動" (open the main window) and "終了" (exit). A double click
// opens the window; a single click does nothing. Where the desktop has no
// notification area, isAvailable() is false and the icon stays away.
//
// Owned by the main window; main thread only. The callbacks run on it.
#pragma once

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QSystemTrayIcon;

class TrayIcon {
public:
    static constexpr int kMaxTip = 127;

    TrayIcon();
    ~TrayIcon();

    // Makes the icon and its menu with the initial tooltip "CorvaneForTCP".
    void initTrayIcon(const QIcon& icon, std::function<void()> onOpen, std::function<void()> onExit);
    // Puts the icon into the notification area; false when there is none.
    bool addTrayIcon();
    // Refreshes the icon; false when it is not in the notification area.
    bool modifyTrayIcon();
    // Whether the icon is in the notification area now.
    bool isShown() const;
    void setTrayTip(const QString& text);
    void removeTrayIcon();

    static bool isAvailable();
    const QString& getTip() const { return tip; }
    QMenu* getMenu() { return &menu; }

private:
    std::unique_ptr<QSystemTrayIcon> icon;
    QMenu menu;
    QString tip;
    std::function<void()> open;
    std::function<void()> exit;
};
