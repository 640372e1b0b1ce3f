#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "chat/ChatMessage.h"
#include "chat/ChatService.h"
#include "chat/ChatView.h"
#include "core/Background.h"
#include "core/Clock.h"
#include "core/MainQueue.h"
#include "platform/UserSession.h"

namespace tarvo {

// The conversation behind the chat window: the history, polling and merging,
// sending with optimistic display and retry, the parents' names in the title,
// read receipts and the toast decision. Every member is used on the main
// queue only; network calls and tool runs go to the Background and their
// results come back to the main queue, holding the controller weakly.
class ChatController : public std::enable_shared_from_this<ChatController> {
  public:
    static constexpr Millis pollInterval{30000};
    static constexpr Millis readWatchInterval{2000};

    // Loads the stored history. `queue` must outlive every task handed to
    // `background` (it is the role's main loop).
    static std::shared_ptr<ChatController> create(
        std::shared_ptr<const ChatService> service, std::string username, MainQueue& queue,
        Background& background, std::shared_ptr<const Clock> clock,
        std::shared_ptr<const platform::UserSession> session);

    // The view is held weakly; attaching hands it the send action and shows the
    // title, connection line and rows.
    void attachView(const std::shared_ptr<ChatView>& view);

    // The 30-second poll (first at once) and the 2-second read watcher.
    void startPolling();
    void startReadWatcher();

    // One poll for the messages after highestSeenId.
    void pollOnce();
    // The send button or Return, with the input field's text.
    void sendTapped(const std::string& input);
    // One firing of the read watcher.
    void checkRead();
    // The menu-bar item and the toast's reply.
    void openChat();

    // The rows the window draws, in display order.
    std::vector<ChatRow> rows() const;

    // "4:05 PM" in the local time zone with the user's AM/PM words; empty for none.
    static std::string displayTime(const std::optional<WallTime>& sentAt);
    // The parents' names then the child's, "Mum, Dad & emma".
    static std::string titleFor(const std::vector<std::string>& parentNames,
                                const std::string& username);

    const std::vector<ChatMessage>& messages() const { return messages_; }
    std::int64_t highestSeenId() const { return highestSeenId_; }
    bool didInitialLoad() const { return didInitialLoad_; }
    std::int64_t pendingSeq() const { return pendingSeq_; }
    const std::set<std::int64_t>& reportedRead() const { return reportedRead_; }
    const std::vector<std::string>& knownParentNames() const { return knownParentNames_; }
    const std::set<std::int64_t>& failedIds() const { return failedIds_; }
    const std::string& title() const { return title_; }
    const std::string& subtitle() const { return subtitle_; }
    const std::string& username() const { return username_; }

  private:
    ChatController(std::shared_ptr<const ChatService> service, std::string username,
                   MainQueue& queue, Background& background, std::shared_ptr<const Clock> clock,
                   std::shared_ptr<const platform::UserSession> session);

    void pollSucceeded(const ChatService::PollResult& result);
    void pollFailed();
    void applyParentNames(const std::vector<std::string>& names);
    void merge(const std::vector<ChatMessage>& incoming);
    void sendSucceeded(std::int64_t pendingId, const ChatMessage& stored);
    void sendFailed(std::int64_t pendingId, const std::string& text);
    void reportVisibleParentMessages();
    void renderAll();
    void setSubtitle(std::string text);
    std::string parentName(const ChatMessage& message, const std::string& fallback) const;

    std::shared_ptr<const ChatService> service_;
    std::string username_;
    MainQueue& queue_;
    Background& background_;
    std::shared_ptr<const Clock> clock_;
    std::shared_ptr<const platform::UserSession> session_;
    std::weak_ptr<ChatView> view_;

    std::vector<ChatMessage> messages_;
    std::int64_t highestSeenId_ = 0;
    bool didInitialLoad_ = false;
    std::int64_t pendingSeq_ = 0;
    std::set<std::int64_t> reportedRead_;
    std::vector<std::string> knownParentNames_;
    std::set<std::int64_t> failedIds_;
    std::string title_;
    std::string subtitle_ = "Connecting…";
    ScopedTimer pollTimer_;
    ScopedTimer readTimer_;
};

}  // namespace tarvo
