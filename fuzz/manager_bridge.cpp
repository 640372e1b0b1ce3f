// The setup bridge's message handling on arbitrary bytes: entity decoding,
// the log's character prefixes and the split into verb and argument.
// Decoding only shortens, leaves text without "&" alone and keeps UTF-8
// valid; a prefix is a prefix with at most the characters asked for; the
// split agrees with a plain reading of its rule.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/Text.h"
#include "manager/HtmlEntities.h"
#include "manager/ManagerController.h"

namespace {

size_t characters(std::string_view text) {
    size_t count = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++count;
    return count;
}

void checkPrefix(std::string_view text, size_t count) {
    const std::string prefix = tarvo::prefixCharacters(text, count);
    if (text.substr(0, prefix.size()) != prefix) std::abort();
    if (!tarvo::text::isValidUtf8(text)) return;
    if (!tarvo::text::isValidUtf8(prefix)) std::abort();
    if (characters(prefix) != std::min(count, characters(text))) std::abort();
}

// Leading bars are no cut; the first bar after them is; nothing after it
// leaves one piece.
std::vector<std::string> modelSplit(std::string_view text) {
    const size_t begin = text.find_first_not_of('|');
    if (begin == std::string_view::npos) return {};
    text.remove_prefix(begin);
    const size_t bar = text.find('|');
    if (bar == std::string_view::npos) return {std::string(text)};
    std::vector<std::string> pieces{std::string(text.substr(0, bar))};
    if (bar + 1 < text.size()) pieces.emplace_back(text.substr(bar + 1));
    return pieces;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string text = tarvo::decodeHtmlEntities(input);
    if (text.size() > input.size()) std::abort();
    if (input.find('&') == std::string_view::npos && text != input) std::abort();
    if (tarvo::text::isValidUtf8(input) && !tarvo::text::isValidUtf8(text)) std::abort();

    checkPrefix(text, 80);
    checkPrefix(text, 120);
    checkPrefix(input, size % 7);

    const auto pieces = tarvo::ManagerController::splitMessage(text);
    if (pieces != modelSplit(text)) std::abort();
    return 0;
}
