#include "chat/qt/ChatToast.h"

#include <QApplication>
#include <QAudioDevice>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMediaDevices>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QSequentialAnimationGroup>
#include <QSoundEffect>
#include <QStyle>
#include <QUrl>
#include <QVariantAnimation>

#include "chat/qt/ChatStyle.h"
#include "chat/qt/ChatWidgets.h"
#include "chat/qt/X11Visibility.h"

namespace tarvo::chatqt {

namespace {

constexpr int cornerRadius = 12;
constexpr int borderWidth = 3;
constexpr int slideMillis = 280;
constexpr int breatheMillis = 1100;
constexpr int fadeMillis = 200;

// The timing curves of the platform's animations.
QEasingCurve easeOut() {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.0, 0.0), QPointF(0.58, 1.0), QPointF(1.0, 1.0));
    return curve;
}
QEasingCurve easeInEaseOut() {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.42, 0.0), QPointF(0.58, 1.0), QPointF(1.0, 1.0));
    return curve;
}

QColor mix(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(float(a.redF() + (b.redF() - a.redF()) * t),
                            float(a.greenF() + (b.greenF() - a.greenF()) * t),
                            float(a.blueF() + (b.blueF() - a.blueF()) * t));
}

}  // namespace

// The panel: a rounded card with a breathing green border and glow. A click
// outside its buttons replies.
class ToastCard : public QWidget {
  public:
    explicit ToastCard(std::function<void()> onClick)
        : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                               Qt::WindowDoesNotAcceptFocus),
          onClick_(std::move(onClick)) {
        setAttribute(Qt::WA_ShowWithoutActivating);
        setAttribute(Qt::WA_X11DoNotAcceptFocus);
        setFocusPolicy(Qt::NoFocus);
        setWindowTitle(QStringLiteral("Message"));
        setPalette(QApplication::style()->standardPalette());
        setFixedSize(ChatToast::width, ChatToast::height);
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), cornerRadius, cornerRadius);
        setMask(QRegion(shape.toFillPolygon().toPolygon()));
    }

    void setPhase(double phase) {
        phase_ = phase;
        update();
    }
    double phase() const { return phase_; }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF card = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        QPainterPath shape;
        shape.addRoundedRect(card, cornerRadius, cornerRadius);
        p.fillPath(shape, palette().color(QPalette::Window));

        // The glow: its reach (blur 10 to 26) and strength (opacity 0.4 to
        // 0.85) breathe with the border colour. The card's own edge bounds it,
        // so it shines inwards from the border.
        const double blur = 10 + 16 * phase_;
        const double opacity = 0.4 + 0.45 * phase_;
        p.setClipPath(shape);
        QColor glow = glowGreen();
        const int rings = int(blur / 2);
        for (int i = 0; i < rings; ++i) {
            const double fall = 1.0 - double(i) / rings;
            glow.setAlphaF(float(opacity * 0.35 * fall * fall));
            p.setPen(QPen(glow, 2));
            const double inset = borderWidth + 1 + 2 * i;
            p.drawRoundedRect(card.adjusted(inset, inset, -inset, -inset),
                              std::max(0.0, cornerRadius - inset / 2),
                              std::max(0.0, cornerRadius - inset / 2));
        }
        p.setClipping(false);
        const double half = borderWidth / 2.0;
        p.setPen(QPen(mix(glowGreen(), glowGreenLight(), phase_), borderWidth));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(card.adjusted(half, half, -half, -half), cornerRadius - half,
                          cornerRadius - half);
    }

    void mousePressEvent(QMouseEvent* event) override { event->accept(); }
    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
            onClick_();
    }

  private:
    std::function<void()> onClick_;
    double phase_ = 0;
};

ChatToast::ChatToast(std::function<void()> onReply, const Context& context)
    : onReply_(std::move(onReply)), context_(context) {}

ChatToast::~ChatToast() {
    delete window_.data();
}

void ChatToast::build(const std::string& senderName, const std::string& body) {
    QPointer<ChatToast> self(this);
    window_ = new ToastCard([self] {
        if (self) self->replyTapped();
    });
    ToastCard* card = window_;
    const QColor label = card->palette().color(QPalette::WindowText);

    titleLabel_ = new ElidedLabel(QStringLiteral("Message from ") + qs(senderName), card);
    titleLabel_->setFont(systemFont(13, true));
    titleLabel_->setTextFormat(Qt::PlainText);
    const int titleHeight = titleLabel_->fontMetrics().height();
    titleLabel_->setGeometry(16, 14, width - 32, titleHeight);

    bodyLabel_ = new ClampedText(3, card);
    bodyLabel_->setFont(systemFont(13));
    QPalette bodyPalette = bodyLabel_->palette();
    bodyPalette.setColor(QPalette::WindowText, label);
    bodyLabel_->setPalette(bodyPalette);
    bodyLabel_->setGeometry(16, 14 + titleHeight + 8, width - 32,
                            3 * bodyLabel_->fontMetrics().lineSpacing());
    bodyLabel_->setText(qs(body));

    auto* reply = new QPushButton(QStringLiteral("Reply"), card);
    reply->setObjectName(QStringLiteral("reply"));
    auto* dismiss = new QPushButton(QStringLiteral("Dismiss"), card);
    dismiss->setObjectName(QStringLiteral("dismiss"));
    for (QPushButton* button : {reply, dismiss}) {
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoDefault(false);
        button->setFont(systemFont(13));
    }
    const int buttonHeight = reply->sizeHint().height();
    reply->setGeometry(width - 16 - 80, height - 14 - buttonHeight, 80, buttonHeight);
    dismiss->setGeometry(width - 16 - 80 - 8 - 80, height - 14 - buttonHeight, 80, buttonHeight);
    connect(reply, &QPushButton::clicked, this, &ChatToast::replyTapped);
    connect(dismiss, &QPushButton::clicked, this, &ChatToast::dismissTapped);

    startBreathing();
}

void ChatToast::slideIn(const std::function<void()>& ping) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen && !QGuiApplication::screens().isEmpty())
        screen = QGuiApplication::screens().first();
    if (!screen) return;  // built, never shown; the two minutes still close it
    const QRect area = screen->availableGeometry();
    const QPoint finalOrigin(area.x() + area.width() - width - 20,
                             area.y() + area.height() - height - 20);
    window_->setWindowOpacity(1.0);
    window_->move(area.x() + area.width() + 8, finalOrigin.y());
    // On whichever desktop the child is, like the panel joining every space.
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        showOnAllDesktops(std::uint32_t(window_->winId()));
    window_->show();
    window_->raise();

    auto* slide = new QPropertyAnimation(window_, "pos", window_);
    slide->setDuration(slideMillis);
    slide->setEasingCurve(easeOut());
    slide->setEndValue(finalOrigin);
    QPointer<ToastCard> card = window_;
    connect(slide, &QPropertyAnimation::finished, this, [card, finalOrigin] {
        if (card) card->move(finalOrigin);
    });
    slide->start(QAbstractAnimation::DeleteWhenStopped);

    ping();
    const QRect frame(finalOrigin, QSize(width, height));
    context_.log.info("toast shown at " + rectNotation(frame) +
                      " visible=" + (window_->isVisible() ? "true" : "false"));
}

void ChatToast::armAutoDismiss() {
    dismissWork_.reset();
    if (!context_.queue) return;
    QPointer<ChatToast> self(this);
    dismissWork_ = ScopedTimer(*context_.queue, context_.queue->postDelayed(autoDismiss, [self] {
        if (self) self->close();
    }));
}

void ChatToast::startBreathing() {
    auto* breathe = new QSequentialAnimationGroup(this);
    for (int way = 0; way < 2; ++way) {
        auto* half = new QVariantAnimation(breathe);
        half->setDuration(breatheMillis);
        half->setStartValue(way == 0 ? 0.0 : 1.0);
        half->setEndValue(way == 0 ? 1.0 : 0.0);
        half->setEasingCurve(easeInEaseOut());
        QPointer<ToastCard> card = window_;
        connect(half, &QVariantAnimation::valueChanged, this, [card](const QVariant& v) {
            if (card) card->setPhase(v.toDouble());
        });
        breathe->addAnimation(half);
    }
    breathe->setLoopCount(-1);
    breathe->start();
}

void ChatToast::replyTapped() {
    if (closing_) return;
    // The toast closes whatever the reply does, even if it closes it first.
    QPointer<ChatToast> self(this);
    auto reply = onReply_;
    if (reply) reply();
    if (self) close();
}

void ChatToast::dismissTapped() {
    close();
}

void ChatToast::close() {
    dismissWork_.reset();
    if (!window_ || closing_) return;
    closing_ = true;
    // From here a new message gets a toast of its own rather than updating one
    // that is fading away (ToastShelf::shown).
    auto* fade = new QPropertyAnimation(window_, "windowOpacity", this);
    fade->setDuration(fadeMillis);
    fade->setEndValue(0.0);
    connect(fade, &QPropertyAnimation::finished, this, [this] {
        if (window_) window_->hide();
        deleteLater();
    });
    fade->start(QAbstractAnimation::DeleteWhenStopped);
}

QWidget* ChatToast::window() const {
    return closing_ ? nullptr : window_.data();
}
QString ChatToast::title() const {
    return titleLabel_ ? titleLabel_->text() : QString();
}
QString ChatToast::body() const {
    return bodyLabel_ ? bodyLabel_->text() : QString();
}
QStringList ChatToast::bodyLines() const {
    return bodyLabel_ ? bodyLabel_->lines() : QStringList();
}
QAbstractButton* ChatToast::replyButton() const {
    return window_ ? window_->findChild<QAbstractButton*>(QStringLiteral("reply")) : nullptr;
}
QAbstractButton* ChatToast::dismissButton() const {
    return window_ ? window_->findChild<QAbstractButton*>(QStringLiteral("dismiss")) : nullptr;
}
double ChatToast::glowPhase() const {
    return window_ ? window_->phase() : 0.0;
}

ToastShelf::ToastShelf(ChatToast::Context context) : context_(std::move(context)) {}

ToastShelf::~ToastShelf() {
    discard();
    delete ping_.data();
}

void ToastShelf::present(const std::string& senderName, const std::string& body,
                         std::function<void()> onReply) {
    if (ChatToast* toast = shown()) {
        // The card on screen shows the newer message under its own sender's name.
        toast->titleLabel_->setText(QStringLiteral("Message from ") + qs(senderName));
        toast->bodyLabel_->setText(qs(body));
        toast->armAutoDismiss();
        return;
    }
    auto* toast = new ChatToast(std::move(onReply), context_);
    current_ = toast;
    toast->build(senderName, body);
    toast->slideIn([this] { playPing(); });
    toast->armAutoDismiss();
}

ChatToast* ToastShelf::shown() const {
    return current_ && current_->window_ && !current_->closing_ ? current_.data() : nullptr;
}

void ToastShelf::discard() {
    delete current_.data();
}

void ToastShelf::playPing() {
    const QString file = qs(context_.soundFile);
    if (file.isEmpty() || !QFileInfo::exists(file)) {
        context_.log.info("toast sound not played — " +
                          (file.isEmpty() ? std::string("no sound file") : context_.soundFile) +
                          " missing");
        return;
    }
    if (QMediaDevices::audioOutputs().isEmpty()) {
        context_.log.info("toast sound not played — no audio output");
        return;
    }
    // One player, loaded on the first toast.
    if (!ping_) ping_ = new QSoundEffect(qApp);
    if (loaded_ != file) {
        loaded_ = file;
        TarvoLog log = context_.log;
        QSoundEffect* ping = ping_;
        QObject::disconnect(ping, &QSoundEffect::statusChanged, nullptr, nullptr);
        QObject::connect(ping, &QSoundEffect::statusChanged, ping, [ping, log] {
            if (ping->status() == QSoundEffect::Error)
                log.info("toast sound not played — the sound could not be loaded");
        });
        ping->setSource(QUrl::fromLocalFile(file));
    }
    ping_->play();
}

}  // namespace tarvo::chatqt
