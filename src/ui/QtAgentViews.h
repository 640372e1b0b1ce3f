#pragma once

#include <functional>
#include <memory>

#include "agent/AgentViews.h"
#include "core/MainQueue.h"
#include "platform/UserSession.h"
#include "platform/Workspace.h"

namespace tarvo::ui {

class ChatStatusItem;
class TaskbarPresence;

// The agent's windows on Qt Widgets: the blocker, the time warning, the tray
// item, and the chat window made by the factory passed in. A QApplication
// (makeAgentApplication) must exist. Main thread only.
class QtAgentViews : public AgentViews {
  public:
    using ChatViewFactory = std::function<std::shared_ptr<ChatView>()>;

    QtAgentViews(MainQueue& queue, std::shared_ptr<platform::UserSession> session,
                 ChatViewFactory makeChat);
    ~QtAgentViews() override;

    void becomeMenuBarOnly() override;
    std::unique_ptr<BlockerView> makeBlocker(const std::string& childName, std::int64_t minutesUsed,
                                             MoreTimeRequest onRequestMoreTime) override;
    std::unique_ptr<TimeWarningView> makeTimeWarning() override;
    std::shared_ptr<ChatView> makeChatView() override;
    void installChatMenuItem(std::function<void()> onClick) override;

    // Regular while the blocker is up, accessory otherwise. Regular gives the
    // agent's ordinary windows a taskbar entry; accessory takes them out.
    platform::ActivationPolicy activationPolicy() const { return policy_; }
    ChatStatusItem* chatItem() const { return chatItem_.get(); }

  private:
    void setPolicy(platform::ActivationPolicy policy);

    MainQueue& queue_;
    std::shared_ptr<platform::UserSession> session_;
    ChatViewFactory makeChat_;
    std::unique_ptr<ChatStatusItem> chatItem_;
    platform::ActivationPolicy policy_ = platform::ActivationPolicy::regular;
    std::unique_ptr<TaskbarPresence> taskbar_;
};

}  // namespace tarvo::ui
