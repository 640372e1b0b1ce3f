#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "core/Json.h"
#include "server/AccessWindow.h"
#include "server/ServerClient.h"
#include "support/TestSupport.h"

namespace tarvo {
namespace {

using Rules = ServerClient::Rules;
using Kind = ServerClient::SSEEvent::Kind;

TEST(AccessWindows, WireFormParsing) {
    struct Case {
        const char* json;
        std::vector<AccessWindow> want;
    };
    const Case cases[] = {
        {R"([{"dayOfWeek":"1","start":"08:30","end":"2024-01-01T17:00:00Z"}])",
         {{1, 510, 1020, 0}}},
        {R"([{"day_of_week":2,"Start":480,"End":2000,"MaxMinutes":"45"}])", {{2, 480, 2000, 45}}},
        {R"([{"DayOfWeek":7,"start":1,"end":2},{"dayOfWeek":0,"end":5},{"dayOfWeek":0,"start":5}])",
         {}},
        // The first weekday key that yields an integer wins; unusable ones are skipped.
        {R"([{"DayOfWeek":"x","dayOfWeek":3.0,"start":"8:5","end":"23:59:59.999"}])",
         {{3, 485, 1439, 0}}},
        {R"([{"dayOfWeek":1,"start":"24:00","end":"10:00"},{"dayOfWeek":1,"start":"12:60","end":"1"}])",
         {}},
        {R"([{"dayOfWeek":1,"Start":"bad","start":"08:30Z","End":-5,"maxMinutes":1.5,"max_minutes":9}])",
         {{1, 510, -5, 9}}},
        {R"([{"dayOfWeek":" 1","start":"1:00","end":"2:00"},{"dayOfWeek":"+4","start":"T07:00","end":"x:1"}])",
         {}},
        {R"([{"dayOfWeek":"+4","start":"2024-05-06T07:00:00+02:00","end":"2024-05-06T09:15"}])",
         {{4, 420, 555, 0}}},
        {R"([{"dayOfWeek":1,"start":1,"end":2}, 5])", {}},  // not all objects
        {R"([{"dayOfWeek":6,"start":"","end":"a:b"},{"dayOfWeek":6,"start":true,"end":null}])", {}},
    };
    for (const auto& c : cases) {
        auto value = json::parse(c.json);
        ASSERT_TRUE(value) << c.json;
        EXPECT_EQ(AccessWindows::parse(*value), c.want) << c.json;
    }
    EXPECT_TRUE(AccessWindows::parse(nullptr).empty());
}

TEST(ParseRules, KeySpellingsAndTypes) {
    struct Case {
        const char* json;
        std::vector<std::string> white, black;
        std::string deviceId;
        size_t windows;
    };
    const Case cases[] = {
        {R"({"whitelist":["a.com"],"blacklists":[{"Url":"b.com"},{"url":3}]})",
         {"a.com"},
         {"b.com"},
         "OWN",
         0},
        {R"({"whitelist":[{"url":"x.com"},{"Url":"y.com"},{"other":1}],"device_id":"D9"})",
         {"x.com", "y.com"},
         {},
         "D9",
         0},
        {R"({"whitelist":"a.com","blacklist":[" B.com ","B.com",""],"device_id":5})",
         {},
         {" B.com ", "B.com", ""},
         "OWN",
         0},
        // The plural key wins over objects under the singular key; mixed lists count as neither.
        {R"({"whitelists":[{"url":"p.com"}],"whitelist":[{"url":"s.com"}],"blacklist":["a",{"url":"b"}]})",
         {"p.com"},
         {},
         "OWN",
         0},
        {R"({"accessWindows":"junk","AccessWindows":[{"dayOfWeek":1,"start":1,"end":2}]})",
         {},
         {},
         "OWN",
         0},
        {R"({"AccessWindows":[{"dayOfWeek":1,"start":1,"end":2}]})", {}, {}, "OWN", 1},
        {R"({"accessWindows":null,"AccessWindows":[{"dayOfWeek":1,"start":1,"end":2}]})",
         {},
         {},
         "OWN",
         0},
    };
    for (const auto& c : cases) {
        Rules r = ServerClient::parseRules(c.json, "OWN");
        EXPECT_EQ(r.whitelist, c.white) << c.json;
        EXPECT_EQ(r.blacklist, c.black) << c.json;
        EXPECT_EQ(r.deviceId, c.deviceId) << c.json;
        EXPECT_EQ(r.accessWindows.size(), c.windows) << c.json;
    }
}

TEST(ParseRules, WrongShapesThrowTheirErrors) {
    for (const char* notObject : {"[]", "\"x\"", "42", "null"}) {
        try {
            ServerClient::parseRules(notObject, "D");
            ADD_FAILURE() << notObject;
        } catch (const ServerError& e) {
            EXPECT_STREQ(e.what(), "rules not an object");
        }
        try {
            ServerClient::parseAppLimits(notObject);
            ADD_FAILURE() << notObject;
        } catch (const ServerError& e) {
            EXPECT_STREQ(e.what(), "app limits not an object");
        }
    }
    for (const char* notJson : {"", "<html>", "{\"a\":", "\xff\xfe"}) {
        EXPECT_THROW(ServerClient::parseRules(notJson, "D"), JsonError) << notJson;
        EXPECT_THROW(ServerClient::parseAppLimits(notJson), JsonError) << notJson;
    }
}

TEST(ParseAppLimits, KeySpellingsAndDefaults) {
    struct Case {
        const char* json;
        std::set<std::string> ids;
        std::int64_t daily, warn;
    };
    const Case cases[] = {
        {R"({"allowed_bundle_ids":["Com.Apple.Safari"],"daily_minutes":"90"})",
         {"com.apple.safari"},
         90,
         5},
        {R"({"allowed_bundle_ids":"x","allowed_apps":[{"bundle_id":"A.B"},{"bundleId":"C.D"},{"x":1}]})",
         {"a.b", "c.d"},
         0,
         5},
        {R"({"daily_minutes":"9 0","dailyMinutes":30})", {}, 30, 5},
        {R"({"daily_minutes":"abc","warn_at_minutes_remaining":"3","warnAtMinutesRemaining":2})",
         {},
         0,
         2},
        {R"({"daily_minutes":-20,"warn_at_minutes_remaining":1e3})", {}, -20, 1000},
        {R"({"daily_minutes":"+15","allowed_bundle_ids":[],"allowed_apps":[{"bundle_id":"x"}]})",
         {},
         15,
         5},
    };
    for (const auto& c : cases) {
        auto l = ServerClient::parseAppLimits(c.json);
        EXPECT_EQ(l.allowedBundleIds, c.ids) << c.json;
        EXPECT_EQ(l.dailyMinutes, c.daily) << c.json;
        EXPECT_EQ(l.warnAtMinutesRemaining, c.warn) << c.json;
    }
}

TEST(ParseApproval, OnlyApprovedMinutesCount) {
    struct Case {
        const char* body;
        std::int64_t want;
    } cases[] = {
        {R"({"approved":false,"granted_minutes":30})", 0},
        {R"({"approved":true,"grantedMinutes":15})", 15},
        {R"({"approved":true,"granted_minutes":"20","grantedMinutes":10})", 10},
        {R"({"approved":"true","granted_minutes":30})", 0},
        {R"(nope)", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(ServerClient::parseApproval(c.body), c.want) << c.body;
}

TEST(ExtractInt, TagsThenJson) {
    const std::vector<std::string> tags = {"m", "minutes", "granted_minutes"};
    struct Case {
        std::string text;
        std::optional<std::int64_t> want;
    } cases[] = {
        {"<minutes>15</minutes>", 15},
        {R"({"granted_minutes":20})", 20},
        {"<minutes>abc</minutes><granted_minutes>12</granted_minutes>", 12},
        {"<m>1\n</m><m>3</m>", 3},                      // the next opening tag is tried
        {"<m>2</m> <m>9</m>", 2},                       // the first, shortest
        {"<M>2</M>", std::nullopt},                     // case-sensitive
        {"<m>99999999999999999999</m>", std::nullopt},  // beyond 64 bits
        {R"({"minutes":5,"grantedMinutes":6})", 6},
        {"<m>\u00a08\u2003</m>", 8},  // Unicode spaces are trimmed
    };
    for (const auto& c : cases) EXPECT_EQ(ServerClient::extractInt(c.text, tags), c.want) << c.text;
}

TEST(ClassifySSEPayload, FirstRuleThatAppliesWins) {
    struct Case {
        std::string payload;
        std::optional<Kind> kind;
        std::int64_t minutes = 0;
        size_t white = 0;
    } cases[] = {
        {R"({"type":"force_update"})", Kind::forceUpdate},
        {R"({"type":"MORE_TIME_APPROVED","granted_minutes":15})", Kind::moreTimeApproved, 15},
        {"moreTimeApproved", Kind::moreTimeApproved, 0},
        {"more_time_approved <m>10</m> force_update", Kind::moreTimeApproved, 10},
        {R"({"type":"forceUpdate"})", std::nullopt},
        {R"({"type":"forceUpdate","whitelist":["a.com"]})", Kind::rulesUpdated, 0, 1},
        {R"({"blacklists":7})", Kind::rulesUpdated},
        {R"({"Whitelist":["a"]})", std::nullopt},
        {"{\"whitelist\":[\"a\",\"b\"]}\r", Kind::rulesUpdated, 0, 2},
    };
    for (const auto& c : cases) {
        auto e = ServerClient::classifySSEPayload(c.payload, "OWN");
        ASSERT_EQ(e.has_value(), c.kind.has_value()) << c.payload;
        if (!e) continue;
        EXPECT_EQ(e->kind, *c.kind) << c.payload;
        EXPECT_EQ(e->minutes, c.minutes) << c.payload;
        EXPECT_EQ(e->rules.whitelist.size(), c.white) << c.payload;
    }
}

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
