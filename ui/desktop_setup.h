// What the desktop learns about the program before its first window: the
// desktop file it was started from (the task bar's icon on Wayland) and Qt's
// own texts in Japanese, so the standard buttons ("はい", "いいえ") and the
// edit fields' context menus speak the window's language.
#pragma once

class QApplication;

inline constexpr const char* kDesktopFileName = "jp.quorvantine.CorvaneForTcp";

// Returns false when Qt's Japanese translations are not installed (the
// standard texts then stay English).
bool setUpDesktopApplication(QApplication& app);
