#include "ui/elided_text.h"

#include <QStyle>
#include <QStyleOptionFrame>
#include <algorithm>

namespace {

// The text as it fits into `width` pixels, and the tooltip that goes with it:
// the whole text when something was left out, nothing otherwise.
QString fitted(const QWidget* w, const QString& text, int width, QString* tip)
{
    QString shown = w->fontMetrics().elidedText(text, Qt::ElideMiddle, std::max(width, 0));
    *tip = shown == text ? QString() : text;
    return shown;
}

}  // namespace

ElidedLabel::ElidedLabel(int widthHint, QWidget* parent) : QLabel(parent), hintWidth(widthHint)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

void ElidedLabel::setFullText(const QString& text)
{
    whole = text;
    elide();
}

QSize ElidedLabel::sizeHint() const { return {hintWidth, QLabel::sizeHint().height()}; }

QSize ElidedLabel::minimumSizeHint() const { return {hintWidth, QLabel::minimumSizeHint().height()}; }

void ElidedLabel::resizeEvent(QResizeEvent* event)
{
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::elide()
{
    QString tip;
    setText(fitted(this, whole, contentsRect().width(), &tip));
    setToolTip(tip);
}

ElidedLineEdit::ElidedLineEdit(QWidget* parent) : QLineEdit(parent)
{
    setReadOnly(true);
    setFocusPolicy(Qt::NoFocus);
}

void ElidedLineEdit::setFullText(const QString& text)
{
    whole = text;
    elide();
}

void ElidedLineEdit::resizeEvent(QResizeEvent* event)
{
    QLineEdit::resizeEvent(event);
    elide();
}

void ElidedLineEdit::elide()
{
    // The room for text: the frame and the edit's own margins left out.
    QStyleOptionFrame option;
    initStyleOption(&option);
    QRect room = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
    QMargins margins = textMargins();
    int width = room.width() - margins.left() - margins.right() - 4;
    QString tip;
    setText(fitted(this, whole, width, &tip));
    setToolTip(tip);
    setCursorPosition(0);
}
