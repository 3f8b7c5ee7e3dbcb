// Look shared by the windows: the Japanese fixed font that stands in for
// "ＭＳ ゴシック" 9 pt, the two colours of the main window, the program icon
// and the plain message boxes. Main thread only.
#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>

class QWidget;

QFont japaneseFixedFont();
// Text background of the value labels, and of the windows.
inline QColor highlightColour() { return QColor(255, 255, 180); }
inline QColor backgroundColour() { return QColor(240, 240, 220); }
QIcon programIcon();

// A modal box with one OK button.
void showOkBox(QWidget* parent, const QString& caption, const QString& text);
// A modal Yes/No question, Yes the default button; true for Yes.
bool askYesNo(QWidget* parent, const QString& caption, const QString& text);
