#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "server/AppLimitsCache.h"
#include "server/SettingsCache.h"
#include "support/FakeService.h"
#include "support/Processes.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;

// (What each call sends, and what the real service makes of it, is shown by
// the service's contract tests; an unreachable service by AgentStart.)
TEST(ServerClient, ErrorAnswersRetriesAndTheCache) {
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

    // A cache from an earlier run: used after the failures.
    SettingsCache::save(R"({"whitelist":["a","b"]})", "kid", "X");
    auto cached = cl->fetchRulesWithRetryAndCache(2, 7);
    EXPECT_EQ(cached.value().whitelist, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(service.requests("/api/GetUserSettingsByDeviceId").size(), 7u);

    // A config.json no administrator wrote names neither the server nor the
    // device: a child's would point the setup window at a look-alike page.
    const std::string ownId = cl->deviceId();
    test::writeConfig({{"api", "http://child.example/"}, {"device_id", "CHILDS"}});
    ASSERT_EQ(::chown(Paths::configFile().c_str(), test::kNobody, test::kNobody), 0);
    auto untrusted = ServerClient::create(test::testOptions());
    EXPECT_EQ(untrusted->api(), test::testOptions().defaultBaseUrl);
    EXPECT_EQ(untrusted->deviceId(), ownId);
    ASSERT_EQ(::chown(Paths::configFile().c_str(), 0, 0), 0);
    auto trusted = ServerClient::create(test::testOptions());
    EXPECT_EQ(trusted->api(), "http://child.example/");
    EXPECT_EQ(trusted->deviceId(), "CHILDS");
}

// The limits are kept for when the service cannot be reached. (The day's start
// sent with each fetch, and grants asked for by request: see AgentTest.)
TEST(ServerClient, AppLimitsAndTheirCache) {
    test::TempRoot root;
    test::FakeService service;
    test::writeConfig({{"api", service.url()}});
    auto cl = ServerClient::create(test::testOptions());
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
