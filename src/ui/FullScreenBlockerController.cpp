#include "ui/FullScreenBlockerController.h"

#include <QApplication>

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>

#include <QtGui/qguiapplication_platform.h>

#include "core/Paths.h"
#include "core/TarvoLog.h"
#include "platform/x11/X11WindowState.h"
#include "ui/MoreTimeRequestPopup.h"
#include "ui/UiStyle.h"

namespace tarvo::ui {

namespace {

constexpr int kStackSpacing = 24;
constexpr int kButtonSpacing = 20;
constexpr int kUsedLineMaxWidth = 700;
constexpr int kButtonMinWidth = 220;
constexpr int kButtonHeight = 56;
constexpr int kButtonPadding = 16;  // each side of the title

QLabel* makeLabel(const QString& text, const QFont& font, const QColor& colour, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// The same parent for both dialogs: above the blocker windows, modal for the whole application.
void raiseAboveBlocker(QWidget* dialog) {
    dialog->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    dialog->setWindowModality(Qt::ApplicationModal);
}

}  // namespace

// --- BlockerWindow --------------------------------------------------------------

BlockerWindow::BlockerWindow(QScreen* screen, bool isPrimary)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      screen_(screen),
      primary_(isPrimary) {
    setWindowTitle(QStringLiteral("Tarvo"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAttribute(Qt::WA_OpaquePaintEvent, true);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setScreen(screen);
    const QRect area = screen->geometry();
    setFixedSize(area.size());
    move(area.topLeft());
}

void BlockerWindow::pin() {
    if (closing_ || !screen_) return;
    if (windowState() & Qt::WindowMinimized) setWindowState(windowState() & ~Qt::WindowMinimized);
    if (!isVisible()) show();
    const QRect area = screen_->geometry();
    if (size() != area.size()) setFixedSize(area.size());
    if (pos() != area.topLeft()) move(area.topLeft());
    raise();
}

void BlockerWindow::takeDown() {
    closing_ = true;
    hide();
    deleteLater();
}

void BlockerWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), rgb(0.03, 0.05, 0.10));
    // From the top-left corner to the bottom-right one, across the window's
    // own box (the diagonal of a wide screen, not a 45-degree line).
    QLinearGradient gradient(0, 0, 1, 1);
    gradient.setCoordinateMode(QGradient::ObjectMode);
    gradient.setColorAt(0, rgb(0.05, 0.07, 0.13));
    gradient.setColorAt(1, rgb(0.02, 0.03, 0.06));
    painter.fillRect(rect(), gradient);
}

void BlockerWindow::closeEvent(QCloseEvent* event) {
    // Alt+F4, the window menu and every other close request from outside.
    if (closing_)
        event->accept();
    else
        event->ignore();
}

void BlockerWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void BlockerWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    // Dragged (Alt+drag) or moved by a tool: straight back over the screen.
    if (!closing_ && screen_ && isVisible() && pos() != screen_->geometry().topLeft())
        move(screen_->geometry().topLeft());
}

void BlockerWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized))
        QTimer::singleShot(0, this, [this] { pin(); });
}

// --- FullScreenBlockerController -----------------------------------------------

FullScreenBlockerController::FullScreenBlockerController(MainQueue& queue, std::string childName,
                                                         std::int64_t minutesUsed, Actions actions)
    : queue_(queue),
      childName_(std::move(childName)),
      minutesUsed_(minutesUsed),
      actions_(std::move(actions)) {
    // A monitor plugged in while the blocker is up is covered too; one unplugged takes its
    // window with it.
    connect(qApp, &QGuiApplication::screenAdded, this, &FullScreenBlockerController::screenAdded);
    connect(qApp, &QGuiApplication::screenRemoved, this,
            &FullScreenBlockerController::screenRemoved);
    // The focus comes back from a closed popup: its grab ended, the blocker's is taken again.
    connect(qApp, &QApplication::focusChanged, this, [this] { takeInput(); });
    // A window manager that shows a secondary window again may give it the keyboard: straight
    // back to the primary window, the one with the buttons.
    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* focused) {
        if (windows_.size() < 2 || !focused || QApplication::activeModalWidget()) return;
        for (auto it = windows_.begin() + 1; it != windows_.end(); ++it)
            if ((*it)->windowHandle() == focused) return activatePrimary();
    });
}

FullScreenBlockerController::~FullScreenBlockerController() {
    pinTimer_.reset();
    for (auto* w : windows_) w->takeDown();
    windows_.clear();
    showCursor();
}

QString FullScreenBlockerController::headline(const std::string& childName) {
    return QStringLiteral("Time's up, ") + QString::fromStdString(childName) + QStringLiteral(".");
}

QString FullScreenBlockerController::usedLine(std::int64_t minutesUsed) {
    return QStringLiteral("You've used ") + QString::number(minutesUsed) +
           QStringLiteral(" minutes today. Your parent can grant more time.");
}

std::vector<QScreen*> FullScreenBlockerController::screensInOrder() {
    std::vector<QScreen*> screens;
    QScreen* primary = QGuiApplication::primaryScreen();
    if (primary) screens.push_back(primary);
    for (QScreen* s : QGuiApplication::screens())
        if (s != primary) screens.push_back(s);
    return screens;
}

void FullScreenBlockerController::show() {
    dismiss();
    if (actions_.setRegularPolicy) actions_.setRegularPolicy(true);
    const auto screens = screensInOrder();
    for (size_t i = 0; i < screens.size(); ++i) {
        auto* window = new BlockerWindow(screens[i], i == 0);
        if (window->isPrimary()) makeContentView(window);
        // Only the primary window takes the keyboard: the buttons are there.
        window->setAttribute(Qt::WA_ShowWithoutActivating, !window->isPrimary());
        window->show();
        window->raise();
        windows_.push_back(window);
    }
    if (!windows_.empty()) {
        windows_.front()->activateWindow();
        // Each time the primary window is exposed (first shown, mapped again after something
        // unmapped it) the windows go on every desktop and the keyboard and the pointer are
        // taken, at once rather than at the next pin.
        if (QWindow* handle = windows_.front()->windowHandle()) handle->installEventFilter(this);
    }
    // Hidden until the mouse moves.
    if (!cursorHidden_) {
        QGuiApplication::setOverrideCursor(Qt::BlankCursor);
        qApp->installEventFilter(this);
        cursorHidden_ = true;
    }
    pinTimer_ = ScopedTimer(queue_, queue_.startRepeating(kPinInterval, [this] { pinAll(); }));
}

void FullScreenBlockerController::screenAdded(QScreen* screen) {
    if (windows_.empty()) return;
    auto* window = new BlockerWindow(screen, false);
    window->setAttribute(Qt::WA_ShowWithoutActivating, true);
    window->show();
    window->raise();
    windows_.push_back(window);
    holdInput();
}

void FullScreenBlockerController::screenRemoved(QScreen* screen) {
    const auto it = std::find_if(windows_.begin(), windows_.end(), [screen](BlockerWindow* w) {
        return w->targetScreen() == screen;
    });
    if (it == windows_.end()) return;
    // The texts and buttons go to the screen that is primary once this one is gone.
    if (it == windows_.begin()) {
        QTimer::singleShot(0, this, [this] {
            if (!windows_.empty()) show();
        });
        return;
    }
    (*it)->takeDown();
    windows_.erase(it);
}

void FullScreenBlockerController::dismiss() {
    pinTimer_.reset();
    // The keyboard and the pointer go back with the windows (the server ends a grab when
    // its window is unmapped).
    for (auto* w : windows_) w->takeDown();
    windows_.clear();
    showCursor();
    if (actions_.setRegularPolicy) actions_.setRegularPolicy(false);
}

void FullScreenBlockerController::pinAll() {
    for (auto* w : windows_) w->pin();
    // An open dialog of ours stays above the windows it belongs to: raised straight after
    // them, before any round trip to the X server lets them be drawn over it.
    if (QWidget* modal = QApplication::activeModalWidget()) {
        // Minimised, it would leave the child in front of buttons that do nothing.
        if (modal->isMinimized()) modal->showNormal();
        modal->raise();
    }
    holdInput();
}

void FullScreenBlockerController::takeInput() {
    // Keys and clicks meant for any other program come to the blocker. A popup of an open
    // dialog (the list of minutes) holds them itself and lets go of both when it closes.
    if (windows_.empty() || QApplication::activePopupWidget()) return;
    if (auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>())
        platform::grabInput(x11->display(), windows_.front()->winId());
}

void FullScreenBlockerController::holdInput() {
    if (windows_.empty()) return;
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11) {
        // What the X server has, not what Qt believes: another program may have unmapped a
        // window, moved it to one desktop or put its own window over it.
        std::vector<unsigned long> own;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->internalWinId() && !qobject_cast<BlockerWindow*>(w))
                own.push_back(w->internalWinId());
        for (auto* w : windows_) {
            const std::string repaired = platform::holdCover(x11->display(), w->winId(), own);
            if (!repaired.empty())
                TarvoLog("agent", Paths::agentLog()).info("blocker window " + repaired);
        }
        takeInput();
    }
    // The keyboard comes back to the primary window (the buttons) from any other window, so
    // nothing typed reaches a window hidden behind it. With a dialog of ours open the window
    // manager hands it on to the dialog, the window's modal child.
    activatePrimary();
}

void FullScreenBlockerController::activatePrimary() {
    if (windows_.empty()) return;
    // While a dialog of ours is up the keyboard is the dialog's, whatever the window manager
    // does with a window's modal child: the blocker never takes it from the dialog.
    QWidget* target = QApplication::activeModalWidget();
    if (!target) target = windows_.front();
    if (auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>()) {
        // The server's focus, not Qt's: Qt learns of a loss only after a delay.
        if (!platform::hasInputFocus(x11->display(), target->winId()))
            platform::activateLikeAPager(x11->display(), target->winId());
    } else if (QApplication::activeWindow() != target) {
        target->activateWindow();
    }
}

bool FullScreenBlockerController::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove) showCursor();
    if (event->type() == QEvent::Expose && !windows_.empty() &&
        watched == windows_.front()->windowHandle() &&
        windows_.front()->windowHandle()->isExposed())
        QTimer::singleShot(0, this, [this] { holdInput(); });
    return QObject::eventFilter(watched, event);
}

void FullScreenBlockerController::showCursor() {
    if (!cursorHidden_) return;
    cursorHidden_ = false;
    qApp->removeEventFilter(this);
    QGuiApplication::restoreOverrideCursor();
}

QWidget* FullScreenBlockerController::makeContentView(BlockerWindow* window) {
    auto* grid = new QGridLayout(window);
    grid->setContentsMargins(0, 0, 0, 0);
    auto* stack = new QWidget(window);
    stack->setObjectName(QStringLiteral("blockerStack"));
    auto* column = new QVBoxLayout(stack);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(kStackSpacing);

    auto* brand =
        makeLabel(QStringLiteral("Tarvo"), systemFont(64, QFont::ExtraLight), Qt::white, stack);
    brand->setObjectName(QStringLiteral("brand"));
    auto* title =
        makeLabel(headline(childName_), systemFont(32, QFont::DemiBold), Qt::white, stack);
    title->setObjectName(QStringLiteral("headline"));
    auto* used =
        makeLabel(usedLine(minutesUsed_), systemFont(18, QFont::Normal), grey(0.85), stack);
    used->setObjectName(QStringLiteral("usedLine"));
    used->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    used->setWordWrap(true);
    // As wide as the text, wrapping at 700.
    const int natural = QFontMetrics(used->font()).horizontalAdvance(used->text()) + 2;
    used->setFixedWidth(std::min(natural, kUsedLineMaxWidth));

    auto* buttons = new QWidget(stack);
    buttons->setObjectName(QStringLiteral("buttons"));
    auto* row = new QHBoxLayout(buttons);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(kButtonSpacing);
    // The system teal of the light appearance.
    QPushButton* more = makeButton(QStringLiteral("Request more time"), QColor(48, 176, 199),
                                   &FullScreenBlockerController::requestMoreTime);
    row->addWidget(more);
    row->addWidget(makeButton(QStringLiteral("Log out"), rgb(0.75, 0.25, 0.20),
                              &FullScreenBlockerController::logOut));

    for (QWidget* item : {static_cast<QWidget*>(brand), static_cast<QWidget*>(title),
                          static_cast<QWidget*>(used), buttons})
        column->addWidget(item, 0, Qt::AlignHCenter);
    grid->addWidget(stack, 0, 0, Qt::AlignCenter);
    // The keyboard starts on asking for time (Space or Return presses it).
    more->setFocus();
    return stack;
}

QPushButton* FullScreenBlockerController::makeButton(
    const QString& title, const QColor& bg, void (FullScreenBlockerController::*action)()) {
    auto* button = new QPushButton(title);
    const QFont font = systemFont(18, QFont::DemiBold);
    button->setFont(font);
    button->setStyleSheet(
        QStringLiteral("QPushButton { background-color: %1; color: white;"
                       " border: none; border-radius: 12px; padding: 0 %2px; }"
                       "QPushButton:pressed { background-color: %3; }"
                       "QPushButton:focus { border: 2px solid rgba(255, 255, 255, 0.7); }")
            .arg(bg.name())
            .arg(kButtonPadding)
            .arg(bg.darker(115).name()));
    const int natural = QFontMetrics(font).horizontalAdvance(title) + 2 * kButtonPadding;
    button->setFixedSize(std::max(kButtonMinWidth, natural), kButtonHeight);
    button->setFocusPolicy(Qt::TabFocus);
    connect(button, &QPushButton::clicked, this, action);
    return button;
}

void FullScreenBlockerController::requestMoreTime() {
    QWidget* on = windows_.empty() ? nullptr : windows_.front();
    QPointer<FullScreenBlockerController> self(this);
    MoreTimeRequestPopup::present(on, [self](std::int64_t minutes) {
        // The blocker may have been dismissed while the dialog was open.
        if (self && self->actions_.onRequestMoreTime) self->actions_.onRequestMoreTime(minutes);
    });
}

void FullScreenBlockerController::logOut() {
    QWidget* on = windows_.empty() ? nullptr : windows_.front();
    auto* box = new QMessageBox(on);
    box->setObjectName(QStringLiteral("logOutConfirmation"));
    box->setWindowTitle(QStringLiteral("Tarvo"));
    box->setText(QStringLiteral("Log out now?"));
    box->setInformativeText(QStringLiteral("You'll need to sign in again to use the computer."));
    QPushButton* logOutButton = box->addButton(QStringLiteral("Log out"), QMessageBox::AcceptRole);
    box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(logOutButton);
    box->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    raiseAboveBlocker(box);
    // No nested event loop: the answer comes with the finished signal. A child of the
    // blocker's window, the box goes with it, and nothing is asked.
    box->setAttribute(Qt::WA_DeleteOnClose, true);
    QPointer<FullScreenBlockerController> self(this);
    connect(box, &QMessageBox::finished, box, [self, box, logOutButton] {
        if (box->clickedButton() == logOutButton && self && self->actions_.onLogOut)
            self->actions_.onLogOut();
    });
    box->show();
}

}  // namespace tarvo::ui
