#include "chat/ChatService.h"

#include "core/Paths.h"
#include "core/Text.h"
#include "core/Version.h"

namespace tarvo {
namespace {

constexpr size_t kBodyCharacters = 300;

// Forms without a zone, read as UTC: "2025-03-01T17:04:05(.ffffff)" and
// "2025-03-01 17:04:05(.ffffff)".
std::optional<WallTime> parseZoneless(std::string_view text) {
    if (text.size() < 19 || (text[10] != 'T' && text[10] != ' ')) return std::nullopt;
    std::string withZone(text);
    withZone[10] = 'T';
    // A string that carried a zone already parsed (or is malformed): adding
    // "Z" then makes it invalid, so only zone-less text gets through here.
    withZone += 'Z';
    return parseIsoUtc(withZone);
}

std::string compact(const json::Json& body) {
    // Text the user typed may hold ill-formed UTF-8: replace it rather than fail.
    return body.dump(-1, ' ', false, json::Json::error_handler_t::replace);
}

}  // namespace

ChatError::ChatError(long status, std::string message)
    : std::runtime_error("HTTP " + std::to_string(status) + ": " + message),
      status_(status),
      message_(std::move(message)) {}

ChatService::ChatService(std::string api, std::string deviceId, std::string username,
                         std::optional<TarvoLog> log, std::shared_ptr<const Clock> clock,
                         Timeouts timeouts)
    : log_(log ? std::move(*log) : TarvoLog("chat", Paths::agentLog())),
      api_(std::move(api)),
      deviceId_(std::move(deviceId)),
      username_(std::move(username)),
      clock_(clock ? std::move(clock) : systemClock()),
      timeouts_(timeouts) {}

net::Request ChatService::request(std::string_view endpoint) const {
    net::Request r;
    r.url = net::appendPath(api_, endpoint);
    r.idleTimeout = timeouts_.idle;
    r.totalTimeout = timeouts_.total;
    return r;
}

net::Response ChatService::post(std::string_view endpoint, const json::Json& body) const {
    net::Request r = request(endpoint);
    r.method = "POST";
    r.headers.emplace_back("Content-Type", "application/json");
    r.body = compact(body);
    return net::perform(r);
}

ChatMessage ChatService::send(const std::string& text) const {
    const json::Json body = {{"deviceId", deviceId_}, {"username", username_}, {"message", text}};
    const net::Response response = post("api/SendChildChatMessage", body);
    check(response, "SendChildChatMessage");
    auto messages = parseMessages(response.body);
    if (!messages.empty()) return std::move(messages.front());
    // The service took the message but echoed no copy: show ours until the
    // next poll brings the stored one.
    ChatMessage local;
    local.id = 0;
    local.from = "child";
    local.text = text;
    local.sentAt = clock_->now();
    return local;
}

ChatService::PollResult ChatService::poll(std::int64_t afterId) const {
    net::Request r = request("api/GetChildChatMessages");
    r.url = net::withQuery(r.url, {{"deviceId", deviceId_},
                                   {"username", username_},
                                   {"afterId", std::to_string(afterId)},
                                   {"markRead", "false"}});
    const net::Response response = net::perform(r);
    check(response, "GetChildChatMessages");
    return {parseMessages(response.body), parseParentNames(response.body)};
}

bool ChatService::markRead(const std::vector<std::int64_t>& ids, WallTime readAt) const {
    std::vector<std::int64_t> positive;
    for (auto id : ids)
        if (id >= 1) positive.push_back(id);
    if (positive.empty()) return true;
    const json::Json body = {{"deviceId", deviceId_},
                             {"username", username_},
                             {"role", "child"},
                             {"messageIds", positive},
                             {"readAtUtc", formatIsoUtcMillis(readAt)}};
    net::Response response;
    try {
        response = post("api/MarkChatMessagesRead", body);
    } catch (const std::exception& e) {
        log_.warn(std::string("MarkChatMessagesRead failed: ") + e.what());
        return false;
    }
    if (response.status >= 200 && response.status <= 299) {
        log_.debug("reported read for " + std::to_string(positive.size()) + " message(s)");
        return true;
    }
    log_.warn("MarkChatMessagesRead HTTP " + std::to_string(response.status));
    return false;
}

void ChatService::reportStatus(bool lastPollOK, const std::optional<std::string>& lastError) const {
    try {
        json::Json body = {{"deviceId", deviceId_},
                           {"username", username_},
                           {"os", "macos"},
                           {"version", appVersion},
                           {"pollOk", lastPollOK}};
        if (lastError) body["lastError"] = *lastError;
        post("api/ReportChatClientStatus", body);
    } catch (...) {
        // A health report that does not arrive changes nothing.
    }
}

std::optional<WallTime> ChatService::parseTimestamp(std::string_view text) {
    if (auto t = parseIsoUtc(text)) return t;
    return parseZoneless(text);
}

std::vector<ChatMessage> ChatService::parseMessages(std::string_view body) {
    auto parsed = json::parse(body);
    if (!parsed) return {};
    if (auto all = decodeMessageArray(*parsed)) return std::move(*all);
    if (!parsed->is_object()) return {};
    for (std::string_view key : {"messages", "Messages"}) {
        if (const json::Json* v = json::find(*parsed, key))
            if (auto list = decodeMessageArray(*v)) return std::move(*list);
    }
    for (std::string_view key : {"chatMessage", "ChatMessage", "message", "Message"}) {
        if (const json::Json* v = json::find(*parsed, key))
            if (auto one = ChatMessage::fromJson(*v)) return {std::move(*one)};
    }
    return {};
}

std::vector<std::string> ChatService::parseParentNames(std::string_view body) {
    auto parsed = json::parse(body);
    if (!parsed || !parsed->is_object()) return {};
    const json::Json* parents = json::find(*parsed, "parents");
    if (!parents) parents = json::find(*parsed, "Parents");
    if (!parents || !parents->is_array()) return {};
    for (const auto& p : *parents)
        if (!p.is_object()) return {};
    std::vector<std::string> names;
    for (const auto& p : *parents) {
        auto name = json::firstString(p, {"name", "Name"});
        if (name && !name->empty()) names.push_back(std::move(*name));
    }
    return names;
}

void ChatService::check(const net::Response& response, std::string_view label) {
    // Status 0: the answer was not HTTP at all, which the transport reports itself.
    if (response.status == 0 || (response.status >= 200 && response.status <= 299)) return;
    throw ChatError(response.status, std::string(label) + " :: " +
                                         text::replaceInvalidUtf8(response.body, kBodyCharacters));
}

}  // namespace tarvo
