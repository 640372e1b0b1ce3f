#include <gtest/gtest.h>

#include "core/Text.h"

namespace tarvo::text {
namespace {

TEST(Text, Utf8ValidityAndReplacement) {
    struct Case {
        const char* name;
        std::string bytes;
        bool valid;
        std::string cleaned;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"ascii", "plain", true, "plain"},
        {"two three four", "\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80", true,
         "\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80"},
        {"overlong slash", "\xC0\xAF", false, fffd + fffd},
        {"overlong three", "\xE0\x80\xAF", false, fffd + fffd + fffd},
        {"surrogate", "a\xED\xA0\x80z", false, "a" + fffd + fffd + fffd + "z"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", false, fffd + fffd + fffd + fffd},
        {"cut off at the end", "ok\xE2\x80", false, "ok" + fffd + fffd},
        {"stray continuation", "\x80x", false, fffd + "x"},
        {"max code point", "\xF4\x8F\xBF\xBF", true, "\xF4\x8F\xBF\xBF"},
        {"empty", "", true, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isValidUtf8(c.bytes), c.valid) << c.name;
        EXPECT_EQ(replaceInvalidUtf8(c.bytes), c.cleaned) << c.name;
    }
}

TEST(Text, CharacterLimitNeverCutsInsideACharacter) {
    const std::string text =
        "a\xE2\x80\x94"
        "b\xF0\x9F\x98\x80"
        "c";  // a — b 😀 c
    EXPECT_EQ(replaceInvalidUtf8(text, 0), "");
    EXPECT_EQ(replaceInvalidUtf8(text, 2), "a\xE2\x80\x94");
    EXPECT_EQ(replaceInvalidUtf8(text, 4),
              "a\xE2\x80\x94"
              "b\xF0\x9F\x98\x80");
    EXPECT_EQ(replaceInvalidUtf8(text, 99), text);
    // A replaced byte counts as one character.
    EXPECT_EQ(replaceInvalidUtf8("\xFFxyz", 2), "\xEF\xBF\xBDx");
}

TEST(Text, TrimLowerAndSplit) {
    EXPECT_EQ(trimWhitespace(" \t\r\n value with  inner \v\f\n"), "value with  inner");
    EXPECT_EQ(trimWhitespace(" \n\t"), "");
    EXPECT_EQ(trimWhitespace("\xC2\xA0x\xC2\xA0"),
              "\xC2\xA0x\xC2\xA0");  // only ASCII space is trimmed
    EXPECT_EQ(asciiLower("Com.Apple.SAFARI-\xC3\x89"), "com.apple.safari-\xC3\x89");
    EXPECT_EQ(splitDropEmpty("\nWi-Fi\n\nEthernet\n", "\n"),
              (std::vector<std::string>{"Wi-Fi", "Ethernet"}));
    EXPECT_EQ(splitDropEmpty("a, b,,c", ", "), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_TRUE(splitDropEmpty("", "\n").empty());
    // Left to right, and what was put in is never searched again.
    EXPECT_EQ(replaceAll("&amp;lt; a &amp; b", "&amp;", "&"), "&lt; a & b");
    EXPECT_EQ(replaceAll("aaa", "aa", "a"), "aa");
    EXPECT_EQ(replaceAll("x", "", "y"), "x");
}

}  // namespace
}  // namespace tarvo::text
