// Chat message decoding on arbitrary bytes. Whatever decodes survives the
// history file: encoded, written as text and decoded again it is the same
// message, its time rounded down to the second. A time that parses formats
// back to the same moment.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "chat/ChatMessage.h"
#include "chat/ChatService.h"
#include "core/Json.h"
#include "core/TimeFormat.h"

namespace {

using tarvo::ChatMessage;

void checkStored(const ChatMessage& m) {
    ChatMessage expected = m;
    if (expected.sentAt) expected.sentAt = std::chrono::floor<std::chrono::seconds>(*m.sentAt);
    const std::string text =
        m.toJson().dump(-1, ' ', false, tarvo::json::Json::error_handler_t::replace);
    const auto doc = tarvo::json::parse(text);
    if (!doc) std::abort();
    const auto back = ChatMessage::fromJson(*doc);
    if (!back || *back != expected) std::abort();
    if (back->isFromParent() != m.isFromParent()) std::abort();
}

// A time that parses formats back to the same moment (to the millisecond).
void checkTimestamp(std::string_view text) {
    const auto t = tarvo::ChatService::parseTimestamp(text);
    if (!t) return;
    const auto again = tarvo::ChatService::parseTimestamp(tarvo::formatIsoUtcMillis(*t));
    if (!again || *again != std::chrono::floor<std::chrono::milliseconds>(*t)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (const auto& m : tarvo::ChatService::parseMessages(input)) checkStored(m);
    if (const auto doc = tarvo::json::parse(input)) {
        if (const auto m = ChatMessage::fromJson(*doc)) {
            checkStored(*m);
            if (m->senderName && m->senderName->empty()) std::abort();
        } else if (doc->is_object()) {
            std::abort();
        }
        if (const auto all = tarvo::decodeMessageArray(*doc))
            for (const auto& m : *all) checkStored(m);
    }
    checkTimestamp(input);
    if (size == 0) return 0;
    // A time stamp's head cut where the first byte says, the rest of the input
    // completing it, as a message's time.
    const std::string head = "2025-03-01 17:04:05";
    const std::string stamp =
        head.substr(0, data[0] % (head.size() + 1)) + std::string(input.substr(1));
    checkTimestamp(stamp);
    const tarvo::json::Json message = {
        {"id", std::string(input.substr(0, 3))}, {"from", "Parent"}, {"sentAt", stamp}};
    if (const auto m = ChatMessage::fromJson(message)) checkStored(*m);
    return 0;
}
