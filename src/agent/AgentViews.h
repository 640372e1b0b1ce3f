#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "chat/ChatView.h"

namespace tarvo {

// The full-screen blocker over every display. The agent keeps at most one and
// builds a new one only when none exists. Main thread only.
class BlockerView {
  public:
    virtual ~BlockerView() = default;
    // Covers every screen; showing again rebuilds the windows.
    virtual void show() = 0;
    // Takes every window down; safe when not shown.
    virtual void dismiss() = 0;
};

// The small "minutes left" card in the corner of the main screen. The agent
// creates one on the first warning and reuses it. Main thread only.
class TimeWarningView {
  public:
    virtual ~TimeWarningView() = default;
    // Replaces any card on screen with one saying `minutesRemaining`.
    virtual void show(std::int64_t minutesRemaining) = 0;
    // Takes the card down at once (shutdown); safe when none is shown.
    virtual void close() = 0;
};

// Everything the child sees of the agent, built by the role's windowing layer
// (Qt in the product, recording fakes in tests). Every call arrives on the
// main thread.
class AgentViews {
  public:
    // Called by the blocker with the minutes the child chose to ask for.
    using MoreTimeRequest = std::function<void(std::int64_t minutes)>;

    virtual ~AgentViews() = default;

    // No Dock icon: the agent lives in the menu bar only.
    virtual void becomeMenuBarOnly() = 0;
    // A blocker greeting `childName`, saying `minutesUsed` minutes were used
    // today, that calls `onRequestMoreTime` when the child asks for time.
    virtual std::unique_ptr<BlockerView> makeBlocker(const std::string& childName,
                                                     std::int64_t minutesUsed,
                                                     MoreTimeRequest onRequestMoreTime) = 0;
    virtual std::unique_ptr<TimeWarningView> makeTimeWarning() = 0;
    // The chat window the conversation controller draws into.
    virtual std::shared_ptr<ChatView> makeChatView() = 0;
    // The menu-bar chat button ("Chat with parent"); `onClick` opens the chat.
    virtual void installChatMenuItem(std::function<void()> onClick) = 0;
};

}  // namespace tarvo
