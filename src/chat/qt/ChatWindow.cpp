#include "chat/qt/ChatWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <cmath>

#include "chat/qt/ChatStyle.h"
#include "chat/qt/ChatWidgets.h"
#include "chat/qt/X11Visibility.h"

namespace tarvo {
namespace chatqt {

namespace {

constexpr int headerHeight = 74;
constexpr int barHeight = 48;
constexpr int edgeInset = 14;
constexpr int bubbleMaxWidth = 300;
constexpr int bubbleInsetX = 14;
constexpr int bubbleInsetY = 9;

QColor blackAlpha(double alpha) {
    return QColor(0, 0, 0, int(std::lround(alpha * 255)));
}

void setTextColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

// A soft shadow of `radius` around a rounded rectangle, drawn as rings of
// fading black: the look of a layer shadow without an off-screen pass.
void paintShadow(QPainter& p, const QRectF& shape, double corner, double opacity, int radius,
                 double dy) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    for (int i = radius; i >= 1; --i) {
        const double strength = opacity * (1.0 - double(i) / (radius + 1)) / radius * 2.0;
        p.setBrush(blackAlpha(std::min(1.0, strength)));
        p.drawRoundedRect(shape.adjusted(-i, -i, i, i).translated(0, dy), corner + i, corner + i);
    }
    p.restore();
}

}  // namespace

// The content view: the backdrop, scaled to fill both ways, under everything;
// closing hides the window and keeps it.
class ChatWindowWidget : public QWidget {
  public:
    explicit ChatWindowWidget(QString backdropFile) : backdropFile_(std::move(backdropFile)) {}

    QWidget* header = nullptr;
    QWidget* scroll = nullptr;
    QWidget* bar = nullptr;
    QWidget* send = nullptr;

  protected:
    void closeEvent(QCloseEvent* event) override {
        hide();
        event->ignore();
    }

    void resizeEvent(QResizeEvent*) override {
        const int w = width(), h = height();
        const int barTop = h - edgeInset - barHeight;
        header->setGeometry(0, 0, w, headerHeight);
        send->setGeometry(w - edgeInset - barHeight, barTop, barHeight, barHeight);
        bar->setGeometry(edgeInset, barTop, send->x() - 10 - edgeInset, barHeight);
        scroll->setGeometry(0, headerHeight, w, std::max(0, barTop - 10 - headerHeight));
    }

    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        // Decoded on the first paint: a chat that is never opened costs no pixels.
        if (!backdropFile_.isEmpty()) {
            backdrop_ = QPixmap(backdropFile_);
            backdropFile_.clear();
        }
        if (!backdrop_.isNull()) {
            if (scaled_.size() != size())
                scaled_ = backdrop_.scaled(size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            p.drawPixmap(0, 0, scaled_);
        }
        paintShadow(p, QRectF(bar->geometry()), barHeight / 2.0, 0.1, 6, 1);
    }

  private:
    QString backdropFile_;
    QPixmap backdrop_;
    QPixmap scaled_;
};

namespace {

class HeaderWidget : public QWidget {
  public:
    using QWidget::QWidget;
    QLabel* avatar = nullptr;
    QLabel* title = nullptr;
    QLabel* subtitle = nullptr;

  protected:
    void resizeEvent(QResizeEvent*) override {
        const int avatarTop = (height() - 42) / 2;
        avatar->setGeometry(76, avatarTop, 42, 42);
        const int left = avatar->geometry().right() + 1 + 12;
        const int titleHeight = title->fontMetrics().height();
        title->setGeometry(left, avatarTop, std::max(0, width() - 14 - left), titleHeight);
        subtitle->setGeometry(left, avatarTop + titleHeight + 2, std::max(0, width() - 14 - left),
                              subtitle->fontMetrics().height());
    }
};

// The round teal avatar with the child's two letters.
class AvatarLabel : public QLabel {
  public:
    using QLabel::QLabel;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(teal());
        p.drawEllipse(QRectF(rect()));
        p.setPen(Qt::white);
        p.setFont(font());
        p.drawText(rect(), Qt::AlignCenter, text());
    }
};

// The white pill that holds the input field.
class InputBar : public QWidget {
  public:
    using QWidget::QWidget;
    QWidget* field = nullptr;

  protected:
    void resizeEvent(QResizeEvent*) override {
        const int h = field->sizeHint().height();
        field->setGeometry(20, (height() - h) / 2, std::max(0, width() - 20 - 16), h);
    }
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawRoundedRect(QRectF(rect()), height() / 2.0, height() / 2.0);
    }
};

// The round teal send button with a white paper plane.
class SendButton : public QAbstractButton {
  public:
    using QAbstractButton::QAbstractButton;
    QSize sizeHint() const override { return QSize(barHeight, barHeight); }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(isDown() ? teal().darker(120) : teal());
        p.drawEllipse(QRectF(rect()));
        // A dart pointing up and to the right, with the fold of its wing.
        p.translate(width() / 2.0, height() / 2.0);
        p.rotate(-30);
        QPainterPath plane;
        plane.moveTo(11, 0);
        plane.lineTo(-9, -9);
        plane.lineTo(-5.5, -0.8);
        plane.lineTo(2, 0);
        plane.lineTo(-5.5, 0.8);
        plane.lineTo(-9, 9);
        plane.closeSubpath();
        p.setBrush(Qt::white);
        p.drawPath(plane);
    }
};

// One message's row: paints its bubble's shadow beneath it.
class RowWidget : public QWidget {
  public:
    using QWidget::QWidget;
    QWidget* bubble = nullptr;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        paintShadow(p, QRectF(bubble->geometry()), 18, 0.08, 4, 1);
    }
};

class BubbleWidget : public QWidget {
  public:
    BubbleWidget(const QColor& colour, QWidget* parent) : QWidget(parent), colour_(colour) {}

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(colour_);
        p.drawRoundedRect(QRectF(rect()), 18, 18);
    }

  private:
    QColor colour_;
};

// The message text: wraps (long words anywhere), selectable, as wide as it
// needs up to the bubble's width, and as tall as its lines.
class MessageText : public QTextEdit {
  public:
    MessageText(const QString& text, const QColor& colour, QWidget* parent) : QTextEdit(parent) {
        setFrameShape(QFrame::NoFrame);
        setReadOnly(true);
        setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        setAutoFillBackground(false);
        viewport()->setAutoFillBackground(false);
        setFocusPolicy(Qt::ClickFocus);
        setFont(systemFont(14));
        setTextColour(this, colour);
        document()->setDocumentMargin(0);
        document()->setDefaultFont(font());
        setPlainText(text);
        // Measured on a document of its own: the edit lays its own out lazily,
        // at whatever width it has at the time.
        QTextDocument probe;
        probe.setDocumentMargin(0);
        probe.setDefaultFont(font());
        QTextOption wrap;
        wrap.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        probe.setDefaultTextOption(wrap);
        probe.setPlainText(text);
        const int widest = bubbleMaxWidth - 2 * bubbleInsetX;
        probe.setTextWidth(-1);
        const int w = std::clamp(int(std::ceil(probe.idealWidth())), 1, widest);
        probe.setTextWidth(w);
        setFixedSize(w, std::max(1, int(std::ceil(probe.size().height()))));
    }

  protected:
    // The conversation scrolls, never a bubble.
    void wheelEvent(QWheelEvent* event) override { event->ignore(); }
};

QLabel* plainLabel(const QString& text, const QFont& font, const QColor& colour, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    setTextColour(label, colour);
    return label;
}

}  // namespace
}  // namespace chatqt

using namespace chatqt;

ChatWindow::ChatWindow(Config config)
    : config_(std::move(config)),
      toasts_(ChatToast::Context{.queue = config_.queue,
                                 .log = config_.log,
                                 .soundFile = config_.resourcesDir + "/Ping.wav"}) {
    buildWindow();
}

ChatWindow::~ChatWindow() {
    visibility_.reset();
    delete window_.data();
}

void ChatWindow::buildWindow() {
    const QString backdrop = qs(config_.resourcesDir + "/chat2.png");
    // Decoded once to know it is whole, then let go: the pixels are kept only
    // from the first paint on.
    backdropLoaded_ = !QImageReader(backdrop).read().isNull();
    rowWidgets_.clear();  // went with any earlier window
    drawn_.clear();
    window_ = new ChatWindowWidget(backdropLoaded_ ? backdrop : QString());
    ChatWindowWidget* w = window_;
    w->setWindowTitle(QStringLiteral("Chat"));
    w->setPalette(QApplication::style()->standardPalette());  // always the light look
    w->setFont(systemFont(13));

    w->header = buildHeader(w);

    scroll_ = new QScrollArea(w);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    stack_ = new QWidget;
    stackLayout_ = new QVBoxLayout(stack_);
    stackLayout_->setContentsMargins(edgeInset, edgeInset, edgeInset, edgeInset);
    stackLayout_->setSpacing(10);
    stackLayout_->addStretch(1);  // rows gather at the top
    scroll_->setWidget(stack_);
    scroll_->viewport()->setAutoFillBackground(false);
    stack_->setAutoFillBackground(false);
    w->scroll = scroll_;
    QScrollBar* bar = scroll_->verticalScrollBar();
    QObject::connect(bar, &QScrollBar::rangeChanged, w, [this](int, int max) {
        if (followBottom_) scroll_->verticalScrollBar()->setValue(max);
    });
    QObject::connect(bar, &QScrollBar::actionTriggered, w, [this](int) { followBottom_ = false; });

    auto* inputBar = new InputBar(w);
    input_ = new QLineEdit(inputBar);
    input_->setFrame(false);
    input_->setAutoFillBackground(false);
    QPalette inputPalette = input_->palette();
    inputPalette.setColor(QPalette::Base, Qt::transparent);
    inputPalette.setColor(QPalette::Text, Qt::black);
    input_->setPalette(inputPalette);
    input_->setFont(systemFont(14));
    input_->setPlaceholderText(QStringLiteral("Type message…"));
    inputBar->field = input_;
    w->bar = inputBar;
    QObject::connect(input_, &QLineEdit::returnPressed, w, [this] { sendTapped(); });

    sendButton_ = new SendButton(w);
    sendButton_->setAccessibleName(QStringLiteral("Send"));
    sendButton_->setFocusPolicy(Qt::NoFocus);
    sendButton_->setCursor(Qt::PointingHandCursor);
    w->send = sendButton_;
    QObject::connect(sendButton_, &QAbstractButton::clicked, w, [this] { sendTapped(); });

    w->resize(contentWidth, contentHeight);
    w->setMinimumSize(380, 460);
    w->setMaximumSize(900, 1200);
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen && !QGuiApplication::screens().isEmpty())
        screen = QGuiApplication::screens().first();
    if (screen) {
        const QRect area = screen->availableGeometry();
        w->resize(contentWidth, std::min(contentHeight, area.height() - 40));
        w->move(area.x() + (area.width() - w->width()) / 2,
                area.y() + (area.height() - w->height()) / 2);
    }
    watchVisibility();
    config_.log.info("chat window frame=" + rectNotation(w->frameGeometry()) +
                     " backdrop=" + (backdropLoaded_ ? "loaded" : "MISSING"));
}

QWidget* ChatWindow::buildHeader(QWidget* parent) {
    auto* header = new HeaderWidget(parent);
    header->setAutoFillBackground(true);
    QPalette white = header->palette();
    white.setColor(QPalette::Window, Qt::white);
    header->setPalette(white);

    const QString name = qs(config_.username);
    header->avatar = avatarLabel_ = new AvatarLabel(name.left(2).toUpper(), header);
    avatarLabel_->setFont(systemFont(15, true));

    auto* title = new ElidedLabel(title_.empty() ? name : qs(title_), header);
    title->setTextFormat(Qt::PlainText);
    title->setFont(systemFont(16, true));
    setTextColour(title, Qt::black);
    header->title = titleLabel_ = title;

    header->subtitle = subtitleLabel_ =
        plainLabel(subtitle_.empty() ? QStringLiteral("Connecting…") : qs(subtitle_),
                   systemFont(12), blackAlpha(0.5), header);
    return header;
}

void ChatWindow::watchVisibility() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
    // The native window exists from here on, unmapped: the watcher sees its
    // first mapping and every change after it.
    visibility_ = X11Visibility::watch(std::uint32_t(window_->winId()));
    if (!visibility_) config_.log.warn("chat window visibility unknown — no X connection");
}

QWidget* ChatWindow::bubble(const ChatRow& row) {
    const bool child = row.side == ChatRow::Side::Child;
    const Qt::Alignment align = child ? Qt::AlignRight : Qt::AlignLeft;

    auto* rowWidget = new RowWidget;
    auto* column = new QVBoxLayout(rowWidget);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    QLabel* name = plainLabel(qs(row.nameLine), systemFont(12, true), blackAlpha(0.7), rowWidget);
    name->setObjectName(QStringLiteral("name"));
    name->setContentsMargins(child ? 0 : 4, 0, child ? 4 : 0, 0);
    column->addWidget(name, 0, align);
    column->addSpacing(4);

    auto* bubble = new BubbleWidget(child ? teal() : QColor(Qt::white), rowWidget);
    bubble->setObjectName(QStringLiteral("bubble"));
    auto* text = new MessageText(qs(row.text), child ? Qt::white : Qt::black, bubble);
    text->setObjectName(QStringLiteral("text"));
    text->move(bubbleInsetX, bubbleInsetY);
    bubble->setFixedSize(text->width() + 2 * bubbleInsetX, text->height() + 2 * bubbleInsetY);
    rowWidget->bubble = bubble;
    column->addWidget(bubble, 0, align);
    column->addSpacing(3);

    QLabel* status = plainLabel(qs(row.statusLine), systemFont(11),
                                row.failed ? systemRed() : blackAlpha(0.55), rowWidget);
    status->setObjectName(QStringLiteral("status"));
    status->setContentsMargins(child ? 0 : 4, 0, child ? 4 : 0, 0);
    column->addWidget(status, 0, align);
    return rowWidget;
}

void ChatWindow::showRows(const std::vector<ChatRow>& rows) {
    rows_ = rows;
    // A hidden window draws nothing: its rows are made when it is opened, so
    // a chat that is never opened holds no widgets for its history.
    if (!window_ || !window_->isVisible()) return;
    drawRows();
    scrollToBottom();
}

void ChatWindow::drawRows() {
    // Rows drawn already and unchanged stay: a long conversation is not rebuilt
    // for each message that arrives at its end.
    size_t keep = 0;
    while (keep < drawn_.size() && keep < rows_.size() && drawn_[keep] == rows_[keep]) ++keep;
    if (keep == drawn_.size() && keep == rows_.size()) return;
    if (!stack_ || !stackLayout_) return;
    stack_->setUpdatesEnabled(false);
    for (size_t i = keep; i < rowWidgets_.size(); ++i) delete rowWidgets_[i].data();
    rowWidgets_.resize(keep);
    for (size_t i = keep; i < rows_.size(); ++i) {
        QWidget* widget = bubble(rows_[i]);
        stackLayout_->insertWidget(stackLayout_->count() - 1, widget);
        rowWidgets_.push_back(widget);
    }
    drawn_ = rows_;
    stack_->setUpdatesEnabled(true);
}

void ChatWindow::scrollToBottom() {
    if (!window_) return;
    followBottom_ = true;
    QPointer<QScrollArea> scroll = scroll_;
    QTimer::singleShot(0, window_, [this, scroll] {
        if (!scroll || !stackLayout_ || !followBottom_) return;
        stackLayout_->activate();
        scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
    });
}

void ChatWindow::setTitle(const std::string& title) {
    title_ = title;
    if (titleLabel_) {
        titleLabel_->setText(qs(title));
        titleLabel_->update();
    }
}

void ChatWindow::setSubtitle(const std::string& subtitle) {
    subtitle_ = subtitle;
    if (subtitleLabel_) subtitleLabel_->setText(qs(subtitle));
}

void ChatWindow::setInputText(const std::string& text) {
    if (input_) input_->setText(qs(text));
}

ChatWindowState ChatWindow::windowState() const {
    ChatWindowState state;
    if (!window_) return state;
    state.applicationActive = QGuiApplication::applicationState() == Qt::ApplicationActive;
    state.visible = window_->isVisible();
    state.miniaturised = window_->isMinimized();
    if (visibility_) {
        state.unobscured = visibility_->unobscured();
    } else {
        // Without X, exposure is all the windowing system tells.
        QWindow* handle = window_->windowHandle();
        state.unobscured = handle && handle->isExposed();
    }
    return state;
}

void ChatWindow::open() {
    if (!window_) buildWindow();
    drawRows();
    window_->setWindowState((window_->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window_->show();
    window_->raise();
    window_->activateWindow();
    scrollToBottom();
}

void ChatWindow::presentToast(const std::string& sender, const std::string& body,
                              std::function<void()> onReply) {
    toasts_.present(sender, body, std::move(onReply));
}

void ChatWindow::setSendAction(std::function<void(const std::string& input)> action) {
    sendAction_ = std::move(action);
}

void ChatWindow::sendTapped() {
    if (!input_ || !sendAction_) return;
    sendAction_(input_->text().toStdString());
}

QWidget* ChatWindow::window() const {
    return window_.data();
}
QLabel* ChatWindow::titleLabel() const {
    return titleLabel_.data();
}
QLabel* ChatWindow::subtitleLabel() const {
    return subtitleLabel_.data();
}
QLabel* ChatWindow::avatarLabel() const {
    return avatarLabel_.data();
}
QLineEdit* ChatWindow::input() const {
    return input_.data();
}
QAbstractButton* ChatWindow::sendButton() const {
    return sendButton_.data();
}
QScrollArea* ChatWindow::scrollArea() const {
    return scroll_.data();
}

std::vector<QWidget*> ChatWindow::rowWidgets() const {
    return {rowWidgets_.begin(), rowWidgets_.end()};
}

}  // namespace tarvo
