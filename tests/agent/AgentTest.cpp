#include <signal.h>
#include <sys/stat.h>
#include <utime.h>

#include "agent/AgentFixture.h"

namespace tarvo::test {
namespace {

using nlohmann::json;

size_t linesWith(const std::string& text) {
    return logLinesWith(text).size();
}

TEST_F(AgentFixture, NonChildExitsQuietlyWithoutWritingOrAsking) {
    struct Case {
        const char* name;
        std::optional<std::string> config;  // none: no config.json
        bool warns;
    };
    const std::string api = "\"api\":\"" + service.url() + "\"";
    const Case cases[] = {
        {"no file", std::nullopt, true},
        {"not json", "{child_users", true},
        {"not an object", "[\"kid\"]", true},
        {"key missing", "{" + api + "}", true},
        {"non-string element", "{\"child_users\":[\"kid\",1]," + api + "}", true},
        {"other case", "{\"child_users\":[\"Kid\"]," + api + "}", false},
        {"other child", "{\"child_users\":[\"sam\"]," + api + "}", false},
    };
    size_t warnings = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(Paths::configFile());
        if (c.config) writeText(Paths::configFile(), *c.config);
        makeAgent();
        EXPECT_FALSE(agent->start());
        EXPECT_EQ(agent->run(), 0);
        background.runAll();
        queue.advance(std::chrono::seconds(60));
        background.runAll();
        EXPECT_FALSE(exists(agent->presenceFlagPath()));
        EXPECT_FALSE(exists(Paths::rulesFile()));
        EXPECT_FALSE(exists(Paths::proxyConfigFile()));
        EXPECT_EQ(service.requests().size(), 0u);
        EXPECT_TRUE(views->lines.empty());
        if (c.warns) ++warnings;
        EXPECT_EQ(linesWith("WARN  no " + Paths::configFile() + " found — defaulting NOT a child"),
                  warnings);
        agent.reset();
    }
    EXPECT_EQ(linesWith("INFO  user 'kid' is not flagged as a child — exiting cheaply"),
              std::size(cases));
}

TEST_F(AgentFixture, ChildRegistersClampsBootstrapsAndShutsDownOnEitherSignal) {
    for (int signo : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signo);
        // Another child's rules are on disk from an earlier session.
        writeText(
            Paths::rulesFile(),
            json{{"username", "sam"}, {"whitelist", {"sam.example"}}, {"blacklist", json::array()}}
                .dump());
        service.answer("/api/GetUserSettingsByDeviceId", 200,
                       R"({"whitelist":["a.example","b.example"],"blacklist":["c.example"]})");
        service.answer("/api/GetAppLimits", 200,
                       R"({"allowed_bundle_ids":["com.apple.Safari"],"daily_minutes":90,
                           "warn_at_minutes_remaining":10})");
        writeConfig({"sam", "kid"});
        makeAgent();
        const size_t before = service.requests().size();
        ASSERT_TRUE(agent->start());

        // Before the bootstrap has run: flag, proxy configuration, fail-closed rules.
        const std::string flag = Paths::activeChildrenDir() + "/501.flag";
        ASSERT_TRUE(exists(flag));
        EXPECT_EQ(readText(flag), "");
        EXPECT_EQ(json::parse(readText(Paths::proxyConfigFile())),
                  (json{{"username", "kid"}, {"device_id", agent->server()->deviceId()}}));
        EXPECT_EQ(rulesOnDisk()["username"], "kid");
        EXPECT_EQ(rulesOnDisk()["whitelist"], json{RulesFile::defaultServiceHost()});
        EXPECT_EQ(service.requests().size(), before);
        EXPECT_EQ(views->lines.front(), "menu-bar only");

        ASSERT_TRUE(settle([&] { return agent->bootstrapped(); }));
        EXPECT_EQ(rulesOnDisk()["whitelist"], (json{"a.example", "b.example"}));
        EXPECT_EQ(rulesOnDisk()["blacklist"], json{"c.example"});
        std::vector<std::string> order;
        for (auto& r : service.http.received()) order.push_back(r.path);
        order.erase(order.begin(), order.begin() + static_cast<long>(before));
        ASSERT_GE(order.size(), 3u);
        EXPECT_EQ(
            std::vector<std::string>(order.begin(), order.begin() + 3),
            (std::vector<std::string>{"/api/CheckinCurrentUser", "/api/GetUserSettingsByDeviceId",
                                      "/api/GetAppLimits"}));
        EXPECT_GE(linesWith("INFO  initial rules: 2 wl, 1 bl, 0 access window(s)"), 1u);
        EXPECT_EQ(agent->screenTime()->state().quotaMinutes, 90);
        EXPECT_EQ(agent->screenTime()->state().warnAtMinutesRemaining, 10);
        EXPECT_EQ(agent->appLimits()->allowed(), std::set<std::string>{"com.apple.safari"});
        EXPECT_TRUE(views->saw("chat item"));

        // The heartbeat rewrites the flag every 15 s, the first time 15 s after start.
        struct utimbuf old {
            1000, 1000
        };
        ASSERT_EQ(utime(flag.c_str(), &old), 0);
        auto mtime = [&] {
            struct stat st {};
            ::stat(flag.c_str(), &st);
            return st.st_mtime;
        };
        queue.advance(std::chrono::seconds(14));
        EXPECT_EQ(mtime(), 1000);
        queue.advance(std::chrono::seconds(1));
        EXPECT_GT(mtime(), 1000);
        ASSERT_EQ(utime(flag.c_str(), &old), 0);
        queue.advance(std::chrono::seconds(15));
        EXPECT_GT(mtime(), 1000);

        EXPECT_TRUE(queue.deliverSignal(signo));
        EXPECT_FALSE(exists(flag));
        EXPECT_EQ(queue.exitCode(), 0);
        EXPECT_EQ(agent->activeTimers(), 0);
        EXPECT_FALSE(agent->streamOpen());
        agent.reset();
        background.runAll();
    }
}

TEST_F(AgentFixture, BlockerAsksForMoreTimeAndReportsTheOutcome) {
    service.answer("/api/GetAppLimits", 200,
                   R"({"daily_minutes":1,"warn_at_minutes_remaining":0})");
    startChild();
    advance(std::chrono::seconds(75));
    ASSERT_TRUE(agent->blockerShown());
    EXPECT_TRUE(views->saw("blocker for Kid Lind, 1m, shown"));
    EXPECT_EQ(linesWith("INFO  quota exhausted — showing blocker"), 1u);

    struct Case {
        int status;
        std::string logged;
    };
    const Case cases[] = {{200, "INFO  more-time request POSTed"},
                          {500, "WARN  more-time POST failed: HTTP 500"}};
    size_t sent = 0;
    for (const auto& c : cases) {
        service.answer("/api/RequestMoreTime", c.status, "{}");
        views->moreTime(60);
        ASSERT_TRUE(settle([&] { return linesWith(c.logged) == 1; }));
        auto posts = service.requests("/api/RequestMoreTime");
        ASSERT_EQ(posts.size(), ++sent);
        auto body = json::parse(posts.back().body);
        EXPECT_EQ(body["requested_minutes"], 60);
        EXPECT_EQ(body["reason"], "from blocker");
    }
    // Nothing changes for the child until the grant arrives.
    EXPECT_TRUE(agent->blockerShown());
}

}  // namespace
}  // namespace tarvo::test
