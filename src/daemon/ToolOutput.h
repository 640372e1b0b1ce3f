#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvo::tooloutput {

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates).
bool validUtf8(std::string_view text);
// `text` without blanks, tabs, carriage returns and newlines at both ends.
std::string_view trim(std::string_view text);
// The pieces of `text` between newlines, empty pieces dropped.
std::vector<std::string> nonEmptyLines(std::string_view text);

}  // namespace tarvo::tooloutput
