#include "ui/QtAgentViews.h"

#include <QtGui/qguiapplication_platform.h>
#include <QApplication>
#include <QEvent>
#include <QWidget>

#include "core/Paths.h"
#include "core/TarvoLog.h"
#include "platform/x11/X11WindowState.h"
#include "ui/ChatStatusItem.h"
#include "ui/FullScreenBlockerController.h"
#include "ui/TimeWarningPopup.h"

namespace tarvo::ui {

// The activation policy as a person sees it on X11: while accessory, none of
// the agent's ordinary windows has a taskbar entry, including windows shown
// later (the chat window); while regular, they have one.
class TaskbarPresence : public QObject {
  public:
    TaskbarPresence() { qApp->installEventFilter(this); }
    ~TaskbarPresence() override { qApp->removeEventFilter(this); }

    void apply(bool inTaskbar) {
        inTaskbar_ = inTaskbar;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible()) update(w);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // Show arrives before the window is mapped, while its state is still ours to set.
        if (event->type() == QEvent::Show && watched->isWidgetType())
            update(static_cast<QWidget*>(watched));
        return false;
    }

  private:
    void update(QWidget* w) {
        if (!w->isWindow() || w->windowType() != Qt::Window) return;
        auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
        if (!x11) return;  // no X11 (offscreen): nothing to show or hide
        platform::setSkipTaskbar(x11->display(), w->winId(), !inTaskbar_);
    }

    bool inTaskbar_ = true;
};

QtAgentViews::QtAgentViews(MainQueue& queue, std::shared_ptr<platform::UserSession> session,
                           ChatViewFactory makeChat)
    : queue_(queue),
      session_(std::move(session)),
      makeChat_(std::move(makeChat)),
      taskbar_(std::make_unique<TaskbarPresence>()) {}

QtAgentViews::~QtAgentViews() = default;

void QtAgentViews::setPolicy(platform::ActivationPolicy policy) {
    policy_ = policy;
    taskbar_->apply(policy == platform::ActivationPolicy::regular);
}

void QtAgentViews::becomeMenuBarOnly() {
    setPolicy(platform::ActivationPolicy::accessory);
}

std::unique_ptr<BlockerView> QtAgentViews::makeBlocker(const std::string& childName,
                                                       std::int64_t minutesUsed,
                                                       MoreTimeRequest onRequestMoreTime) {
    FullScreenBlockerController::Actions actions;
    actions.onRequestMoreTime = std::move(onRequestMoreTime);
    actions.onLogOut = [session = session_] {
        if (session && !session->logOut())
            TarvoLog("agent", Paths::agentLog()).warn("log out request failed");
    };
    actions.setRegularPolicy = [this](bool regular) {
        setPolicy(regular ? platform::ActivationPolicy::regular
                          : platform::ActivationPolicy::accessory);
    };
    return std::make_unique<FullScreenBlockerController>(queue_, childName, minutesUsed,
                                                         std::move(actions));
}

std::unique_ptr<TimeWarningView> QtAgentViews::makeTimeWarning() {
    return std::make_unique<TimeWarningPopup>(queue_);
}

std::shared_ptr<ChatView> QtAgentViews::makeChatView() {
    return makeChat_ ? makeChat_() : nullptr;
}

void QtAgentViews::installChatMenuItem(std::function<void()> onClick) {
    chatItem_ = std::make_unique<ChatStatusItem>(std::move(onClick));
}

}  // namespace tarvo::ui
