#include "chat/ChatMessage.h"

#include <cctype>

#include "chat/ChatService.h"

namespace tarvo {

bool ChatMessage::isFromParent() const {
    static constexpr std::string_view parent = "parent";
    if (from.size() != parent.size()) return false;
    for (size_t i = 0; i < from.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(from[i])) != parent[i]) return false;
    return true;
}

std::optional<ChatMessage> ChatMessage::fromJson(const json::Json& value) {
    if (!value.is_object()) return std::nullopt;
    ChatMessage m;
    if (auto id = json::integer(value, "id")) {
        m.id = *id;
    } else if (auto idText = json::string(value, "id")) {
        m.id = json::parseDecimal(*idText).value_or(0);
    }
    m.from = json::string(value, "from").value_or("");
    m.text = json::firstString(value, {"text", "message", "body"}).value_or("");
    // A string under "sentAt" decides, even when it is no time: "sent_at" is
    // only the spelling of services that send no "sentAt" at all.
    if (auto sentAt = json::string(value, "sentAt")) {
        m.sentAt = ChatService::parseTimestamp(*sentAt);
    } else if (auto sentAtSnake = json::string(value, "sent_at")) {
        m.sentAt = ChatService::parseTimestamp(*sentAtSnake);
    }
    if (auto name = json::string(value, "senderName"); name && !name->empty())
        m.senderName = std::move(*name);
    return m;
}

json::Json ChatMessage::toJson() const {
    json::Json j = json::Json::object();
    j["id"] = id;
    j["from"] = from;
    j["text"] = text;
    if (sentAt) j["sentAt"] = formatIsoUtc(*sentAt);
    if (senderName) j["senderName"] = *senderName;
    return j;
}

std::optional<std::vector<ChatMessage>> decodeMessageArray(const json::Json& value) {
    if (!value.is_array()) return std::nullopt;
    std::vector<ChatMessage> out;
    out.reserve(value.size());
    for (const auto& element : value) {
        auto m = ChatMessage::fromJson(element);
        if (!m) return std::nullopt;
        out.push_back(std::move(*m));
    }
    return out;
}

}  // namespace tarvo
