#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/Json.h"
#include "core/TimeFormat.h"

namespace tarvo {

// One message of the child's conversation with the parents.
struct ChatMessage {
    // The service's number, positive once stored there; 0 or negative for
    // messages known only here (unsent or failed sends get negative numbers).
    std::int64_t id = 0;
    // Sender role as the service spells it: "parent" in any letter case is a
    // parent; every other value is the child's own side.
    std::string from;
    std::string text;
    std::optional<WallTime> sentAt;
    // Never empty: an empty name is kept as none.
    std::optional<std::string> senderName;

    bool operator==(const ChatMessage&) const = default;

    bool isFromParent() const;

    // Tolerant decoding: none only when `value` is not an object; every field
    // that is missing or of the wrong type takes its default.
    static std::optional<ChatMessage> fromJson(const json::Json& value);
    // "id", "from", "text", and "sentAt" (whole seconds, UTC) and "senderName"
    // only when present.
    json::Json toJson() const;
};

// Decodes a JSON array whose every element is a message; none otherwise.
std::optional<std::vector<ChatMessage>> decodeMessageArray(const json::Json& value);

}  // namespace tarvo
