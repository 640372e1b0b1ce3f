#include <gtest/gtest.h>

#include "core/Text.h"
#include "core/TimeFormat.h"

namespace tarvo {
namespace {

using namespace text;

TEST(Text, Utf8ValidityReplacementAndCharacterLimit) {
    const std::string x = "\xEF\xBF\xBD";  // U+FFFD
    // Overlong, surrogate, past U+10FFFF, cut off, then U+10FFFF.
    const std::pair<std::string, std::string> cases[] = {{"\xC0\xAF", x + x},
                                                         {"a\xED\xA0\x80z", "a" + x + x + x + "z"},
                                                         {"\xF4\x90\x80\x80", x + x + x + x},
                                                         {"ok\xE2\x80", "ok" + x + x},
                                                         {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"}};
    for (const auto& [bytes, cleaned] : cases) {
        EXPECT_EQ(isValidUtf8(bytes), bytes == cleaned) << cleaned;
        EXPECT_EQ(replaceInvalidUtf8(bytes), cleaned);
    }
    // A limit in characters never cuts inside one; a replaced byte counts as one.
    EXPECT_EQ(replaceInvalidUtf8("a\xE2\x80\x94\xF0\x9F\x98\x80", 2), "a\xE2\x80\x94");
    EXPECT_EQ(replaceInvalidUtf8("\xFFxyz", 2), x + "x");
}

// What a typed chat message is trimmed of: white space and line breaks, ASCII
// and Unicode, at either end only; a character that merely ends in a space's
// bytes stays whole.
TEST(Text, TrimsUnicodeWhiteSpaceAndLineBreaksAtTheEnds) {
    const std::pair<std::string, std::string> cases[] = {
        {"\xE2\x80\xA8 hi \xE2\x80\xA9", "hi"},                      // U+2028, U+2029
        {"\xC2\x85\v\fhi\xE3\x80\x80\r\n", "hi"},                    // U+0085, U+3000
        {"a\u3000b", "a\u3000b"},                                    // inside: kept
        {"\xE2\x80\x8Bx\xE2\x80\x8B", "\xE2\x80\x8Bx\xE2\x80\x8B"},  // U+200B is no space
        {"\xC3\xA9", "\xC3\xA9"},
        {"\t\xC2\xA0\xE2\x80\x8A \n", ""},
        {"", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(trimUnicodeWhitespace(in), out) << in;
}

// (Offsets, fractions and formatting: see ChatMessageDecoding.)
TEST(TimeFormat, ParsesOnlyRealDaysAndWhatTheClockCanHold) {
    const std::pair<const char*, std::optional<double>> cases[] = {
        {"2025-02-29T12:00:00Z", std::nullopt},
        // A leap second is the next minute's first.
        {"2016-12-31T23:59:60Z", 1483228800.0},
        {"2262-04-11T23:47:17Z", std::nullopt},
        {"2025-12-06T16:32:45Zjunk", std::nullopt},
    };
    for (const auto& [text, unix] : cases) {
        const auto got = parseIsoUtc(text);
        EXPECT_EQ(got ? std::optional(toUnixSeconds(*got)) : std::nullopt, unix) << text;
    }
}

}  // namespace
}  // namespace tarvo
