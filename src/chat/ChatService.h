#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "chat/ChatMessage.h"
#include "core/Clock.h"
#include "core/TarvoLog.h"
#include "net/Http.h"

namespace tarvo {

// The service answered a chat request with a status outside 200–299.
// what() is "HTTP <status>: <message>".
class ChatError : public std::runtime_error {
  public:
    ChatError(long status, std::string message);
    long status() const { return status_; }
    const std::string& message() const { return message_; }

  private:
    long status_;
    std::string message_;
};

// Chat requests fail when no byte moves for `idle`, and when the whole
// request takes longer than `total`.
struct ChatTimeouts {
    std::chrono::milliseconds idle{30000};
    std::chrono::milliseconds total{60000};
};

// The chat's client for the service: send, poll, read receipts and health
// reports. It keeps nothing but its configuration, so calls may run on any
// thread at once; each call blocks, so callers run it on a Background.
// Requests never go through a proxy (the system proxy is our own filter).
class ChatService {
  public:
    struct PollResult {
        std::vector<ChatMessage> messages;
        std::vector<std::string> parentNames;
    };

    using Timeouts = ChatTimeouts;

    // `log` defaults to category "chat" in the agent's log file.
    ChatService(std::string api, std::string deviceId, std::string username,
                std::optional<TarvoLog> log = std::nullopt,
                std::shared_ptr<const Clock> clock = nullptr, Timeouts timeouts = {});

    // Sends `text`; the stored copy the service returns, or a local copy (id 0)
    // when the answer holds none. Throws net::TransportError and ChatError.
    ChatMessage send(const std::string& text) const;
    // Messages after `afterId` and the parents' names. Throws like send().
    PollResult poll(std::int64_t afterId) const;
    // Reports the positive ids as read at `readAt`; true when the service took
    // them or nothing was left to send. Never throws.
    bool markRead(const std::vector<std::int64_t>& ids, WallTime readAt) const;
    // Tells the service how the chat client fares. Never throws; the answer is ignored.
    void reportStatus(bool lastPollOK, const std::optional<std::string>& lastError) const;

    const std::string& api() const { return api_; }
    const std::string& deviceId() const { return deviceId_; }
    const std::string& username() const { return username_; }
    const TarvoLog& log() const { return log_; }

    // ISO 8601 with a zone (with or without a fraction), else the zone-less
    // forms "2025-03-01T17:04:05.123456", "2025-03-01T17:04:05" and
    // "2025-03-01 17:04:05" read as UTC; none for anything else.
    static std::optional<WallTime> parseTimestamp(std::string_view text);
    // Messages from a response body in any of the shapes the service uses;
    // empty for anything unrecognised.
    static std::vector<ChatMessage> parseMessages(std::string_view body);
    // Parents' names from a poll response; empty for anything unrecognised.
    static std::vector<std::string> parseParentNames(std::string_view body);
    // Throws ChatError for an HTTP status outside 200–299, carrying `label`
    // and at most the first 300 characters of the body.
    static void check(const net::Response& response, std::string_view label);

  private:
    net::Response post(std::string_view endpoint, const json::Json& body) const;
    net::Request request(std::string_view endpoint) const;

    TarvoLog log_;
    std::string api_;
    std::string deviceId_;
    std::string username_;
    std::shared_ptr<const Clock> clock_;
    Timeouts timeouts_;
};

}  // namespace tarvo
