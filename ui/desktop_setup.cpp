#include "ui/desktop_setup.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

bool setUpDesktopApplication(QApplication& app)
{
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopFileName));
    // qtbase_ja covers the standard buttons and the edit context menus; it is
    // Debian's qt6-translations-l10n. The window is Japanese whatever the
    // user's locale, so its standard texts are too.
    auto* translator = new QTranslator(&app);
    const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(QStringLiteral("qtbase_ja"), dir)) {
        delete translator;
        return false;
    }
    QCoreApplication::installTranslator(translator);
    return true;
}
