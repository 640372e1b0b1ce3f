#include "agent/AppLimitEnforcer.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tarvo
