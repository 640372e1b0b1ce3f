#pragma once

#include <string>
#include <string_view>

namespace tarvo::text {

// Byte length of the horizontal white-space character (tab or a Unicode space
// separator) that starts at `i` of UTF-8 `s`; 0 when there is none. Line
// breaks are not horizontal space.
inline size_t spaceAt(std::string_view s, size_t i) {
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

// `s` without horizontal white space at either end (a trailing "\r" stays).
inline std::string_view trimSpaces(std::string_view s) {
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

inline std::string asciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace tarvo::text
