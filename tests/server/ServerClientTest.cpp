#include <gtest/gtest.h>

#include <atomic>

#include "server/AccessWindow.h"
#include "server/AppLimitsCache.h"
#include "server/SettingsCache.h"
#include "support/FakeService.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using Kind = ServerClient::SSEEvent::Kind;

TEST(AccessWindows, WireFormParsingAndWhatIsAllowedWhenInLocalTime) {
    const std::pair<const char*, std::vector<AccessWindow>> cases[] = {
        {R"([{"dayOfWeek":"1","start":"08:30","end":"2024-01-01T17:00:00Z"}])",
         {{1, 510, 1020, 0}}},
        {R"([{"DayOfWeek":7,"start":1,"end":2},{"dayOfWeek":0,"end":5}])", {}},
        {R"([{"dayOfWeek":1,"start":"24:00","end":"10:00"},{"dayOfWeek":1,"start":"12:60","end":"13:00"}])",
         {}},
        {R"([{"dayOfWeek":" 1","start":"1:00","end":"2:00"},{"dayOfWeek":6,"start":true,"end":null}])",
         {}},
        {R"([{"dayOfWeek":1,"start":1,"end":2}, 5])", {}},  // not all objects
    };
    for (const auto& [text, want] : cases)
        EXPECT_EQ(AccessWindows::parse(*json::parse(text)), want) << text;

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
        times[] = {
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
    for (const auto& [name, windows, at, allowed, next] : times) {
        EXPECT_EQ(AccessWindows::isAllowed(at, windows), allowed) << name;
        EXPECT_EQ(AccessWindows::minutesUntilNextWindow(at, windows), next) << name;
    }
}

std::string joined(const auto& list) {
    std::string out;
    for (const auto& item : list) out += item + ",";
    return out;
}

// Each answer with what is read from it: whitelist | blacklist | device.
TEST(ParseRulesAndLimits, KeySpellingsTypesWrongShapesTheDaysFiguresAndGrants) {
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
    EXPECT_EQ(ServerClient::parseApproval(R"({"approved":"true","granted_minutes":30})"), 0);
    EXPECT_THROW(ServerClient::parseRules("[]", "D"), ServerError);
    EXPECT_THROW(ServerClient::parseAppLimits("null"), ServerError);
    EXPECT_THROW(ServerClient::parseRules("<html>", "D"), JsonError);

    // The day's figures beside the app limits: three spellings; a wrong type or a
    // negative count is absent.
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
        const auto got = ServerClient::parseAppLimits(text);
        EXPECT_EQ(Figures(got.grantedMinutesToday, got.usedSecondsToday), want) << text;
    }

    // An approval asked for by request: each named grant on its own, the rest of
    // the total as one grant without an id (all of it from an older service).
    using G = ServerClient::Grant;
    const std::pair<const char*, std::vector<G>> approvals[] = {
        {R"({"approved":true,"granted_minutes":15,"grants":[{"request_id":7,"granted_minutes":10},{"requestId":8,"grantedMinutes":5}]})",
         {{7, 10}, {8, 5}}},
        {R"({"approved":true,"granted_minutes":15})", {{std::nullopt, 15}}},
        {R"({"approved":true,"granted_minutes":11,"grants":[{"request_id":7,"granted_minutes":10}]})",
         {{7, 10}, {std::nullopt, 1}}},
        {R"({"approved":true,"grantedMinutes":15,"Grants":[{"request_id":"7","granted_minutes":10},{"RequestId":9,"GrantedMinutes":5}]})",
         {{9, 5}, {std::nullopt, 10}}},
        {R"({"approved":true,"granted_minutes":10,"grants":[{"request_id":6,"granted_minutes":0},{"request_id":7,"granted_minutes":1}]})",
         {{7, 1}, {std::nullopt, 9}}},
        {R"({"approved":false,"granted_minutes":15,"grants":[{"request_id":7,"granted_minutes":15}]})",
         {}},
        {R"({"approved":true,"granted_minutes":15,"grants":{"request_id":7}})",
         {{std::nullopt, 15}}},
    };
    for (const auto& [text, want] : approvals)
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

std::vector<std::string> feed(const std::vector<std::string>& chunks) {
    std::vector<std::string> payloads;
    SSEDelegate delegate([&](const std::string& p) { payloads.push_back(p); });
    for (const auto& c : chunks) delegate.didReceive(c);
    return payloads;
}

// Every stream gives the same payloads whole and cut at each single byte
// position (inside "data:", inside a multi-byte character, between "\r\n"
// pairs).
TEST(SSEDelegate, FramingSurvivesEverySplitAndABrokenByteLosesOnlyItsOwnBlock) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"data: a\r\ndata: b\r\n\r\n", {"a\r\nb"}},
        {": heartbeat\n\nevent: x\nid: 3\n\ndat a: no\ndata\n\n", {}},
        {"event: rules\ndata: é€😀\n\ndata: kept\n\ndata: no separator yet", {"é€😀", "kept"}},
        {"data:x\n  data:   y \t\n\n", {"x\ny"}},
        {"data: \u00a0spaced\u3000\n\n", {"spaced"}},
    };
    for (const auto& [stream, want] : cases) {
        SCOPED_TRACE(stream);
        EXPECT_EQ(feed({stream}), want);
        for (size_t cut = 1; cut < stream.size(); ++cut)
            EXPECT_EQ(feed({stream.substr(0, cut), stream.substr(cut)}), want) << cut;
    }

    // A block that is not UTF-8 is lost alone: its neighbours, in the same chunk
    // or the next, arrive whole and apart.
    const std::pair<std::vector<std::string>, std::vector<std::string>> broken[] = {
        {{"data: a\n\n", "data: \xff bad\n\n", "data: c\n\n"}, {"a", "c"}},
        {{"data: a\n\ndata: \xff bad\n\ndata: c\n\n"}, {"a", "c"}},
        // A lead byte the next chunk does not complete spoils its block only.
        {{"data: a\xe2", "\x82\n\ndata: b\n\n", "data: c\n\n"}, {"b", "c"}},
        {{"data: \xe2\x82", "x\n\n"}, {}},
        {{"data: \xf0", "\x9f", "\x98\x80\n\n"}, {"\xf0\x9f\x98\x80"}},
        {{"data: \xc3", "\xa9\r\n\r\ndata: \xc3\xa9\n\n"}, {"\xc3\xa9", "\xc3\xa9"}},
    };
    for (const auto& [chunks, want] : broken) EXPECT_EQ(feed(chunks), want) << chunks.front();

    // A runaway buffer is dropped whole: only what follows it arrives.
    std::vector<std::string> runaway(SSEDelegate::kMaxBuffer / (1 << 20) + 1,
                                     std::string(1 << 20, 'x'));
    runaway.front() = "data: ";
    runaway.push_back("data: next\n\n");
    EXPECT_EQ(feed(runaway), std::vector<std::string>{"next"});
    // The cap holds a block of its own size; one byte more is dropped.
    const std::string full(SSEDelegate::kMaxBuffer - 6, 'x');
    EXPECT_EQ(feed({"data: " + full, "\n\n"}), std::vector<std::string>{full});
    EXPECT_EQ(feed({"data: x" + full, "\n\ndata: next\n\n"}), std::vector<std::string>{"next"});
}

// However the session ends (released, cancelled from its own handler, its
// client gone, the server closing), no event follows, and no warning.
TEST(EventStream, NothingIsDeliveredOnceTheSessionEnds) {
    test::TempRoot root;
    for (int how = 1; how < 5; ++how) {
        SCOPED_TRACE(how);
        test::FakeService service;
        test::writeConfig({{"api", service.url() + "/"}});
        auto client = ServerClient::create(test::testOptions());
        std::mutex mutex;
        std::atomic<int> blocks = 0;
        std::vector<Kind> events;
        std::shared_ptr<SSESession> session;
        auto waitFor = [&](int blocksAtLeast) {
            return test::polling::waitUntil([&] {
                std::lock_guard lock(mutex);
                return !events.empty() && blocks >= blocksAtLeast;
            });
        };
        {
            std::lock_guard lock(mutex);  // the event handler waits until `session` is set
            session = client->subscribeEvents([&] { ++blocks; },
                                              [&](const ServerClient::SSEEvent& e) {
                                                  std::lock_guard lock(mutex);
                                                  events.push_back(e.kind);
                                                  if (how == 2) session->cancel();
                                              });
        }
        service.events.write(": connected\n\ndata: force_update\n\n");
        ASSERT_TRUE(waitFor(1));
        std::weak_ptr<SSESession> weak = session;
        if (how == 1) session.reset();
        if (how == 3) client.reset();
        if (how == 4) service.events.close();
        if (how != 4) service.events.write("data: force_update\n\n");
        if (how == 3) {
            EXPECT_TRUE(waitFor(2));  // the block arrived, but no event came of it
            session->cancel();
        } else if (auto held = weak.lock()) {
            EXPECT_TRUE(test::polling::waitUntil([&] { return !held->running(); }));
        }
        std::lock_guard lock(mutex);
        EXPECT_EQ(events, std::vector<Kind>{Kind::forceUpdate});
        EXPECT_EQ(service.events.accept(), "text/event-stream");
    }
    EXPECT_TRUE(test::logLinesWith("WARN").empty());
}

// (What each call sends, and what the real service makes of it, is shown by
// the service's contract tests; an unreachable service by AgentStart.)
TEST(ServerClient, ErrorAnswersRetriesAndTheCaches) {
    test::TempRoot root;
    test::FakeService service;
    test::writeConfig({{"api", service.url()}});
    std::vector<std::chrono::seconds> pauses;
    auto options = test::testOptions();
    options.sleep = [&](std::chrono::seconds s) { pauses.push_back(s); };
    auto cl = ServerClient::create(std::move(options));
    service.answer("/api/GetUsersForDeviceId", 200, R"({"users":["a",1]})");
    EXPECT_THROW(cl->getUsersForDeviceId(), ServerError);
    // The never-throwing calls log and return; an error status grants nothing.
    service.answer("/api/CheckMoreTimeApproval", 500, R"({"approved":true,"granted_minutes":30})");
    service.answer("/api/UpdateProcessUsage", 500, "");
    EXPECT_EQ(cl->checkMoreTimeApproval(), 0);
    cl->reportUsage({{"com.a", "A", 1, {}}});
    EXPECT_EQ(test::logLinesWith("[server] WARN  usage report failed: HTTP 500").size(), 1u);

    // Only settings with entries are cached: an empty answer never replaces them.
    service.answer("/api/GetUserSettingsByDeviceId", 200, R"({"whitelist":["w"]})");
    cl->fetchRules();
    service.answer("/api/GetUserSettingsByDeviceId", 200, R"({"whitelist":[],"blacklist":[]})");
    cl->fetchRules();
    EXPECT_EQ(cl->cachedRules().value().whitelist, std::vector<std::string>{"w"});
    std::filesystem::remove(SettingsCache::path());

    // No cache: three attempts, two pauses, nothing.
    service.answer("/api/GetUserSettingsByDeviceId", 503, "");
    EXPECT_FALSE(cl->fetchRulesWithRetryAndCache(3, 2));
    EXPECT_EQ(pauses, (std::vector<std::chrono::seconds>{2s, 2s}));
    EXPECT_FALSE(cl->fetchRulesWithRetryAndCache(0, 2)) << "one attempt at least";

    // A cache from an earlier run: used after the failures.
    SettingsCache::save(R"({"whitelist":["a","b"]})", "kid", "X");
    auto cached = cl->fetchRulesWithRetryAndCache(2, 7);
    EXPECT_EQ(cached.value().whitelist, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(service.requests("/api/GetUserSettingsByDeviceId").size(), 8u);

    // The limits are kept for when the service cannot be reached. (The day's start
    // sent with each fetch, and grants asked for by request: see AgentTest.)
    service.answer("/api/GetAppLimits", 200,
                   R"({"allowed_bundle_ids":["A"],"daily_minutes":90,"granted_minutes_today":5})");
    auto fetched = cl->fetchAppLimits();
    fetched.grantedMinutesToday.reset();  // the day's figures held when fetched, not later
    EXPECT_EQ(cl->cachedAppLimits(), fetched);
    service.answer("/api/GetAppLimits", 200, "[]");
    EXPECT_THROW(cl->fetchAppLimits(), ServerError);
    EXPECT_EQ(cl->cachedAppLimits(), fetched) << "a bad answer leaves the cache alone";

    // Each cache file: the quota it gives, whether it stays, and what is logged.
    const std::string other = R"({"schema":1,"username":"sam","payload":{"daily_minutes":1}})";
    const std::tuple<std::string, std::optional<std::int64_t>, bool, std::string> files[] = {
        {R"({"schema":1,"username":"KID","payload":{"daily_minutes":30}})", 30, true, ""},
        {"{oops", std::nullopt, true, "are unusable — ignoring "},
        {R"({"schema":1,"username":"kid","payload":[1]})", std::nullopt, true, "are unusable"},
        {other, std::nullopt, false, "belong to 'sam', not 'kid' — discarding them"},
    };
    for (const auto& [file, quota, kept, logged] : files) {
        SCOPED_TRACE(file);
        std::filesystem::remove(Paths::agentLog());
        test::writeText(AppLimitsCache::path(), file);
        auto limits = cl->cachedAppLimits();
        EXPECT_EQ(limits ? std::optional(limits->dailyMinutes) : std::nullopt, quota);
        EXPECT_EQ(test::exists(AppLimitsCache::path()), kept);
        EXPECT_EQ(test::logLinesWith("[cache] WARN  cached app limits " + logged).size(),
                  logged.empty() ? 0u : 1u);
        EXPECT_EQ(test::logLinesWith("[cache] WARN").size(), logged.empty() ? 0u : 1u);
    }

    // config.json names the server and the device (one no administrator wrote names
    // neither: the reader's tests).
    test::writeConfig({{"api", "http://child.example/"}, {"device_id", "CHILDS"}});
    auto trusted = ServerClient::create(test::testOptions());
    EXPECT_EQ(trusted->api(), "http://child.example/");
    EXPECT_EQ(trusted->deviceId(), "CHILDS");
}

TEST(SettingsCache, EnvelopeOwnershipAndWhatLoadMakesOfEachFile) {
    const std::string rules = R"({"whitelist":["a.com"]})";
    const std::string envelope = R"({"schema":1,"username":"Kid","payload":{"a":1}})";
    // Each file, the user asking, what load returns and whether the file stays.
    const std::tuple<std::string, std::string, std::optional<std::string>, bool> cases[] = {
        {"{oops", "kid", {}, true},
        {rules, "kid", rules, true},  // bare settings of an older build
        {envelope, "kID", R"({"a":1})", true},
        {envelope, "sibling", {}, false},
    };
    for (const auto& [file, user, want, kept] : cases) {
        SCOPED_TRACE(file + " for " + user);
        test::TempRoot root;
        test::writeText(SettingsCache::path(), file);
        EXPECT_EQ(SettingsCache::load(user), want);
        EXPECT_EQ(test::exists(SettingsCache::path()), kept);
    }

    test::TempRoot root;
    SettingsCache::save(rules, "Kid", "DEV-1");
    SettingsCache::save("<html>502</html>", "Kid", "D");  // refused: the file stays
    EXPECT_EQ(SettingsCache::load("kid"), rules);
}

}  // namespace
}  // namespace tarvo
