#include "agent/AppLimitEnforcer.h"

#include <gtest/gtest.h>

#include "core/Json.h"
#include "platform/fake/FakeWorkspace.h"
#include "support/FakeService.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using platform::ActivationPolicy;
using platform::RunningApp;

RunningApp app(pid_t pid, std::optional<std::string> id, std::optional<std::string> name,
               ActivationPolicy policy = ActivationPolicy::regular) {
    return RunningApp{pid, std::move(id), std::move(name), policy, 0};
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
    std::shared_ptr<ServerClient> server = ServerClient::create(test::testOptions(clock));

    std::shared_ptr<AppLimitEnforcer> make(std::set<std::string> allowed) {
        auto enforcer = AppLimitEnforcer::create(queue, clock, background, workspace, server,
                                                 std::move(allowed));
        enforcer->start();
        return enforcer;
    }
    // (bundle_id, app_name) of every app-limit report the service received.
    std::vector<std::pair<std::string, std::string>> reports() {
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto& r : service.requests("/api/ReportAppLimitReached")) {
            auto doc = json::parse(r.body);
            if (doc && doc->contains("bundle_id"))
                out.emplace_back((*doc)["bundle_id"], (*doc)["app_name"]);
        }
        return out;
    }
};

TEST_F(AppLimitEnforcerTest, ClosesOnlyOrdinaryApplicationsOffTheAllowlist) {
    struct Case {
        RunningApp app;
        bool closed;
    };
    const std::vector<Case> cases = {
        {app(10, "org.mozilla.Firefox", "Firefox"), false},  // allowed, compared in lower case
        {app(11, "com.apple.Safari", "Safari"), false},      // the system's own
        {app(12, "APP.TARVO.agent", "Tarvo"), false},        // this product's own, any case
        {app(14, "com.spotify.client", "Spotify", ActivationPolicy::accessory), false},
        {app(15, "com.example.daemon", "Daemon", ActivationPolicy::prohibited), false},
        {app(16, std::nullopt, "No identifier"), false},
        {app(18, "com.Roblox.Player", "Roblox"), true},
        {app(19, "com.apple", "Not quite Apple"), true},              // a prefix needs its dot
        {app(21, "org.mozilla.firefox.beta", "Firefox Beta"), true},  // exact match only
    };
    for (const auto& c : cases) workspace->launch(c.app);
    auto enforcer = make({"org.mozilla.firefox", "com.valvesoftware.steam"});

    queue.advance(4900ms);
    EXPECT_TRUE(workspace->terminateRequests().empty()) << "no sweep before the first 5 seconds";
    queue.advance(100ms);
    std::vector<pid_t> want;
    for (const auto& c : cases)
        if (c.closed) want.push_back(c.app.pid);
    EXPECT_EQ(workspace->terminateRequests(), want);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.app.name.value_or("?"));
        EXPECT_EQ(workspace->running(c.app.pid), !c.closed);
    }
    EXPECT_EQ(
        test::logLinesWith("[apps] INFO  closing unauthorized app: Roblox (com.roblox.player)")
            .size(),
        1u);
    EXPECT_EQ(reports().size(), want.size());
}

TEST_F(AppLimitEnforcerTest, AnApplicationThatIgnoresTheRequestIsForcedAfterThreeSeconds) {
    workspace->launch(app(40, "com.example.polite", "Polite"));
    workspace->launch(app(41, "com.example.stubborn", "Stubborn"), /*quitsWhenAsked=*/false);
    auto enforcer = make({"com.example.allowed"});
    queue.advance(5s);
    EXPECT_EQ(workspace->terminateRequests(), (std::vector<pid_t>{40, 41}));
    queue.advance(2900ms);
    EXPECT_TRUE(workspace->forceRequests().empty());
    queue.advance(100ms);
    EXPECT_EQ(workspace->forceRequests(), std::vector<pid_t>{41});
    EXPECT_FALSE(workspace->running(41));
    EXPECT_EQ(test::logLinesWith("[apps] WARN  force-killing unresponsive: Stubborn").size(), 1u);
    EXPECT_TRUE(test::logLinesWith("force-killing unresponsive: Polite").empty());
}

TEST_F(AppLimitEnforcerTest, RelaunchesAreClosedEveryTimeButReportedOncePerCooldown) {
    auto enforcer = make({"com.example.allowed"});
    pid_t pid = 50;
    auto launchAndSweep = [&] {
        workspace->launch(app(pid++, "com.example.Game", std::nullopt));
        queue.advance(2min);
    };
    launchAndSweep();
    launchAndSweep();
    launchAndSweep();  // three closings within five minutes
    EXPECT_EQ(workspace->terminateRequests(), (std::vector<pid_t>{50, 51, 52}));
    EXPECT_EQ(
        test::logLinesWith("closing unauthorized app: com.example.game (com.example.game)").size(),
        3u)
        << "an application without a name goes by its identifier";
    using Reports = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(reports(), (Reports{{"com.example.game", "com.example.game"}}));

    launchAndSweep();  // 6 minutes after the first report
    EXPECT_EQ(reports().size(), 2u);
}

}  // namespace
}  // namespace tarvo
