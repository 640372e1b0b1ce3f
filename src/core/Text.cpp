#include "core/Text.h"

namespace tarvo::text {

namespace {

// What a lead byte promises: the sequence's length and the range its second
// byte must fall in (which rules out overlong forms, surrogates and code
// points past U+10FFFF). False for a byte that starts no sequence.
bool leadByte(unsigned char c, std::size_t& len, unsigned char& lo, unsigned char& hi) {
    lo = 0x80;
    hi = 0xBF;
    if (c < 0x80) {
        len = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;  // overlong
        if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;  // overlong
        if (c == 0xF4) hi = 0x8F;  // beyond U+10FFFF
    } else {
        return false;
    }
    return true;
}

// Whether the bytes after the lead (as many as there are) fit the sequence.
bool tailFits(std::string_view s, std::size_t len, unsigned char lo, unsigned char hi) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    if (s.size() >= 2 && len >= 2 && (b(1) < lo || b(1) > hi)) return false;
    for (std::size_t i = 2; i < len && i < s.size(); ++i)
        if (b(i) < 0x80 || b(i) > 0xBF) return false;
    return true;
}

}  // namespace

std::size_t utf8SequenceLength(std::string_view s) {
    if (s.empty()) return 0;
    std::size_t len;
    unsigned char lo, hi;
    if (!leadByte(static_cast<unsigned char>(s[0]), len, lo, hi)) return 0;
    if (s.size() < len || !tailFits(s, len, lo, hi)) return 0;
    return len;
}

bool isValidUtf8(std::string_view bytes) {
    while (!bytes.empty()) {
        const std::size_t n = utf8SequenceLength(bytes);
        if (n == 0) return false;
        bytes.remove_prefix(n);
    }
    return true;
}

std::string replaceInvalidUtf8(std::string_view bytes, std::size_t maxCharacters) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t count = 0; !bytes.empty() && count < maxCharacters; ++count) {
        const std::size_t n = utf8SequenceLength(bytes);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            bytes.remove_prefix(1);
        } else {
            out.append(bytes.substr(0, n));
            bytes.remove_prefix(n);
        }
    }
    return out;
}

std::string_view trimWhitespace(std::string_view text) {
    constexpr std::string_view ws = " \t\r\n\v\f";
    const std::size_t first = text.find_first_not_of(ws);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(ws) - first + 1);
}

size_t spaceAt(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const size_t left = s.size() - i;
    if (left == 0) return 0;
    if (b(i) == 0x20 || b(i) == 0x09) return 1;
    if (left >= 2 && b(i) == 0xC2 && b(i + 1) == 0xA0) return 2;  // U+00A0
    if (left >= 3) {
        const unsigned c0 = b(i), c1 = b(i + 1), c2 = b(i + 2);
        if (c0 == 0xE1 && c1 == 0x9A && c2 == 0x80) return 3;                  // U+1680
        if (c0 == 0xE2 && c1 == 0x80 && (c2 <= 0x8A && c2 >= 0x80)) return 3;  // U+2000-200A
        if (c0 == 0xE2 && c1 == 0x80 && c2 == 0xAF) return 3;                  // U+202F
        if (c0 == 0xE2 && c1 == 0x81 && c2 == 0x9F) return 3;                  // U+205F
        if (c0 == 0xE3 && c1 == 0x80 && c2 == 0x80) return 3;                  // U+3000
    }
    return 0;
}

namespace {
// Byte length of the white space or line break that starts at `i`; 0 when none.
size_t whiteAt(std::string_view s, size_t i) {
    if (const size_t n = spaceAt(s, i)) return n;
    const std::string_view rest = s.substr(i);
    if (!rest.empty() && std::string_view("\n\r\v\f").find(rest[0]) != std::string_view::npos)
        return 1;
    if (rest.substr(0, 2) == "\xC2\x85") return 2;  // U+0085
    if (rest.substr(0, 3) == "\xE2\x80\xA8" || rest.substr(0, 3) == "\xE2\x80\xA9")
        return 3;  // U+2028, U+2029
    return 0;
}
}  // namespace

std::string_view trimUnicodeWhitespace(std::string_view s) {
    size_t first = std::string_view::npos, end = 0;
    for (size_t i = 0; i < s.size();) {
        if (const size_t n = whiteAt(s, i)) {
            i += n;
            continue;
        }
        if (first == std::string_view::npos) first = i;
        end = ++i;
    }
    return first == std::string_view::npos ? std::string_view() : s.substr(first, end - first);
}

std::string_view trimSpaces(std::string_view s) {
    for (size_t n; (n = spaceAt(s, 0)) > 0;) s.remove_prefix(n);
    for (;;) {
        size_t cut = 0;
        for (size_t len = 1; len <= 3 && len <= s.size(); ++len)
            if (spaceAt(s, s.size() - len) == len) {
                cut = len;
                break;
            }
        if (cut == 0) break;
        s.remove_suffix(cut);
    }
    return s;
}

std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string replaceAll(std::string_view text, std::string_view from, std::string_view to) {
    if (from.empty()) return std::string(text);
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    for (std::size_t at; (at = text.find(from, pos)) != std::string_view::npos;
         pos = at + from.size()) {
        out.append(text, pos, at - pos);
        out += to;
    }
    out.append(text.substr(pos));
    return out;
}

std::vector<std::string> splitDropEmpty(std::string_view text, std::string_view separators) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || separators.find(text[i]) != std::string_view::npos) {
            if (i > start) out.emplace_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

}  // namespace tarvo::text
