#include <gtest/gtest.h>

#include "core/TimeFormat.h"
#include "support/TestSupport.h"

namespace tarvo {
namespace {

using namespace std::chrono;

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
