#include <gtest/gtest.h>

#include "agent/AppLimitEnforcer.h"
#include "agent/FocusMonitor.h"
#include "agent/UsageReporter.h"
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

class AppsTest : public ::testing::Test {
  protected:
    // An activation as the system delivers it: the switch lands on the main queue.
    void activate(const std::optional<RunningApp>& a) {
        workspace->activate(a);
        queue.runPending();
    }

    test::TempRoot root;
    test::FakeService service;
    test::EnvGuard base{"TARVO_BASE_URL", service.url()};
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    InlineBackground background;
    std::shared_ptr<platform::FakeWorkspace> workspace =
        std::make_shared<platform::FakeWorkspace>();
    std::shared_ptr<platform::FakeUserSession> session =
        std::make_shared<platform::FakeUserSession>();
    std::shared_ptr<ServerClient> server = ServerClient::create(test::testOptions(clock));
};

TEST_F(AppsTest, ClosesOnlyOrdinaryApplicationsOffTheAllowlist) {
    const std::pair<RunningApp, bool> cases[] = {
        {app(10, "org.mozilla.Firefox"), false},  // allowed, compared in lower case
        {app(11, "com.apple.Safari"), false},     // the system's own
        {app(12, "APP.TARVO.agent"), false},      // this product's own, any case
        {app(14, "com.spotify.client", ActivationPolicy::accessory), false},
        {app(18, "com.Roblox.Player"), true},
        {app(19, "com.apple"), true},                 // a prefix needs its dot
        {app(21, "org.mozilla.firefox.beta"), true},  // exact match only
    };
    std::vector<pid_t> closed;
    for (const auto& [a, close] : cases) {
        workspace->launch(a, /*quitsWhenAsked=*/a.pid != 21);
        if (close) closed.push_back(a.pid);
    }
    // No allowlist (none fetched yet, or none set): nothing is closed.
    auto none = AppLimitEnforcer::create(queue, clock, background, workspace, server, {});
    none->start();
    queue.advance(5s);
    EXPECT_TRUE(workspace->terminateRequests().empty());
    none->stop();
    auto enforcer = AppLimitEnforcer::create(queue, clock, background, workspace, server,
                                             {"org.mozilla.firefox", "com.valve.steam"});
    enforcer->start();
    queue.advance(5s);  // the first sweep
    EXPECT_EQ(workspace->terminateRequests(), closed);
    const auto reports = [&] { return service.requests("/api/ReportAppLimitReached").size(); };
    EXPECT_EQ(reports(), closed.size());
    // One that ignores the request is forced three seconds later.
    queue.advance(3s);
    EXPECT_EQ(workspace->forceRequests(), std::vector<pid_t>{21});
    EXPECT_FALSE(workspace->running(21));

    // Started again it is closed again, but reported once in five minutes: the sweep 295 s
    // after the report stays quiet, the one 300 s after reports.
    queue.advance(289s);
    workspace->launch(app(28, "com.Roblox.Player"));
    queue.advance(5s);
    EXPECT_FALSE(workspace->running(28));
    EXPECT_EQ(reports(), closed.size());
    workspace->launch(app(38, "com.Roblox.Player"));
    queue.advance(5s);
    EXPECT_EQ(reports(), closed.size() + 1);
}

// Focus stretches end at 30-second polls, switches and stop; an idle user at
// a poll drops the stretch. The samples add up per application and go out as
// one batch.
TEST_F(AppsTest, FocusSamplesAddUpToOneUsageReport) {
    UsageReporter reporter(clock, background, server);
    auto monitor = FocusMonitor::create(queue, clock, workspace, session,
                                        [&](const FocusSample& s) { reporter.recordSample(s); });
    workspace->setFrontmost(app(1, "safari"));
    monitor->start();
    session->setIdleSeconds(60);  // exactly the threshold is still active
    queue.advance(65s);
    activate(app(2, "notes"));
    queue.advance(10s);
    activate(app(2, "notes"));  // the same application again: a new stretch from here
    queue.advance(500ms);
    activate(app(3, "game"));  // notes for half a second: nothing
    queue.advance(500ms);
    activate(std::nullopt);          // nothing frontmost: the game's half second neither
    queue.advance(2min);             // polls with nothing in front do nothing
    activate(app(4, std::nullopt));  // no identifier: sampled, never reported
    queue.advance(7s);
    activate(app(1, "safari"));
    session->setIdleSeconds(61);
    queue.advance(25s);  // the poll at 210 s finds the user away: counting restarts
    session->setIdleSeconds(2);
    queue.advance(10s);
    monitor->stop();
    reporter.flushUsage();
    auto sent = service.requests("/api/UpdateProcessUsage");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(json::parse(sent[0].body).value_or(nullptr)["samples"], *json::parse(R"([
        {"bundle_id":"notes","app_name":"App 2","seconds":10,"sampled_at":"2026-01-01T00:03:58Z"},
        {"bundle_id":"safari","app_name":"App 1","seconds":93,"sampled_at":"2026-01-01T00:03:58Z"}
    ])"));
}

}  // namespace
}  // namespace tarvo
