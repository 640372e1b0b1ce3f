#include <signal.h>
#include <sys/stat.h>
#include <utime.h>

#include "agent/AgentFixture.h"

namespace tarvo::test {
namespace {

using nlohmann::json;
using std::chrono::seconds;

size_t linesWith(const std::string& text) {
    return logLinesWith(text).size();
}

TEST_F(AgentFixture, NonChildExitsQuietlyWithoutWritingOrAsking) {
    const std::string api = "\"api\":\"" + service.url() + "\"";
    const std::optional<std::string> configs[] = {std::nullopt, "{child_users",
                                                  "{\"child_users\":[\"kid\",1]," + api + "}",
                                                  "{\"child_users\":[\"Kid\"]," + api + "}"};
    for (const auto& config : configs) {
        SCOPED_TRACE(config.value_or("no file"));
        std::filesystem::remove(Paths::configFile());
        if (config) writeText(Paths::configFile(), *config);
        makeAgent();
        EXPECT_FALSE(agent->start());
        EXPECT_EQ(agent->run(), 0);
        advance(seconds(60));
        EXPECT_FALSE(exists(agent->presenceFlagPath()));
        EXPECT_FALSE(exists(Paths::rulesFile()));
        EXPECT_EQ(service.requests().size(), 0u);
        EXPECT_TRUE(views->lines.empty());
        agent.reset();
    }
    EXPECT_EQ(linesWith("WARN  no " + Paths::configFile() + " found — defaulting NOT a child"), 3u);
}

TEST_F(AgentFixture, ChildRegistersClampsBootstrapsAndShutsDownOnEitherSignal) {
    for (int signo : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signo);
        // Another child's rules are on disk from an earlier session.
        writeText(Paths::rulesFile(),
                  json{{"username", "sam"}, {"whitelist", {"s.example"}}}.dump());
        service.answer("/api/GetUserSettingsByDeviceId", 200,
                       R"({"whitelist":["a.example","b.example"],"blacklist":["c.example"]})");
        service.answer("/api/GetAppLimits", 200,
                       R"({"allowed_bundle_ids":["com.apple.Safari"],"daily_minutes":90})");
        writeConfig({{"child_users", {"sam", "kid"}}, {"api", service.url()}});
        makeAgent();
        const size_t before = service.requests().size();
        ASSERT_TRUE(agent->start());

        // Before the bootstrap has run: flag, proxy configuration, fail-closed rules.
        const std::string flag = Paths::activeChildrenDir() + "/501.flag";
        ASSERT_TRUE(exists(flag));
        EXPECT_EQ(json::parse(readText(Paths::proxyConfigFile())),
                  (json{{"username", "kid"}, {"device_id", agent->server()->deviceId()}}));
        EXPECT_EQ(rulesOnDisk()["username"], "kid");
        EXPECT_EQ(rulesOnDisk()["whitelist"], json{RulesFile::defaultServiceHost()});
        EXPECT_EQ(service.requests().size(), before);
        EXPECT_EQ(views->lines.front(), "menu-bar only");

        ASSERT_TRUE(settle([&] { return agent->bootstrapped(); }));
        EXPECT_EQ(rulesOnDisk()["whitelist"], (json{"a.example", "b.example"}));
        EXPECT_EQ(service.requests()[before].path, "/api/CheckinCurrentUser");
        EXPECT_EQ(agent->screenTime()->state().quotaMinutes, 90);
        EXPECT_EQ(agent->appLimits()->allowed(), std::set<std::string>{"com.apple.safari"});
        EXPECT_TRUE(std::count(views->lines.begin(), views->lines.end(), "chat item"));

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
        queue.advance(seconds(14));
        EXPECT_EQ(mtime(), 1000);
        queue.advance(seconds(1));
        EXPECT_GT(mtime(), 1000);

        EXPECT_TRUE(queue.deliverSignal(signo));
        EXPECT_FALSE(exists(flag));
        EXPECT_EQ(queue.exitCode(), 0);
        EXPECT_EQ(agent->activeTimers(), 0);
        agent.reset();
        background.runAll();
    }
}

TEST_F(AgentFixture, SilenceOfNinetySecondsRebuildsTheStreamAndPollsTheRules) {
    startChild();
    const size_t fetched = service.requests("/api/GetUserSettingsByDeviceId").size();
    advance(seconds(89));
    EXPECT_EQ(service.events.streams(), 1);
    advance(seconds(1));  // exactly 90 s of silence
    ASSERT_TRUE(settle([&] { return service.events.streams() == 2; }));
    // The rebuild reset the silence clock: the 120 s poll tick stays quiet.
    advance(seconds(89));
    EXPECT_EQ(service.requests("/api/GetUserSettingsByDeviceId").size(), fetched);
    // At 180 s the stream has been silent 90 s again: poll, then rebuild.
    advance(seconds(1));
    ASSERT_TRUE(settle([&] { return service.events.streams() == 3; }));
    EXPECT_EQ(service.requests("/api/GetUserSettingsByDeviceId").size(), fetched + 1);
}

// A grant is the parent's explicit choice: it takes down a blocker the
// schedule raised, and the schedule's next checks do not raise it again.
// A grant found by polling takes down the quota's blocker the same way.
TEST_F(AgentFixture, GrantedTimeTakesDownTheBlockerOfTheScheduleAndOfTheQuota) {
    service.answer("/api/GetAppLimits", 200,
                   R"({"daily_minutes":1,"warn_at_minutes_remaining":0})");
    startChild();
    // Monday mornings only; the clock says Thursday: the schedule blocks.
    service.events.push(R"({"whitelist":["x.example"],)"
                        R"("accessWindows":[{"dayOfWeek":1,"start":"08:00","end":"09:00"}]})");
    ASSERT_TRUE(settle([&] { return agent->blockerShown(); }));
    EXPECT_TRUE(agent->schedule()->blockedBySchedule());
    EXPECT_EQ(rulesOnDisk()["whitelist"], json{"x.example"});
    service.events.push(R"({"type":"more_time_approved","minutes":15})");
    ASSERT_TRUE(settle([&] { return !agent->blockerShown(); }));
    EXPECT_EQ(agent->screenTime()->state().grantedBonusMinutes, 15);
    advance(seconds(120));  // two schedule checks
    EXPECT_FALSE(agent->blockerShown());

    // The schedule lifted; 16 minutes later the quota blocks, and a polled grant lifts it.
    service.events.push(R"({"whitelist":["x.example"],"accessWindows":[]})");
    for (int i = 0; i < 80 && !agent->blockerShown(); ++i) {
        service.events.push(R"({"type":"ping"})");  // keeps the stream alive
        advance(seconds(15));
    }
    ASSERT_TRUE(agent->blockerShown());
    EXPECT_FALSE(agent->schedule()->blockedBySchedule());
    service.answer("/api/CheckMoreTimeApproval", 200, R"({"approved":true,"granted_minutes":15})");
    advance(seconds(30));
    ASSERT_TRUE(settle([&] { return !agent->blockerShown(); }));
    EXPECT_EQ(agent->screenTime()->state().grantedBonusMinutes, 30);
    EXPECT_EQ(views->lines.back(), "blocker dismissed");
}

}  // namespace
}  // namespace tarvo::test
