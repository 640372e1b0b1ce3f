#include <gtest/gtest.h>
#include <filesystem>

#include "server/SettingsCache.h"
#include "support/FakeService.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::logLinesWith;

class ServerClientTest : public ::testing::Test {
  protected:
    std::shared_ptr<ServerClient> client(ServerClient::Options o = test::testOptions()) {
        test::writeConfig({{"api", service.url()}});
        return ServerClient::create(std::move(o));
    }
    test::TempRoot root;
    test::FakeService service;
};

// (What each call sends, and what the real service makes of it, is shown by
// the service's contract tests.)
TEST_F(ServerClientTest, ErrorStatusesWrongShapesAndNoServer) {
    auto cl = client();
    service.answer("/api/GetUsersForDeviceId", 404, R"(["a"])");
    EXPECT_THROW(cl->getUsersForDeviceId(), ServerError);
    service.answer("/api/GetUsersForDeviceId", 200, R"({"users":["a",1]})");
    EXPECT_THROW(cl->getUsersForDeviceId(), ServerError);
    // The never-throwing calls log and return.
    service.answer("/api/CheckMoreTimeApproval", 500, R"({"approved":true,"granted_minutes":30})");
    service.answer("/api/UpdateProcessUsage", 500, "");
    EXPECT_EQ(cl->checkMoreTimeApproval(), 0);
    cl->reportUsage({{"com.a", "A", 1, {}}});
    EXPECT_EQ(logLinesWith("[server] WARN  usage report failed: HTTP 500").size(), 1u);

    // Nothing listening: the call logs and returns (time-outs: see the HTTP tests).
    test::writeConfig({{"api", "http://127.0.0.1:" + std::to_string(test::deadPort())}});
    ServerClient::create(test::testOptions())->checkInCurrentUser();
    EXPECT_EQ(logLinesWith("[server] WARN  check-in failed: ").size(), 1u);
}

TEST_F(ServerClientTest, RetryThenCacheThenNothing) {
    std::vector<std::chrono::seconds> pauses;
    auto options = test::testOptions();
    options.sleep = [&](std::chrono::seconds s) { pauses.push_back(s); };
    auto cl = client(options);
    // Only settings with entries are cached: an empty answer never replaces them.
    service.answer("/api/GetUserSettingsByDeviceId", 200, R"({"whitelist":["w"]})");
    cl->fetchRules();
    service.answer("/api/GetUserSettingsByDeviceId", 200, R"({"whitelist":[],"blacklist":[]})");
    cl->fetchRules();
    EXPECT_EQ(cl->cachedRules().value().whitelist, std::vector<std::string>{"w"});
    std::filesystem::remove(SettingsCache::path());

    // No cache: three WARN lines, two pauses, one ERROR, none.
    service.answer("/api/GetUserSettingsByDeviceId", 503, "");
    EXPECT_FALSE(cl->fetchRulesWithRetryAndCache(3, 2));
    EXPECT_EQ(pauses, (std::vector<std::chrono::seconds>{2s, 2s}));

    // A cache from an earlier run: used after the failures.
    SettingsCache::save(R"({"whitelist":["a","b"]})", "kid", "X", fromUnixSeconds(1'700'000'000));
    auto cached = cl->fetchRulesWithRetryAndCache(2, 7);
    EXPECT_EQ(cached.value().whitelist, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(service.requests("/api/GetUserSettingsByDeviceId").size(), 7u);
}

TEST(SettingsCache, EnvelopeOwnershipAndWhatLoadMakesOfEachFile) {
    const std::string rules = R"({"whitelist":["a.com"]})";
    const std::string envelope = R"({"schema":1,"username":"Kid","payload":{"a":1}})";
    struct Case {
        const char* name;
        std::string file;
        std::string user;
        std::optional<std::string> want;
        bool kept;
    } cases[] = {
        {"not JSON", "{oops", "kid", {}, true},
        {"bare settings of an older build", rules, "kid", rules, true},
        {"envelope, another letter case", envelope, "kID", R"({"a":1})", true},
        {"another child's envelope is deleted", envelope, "sibling", {}, false},
        {"envelope without username", R"({"schema":1,"payload":{}})", "kid", {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempRoot root;
        test::writeText(SettingsCache::path(), c.file);
        auto got = SettingsCache::load(c.user);
        ASSERT_EQ(got.has_value(), c.want.has_value());
        if (got) {
            EXPECT_EQ(json::parse(*got), json::parse(*c.want));
        }
        EXPECT_EQ(test::exists(SettingsCache::path()), c.kept);
    }

    test::TempRoot root;
    SettingsCache::save(rules, "Kid", "DEV-1", fromUnixSeconds(1'767'225'600));
    SettingsCache::save("<html>502</html>", "Kid", "D");  // refused: the file stays
    EXPECT_EQ(json::parse(test::readText(SettingsCache::path())),
              (json{{"schema", 1},
                    {"username", "Kid"},
                    {"device_id", "DEV-1"},
                    {"cached_at", "2026-01-01T00:00:00Z"},
                    {"payload", json::parse(rules)}}));
}

}  // namespace
}  // namespace tarvo
