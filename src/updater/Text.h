#pragma once

#include <string>
#include <string_view>

namespace tarvo::updater_text {

// Small text helpers of the updater: tool output and marker files are read
// as UTF-8 and trimmed the way a person would expect.

bool isValidUtf8(std::string_view bytes);
// `bytes` with every byte that is not part of a well-formed UTF-8 sequence
// replaced by U+FFFD.
std::string replaceInvalidUtf8(std::string_view bytes);
// Without white space and line breaks at both ends.
std::string_view trim(std::string_view text);
std::string toLower(std::string_view text);

}  // namespace tarvo::updater_text
