#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tarvo {

// One message as the chat window draws it: everything is decided already,
// the window only lays the row out.
struct ChatRow {
    enum class Side { Child, Parent };

    std::int64_t id = 0;
    // Child rows sit on the trailing edge in teal, parent rows on the leading edge in white.
    Side side = Side::Child;
    std::string nameLine;
    std::string text;
    // Time, then "  sending…", "  ✓✓" or "  not sent — tap send to retry".
    std::string statusLine;
    // The status line is drawn in red.
    bool failed = false;

    bool operator==(const ChatRow&) const = default;
};

// What the chat can tell about its window when deciding whether the child
// sees the conversation.
struct ChatWindowState {
    bool applicationActive = false;
    bool visible = false;
    bool miniaturised = false;
    // Not fully covered by other windows.
    bool unobscured = false;

    bool seen() const { return applicationActive && visible && !miniaturised && unobscured; }
};

// The window side of the chat. The conversation controller calls these on
// the main thread only.
class ChatView {
  public:
    virtual ~ChatView() = default;

    // Replaces every row with `rows`, in order, then scrolls to the bottom.
    virtual void showRows(const std::vector<ChatRow>& rows) = 0;
    virtual void setTitle(const std::string& title) = 0;
    // The connection line under the title.
    virtual void setSubtitle(const std::string& subtitle) = 0;
    virtual void setInputText(const std::string& text) = 0;
    virtual ChatWindowState windowState() const = 0;
    // Shows the window in front, activates the application and scrolls to the bottom.
    virtual void open() = 0;
    // Shows (or updates) the toast for a parent's message; `onReply` opens the chat.
    virtual void presentToast(const std::string& sender, const std::string& body,
                              std::function<void()> onReply) = 0;
    // What the send button and Return do with the input field's text. A view
    // without an input field keeps nothing.
    virtual void setSendAction(std::function<void(const std::string& input)> action) {
        (void)action;
    }
};

}  // namespace tarvo
