#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tarvo
