#include "ui/TimeWarningPopup.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

#include "ui/UiStyle.h"

namespace tarvo::ui {

namespace {
constexpr int kInset = 16;
constexpr int kTitleTop = 12;
constexpr int kTitleToMessage = 6;
constexpr qreal kCornerRadius = 12;

QLabel* makeLabel(const QString& text, const QFont& font, const QColor& colour, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}
}  // namespace

TimeWarningCard::TimeWarningCard(const QString& message)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::WindowDoesNotAcceptFocus) {
    setWindowTitle(QStringLiteral("Tarvo"));
    setAttribute(Qt::WA_ShowWithoutActivating, true);
    setAttribute(Qt::WA_TranslucentBackground, true);
    setAttribute(Qt::WA_DeleteOnClose, false);
    setFocusPolicy(Qt::NoFocus);
    setFixedSize(TimeWarningPopup::kWidth, TimeWarningPopup::kHeight);

    auto* title =
        makeLabel(QStringLiteral("Tarvo"), systemFont(12, QFont::DemiBold), grey(0.7), this);
    title->setObjectName(QStringLiteral("title"));
    title->adjustSize();
    title->move(kInset, kTitleTop);

    auto* text = makeLabel(message, systemFont(15, QFont::Medium), Qt::white, this);
    text->setObjectName(QStringLiteral("message"));
    text->setWordWrap(true);
    const int width = TimeWarningPopup::kWidth - 2 * kInset;  // 328
    text->setFixedWidth(width);
    text->setFixedHeight(text->heightForWidth(width));
    text->move(kInset, title->geometry().bottom() + 1 + kTitleToMessage);
}

void TimeWarningCard::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
    painter.fillPath(path, rgb(0.10, 0.12, 0.18, 0.95));
}

TimeWarningPopup::TimeWarningPopup(MainQueue& queue) : queue_(queue) {}

TimeWarningPopup::~TimeWarningPopup() {
    close();
}

QString TimeWarningPopup::message(std::int64_t n) {
    return QStringLiteral("You have ") + QString::number(n) + QStringLiteral(" minute") +
           (n == 1 ? QString() : QStringLiteral("s")) + QStringLiteral(" of screen time left.");
}

void TimeWarningPopup::show(std::int64_t minutesRemaining) {
    close();
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    auto* card = new TimeWarningCard(message(minutesRemaining));
    card->setScreen(screen);
    card->move(area.right() + 1 - kWidth - kMargin, area.top() + kMargin);
    card->show();
    window_ = card;
    // Each card stays its full 15 seconds: a newer one cancels the older close.
    closeTimer_ = ScopedTimer(queue_, queue_.postDelayed(kCloseAfter, [this] {
        closeTimer_ = ScopedTimer();
        close();
    }));
}

void TimeWarningPopup::close() {
    closeTimer_.reset();
    if (window_) {
        window_->hide();
        window_->deleteLater();
    }
    window_ = nullptr;
}

}  // namespace tarvo::ui
