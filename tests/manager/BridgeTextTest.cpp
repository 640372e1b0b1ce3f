// What the setup window makes of the page's text: entities, bridge messages,
// hosts and list notation.
#include <gtest/gtest.h>

#include "manager/HtmlEntities.h"
#include "manager/ManagerController.h"

namespace tarvo {
namespace {

TEST(BridgeText, HtmlEntitiesDecodeLikeThePageEscapes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"&#x41;&#65;", "AA"},
        {"&#X41;", "&#X41;"},          // only a lower-case x marks hexadecimal
        {"&#xD800;", "&#xD800;"},      // surrogates stay
        {"&#x110000;", "&#x110000;"},  // past the last code point
        {"&#x10FFFF;", "\xF4\x8F\xBF\xBF"},
        {"&#4294967296;", "&#4294967296;"},  // overflows 32 bits
        {"&#x0000000000041;", "A"},          // leading zeros are no overflow
        {"&#&#66;", "&#B"},
        {"&lt;b&gt; &quot;x&quot; &apos;y&apos;", "<b> \"x\" 'y'"},
        {"&amp;lt; &amp;#65; &amp;amp;", "&lt; &#65; &amp;"},  // the ampersand comes back last
        {std::string(200000, '&'), std::string(200000, '&')},
    };
    for (const auto& [in, want] : cases)
        EXPECT_EQ(decodeHtmlEntities(in), want) << in.substr(0, 40);
}

TEST(BridgeText, MessagesHostsAndListNotation) {
    using V = std::vector<std::string>;
    const std::vector<std::pair<const char*, V>> messages = {
        {"updateData|tok", {"updateData", "tok"}},
        {"|updateData|tok", {"updateData", "tok"}},
        {"updateData||tok", {"updateData", "|tok"}},
        {"updateData|", {"updateData"}},
        {"|", {}},
    };
    for (const auto& [in, want] : messages)
        EXPECT_EQ(ManagerController::splitMessage(in), want) << in;
    EXPECT_EQ(prefixCharacters("\xC3\xA9\xE2\x80\x94x", 2), "\xC3\xA9\xE2\x80\x94");
    const std::vector<std::pair<const char*, const char*>> hosts = {
        {"https://user:pw@api.example.com:443?x", "api.example.com"},
        {"http://[::1]:9/", "::1"},
        {"not a url", ""},
    };
    for (const auto& [url, want] : hosts) EXPECT_EQ(ManagerController::hostOf(url), want) << url;
    EXPECT_EQ(ManagerController::listNotation({"emma", "a\"b"}), "[\"emma\", \"a\\\"b\"]");
}

}  // namespace
}  // namespace tarvo
