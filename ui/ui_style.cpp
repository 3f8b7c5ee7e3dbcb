#include "ui/ui_style.h"

#include <QMessageBox>
#include <QStringList>

QFont japaneseFixedFont()
{
    QFont font;
    // The first family the machine has wins; IPAGothic is the fixed-width
    // Japanese font that Debian's fonts-ipafont-gothic installs.
    font.setFamilies(QStringList{QStringLiteral("ＭＳ ゴシック"), QStringLiteral("MS Gothic"),
                                 QStringLiteral("IPAGothic"), QStringLiteral("Noto Sans Mono CJK JP"),
                                 QStringLiteral("VL Gothic"), QStringLiteral("monospace")});
    font.setStyleHint(QFont::TypeWriter);
    font.setPointSize(9);
    return font;
}

QIcon programIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addFile(QStringLiteral(":/res/corvane%1.png").arg(size), QSize(size, size));
    return icon;
}

void showOkBox(QWidget* parent, const QString& caption, const QString& text)
{
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

bool askYesNo(QWidget* parent, const QString& caption, const QString& text)
{
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}
