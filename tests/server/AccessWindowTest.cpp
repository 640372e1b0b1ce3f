#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "server/AccessWindow.h"
#include "support/TestSupport.h"

namespace tarvo {
namespace {

constexpr int kSun = 0, kMon = 1, kTue = 2, kFri = 5, kSat = 6;

// A local wall-clock moment in the current time zone. 2026-03-02 is a Monday.
WallTime local(int day, int hour, int minute, int second = 0) {
    std::tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 2;  // March
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

AccessWindow win(int day, int start, int end) {
    return {day, start, end, 0};
}

TEST(AccessWindowsTime, AllowedAndNextWindowInLocalTime) {
    // Los Angeles is eight hours behind UTC in early March, so late evenings
    // there fall on the next UTC weekday: local time must be used throughout.
    test::ScopedTimeZone tz("America/Los_Angeles");
    const std::vector<AccessWindow> morning = {win(kMon, 480, 720)};
    const std::vector<AccessWindow> overnight = {win(kMon, 1320, 120)};
    const std::vector<AccessWindow> weekend = {win(kSat, 540, 1020), win(kSun, 600, 1080)};
    struct Case {
        const char* name;
        std::vector<AccessWindow> windows;
        WallTime at;
        bool allowed;
        std::optional<std::int64_t> next;
    } cases[] = {
        {"empty schedule", {}, local(2, 3, 0), true, std::nullopt},
        {"end is exclusive", morning, local(2, 12, 0), false, 7 * 1440 + 480 - 720},
        {"start is inclusive; a started window recurs a week on", morning, local(2, 8, 0), true,
         7 * 1440},
        {"after the only window", morning, local(2, 13, 0), false, 9780},
        {"another weekday has no window", morning, local(3, 9, 0), false, 6 * 1440 + 480 - 540},
        {"wrapping window, evening part", overnight, local(2, 23, 30), true,
         7 * 1440 + 1320 - 1410},
        {"wrapping window, early part", overnight, local(2, 1, 0), true, 1320 - 60},
        {"wrapping window, end is exclusive", overnight, local(2, 2, 0), false, 1200},
        {"wrapping window, gap", overnight, local(2, 3, 0), false, 1140},
        {"wrapping window does not reach the next weekday", overnight, local(3, 1, 0), false,
         6 * 1440 + 1320 - 60},
        {"weekend only, Friday night", weekend, local(6, 23, 0), false, 1440 + 540 - 1380},
        {"start equal to end never allows",
         {win(kMon, 600, 600)},
         local(2, 10, 0),
         false,
         7 * 1440},
        {"overlapping windows: any one allows",
         {win(kMon, 480, 540), win(kMon, 510, 720)},
         local(2, 10, 0),
         true,
         7 * 1440 + 480 - 600},
        {"integers beyond a day are taken as they are",
         {win(kMon, 480, 2000)},
         local(2, 23, 59),
         true,
         7 * 1440 + 480 - 1439},
        {"a start too far off to count saturates",
         {AccessWindow{kTue, INT64_MAX, 0, 0}},
         local(2, 8, 0),
         false,
         INT64_MAX},
        {"the earliest later start of today wins",
         {win(kMon, 840, 900), win(kMon, 540, 600), win(kTue, 0, 60)},
         local(2, 8, 0),
         false,
         60},
        {"tomorrow's earliest start, not the first listed",
         {win(kTue, 900, 960), win(kTue, 300, 360), win(kFri, 0, 10)},
         local(2, 20, 0),
         false,
         1440 + 300 - 1200},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AccessWindows::isAllowed(c.at, c.windows), c.allowed) << c.name;
        EXPECT_EQ(AccessWindows::minutesUntilNextWindow(c.at, c.windows), c.next) << c.name;
    }
}

}  // namespace
}  // namespace tarvo
