#include <gtest/gtest.h>

#include "manager/HtmlEntities.h"
#include "manager/ManagerController.h"

namespace tarvo {
namespace {

TEST(HtmlEntities, DecodesLikeThePageEscapes) {
    struct Case {
        const char* in;
        std::string want;
    } cases[] = {
        {"plain text", "plain text"},
        {"&#x41;", "A"},
        {"&#65;", "A"},
        {"&#X41;", "&#X41;"},      // only a lower-case x marks hexadecimal
        {"&#x;", "&#x;"},          // an x needs digits
        {"&#xD800;", "&#xD800;"},  // surrogates stay
        {"&#55296;", "&#55296;"},  // the same surrogate in decimal
        {"&#xDFFF;&#xE000;", "&#xDFFF;\xEE\x80\x80"},
        {"&#x110000;", "&#x110000;"},  // past the last code point
        {"&#x10FFFF;", "\xF4\x8F\xBF\xBF"},
        {"&#6A;", "&#6A;"},                  // decimal with a hexadecimal letter
        {"&#4294967296;", "&#4294967296;"},  // overflows 32 bits
        {"&#x0000000000041;", "A"},          // leading zeros are no overflow
        {"&#233;t&#xe9;", "\xC3\xA9t\xC3\xA9"},
        {"&#65", "&#65"},  // no semicolon
        {"&#&#66;", "&#B"},
        {"&lt;b&gt; &quot;x&quot; &apos;y&apos;", "<b> \"x\" 'y'"},
        {"&amp;lt;", "&lt;"},  // the ampersand comes back last
        {"&amp;#65;", "&#65;"},
        {"a&amp;b", "a&b"},
        {"&amp;amp;", "&amp;"},
        {"&nbsp;&copy;", "&nbsp;&copy;"},  // other names are not references here
        {"&#x41;&#x42;&#67;", "ABC"},
        {"x&#x1F600;y", "x\xF0\x9F\x98\x80y"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(decodeHtmlEntities(c.in), c.want);
    }
}

TEST(HtmlEntities, LongRunsOfDigitsAndAmpersandsDoNotOverflowTheStack) {
    const std::string digits = "&#" + std::string(200000, '0') + "65;";
    EXPECT_EQ(decodeHtmlEntities(digits), "A");
    const std::string amps(200000, '&');
    EXPECT_EQ(decodeHtmlEntities(amps), amps);
}

TEST(BridgeText, MessagesSplitAtTheFirstBarWithEmptyPiecesDropped) {
    using V = std::vector<std::string>;
    struct Case {
        const char* in;
        V want;
    } cases[] = {
        {"updateData|tok", {"updateData", "tok"}},
        {"updateData|", {"updateData"}},
        {"updateData", {"updateData"}},
        {"|updateData|tok", {"updateData", "tok"}},
        {"||a|b", {"a", "b"}},
        {"updateData||tok", {"updateData", "|tok"}},
        {"a|b|c", {"a", "b|c"}},
        {"|tok", {"tok"}},
        {"|", {}},
        {"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(ManagerController::splitMessage(c.in), c.want);
    }
}

TEST(BridgeText, CharacterPrefixesNeverCutACharacter) {
    EXPECT_EQ(prefixCharacters("abc", 2), "ab");
    EXPECT_EQ(prefixCharacters("abc", 10), "abc");
    EXPECT_EQ(prefixCharacters("\xC3\xA9\xE2\x80\x94x", 2), "\xC3\xA9\xE2\x80\x94");
}

TEST(BridgeText, HostsAndListNotation) {
    struct Host {
        const char* url;
        const char* want;
    } hosts[] = {
        {"https://tarvo.app/", "tarvo.app"},
        {"http://127.0.0.1:8080/base/", "127.0.0.1"},
        {"https://user:pw@api.example.com:443?x", "api.example.com"},
        {"http://[::1]:9/", "::1"},
        {"not a url", ""},
    };
    for (const auto& h : hosts) EXPECT_EQ(ManagerController::hostOf(h.url), h.want) << h.url;
    EXPECT_EQ(ManagerController::listNotation({}), "[]");
    EXPECT_EQ(ManagerController::listNotation({"emma", "max"}), "[\"emma\", \"max\"]");
    EXPECT_EQ(ManagerController::listNotation({"a\"b"}), "[\"a\\\"b\"]");
}

}  // namespace
}  // namespace tarvo
