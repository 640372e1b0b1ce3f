#include <gtest/gtest.h>

#include "agent/AppLimitEnforcer.h"
#include "agent/FocusMonitor.h"
#include "agent/UsageReporter.h"
#include "core/Json.h"
#include "platform/fake/FakeUserSession.h"
#include "platform/fake/FakeWorkspace.h"
#include "support/FakeService.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using platform::ActivationPolicy;
using platform::RunningApp;

RunningApp app(pid_t pid, std::optional<std::string> id,
               ActivationPolicy policy = ActivationPolicy::regular) {
    return RunningApp{pid, std::move(id), "App " + std::to_string(pid), policy, 0};
}

class AppLimitEnforcerTest : public ::testing::Test {
  protected:
    test::TempRoot root;
    test::FakeService service;
    test::EnvGuard base{"TARVO_BASE_URL", service.url()};
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    InlineBackground background;
    std::shared_ptr<platform::FakeWorkspace> workspace =
        std::make_shared<platform::FakeWorkspace>();
    std::shared_ptr<AppLimitEnforcer> enforcer = AppLimitEnforcer::create(
        queue, clock, background, workspace, ServerClient::create(test::testOptions(clock)),
        {"org.mozilla.firefox", "com.valvesoftware.steam"});
};

TEST_F(AppLimitEnforcerTest, ClosesOnlyOrdinaryApplicationsOffTheAllowlist) {
    struct Case {
        RunningApp app;
        bool closed;
    };
    const std::vector<Case> cases = {
        {app(10, "org.mozilla.Firefox"), false},  // allowed, compared in lower case
        {app(11, "com.apple.Safari"), false},     // the system's own
        {app(12, "APP.TARVO.agent"), false},      // this product's own, any case
        {app(14, "com.spotify.client", ActivationPolicy::accessory), false},
        {app(15, "com.example.daemon", ActivationPolicy::prohibited), false},
        {app(16, std::nullopt), false},
        {app(18, "com.Roblox.Player"), true},
        {app(19, "com.apple"), true},                 // a prefix needs its dot
        {app(21, "org.mozilla.firefox.beta"), true},  // exact match only
    };
    for (const auto& c : cases) workspace->launch(c.app);
    enforcer->start();
    queue.advance(4900ms);
    EXPECT_TRUE(workspace->terminateRequests().empty()) << "no sweep before the first 5 seconds";
    queue.advance(100ms);
    std::vector<pid_t> want;
    for (const auto& c : cases)
        if (c.closed) want.push_back(c.app.pid);
    EXPECT_EQ(workspace->terminateRequests(), want);
    EXPECT_EQ(
        test::logLinesWith("[apps] INFO  closing unauthorized app: App 18 (com.roblox.player)")
            .size(),
        1u);
    EXPECT_EQ(service.requests("/api/ReportAppLimitReached").size(), want.size());
}

TEST_F(AppLimitEnforcerTest, AnApplicationThatIgnoresTheRequestIsForcedAfterThreeSeconds) {
    workspace->launch(app(40, "com.example.polite"));
    workspace->launch(app(41, "com.example.stubborn"), /*quitsWhenAsked=*/false);
    enforcer->start();
    queue.advance(5s);
    EXPECT_EQ(workspace->terminateRequests(), (std::vector<pid_t>{40, 41}));
    queue.advance(2900ms);
    EXPECT_TRUE(workspace->forceRequests().empty());
    queue.advance(100ms);
    EXPECT_EQ(workspace->forceRequests(), std::vector<pid_t>{41});
    EXPECT_FALSE(workspace->running(41));
}

TEST_F(AppLimitEnforcerTest, RelaunchesAreClosedEveryTimeButReportedOncePerCooldown) {
    enforcer->start();
    for (pid_t pid = 50; pid < 54; ++pid) {
        workspace->launch(
            RunningApp{pid, "com.example.Game", std::nullopt, ActivationPolicy::regular, 0});
        queue.advance(2min);
        // Three closings within five minutes are one report; the fourth, at 6 minutes, another.
        EXPECT_EQ(service.requests("/api/ReportAppLimitReached").size(), pid < 53 ? 1u : 2u);
    }
    EXPECT_EQ(workspace->terminateRequests(), (std::vector<pid_t>{50, 51, 52, 53}));
    auto body = json::parse(service.requests("/api/ReportAppLimitReached")[0].body).value();
    EXPECT_EQ(body["app_name"], "com.example.game")
        << "an application without a name goes by its id";
}

// A sample as seen: application id, seconds, end time in seconds since the start.
using Seen = std::tuple<std::string, std::int64_t, double>;

class FocusMonitorTest : public ::testing::Test {
  protected:
    test::TempRoot root;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    std::shared_ptr<platform::FakeWorkspace> workspace =
        std::make_shared<platform::FakeWorkspace>();
    std::shared_ptr<platform::FakeUserSession> session =
        std::make_shared<platform::FakeUserSession>();
    WallTime started = clock->now();
    std::vector<Seen> samples;

    std::shared_ptr<FocusMonitor> make() {
        auto monitor =
            FocusMonitor::create(queue, clock, workspace, session, [this](const FocusSample& s) {
                samples.emplace_back(s.bundleId.value_or("-"), s.elapsedSeconds,
                                     std::chrono::duration<double>(s.timestamp - started).count());
            });
        monitor->start();
        return monitor;
    }
    // An activation as the system delivers it: the switch lands on the main queue.
    void activate(const std::optional<RunningApp>& a) {
        workspace->activate(a);
        queue.runPending();
    }
};

TEST_F(FocusMonitorTest, StretchesEndAtPollsSwitchesAndStop) {
    workspace->setFrontmost(app(1, "safari"));
    auto monitor = make();
    queue.advance(65s);
    activate(app(2, "notes"));
    queue.advance(10s);
    activate(app(2, "notes"));  // the same application again: a new stretch from here
    queue.advance(500ms);
    activate(app(3, "game"));  // notes for half a second: nothing
    queue.advance(500ms);
    activate(std::nullopt);  // nothing frontmost: the game's half second neither
    queue.advance(2min);     // polls with nothing in front do nothing
    activate(app(1, "safari"));
    queue.advance(7s);
    monitor->stop();
    const std::vector<Seen> want = {{"safari", 30, 30},
                                    {"safari", 30, 60},
                                    {"safari", 5, 65},
                                    {"notes", 10, 75},
                                    {"safari", 7, 203}};
    EXPECT_EQ(samples, want);
}

TEST_F(FocusMonitorTest, IdleUserAtAPollDropsTheStretchAndCountingRestarts) {
    workspace->setFrontmost(app(3, "game"));
    auto monitor = make();
    session->setIdleSeconds(60);  // exactly the threshold is still active
    queue.advance(30s);
    session->setIdleSeconds(61);
    queue.advance(30s);
    session->setIdleSeconds(2);
    queue.advance(20s);
    activate(app(1, "safari"));  // switches are emitted even after idleness
    session->setIdleSeconds(600);
    queue.advance(5s);
    activate(app(2, "notes"));
    const std::vector<Seen> want = {{"game", 30, 30}, {"game", 20, 80}, {"safari", 5, 85}};
    EXPECT_EQ(samples, want);
}

TEST(UsageReporter, SamplesAddUpPerApplicationAndOneFlushSendsOneBatch) {
    test::TempRoot root;
    test::FakeService service;
    test::EnvGuard base{"TARVO_BASE_URL", service.url()};
    auto clock = std::make_shared<VirtualClock>();
    InlineBackground background;
    UsageReporter reporter(clock, background, ServerClient::create(test::testOptions(clock)));
    auto sample = [&](std::optional<std::string> id, std::string name, std::int64_t seconds) {
        reporter.recordSample({std::move(id), std::move(name), seconds, clock->now()});
    };
    sample("com.apple.Safari", "Safari", 30);
    sample("org.example.game", "Game", 12);
    sample(std::nullopt, "Script", 40);  // no identifier: dropped
    sample("", "Blank", 40);             // empty identifier: dropped
    sample("com.apple.Safari", "Safari Preview", 25);

    clock->advance(std::chrono::seconds(42));
    reporter.flushUsage();
    reporter.flushUsage();  // nothing buffered: nothing sent
    auto sent = service.requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].path, "/api/UpdateProcessUsage");
    std::map<std::string, std::tuple<std::string, std::int64_t, std::string>> got;
    auto body = json::parse(sent[0].body).value_or(nullptr);
    for (const auto& s : body["samples"])
        got[s["bundle_id"]] = {s["app_name"], s["seconds"], s["sampled_at"]};
    const std::string at = "2026-01-01T00:00:42Z";
    const decltype(got) want = {{"com.apple.Safari", {"Safari Preview", 55, at}},
                                {"org.example.game", {"Game", 12, at}}};
    EXPECT_EQ(got, want) << "seconds add up; the latest name wins";
}

}  // namespace
}  // namespace tarvo
