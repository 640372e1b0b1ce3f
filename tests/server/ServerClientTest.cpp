#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>

#include "server/SettingsCache.h"
#include "support/FakeService.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::FakeService;
using test::logLinesWith;

class ServerClientTest : public ::testing::Test {
  protected:
    std::shared_ptr<ServerClient> client(ServerClient::Options o = test::testOptions()) {
        test::writeConfig({{"api", service.url()}});
        return ServerClient::create(std::move(o));
    }
    test::TempRoot root;
    FakeService service;
};

TEST_F(ServerClientTest, BaseUrlPrecedence) {
    const std::string env = "http://127.0.0.1:1/env/";
    struct Case {
        const char* name;
        std::optional<std::string> envValue;
        std::optional<std::string> config;  // config.json text; none = absent
        std::string want;
    } cases[] = {
        {"neither", {}, {}, ServerClient::kDefaultBaseUrl},
        {"environment", env, {}, env},
        {"config over environment", env, json{{"api", "http://cfg.example/x"}}.dump(),
         "http://cfg.example/x"},
        {"environment not a URL", "not a url", {}, ServerClient::kDefaultBaseUrl},
        {"config api not a URL", env, R"({"api":"relative/path"})", env},
        {"config not JSON", env, "{broken", env},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempRoot r;
        test::EnvGuard guard("TARVO_BASE_URL", c.envValue);
        if (c.config) test::writeText(Paths::configFile(), *c.config);
        auto cl = ServerClient::create(test::testOptions());
        EXPECT_EQ(cl->api(), c.want);
        EXPECT_EQ(logLinesWith("[server] INFO  ServerClient: api=" + c.want +
                               " device=" + test::kTestUuid + " user=kid")
                      .size(),
                  1u);
        EXPECT_TRUE(logLinesWith("WARN").empty());
    }
}

TEST_F(ServerClientTest, EveryEndpointSendsItsRequest) {
    auto clock = std::make_shared<VirtualClock>(fromUnixSeconds(1'767'225'600.75));
    auto cl = client(test::testOptions(clock));
    // Proxies in the environment are never used: the filtering proxy is our own.
    const std::string dead = "http://127.0.0.1:" + std::to_string(test::deadPort());
    test::EnvGuard p1("http_proxy", dead), p2("HTTPS_PROXY", dead), p3("ALL_PROXY", dead),
        p4("no_proxy", std::nullopt);
    service.answer("/api/GetUsersForDeviceId", 200, R"(["kid"])");
    service.answer("/api/GetChildAccountDevices", 200, R"({"kid":"D1"})");
    const std::string d = test::kTestUuid;
    struct Case {
        std::function<void()> call;
        std::string method, target;
        json body;  // null for GET
    } cases[] = {
        {[&] { cl->checkInCurrentUser(); }, "GET",
         "/api/CheckinCurrentUser?deviceId=" + d +
             "&computer_name=kids-mac&os=macos&version=0.2.15&user=kid"},
        {[&] { cl->fetchRules(); }, "GET",
         "/api/GetUserSettingsByDeviceId?device_id=" + d + "&computer_name=kids-mac&username=kid"},
        {[&] { cl->fetchAppLimits(); }, "GET",
         "/api/GetAppLimits?device_id=" + d + "&computer_name=kids-mac&username=kid"},
        {[&] { cl->checkMoreTimeApproval(); }, "GET",
         "/api/CheckMoreTimeApproval?deviceId=" + d + "&username=kid"},
        {[&] { cl->getUsersForDeviceId(); }, "GET", "/api/GetUsersForDeviceId?deviceId=" + d},
        {[&] { cl->getChildAccountDevices("t k/n"); }, "GET",
         "/api/GetChildAccountDevices?token=t%20k%2Fn"},
        {[&] { cl->requestMoreTime(15, "homework é"); },
         "POST",
         "/api/RequestMoreTime",
         {{"device_id", d},
          {"username", "kid"},
          {"computer_name", "kids-mac"},
          {"requested_minutes", 15},
          {"reason", "homework é"},
          {"requested_at", "2026-01-01T00:00:00Z"}}},
        {[&] {
             cl->reportUsage({{"com.a", "A", 30, fromUnixSeconds(1'767'225'000.9)},
                              {"com.b", "B", 5, fromUnixSeconds(1'767'225'060)}});
         },
         "POST",
         "/api/UpdateProcessUsage",
         {{"device_id", d},
          {"username", "kid"},
          {"computer_name", "kids-mac"},
          {"samples", json::array({{{"bundle_id", "com.a"},
                                    {"app_name", "A"},
                                    {"seconds", 30},
                                    {"sampled_at", "2025-12-31T23:50:00Z"}},
                                   {{"bundle_id", "com.b"},
                                    {"app_name", "B"},
                                    {"seconds", 5},
                                    {"sampled_at", "2025-12-31T23:51:00Z"}}})}}},
        {[&] { cl->reportAppLimitReached("com.game", "Game"); },
         "POST",
         "/api/ReportAppLimitReached",
         {{"device_id", d},
          {"username", "kid"},
          {"bundle_id", "com.game"},
          {"app_name", "Game"},
          {"at", "2026-01-01T00:00:00Z"}}},
        {[&] {
             cl->setDesktopSettings("tok", {"kid", "teen"});
         },
         "POST",
         "/api/SetDesktopSettings",
         {{"device_id", d},
          {"computer_name", "kids-mac"},
          {"users", {"kid", "teen"}},
          {"os", "macos"},
          {"token", "tok"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        const size_t before = service.http.count();
        c.call();
        auto got = service.http.received();
        ASSERT_EQ(got.size(), before + 1);
        EXPECT_EQ(got.back().method, c.method);
        EXPECT_EQ(got.back().target, c.target);
        if (c.method == "POST") {
            EXPECT_EQ(got.back().headers.find("Content-Type")->second, "application/json");
            const std::string body = got.back().body;
            EXPECT_EQ(json::parse(body), c.body);
            // Compact: no pretty printing.
            EXPECT_EQ(body.find('\n'), std::string::npos);
        }
    }
    EXPECT_TRUE(logLinesWith("WARN").empty());
}

TEST_F(ServerClientTest, ErrorStatusesAndWrongShapes) {
    auto cl = client();
    auto message = [](const std::function<void()>& f) -> std::string {
        try {
            f();
        } catch (const std::exception& e) {
            return e.what();
        }
        return "no error";
    };
    struct Case {
        std::string path;
        int status;
        std::string body;
        std::function<void()> call;
        std::string want;
    } cases[] = {
        {"/api/GetUsersForDeviceId", 404, R"(["never read"])", [&] { cl->getUsersForDeviceId(); },
         "HTTP 404"},
        {"/api/GetUserSettingsByDeviceId", 500, "{}", [&] { cl->fetchRules(); }, "HTTP 500"},
        {"/api/RequestMoreTime", 302, "", [&] { cl->requestMoreTime(5, ""); }, "HTTP 302"},
        {"/api/GetUsersForDeviceId", 200, R"({"users":["a",1]})",
         [&] { cl->getUsersForDeviceId(); }, "users-for-device not a string array"},
        {"/api/GetChildAccountDevices", 200, R"({"a":"x","b":2})",
         [&] { cl->getChildAccountDevices("t"); }, "child-account-devices not a string map"},
        {"/api/GetUserSettingsByDeviceId", 200, "<html>oops</html>", [&] { cl->fetchRules(); },
         JsonError().what()},
        {"/api/GetUserSettingsByDeviceId", 204, "", [&] { cl->fetchRules(); }, JsonError().what()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.status));
        service.answer(c.path, c.status, c.body);
        EXPECT_EQ(message(c.call), c.want);
    }
    // Both string forms are accepted; the map comes back whole.
    service.answer("/api/GetUsersForDeviceId", 200, R"({"users":["a","b"],"x":1})");
    EXPECT_EQ(cl->getUsersForDeviceId(), (std::vector<std::string>{"a", "b"}));
    service.answer("/api/GetChildAccountDevices", 200, R"({"a":"D1","b":""})");
    EXPECT_EQ(cl->getChildAccountDevices("t"),
              (std::map<std::string, std::string>{{"a", "D1"}, {"b", ""}}));
}

TEST_F(ServerClientTest, NeverThrowingOperationsLogTheirPhrases) {
    auto cl = client();
    for (auto path : {"/api/CheckinCurrentUser", "/api/CheckMoreTimeApproval",
                      "/api/UpdateProcessUsage", "/api/ReportAppLimitReached"})
        service.answer(path, 500, R"({"approved":true,"granted_minutes":30})");
    cl->checkInCurrentUser();  // the status is not examined
    EXPECT_EQ(cl->checkMoreTimeApproval(), 0);
    cl->reportUsage({{"com.a", "A", 1, {}}});
    cl->reportAppLimitReached("com.a", "A");
    EXPECT_EQ(logLinesWith("[server] WARN  usage report failed: HTTP 500").size(), 1u);
    EXPECT_EQ(logLinesWith("[server] WARN  app-limit-reached report failed: HTTP 500").size(), 1u);
    EXPECT_EQ(logLinesWith("WARN").size(), 2u);

    service.answer("/api/CheckMoreTimeApproval", 200, R"({"approved":true,"grantedMinutes":15})");
    EXPECT_EQ(cl->checkMoreTimeApproval(), 15);

    // An empty list sends nothing at all.
    const size_t before = service.http.count();
    cl->reportUsage({});
    EXPECT_EQ(service.http.count(), before);

    // Nothing listening: every never-throwing call logs and returns.
    test::writeConfig({{"api", "http://127.0.0.1:" + std::to_string(test::deadPort())}});
    auto dead = ServerClient::create(test::testOptions());
    dead->checkInCurrentUser();
    EXPECT_EQ(dead->checkMoreTimeApproval(), 0);
    dead->reportUsage({{"com.a", "A", 1, {}}});
    dead->reportAppLimitReached("com.a", "A");
    EXPECT_EQ(logLinesWith("[server] WARN  check-in failed: ").size(), 1u);
    EXPECT_EQ(logLinesWith("[server] WARN  usage report failed: ").size(), 2u);
    EXPECT_EQ(logLinesWith("[server] WARN  app-limit-reached report failed: ").size(), 2u);
}

TEST_F(ServerClientTest, SilentServerTimesOut) {
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
    test::LocalServer silent;
    silent.server.Get(".*", [&](const httplib::Request&, httplib::Response& res) {
        std::unique_lock lock(m);
        cv.wait_for(lock, 10s, [&] { return released; });
        res.set_content("{}", "application/json");
    });
    silent.start();
    test::writeConfig({{"api", silent.url()}});
    auto cl = ServerClient::create(test::testOptions());
    try {
        cl->fetchRules();
        ADD_FAILURE() << "a server that never answers must time out";
    } catch (const net::TransportError& e) {
        EXPECT_STREQ(e.what(), "The request timed out.");
    }
    EXPECT_EQ(cl->checkMoreTimeApproval(), 0);
    cl->checkInCurrentUser();
    EXPECT_EQ(logLinesWith("[server] WARN  check-in failed: The request timed out.").size(), 1u);
    {
        std::lock_guard lock(m);
        released = true;
    }
    cv.notify_all();
}

TEST_F(ServerClientTest, RetryThenCacheThenNothing) {
    std::vector<std::chrono::seconds> pauses;
    auto options = test::testOptions();
    options.sleep = [&](std::chrono::seconds s) { pauses.push_back(s); };
    auto cl = client(options);
    // Only settings with entries are cached: an empty answer never replaces them.
    service.answer("/api/GetUserSettingsByDeviceId", 200, R"({"whitelist":[],"blacklist":[]})");
    cl->fetchRules();
    EXPECT_FALSE(test::exists(SettingsCache::path()));
    service.answer("/api/GetUserSettingsByDeviceId", 200, R"({"whitelist":["w"]})");
    cl->fetchRules();
    service.answer("/api/GetUserSettingsByDeviceId", 200, R"({"whitelist":[],"blacklist":[]})");
    cl->fetchRules();
    ASSERT_TRUE(cl->cachedRules());
    EXPECT_EQ(cl->cachedRules()->whitelist, std::vector<std::string>{"w"});
    std::filesystem::remove(SettingsCache::path());

    // No cache: three WARN lines, two pauses, one ERROR, none.
    service.answer("/api/GetUserSettingsByDeviceId", 503, "");
    EXPECT_FALSE(cl->fetchRulesWithRetryAndCache(3, 2));
    EXPECT_EQ(pauses, (std::vector<std::chrono::seconds>{2s, 2s}));
    for (int n = 1; n <= 3; ++n)
        EXPECT_EQ(logLinesWith("[server] WARN  settings fetch attempt " + std::to_string(n) +
                               "/3 failed: HTTP 503")
                      .size(),
                  1u);
    EXPECT_EQ(
        logLinesWith("[server] ERROR settings unavailable and no cache — proxy keeps whatever "
                     "rules are on disk")
            .size(),
        1u);

    // A cache from an earlier run: used after the failures, even with empty lists.
    SettingsCache::save(R"({"whitelist":["a","b"],"blacklist":["c"]})", "kid", "X",
                        fromUnixSeconds(1'700'000'000));
    pauses.clear();
    auto cached = cl->fetchRulesWithRetryAndCache(2, 7);
    ASSERT_TRUE(cached);
    EXPECT_EQ(cached->whitelist, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(pauses, std::vector<std::chrono::seconds>{7s});
    EXPECT_EQ(logLinesWith("[server] INFO  using cached settings (cached 2023-11-14T22:13:20Z) — 2 "
                           "whitelist entries")
                  .size(),
              1u);
    SettingsCache::save(R"({"whitelist":[]})", "kid", "X");
    EXPECT_TRUE(cl->fetchRulesWithRetryAndCache(1, 0));
    EXPECT_FALSE(cl->cachedRules());  // empty lists are no rules to restore
}

}  // namespace
}  // namespace tarvo
