// Chat message decoding on arbitrary bytes. Whatever decodes survives the
// history file: encoded, written as text and decoded again it is the same
// message, its time rounded down to the second. A time that parses formats
// back to the same moment.
#include <chrono>
#include <cstdint>
#include <cstdlib>
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
    if (const auto t = tarvo::ChatService::parseTimestamp(input)) {
        const auto again = tarvo::ChatService::parseTimestamp(tarvo::formatIsoUtcMillis(*t));
        if (!again || *again != std::chrono::floor<std::chrono::milliseconds>(*t)) std::abort();
    }
    return 0;
}
