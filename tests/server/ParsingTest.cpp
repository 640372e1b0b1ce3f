#include <gtest/gtest.h>

#include "core/Json.h"
#include "server/AccessWindow.h"
#include "server/ServerClient.h"
#include "support/TestSupport.h"

namespace tarvo {
namespace {

TEST(AccessWindows, WireFormParsing) {
    const std::pair<const char*, std::vector<AccessWindow>> cases[] = {
        {R"([{"dayOfWeek":"1","start":"08:30","end":"2024-01-01T17:00:00Z"}])",
         {{1, 510, 1020, 0}}},
        {R"([{"DayOfWeek":7,"start":1,"end":2},{"dayOfWeek":0,"end":5}])", {}},
        {R"([{"dayOfWeek":1,"start":"24:00","end":"10:00"},{"dayOfWeek":1,"start":"12:60","end":"1"}])",
         {}},
        {R"([{"dayOfWeek":" 1","start":"1:00","end":"2:00"},{"dayOfWeek":6,"start":true,"end":null}])",
         {}},
        {R"([{"dayOfWeek":1,"start":1,"end":2}, 5])", {}},  // not all objects
    };
    for (const auto& [text, want] : cases)
        EXPECT_EQ(AccessWindows::parse(*json::parse(text)), want) << text;
}

std::string joined(const auto& list) {
    std::string out;
    for (const auto& item : list) out += item + ",";
    return out;
}

// Each answer with what is read from it: whitelist | blacklist | device.
TEST(ParseRulesAndLimits, KeySpellingsTypesAndWrongShapes) {
    const std::pair<const char*, const char*> rules[] = {
        {R"({"whitelist":[{"url":"x.com"},{"Url":"y.com"},{"other":1}],"blacklists":[{"Url":"b.com"}],"device_id":"D9"})",
         "x.com,y.com,|b.com,|D9"},
        {R"({"whitelist":"a.com","blacklist":[" B.com ",""],"device_id":5})", "| B.com ,,|OWN"},
        // The plural key wins over the singular; mixed lists count as neither.
        {R"({"whitelists":[{"url":"p.com"}],"whitelist":[{"url":"s.com"}],"blacklist":["a",{"url":"b"}]})",
         "p.com,||OWN"},
    };
    for (const auto& [text, want] : rules) {
        auto r = ServerClient::parseRules(text, "OWN");
        EXPECT_EQ(joined(r.whitelist) + "|" + joined(r.blacklist) + "|" + r.deviceId, want) << text;
    }
    auto limits = ServerClient::parseAppLimits(
        R"({"allowed_bundle_ids":["Com.Apple.Safari"],"daily_minutes":"90"})");
    EXPECT_EQ(joined(limits.allowedBundleIds) + std::to_string(limits.dailyMinutes) + "|" +
                  std::to_string(limits.warnAtMinutesRemaining),
              "com.apple.safari,90|5");
    EXPECT_EQ(ServerClient::parseApproval(R"({"approved":true,"grantedMinutes":15})"), 15);
    EXPECT_EQ(ServerClient::parseApproval(R"({"approved":"true","granted_minutes":30})"), 0);
    EXPECT_THROW(ServerClient::parseRules("[]", "D"), ServerError);
    EXPECT_THROW(ServerClient::parseAppLimits("null"), ServerError);
    EXPECT_THROW(ServerClient::parseRules("<html>", "D"), JsonError);
}

// The day's figures beside the app limits: three spellings; a wrong type or a
// negative count is absent.
TEST(ParseRulesAndLimits, TheDaysFiguresBesideTheLimits) {
    using Figures = std::pair<std::optional<std::int64_t>, std::optional<std::int64_t>>;
    const std::pair<const char*, Figures> cases[] = {
        {R"({"granted_minutes_today":15,"used_seconds_today":4500})", {15, 4500}},
        {R"({"grantedMinutesToday":0,"usedSecondsToday":0})", {0, 0}},
        {R"({"GrantedMinutesToday":2,"UsedSecondsToday":3.0})", {2, 3}},
        {R"({"granted_minutes_today":"15","used_seconds_today":-1})", {}},
        {R"({"granted_minutes_today":1.5,"used_seconds_today":null})", {}},
        {R"({"daily_minutes":60})", {}},
    };
    for (const auto& [text, want] : cases) {
        auto limits = ServerClient::parseAppLimits(text);
        EXPECT_EQ(Figures(limits.grantedMinutesToday, limits.usedSecondsToday), want) << text;
    }
}

// An approval asked for by request: each named grant on its own, the rest of
// the total as one grant without an id (all of it from an older service).
TEST(ParseRulesAndLimits, ApprovalGrantsByRequest) {
    using G = ServerClient::Grant;
    const std::pair<const char*, std::vector<G>> cases[] = {
        {R"({"approved":true,"granted_minutes":15,"grants":[{"request_id":7,"granted_minutes":10},{"requestId":8,"grantedMinutes":5}]})",
         {{7, 10}, {8, 5}}},
        {R"({"approved":true,"granted_minutes":15})", {{std::nullopt, 15}}},
        {R"({"approved":true,"grantedMinutes":15,"Grants":[{"request_id":"7","granted_minutes":10},{"RequestId":9,"GrantedMinutes":5}]})",
         {{9, 5}, {std::nullopt, 10}}},
        {R"({"approved":true,"granted_minutes":10,"grants":[{"request_id":6,"granted_minutes":0},{"request_id":7,"granted_minutes":1}]})",
         {{7, 1}, {std::nullopt, 9}}},
        {R"({"approved":false,"granted_minutes":15,"grants":[{"request_id":7,"granted_minutes":15}]})",
         {}},
        {R"({"approved":true,"granted_minutes":15,"grants":{"request_id":7}})",
         {{std::nullopt, 15}}},
    };
    for (const auto& [text, want] : cases)
        EXPECT_TRUE(ServerClient::parseApprovalGrants(text) == want) << text;

    // A pushed grant names its request the same way.
    const std::pair<const char*, std::optional<std::int64_t>> events[] = {
        {R"({"type":"more_time_approved","granted_minutes":10,"request_id":7})", 7},
        {R"({"type":"more_time_approved","granted_minutes":10,"request_id":"7"})", std::nullopt},
        {"more_time_approved <minutes>10</minutes>", std::nullopt},
    };
    for (const auto& [payload, id] : events) {
        auto event = ServerClient::classifySSEPayload(payload, "D");
        ASSERT_TRUE(event) << payload;
        EXPECT_EQ(event->minutes, 10) << payload;
        EXPECT_EQ(event->requestId, id) << payload;
    }
}

TEST(AccessWindowsTime, AllowedAndNextWindowInLocalTime) {
    // Los Angeles is eight hours behind UTC in early March, so late evenings
    // there fall on the next UTC weekday: local time must be used throughout.
    test::ScopedTimeZone tz("America/Los_Angeles");
    // Monday 2026-03-02 00:00 there is 08:00 UTC.
    auto local = [](int day, int hour, int minute) {
        return fromUnixSeconds(1'772'438'400 + ((day - 2) * 1440 + hour * 60 + minute) * 60);
    };
    constexpr int kMon = 1, kTue = 2, kSat = 6;
    const std::vector<AccessWindow> morning = {{kMon, 480, 720, 0}};
    const std::vector<AccessWindow> overnight = {{kMon, 1320, 120, 0}};
    const std::vector<AccessWindow> several = {
        {kSat, 0, 10, 0}, {kTue, 900, 960, 0}, {kTue, 300, 360, 0}};
    const std::tuple<const char*, std::vector<AccessWindow>, WallTime, bool,
                     std::optional<std::int64_t>>
        cases[] = {
            {"empty schedule", {}, local(2, 3, 0), true, std::nullopt},
            {"end is exclusive", morning, local(2, 12, 0), false, 7 * 1440 + 480 - 720},
            {"start is inclusive", morning, local(2, 8, 0), true, 7 * 1440},
            {"wrapping window, evening part", overnight, local(2, 23, 30), true,
             7 * 1440 + 1320 - 1410},
            {"wrapping window, early part", overnight, local(2, 1, 59), true, 1320 - 119},
            {"wrapping window, end is exclusive", overnight, local(2, 2, 0), false, 1200},
            {"wrapping window does not reach the next weekday", overnight, local(3, 1, 0), false,
             6 * 1440 + 1320 - 60},
            {"the earliest later start wins, not the first listed", several, local(2, 20, 0), false,
             1440 + 300 - 1200},
        };
    for (const auto& [name, windows, at, allowed, next] : cases) {
        EXPECT_EQ(AccessWindows::isAllowed(at, windows), allowed) << name;
        EXPECT_EQ(AccessWindows::minutesUntilNextWindow(at, windows), next) << name;
    }
}

}  // namespace
}  // namespace tarvo
