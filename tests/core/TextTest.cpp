#include <gtest/gtest.h>

#include "core/Json.h"
#include "core/Text.h"
#include "core/TimeFormat.h"

namespace tarvo {
namespace {

using namespace std::chrono;
using json::Json;
using namespace text;

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

TEST(Json, IntegerAcceptsExactlyTheNumbersThatFitInt64) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> want;
    };
    const Case cases[] = {
        {"15", 15},
        {"15.0", 15},
        {"15.5", std::nullopt},
        {"true", std::nullopt},
        {"\"15\"", std::nullopt},
        {"[1]", std::nullopt},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
        {"1e300", std::nullopt},
        {"1e3", 1000},
    };
    for (const auto& c : cases) {
        Json obj = Json::object();
        obj["k"] = Json::parse(c.text);
        EXPECT_EQ(json::integer(obj, "k"), c.want) << c.text;
    }
}

TEST(Json, DecimalParsing) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> want;
    };
    const Case cases[] = {
        {"42", 42},
        {"+42", 42},
        {"007", 7},
        {"", std::nullopt},
        {" 4", std::nullopt},
        {"4 ", std::nullopt},
        {"4.0", std::nullopt},
        {"0x10", std::nullopt},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(json::parseDecimal(c.text), c.want) << '"' << c.text << '"';
}

TEST(TimeFormat, FormatsUtcWithAndWithoutMilliseconds) {
    const WallTime t{milliseconds(1765038765123)};  // 2025-12-06T16:32:45.123Z
    EXPECT_EQ(formatIsoUtc(t), "2025-12-06T16:32:45Z");
    EXPECT_EQ(formatIsoUtcMillis(t), "2025-12-06T16:32:45.123Z");
    EXPECT_EQ(formatIsoUtcMillis(fromUnixSeconds(0)), "1970-01-01T00:00:00.000Z");
    // Before the epoch the fraction still counts forward within its second.
    EXPECT_EQ(formatIsoUtcMillis(WallTime(milliseconds(-1))), "1969-12-31T23:59:59.999Z");
    // Rounded down, not towards the epoch.
    EXPECT_EQ(formatIsoUtc(WallTime(nanoseconds(-1))), "1969-12-31T23:59:59Z");
    EXPECT_EQ(formatIsoUtcMillis(WallTime(nanoseconds(-1))), "1969-12-31T23:59:59.999Z");
}

TEST(TimeFormat, ParsesWhatItFormatsAndOffsets) {
    struct Case {
        const char* text;
        std::optional<double> unix;
    };
    const Case cases[] = {
        {"2025-12-06T16:32:45Z", 1765038765.0},
        {"2025-12-06T16:32:45.123Z", 1765038765.123},
        {"2025-12-06T18:32:45+02:00", 1765038765.0},
        {"2025-12-06T11:02:45-0530", 1765038765.0},
        {"2025-12-06 16:32:45Z", std::nullopt},
        {"2025-02-30T00:00:00Z", std::nullopt},
        {"2024-02-29T12:00:00Z", 1709208000.0},
        // A leap second is the next minute's first, but never makes a day exist.
        {"2016-12-31T23:59:60Z", 1483228800.0},
        {"2025-02-29T23:59:60Z", std::nullopt},
        {"2025-04-31T23:59:60Z", std::nullopt},
        // Only what the clock can hold.
        {"2262-04-11T23:47:16Z", 9223372036.0},
        {"2262-04-11T23:47:17Z", std::nullopt},
        {"9999-12-31T23:59:59Z", std::nullopt},
        {"2025-12-06T24:00:00Z", std::nullopt},
        {"2025-12-06T16:32:45.Z", std::nullopt},
        {"2025-12-06T16:32:45Zjunk", std::nullopt},
    };
    for (const auto& c : cases) {
        auto got = parseIsoUtc(c.text);
        if (!c.unix) {
            EXPECT_FALSE(got) << c.text;
            continue;
        }
        ASSERT_TRUE(got) << c.text;
        EXPECT_NEAR(toUnixSeconds(*got), *c.unix, 0.0005) << c.text;
    }
    const WallTime t{milliseconds(1765038765123)};
    EXPECT_EQ(formatIsoUtcMillis(*parseIsoUtc(formatIsoUtcMillis(t))), formatIsoUtcMillis(t));
}

}  // namespace
}  // namespace tarvo
