#include "agent/FocusMonitor.h"

#include <gtest/gtest.h>

#include "platform/fake/FakeUserSession.h"
#include "platform/fake/FakeWorkspace.h"
#include "support/FakeService.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using platform::RunningApp;

RunningApp app(pid_t pid, const std::string& id) {
    return RunningApp{pid, id, id + " app", platform::ActivationPolicy::regular, 0};
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
                EXPECT_EQ(s.appName, s.bundleId.value_or("") + " app");
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

}  // namespace
}  // namespace tarvo
