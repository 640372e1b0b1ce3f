#include "manager/HtmlEntities.h"

#include <cstdint>
#include <optional>

#include "core/Text.h"

namespace tarvo {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// An unsigned 32-bit number in `radix`; none for a digit outside the radix
// or a value past 0xFFFFFFFF (leading zeros never overflow).
std::optional<std::uint32_t> parseUnsigned32(std::string_view digits, int radix) {
    std::uint64_t value = 0;
    for (char c : digits) {
        const int d = hexValue(c);
        if (d < 0 || d >= radix) return std::nullopt;
        value = value * static_cast<unsigned>(radix) + static_cast<unsigned>(d);
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Length of a numeric reference "&#" "x"? hex-digits+ ";" starting at `i`, or 0.
// The same language as the pattern &#(x?)([0-9A-Fa-f]+); — an "x" must be
// followed by at least one digit, and the digits run up to the semicolon.
size_t numericReferenceAt(std::string_view s, size_t i, bool& hex, std::string_view& digits) {
    if (s.compare(i, 2, "&#") != 0) return 0;
    size_t j = i + 2;
    hex = j < s.size() && s[j] == 'x';
    if (hex) ++j;
    const size_t start = j;
    while (j < s.size() && hexValue(s[j]) >= 0) ++j;
    if (j == start || j >= s.size() || s[j] != ';') return 0;
    digits = s.substr(start, j - start);
    return j + 1 - i;
}

}  // namespace

std::string decodeHtmlEntities(std::string_view text) {
    if (text.find('&') == std::string_view::npos) return std::string(text);

    // Numeric references. Each match is judged on its own and replaced in
    // place; matches never overlap, so building the result left to right
    // gives the same text as replacing them from the last to the first.
    std::string out;
    out.reserve(text.size());
    size_t copied = 0;
    for (size_t i = text.find('&'); i != std::string_view::npos; i = text.find('&', i)) {
        bool hex = false;
        std::string_view digits;
        const size_t length = numericReferenceAt(text, i, hex, digits);
        if (length == 0) {
            ++i;
            continue;
        }
        const auto value = parseUnsigned32(digits, hex ? 16 : 10);
        if (value && !(*value >= 0xD800 && *value <= 0xDFFF) && *value < 0x110000) {
            out.append(text.substr(copied, i - copied));
            appendUtf8(out, *value);
            copied = i + length;
        }
        i += length;
    }
    out.append(text.substr(copied));

    out = text::replaceAll(out, "&lt;", "<");
    out = text::replaceAll(out, "&gt;", ">");
    out = text::replaceAll(out, "&quot;", "\"");
    out = text::replaceAll(out, "&apos;", "'");
    return text::replaceAll(out, "&amp;", "&");
}

std::string prefixCharacters(std::string_view text, size_t count) {
    size_t i = 0;
    for (size_t seen = 0; i < text.size() && seen < count; ++seen) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
    }
    return std::string(text.substr(0, i));
}

size_t characterCount(std::string_view text) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); ++count) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
    }
    return count;
}

}  // namespace tarvo
