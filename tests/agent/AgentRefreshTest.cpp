#include "agent/AgentFixture.h"

namespace tarvo::test {
namespace {

using nlohmann::json;
using std::chrono::seconds;

size_t linesWith(const std::string& text) {
    return logLinesWith(text).size();
}

class AgentRefresh : public AgentFixture {
  protected:
    size_t asked(const std::string& path) { return service.requests(path).size(); }
    // Pushes a no-op block and waits until the agent has seen it.
    void keepAlive() {
        service.events.push(R"({"type":"ping"})");
        ASSERT_TRUE(settle([&] { return agent->lastStreamActivity() == clock->monotonic(); }));
    }
};

TEST_F(AgentRefresh, SilenceOfNinetySecondsRebuildsTheStreamAndPollsTheRules) {
    startChild();
    const size_t fetched = asked("/api/GetUserSettingsByDeviceId");
    advance(seconds(89));
    EXPECT_EQ(service.events.streams(), 1);
    advance(seconds(1));  // exactly 90 s of silence
    ASSERT_TRUE(settle([&] { return service.events.streams() == 2; }));
    EXPECT_EQ(linesWith("WARN  SSE silent for >90s — reconnecting"), 1u);
    // The rebuild reset the silence clock: the 120 s poll tick stays quiet.
    advance(seconds(89));
    EXPECT_EQ(asked("/api/GetUserSettingsByDeviceId"), fetched);
    // At 180 s the stream has been silent 90 s again: poll, then rebuild.
    advance(seconds(1));
    ASSERT_TRUE(settle([&] { return service.events.streams() == 3; }));
    EXPECT_EQ(asked("/api/GetUserSettingsByDeviceId"), fetched + 1);
    EXPECT_EQ(linesWith("DEBUG SSE stale — polling rules"), 1u);
}

TEST_F(AgentRefresh, PushedRulesReplaceTheFileAndApplyTheSchedule) {
    service.answer("/api/GetUserSettingsByDeviceId", 200, R"({"whitelist":["a.example"]})");
    startChild();
    // Monday mornings only; the clock says Thursday.
    service.events.push(R"({"whitelist":["x.example","y.example"],"blacklist":["z.example"],)"
                        R"("accessWindows":[{"dayOfWeek":1,"start":"08:00","end":"09:00"}]})");
    ASSERT_TRUE(settle([&] { return agent->blockerShown(); }));
    EXPECT_EQ(rulesOnDisk()["whitelist"], (json{"x.example", "y.example"}));
    EXPECT_EQ(rulesOnDisk()["blacklist"], json{"z.example"});
    EXPECT_EQ(rulesOnDisk()["username"], "kid");
    EXPECT_EQ(agent->schedule()->accessWindows().size(), 1u);
    EXPECT_TRUE(agent->schedule()->blockedBySchedule());
    EXPECT_EQ(linesWith("INFO  rules updated via SSE"), 1u);

    // forceUpdate refreshes the file and the limits but not the schedule.
    service.answer("/api/GetUserSettingsByDeviceId", 200,
                   R"({"whitelist":["forced.example"],"accessWindows":[]})");
    service.answer("/api/GetAppLimits", 200, R"({"allowed_bundle_ids":["org.forced"]})");
    service.events.push(R"({"type":"force_update"})");
    ASSERT_TRUE(settle([&] {
        return agent->appLimits()->allowed() == std::set<std::string>{"org.forced"} &&
               rulesOnDisk()["whitelist"] == json{"forced.example"};
    }));
    EXPECT_EQ(agent->schedule()->accessWindows().size(), 1u);
    EXPECT_TRUE(agent->blockerShown());
}

TEST_F(AgentRefresh, GrantedTimeExtendsTheQuotaAndTakesTheBlockerDown) {
    struct Case {
        const char* name;
        std::function<void()> grant;
    };
    const Case cases[] = {
        {"pushed",
         [this] { service.events.push(R"({"type":"more_time_approved","minutes":15})"); }},
        {"polled",
         [this] {
             service.answer("/api/CheckMoreTimeApproval", 200,
                            R"({"approved":true,"granted_minutes":15})");
             advance(seconds(30));
         }},
    };
    service.answer("/api/GetAppLimits", 200,
                   R"({"daily_minutes":1,"warn_at_minutes_remaining":0})");
    startChild();
    std::int64_t granted = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service.answer("/api/CheckMoreTimeApproval", 200, "{}");
        // Use up whatever is left, keeping the stream alive.
        for (int i = 0; i < 60 && !agent->blockerShown(); ++i) {
            keepAlive();
            advance(seconds(15), seconds(15));
        }
        ASSERT_TRUE(agent->blockerShown());
        c.grant();
        granted += 15;
        ASSERT_TRUE(settle([&] { return !agent->blockerShown(); }));
        EXPECT_EQ(agent->screenTime()->state().grantedBonusMinutes, granted);
    }
    EXPECT_EQ(linesWith("INFO  SSE: parent granted +15m"), 1u);
    EXPECT_TRUE(views->lines.back().starts_with("blocker for Kid Lind")) << views->lines.back();
    EXPECT_TRUE(views->lines.back().ends_with(", dismissed")) << views->lines.back();
}

// A grant is the parent's explicit choice: it takes down a blocker the
// schedule raised, and the schedule's next checks in the same stretch
// outside the usage window do not raise it again.
TEST_F(AgentRefresh, GrantedTimeTakesDownTheScheduleBlocker) {
    service.answer("/api/GetAppLimits", 200,
                   R"({"daily_minutes":1,"warn_at_minutes_remaining":0})");
    startChild();
    // Monday mornings only; the clock says Thursday: the schedule blocks.
    service.events.push(R"({"whitelist":["a.example"],)"
                        R"("accessWindows":[{"dayOfWeek":1,"start":"08:00","end":"09:00"}]})");
    ASSERT_TRUE(
        settle([&] { return agent->schedule()->blockedBySchedule() && agent->blockerShown(); }));
    service.events.push(R"({"type":"more_time_approved","minutes":15})");
    ASSERT_TRUE(settle([&] { return agent->screenTime()->state().grantedBonusMinutes == 15; }));
    ASSERT_TRUE(settle([&] { return !agent->blockerShown(); }));
    EXPECT_TRUE(agent->schedule()->blockedBySchedule());
    advance(seconds(120));  // two schedule checks
    EXPECT_FALSE(agent->blockerShown());
}

}  // namespace
}  // namespace tarvo::test
