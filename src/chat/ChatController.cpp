#include "chat/ChatController.h"

#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "chat/ChatStore.h"
#include "chat/ChatVisibility.h"
#include "core/Text.h"

namespace tarvo {
namespace {

// The user's words for before and after noon ("AM", "PM" in most locales).
struct DayHalves {
    std::string am = "AM";
    std::string pm = "PM";
};

const DayHalves& dayHalves() {
    static const DayHalves halves = [] {
        DayHalves h;
        if (locale_t loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0))) {
            const char* am = nl_langinfo_l(AM_STR, loc);
            const char* pm = nl_langinfo_l(PM_STR, loc);
            // Locales without the words (a 24-hour habit) keep the English ones,
            // so "4:05" never loses whether it is morning or afternoon.
            if (am && *am && pm && *pm) {
                h.am = am;
                h.pm = pm;
            }
            freelocale(loc);
        }
        return h;
    }();
    return halves;
}

}  // namespace

ChatController::ChatController(std::shared_ptr<const ChatService> service, std::string username,
                               MainQueue& queue, Background& background,
                               std::shared_ptr<const Clock> clock,
                               std::shared_ptr<const platform::UserSession> session)
    : service_(std::move(service)),
      username_(std::move(username)),
      queue_(queue),
      background_(background),
      clock_(clock ? std::move(clock) : systemClock()),
      session_(std::move(session)),
      title_(username_) {
    messages_ = ChatStore::load();
    for (const auto& m : messages_)
        if (m.id >= 1) highestSeenId_ = std::max(highestSeenId_, m.id);
}

std::shared_ptr<ChatController> ChatController::create(
    std::shared_ptr<const ChatService> service, std::string username, MainQueue& queue,
    Background& background, std::shared_ptr<const Clock> clock,
    std::shared_ptr<const platform::UserSession> session) {
    return std::shared_ptr<ChatController>(
        new ChatController(std::move(service), std::move(username), queue, background,
                           std::move(clock), std::move(session)));
}

void ChatController::attachView(const std::shared_ptr<ChatView>& view) {
    view_ = view;
    if (!view) return;
    view->setSendAction([weak = weak_from_this()](const std::string& input) {
        if (auto self = weak.lock()) self->sendTapped(input);
    });
    view->setTitle(title_);
    view->setSubtitle(subtitle_);
    view->showRows(rows());
}

void ChatController::startPolling() {
    auto weak = weak_from_this();
    pollTimer_ = ScopedTimer(queue_, queue_.startRepeating(
                                         pollInterval,
                                         [weak] {
                                             if (auto self = weak.lock()) self->pollOnce();
                                         },
                                         Millis(0)));
}

void ChatController::startReadWatcher() {
    auto weak = weak_from_this();
    readTimer_ = ScopedTimer(queue_, queue_.startRepeating(readWatchInterval, [weak] {
        if (auto self = weak.lock()) self->checkRead();
    }));
}

void ChatController::pollOnce() {
    const std::int64_t afterId = highestSeenId_;
    MainQueue& queue = queue_;
    background_.run([weak = weak_from_this(), service = service_, afterId, &queue] {
        if (weak.expired()) return;
        try {
            auto result = service->poll(afterId);
            queue.post([weak, result = std::move(result)] {
                if (auto self = weak.lock()) self->pollSucceeded(result);
            });
        } catch (const std::exception& e) {
            const std::string description = e.what();
            service->log().warn("chat poll failed: " + description);
            queue.post([weak] {
                if (auto self = weak.lock()) self->pollFailed();
            });
            service->reportStatus(false, description);
        }
    });
}

void ChatController::pollSucceeded(const ChatService::PollResult& result) {
    applyParentNames(result.parentNames);
    setSubtitle("Last synced: just now");
    merge(result.messages);
}

void ChatController::pollFailed() {
    setSubtitle("Reconnecting…");
}

void ChatController::setSubtitle(std::string text) {
    subtitle_ = std::move(text);
    if (auto view = view_.lock()) view->setSubtitle(subtitle_);
}

std::string ChatController::titleFor(const std::vector<std::string>& parentNames,
                                     const std::string& username) {
    std::string joined;
    for (const auto& name : parentNames) {
        joined += name;
        joined += ", ";
    }
    joined += username;
    return text::replaceAll(joined, ", " + username, " & " + username);
}

void ChatController::applyParentNames(const std::vector<std::string>& names) {
    if (names.empty() || names == knownParentNames_) return;
    knownParentNames_ = names;
    title_ = titleFor(names, username_);
    if (auto view = view_.lock()) view->setTitle(title_);
    renderAll();
}

std::string ChatController::parentName(const ChatMessage& message,
                                       const std::string& fallback) const {
    if (message.senderName) return *message.senderName;
    if (!knownParentNames_.empty()) return knownParentNames_.front();
    return fallback;
}

void ChatController::merge(const std::vector<ChatMessage>& incoming) {
    std::set<std::int64_t> known;
    for (const auto& m : messages_)
        if (m.id >= 1) known.insert(m.id);
    std::vector<ChatMessage> fresh;
    for (const auto& m : incoming)
        if (m.id >= 1 && known.insert(m.id).second) fresh.push_back(m);
    if (fresh.empty()) {
        didInitialLoad_ = true;
        return;
    }

    std::vector<ChatMessage> all = messages_;
    all.insert(all.end(), fresh.begin(), fresh.end());
    messages_ = ChatStore::sortedDeduped(all);
    for (const auto& m : fresh) highestSeenId_ = std::max(highestSeenId_, m.id);
    ChatStore::save(messages_);
    renderAll();

    const ChatMessage* newestFromParent = nullptr;
    size_t fromParent = 0;
    for (const auto& m : fresh) {
        if (!m.isFromParent()) continue;
        ++fromParent;
        if (!newestFromParent || m.id > newestFromParent->id) newestFromParent = &m;
    }
    service_->log().info("chat: " + std::to_string(fresh.size()) + " new (" +
                         std::to_string(fromParent) +
                         " from parent), initialLoad=" + (didInitialLoad_ ? "true" : "false"));

    // What arrives with the first poll is history, not news: no toast for it.
    if (newestFromParent && didInitialLoad_) {
        const std::string sender = parentName(*newestFromParent, "your parent");
        service_->log().info("chat: presenting toast for message " +
                             std::to_string(newestFromParent->id));
        if (auto view = view_.lock()) {
            auto weak = weak_from_this();
            view->presentToast(sender, newestFromParent->text, [weak] {
                if (auto self = weak.lock()) self->openChat();
            });
        }
    }
    didInitialLoad_ = true;
}

void ChatController::sendTapped(const std::string& input) {
    const std::string text(text::trimUnicodeWhitespace(input));
    if (text.empty()) return;
    auto view = view_.lock();
    if (view) view->setInputText("");

    // Sending a failed message again replaces its red bubble.
    std::erase_if(messages_, [&](const ChatMessage& m) {
        if (!failedIds_.contains(m.id) || m.text != text) return false;
        failedIds_.erase(m.id);
        return true;
    });

    const std::int64_t pendingId = --pendingSeq_;
    messages_.push_back(ChatMessage{pendingId, "child", text, clock_->now(), std::nullopt});
    renderAll();

    MainQueue& queue = queue_;
    background_.run([weak = weak_from_this(), service = service_, text, pendingId, &queue] {
        if (weak.expired()) return;
        try {
            ChatMessage stored = service->send(text);
            queue.post([weak, pendingId, stored = std::move(stored)] {
                if (auto self = weak.lock()) self->sendSucceeded(pendingId, stored);
            });
        } catch (const std::exception& e) {
            service->log().warn(std::string("send failed: ") + e.what());
            queue.post([weak, pendingId, text] {
                if (auto self = weak.lock()) self->sendFailed(pendingId, text);
            });
        }
    });
}

void ChatController::sendSucceeded(std::int64_t pendingId, const ChatMessage& stored) {
    std::erase_if(messages_, [&](const ChatMessage& m) { return m.id == pendingId; });
    // A copy without a service number is not shown: the next poll brings the stored one.
    if (stored.id >= 1) {
        std::vector<ChatMessage> all = messages_;
        all.push_back(stored);
        messages_ = ChatStore::sortedDeduped(all);
        highestSeenId_ = std::max(highestSeenId_, stored.id);
    }
    ChatStore::save(messages_);
    renderAll();
}

void ChatController::sendFailed(std::int64_t pendingId, const std::string& text) {
    failedIds_.insert(pendingId);
    if (auto view = view_.lock()) view->setInputText(text);
    renderAll();
}

void ChatController::checkRead() {
    auto view = view_.lock();
    if (!view || !view->windowState().seen()) return;
    // Reading the lock state may run a system tool: off the main thread.
    MainQueue& queue = queue_;
    background_.run([weak = weak_from_this(), session = session_, &queue] {
        if (weak.expired()) return;
        if (!session || ChatVisibility::isSessionLocked(*session)) return;
        queue.post([weak] {
            if (auto self = weak.lock()) self->reportVisibleParentMessages();
        });
    });
}

void ChatController::reportVisibleParentMessages() {
    // The window may have been hidden while the lock state was read.
    auto view = view_.lock();
    if (!view || !view->windowState().seen()) return;
    std::vector<std::int64_t> ids;
    for (const auto& m : messages_)
        if (m.isFromParent() && m.id >= 1 && !reportedRead_.contains(m.id)) ids.push_back(m.id);
    if (ids.empty()) return;
    // Marked before the report: a failed report is not repeated in this run.
    reportedRead_.insert(ids.begin(), ids.end());
    background_.run([service = service_, ids = std::move(ids), readAt = clock_->now()] {
        service->markRead(ids, readAt);
    });
}

void ChatController::openChat() {
    if (auto view = view_.lock()) view->open();
}

std::vector<ChatRow> ChatController::rows() const {
    std::vector<ChatRow> out;
    out.reserve(messages_.size());
    for (const auto& m : messages_) {
        ChatRow row;
        row.id = m.id;
        row.side = m.isFromParent() ? ChatRow::Side::Parent : ChatRow::Side::Child;
        row.nameLine = row.side == ChatRow::Side::Child ? username_ : parentName(m, "Parent");
        row.text = m.text;
        row.statusLine = displayTime(m.sentAt);
        if (failedIds_.contains(m.id)) {
            row.statusLine += "  not sent — tap send to retry";
            row.failed = true;
        } else if (m.id < 1) {
            row.statusLine += "  sending…";
        } else {
            row.statusLine += "  ✓✓";
        }
        out.push_back(std::move(row));
    }
    return out;
}

void ChatController::renderAll() {
    if (auto view = view_.lock()) view->showRows(rows());
}

std::string ChatController::displayTime(const std::optional<WallTime>& sentAt) {
    if (!sentAt) return "";
    const std::time_t t = std::chrono::system_clock::to_time_t(*sentAt);
    std::tm local{};
    ::tzset();  // pick up a time zone changed since the last call
    if (!localtime_r(&t, &local)) return "";
    const int hour = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
    const auto& halves = dayHalves();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d:%02d ", hour, local.tm_min);
    return buf + (local.tm_hour < 12 ? halves.am : halves.pm);
}

}  // namespace tarvo
