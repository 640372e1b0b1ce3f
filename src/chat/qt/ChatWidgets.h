#pragma once

#include <QLabel>
#include <QStringList>
#include <QWidget>

namespace tarvo::chatqt {

// A one-line label that cuts its text at the tail ("Mum, Dad & em…") rather
// than growing the window.
class ElidedLabel : public QLabel {
  public:
    using QLabel::QLabel;
    QSize minimumSizeHint() const override;
    // The text as drawn at the label's present width.
    QString shownText() const;

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// Wrapped text of at most `maxLines` lines; a longer text ends its last line
// with "…". Words too long for a line are broken anywhere.
class ClampedText : public QWidget {
  public:
    ClampedText(int maxLines, QWidget* parent = nullptr);

    void setText(const QString& text);
    const QString& text() const { return text_; }
    // The lines drawn at the present width.
    const QStringList& lines() const { return lines_; }
    // The height `lines()` take at `width`.
    int heightForWidth(int width) const override;
    bool hasHeightForWidth() const override { return true; }
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    QStringList layoutLines(int width) const;

    int maxLines_;
    QString text_;
    QStringList lines_;
};

}  // namespace tarvo::chatqt
