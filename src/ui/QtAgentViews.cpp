#include "ui/QtAgentViews.h"

#include "core/Paths.h"
#include "core/TarvoLog.h"
#include "ui/ChatStatusItem.h"
#include "ui/FullScreenBlockerController.h"
#include "ui/TimeWarningPopup.h"

namespace tarvo::ui {

QtAgentViews::QtAgentViews(MainQueue& queue, std::shared_ptr<platform::UserSession> session,
                           ChatViewFactory makeChat)
    : queue_(queue), session_(std::move(session)), makeChat_(std::move(makeChat)) {}

QtAgentViews::~QtAgentViews() = default;

void QtAgentViews::becomeMenuBarOnly() { policy_ = platform::ActivationPolicy::accessory; }

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
        policy_ = regular ? platform::ActivationPolicy::regular
                          : platform::ActivationPolicy::accessory;
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
