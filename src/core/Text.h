#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::text {

// Tool output, service answers and files are read as UTF-8; these helpers
// judge and clean it the same way everywhere.

// Length of the well-formed UTF-8 sequence that starts `s` (no overlong forms,
// no surrogates, nothing past U+10FFFF); 0 when `s` starts with none.
std::size_t utf8SequenceLength(std::string_view s);
bool isValidUtf8(std::string_view bytes);
// `bytes` with every byte that is not part of a well-formed sequence replaced
// by U+FFFD, cut after `maxCharacters` characters (never inside one).
std::string replaceInvalidUtf8(std::string_view bytes,
                               std::size_t maxCharacters = std::string_view::npos);

// Without ASCII white space and line breaks (" \t\r\n\v\f") at either end.
std::string_view trimWhitespace(std::string_view text);
// Byte length of the horizontal white-space character (tab or a Unicode space
// separator) that starts at `i` of UTF-8 `s`; 0 when there is none. Line
// breaks are not horizontal space.
std::size_t spaceAt(std::string_view s, std::size_t i);
// `s` without horizontal white space at either end (a trailing "\r" stays).
std::string_view trimSpaces(std::string_view s);
// `s` without white space or line breaks, ASCII or Unicode (the horizontal
// spaces above, "\n\r\v\f", U+0085, U+2028, U+2029), at either end.
std::string_view trimUnicodeWhitespace(std::string_view s);
// ASCII letters lower-cased; every other byte unchanged.
std::string asciiLower(std::string_view text);
// `text` with every occurrence of `from` (not empty) replaced by `to`, left to
// right; replaced text is never searched again.
std::string replaceAll(std::string_view text, std::string_view from, std::string_view to);
// The pieces between any of `separators`, empty pieces dropped.
std::vector<std::string> splitDropEmpty(std::string_view text, std::string_view separators);

}  // namespace tarvo::text
