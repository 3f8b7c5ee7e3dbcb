// A label and a read-only line edit that show a text too long for them
// shortened in the middle ("alice@exa…le.org"), with the whole text in the
// tooltip. Their size hints do not grow with the text, so a long forward
// host or contact handle never stretches the grid or the dialog around it.
// Main thread only.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QString>

class ElidedLabel : public QLabel {
public:
    // widthHint: the width the label asks for, whatever its text.
    explicit ElidedLabel(int widthHint, QWidget* parent = nullptr);

    void setFullText(const QString& text);
    const QString& fullText() const { return whole; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();

    QString whole;
    int hintWidth;
};

class ElidedLineEdit : public QLineEdit {
public:
    explicit ElidedLineEdit(QWidget* parent = nullptr);

    void setFullText(const QString& text);
    const QString& fullText() const { return whole; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();

    QString whole;
};
