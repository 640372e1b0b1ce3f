#pragma once

#include <string>
#include <string_view>

namespace tarvo {

// The sign-in page may hand its bridge payload over HTML-escaped. Decodes
// numeric references ("&#65;", "&#x41;"; a lower-case "x" only, surrogates and
// values past U+10FFFF left as written), then "&lt;", "&gt;", "&quot;",
// "&apos;" and, last, "&amp;" — so "&amp;lt;" becomes "&lt;", never "<".
std::string decodeHtmlEntities(std::string_view text);

// The first `count` characters (code points) of UTF-8 `text`.
std::string prefixCharacters(std::string_view text, size_t count);
// How many characters prefixCharacters() finds in the whole of `text`.
size_t characterCount(std::string_view text);

}  // namespace tarvo
