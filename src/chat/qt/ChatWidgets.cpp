#include "chat/qt/ChatWidgets.h"

#include <QPainter>
#include <QTextLayout>

namespace tarvo::chatqt {

QSize ElidedLabel::minimumSizeHint() const {
    QSize hint = QLabel::minimumSizeHint();
    hint.setWidth(fontMetrics().horizontalAdvance(QStringLiteral("…")) + 1);
    return hint;
}

QString ElidedLabel::shownText() const {
    return fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    painter.setFont(font());
    painter.drawText(contentsRect(), int(alignment()) | Qt::TextSingleLine, shownText());
}

ClampedText::ClampedText(int maxLines, QWidget* parent) : QWidget(parent), maxLines_(maxLines) {
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void ClampedText::setText(const QString& text) {
    text_ = text;
    lines_ = layoutLines(width());
    updateGeometry();
    update();
}

QStringList ClampedText::layoutLines(int width) const {
    QStringList out;
    if (text_.isEmpty() || width <= 0) return out;
    QString flowing = text_;
    flowing.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(flowing, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    QList<QTextLine> lines;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        lines.append(line);
    }
    layout.endLayout();
    for (qsizetype i = 0; i < lines.size() && i < maxLines_; ++i) {
        const QTextLine& line = lines[i];
        if (i == maxLines_ - 1 && lines.size() > maxLines_) {
            // The rest of the text on one line, cut with an ellipsis.
            QString rest = text_.mid(line.textStart());
            rest.replace(QLatin1Char('\n'), QLatin1Char(' '));
            out.append(fontMetrics().elidedText(rest, Qt::ElideRight, width));
        } else {
            QString piece = flowing.mid(line.textStart(), line.textLength());
            piece.remove(QChar::LineSeparator);
            out.append(piece.trimmed());
        }
    }
    return out;
}

int ClampedText::heightForWidth(int width) const {
    return int(layoutLines(width).size()) * fontMetrics().lineSpacing();
}

QSize ClampedText::sizeHint() const {
    return QSize(width(), int(lines_.size()) * fontMetrics().lineSpacing());
}

void ClampedText::resizeEvent(QResizeEvent*) {
    lines_ = layoutLines(width());
}

void ClampedText::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    painter.setFont(font());
    const QFontMetrics metrics = fontMetrics();
    int y = metrics.ascent();
    for (const QString& line : lines_) {
        painter.drawText(0, y, line);
        y += metrics.lineSpacing();
    }
}

}  // namespace tarvo::chatqt
