#pragma once

#include <QPointer>
#include <QScreen>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "agent/AgentViews.h"
#include "core/MainQueue.h"

class QPushButton;

namespace tarvo::ui {

// One blocker window: frameless, above ordinary windows, over one screen's
// whole geometry (panels included). It ignores the window manager's close
// requests (Alt+F4), Escape and moves; only its controller takes it down.
class BlockerWindow : public QWidget {
    Q_OBJECT
  public:
    BlockerWindow(QScreen* screen, bool isPrimary);

    QScreen* targetScreen() const { return screen_; }
    bool isPrimary() const { return primary_; }
    // Puts the window back over its screen, in front, and restores it when
    // something minimised or hid it.
    void pin();
    // The only way the window closes.
    void takeDown();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    QPointer<QScreen> screen_;
    bool primary_;
    bool closing_ = false;
};

// Covers every screen when the child's time is up or the time lies outside
// the permitted usage windows. The first screen (the primary one) shows the
// child's name, the minutes used and two buttons: one asks the parent for
// more time, the other logs out. The windows are raised again every 2 s.
// Main thread only.
class FullScreenBlockerController : public QObject, public BlockerView {
    Q_OBJECT
  public:
    struct Actions {
        // The minutes the child chose in the more-time dialog.
        AgentViews::MoreTimeRequest onRequestMoreTime;
        // The child confirmed "Log out".
        std::function<void()> onLogOut;
        // Regular (a taskbar entry) while shown, accessory after.
        std::function<void(bool regular)> setRegularPolicy;
    };

    static constexpr std::chrono::milliseconds kPinInterval{2000};

    FullScreenBlockerController(MainQueue& queue, std::string childName, std::int64_t minutesUsed,
                                Actions actions);
    ~FullScreenBlockerController() override;

    void show() override;
    void dismiss() override;

    // The blocker windows, one per screen in screen order; empty while not shown.
    const std::vector<BlockerWindow*>& windows() const { return windows_; }
    bool pinning() const { return pinTimer_.active(); }

    // The screens in the order the blocker covers them: the primary screen
    // first, then the others as the system lists them.
    static std::vector<QScreen*> screensInOrder();

    // The texts of the primary screen.
    static QString headline(const std::string& childName);
    static QString usedLine(std::int64_t minutesUsed);

  private:
    QWidget* makeContentView(BlockerWindow* window);
    QPushButton* makeButton(const QString& title, const QColor& bg,
                            void (FullScreenBlockerController::*action)());
    void requestMoreTime();
    void logOut();
    void pinAll();
    void screenAdded(QScreen* screen);
    void screenRemoved(QScreen* screen);
    // Puts the windows back as the X server has them and takes the keyboard and the pointer.
    void holdInput();
    // Takes the keyboard and the pointer (X11) unless a popup of ours holds them.
    void takeInput();
    // Gives the keyboard to the primary window unless it has it, or to our open dialog.
    void activatePrimary();
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showCursor();

    MainQueue& queue_;
    std::string childName_;
    std::int64_t minutesUsed_;
    Actions actions_;
    std::vector<BlockerWindow*> windows_;
    ScopedTimer pinTimer_;
    bool cursorHidden_ = false;
};

}  // namespace tarvo::ui
