// What the setup window makes of the page's text: entities, bridge messages,
// hosts, list notation; and of dscl's answers.
#include <gtest/gtest.h>

#include "manager/HtmlEntities.h"
#include "manager/LocalAccounts.h"
#include "manager/ManagerController.h"

namespace tarvo {
namespace {

TEST(BridgeText, HtmlEntitiesDecodeLikeThePageEscapes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"&#x41;&#65;", "AA"},
        {"&#X41;", "&#X41;"},      // only a lower-case x marks hexadecimal
        {"&#x;", "&#x;"},          // an x needs digits
        {"&#xD800;", "&#xD800;"},  // surrogates stay
        {"&#55296;", "&#55296;"},
        {"&#x110000;", "&#x110000;"},  // past the last code point
        {"&#x10FFFF;", "\xF4\x8F\xBF\xBF"},
        {"&#6A;", "&#6A;"},
        {"&#4294967296;", "&#4294967296;"},  // overflows 32 bits
        {"&#x0000000000041;", "A"},          // leading zeros are no overflow
        {"&#65", "&#65"},                    // no semicolon
        {"&#&#66;", "&#B"},
        {"&lt;b&gt; &quot;x&quot; &apos;y&apos;", "<b> \"x\" 'y'"},
        {"&amp;lt; &amp;#65; &amp;amp;", "&lt; &#65; &amp;"},  // the ampersand comes back last
        {"&nbsp;&copy;", "&nbsp;&copy;"},  // other names are not references here
        {"&#" + std::string(200000, '0') + "65;", "A"},
        {std::string(200000, '&'), std::string(200000, '&')},
    };
    for (const auto& [in, want] : cases)
        EXPECT_EQ(decodeHtmlEntities(in), want) << in.substr(0, 40);
}

TEST(BridgeText, MessagesSplitAtTheFirstBarWithEmptyPiecesDropped) {
    using V = std::vector<std::string>;
    const std::vector<std::pair<const char*, V>> cases = {
        {"updateData|tok", {"updateData", "tok"}},
        {"updateData|", {"updateData"}},
        {"|updateData|tok", {"updateData", "tok"}},
        {"updateData||tok", {"updateData", "|tok"}},
        {"a|b|c", {"a", "b|c"}},
        {"|", {}},
        {"", {}},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(ManagerController::splitMessage(in), want) << in;
    EXPECT_EQ(prefixCharacters("\xC3\xA9\xE2\x80\x94x", 2), "\xC3\xA9\xE2\x80\x94");
    EXPECT_EQ(prefixCharacters("abc", 10), "abc");
}

TEST(BridgeText, HostsAndListNotation) {
    const std::vector<std::pair<const char*, const char*>> hosts = {
        {"http://127.0.0.1:8080/base/", "127.0.0.1"},
        {"https://user:pw@api.example.com:443?x", "api.example.com"},
        {"http://[::1]:9/", "::1"},
        {"not a url", ""},
    };
    for (const auto& [url, want] : hosts) EXPECT_EQ(ManagerController::hostOf(url), want) << url;
    EXPECT_EQ(ManagerController::listNotation({}), "[]");
    EXPECT_EQ(ManagerController::listNotation({"emma", "a\"b"}), "[\"emma\", \"a\\\"b\"]");
}

TEST(LocalAccounts, DsclOutputAndUniqueIds) {
    const std::vector<std::tuple<const char*, const char*, std::optional<std::string>>> reads = {
        {"UniqueID: 501\n", "UniqueID", "501"},
        {"\n  RealName:\n   Emma Lind  \n\n", "RealName", "Emma Lind"},
        {"dsAttrTypeNative:x\n second \n", "RealName", "second"},
        {"RealName:\n", "RealName", std::nullopt},
        {" \n\t\n", "UniqueID", std::nullopt},
    };
    for (const auto& [out, key, want] : reads)
        EXPECT_EQ(LocalAccounts::parseReadOutput(out, key), want) << out;
    const std::vector<std::pair<const char*, std::optional<std::uint32_t>>> ids = {
        {"501", 501u},
        {"+501", 501u},
        {"4294967295", 4294967295u},
        {"4294967296", std::nullopt},
        {"-501", std::nullopt},
        {"5O1", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"501 502", std::nullopt},
        {"++5", std::nullopt}};
    for (const auto& [text, want] : ids)
        EXPECT_EQ(LocalAccounts::parseUniqueId(text), want) << text;
}

}  // namespace
}  // namespace tarvo
