#include "agent/FocusMonitor.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/Paths.h"
#include "platform/fake/FakeUserSession.h"
#include "platform/fake/FakeWorkspace.h"
#include "support/FakeService.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using platform::RunningApp;

RunningApp app(pid_t pid, std::optional<std::string> id, std::optional<std::string> name) {
    return RunningApp{pid, std::move(id), std::move(name), platform::ActivationPolicy::regular, 0};
}

const RunningApp kSafari = app(101, "com.apple.Safari", "Safari");
const RunningApp kNotes = app(102, "com.apple.Notes", "Notes");
const RunningApp kGame = app(103, "com.example.game", "Game");

// A sample as seen: application id (or "-"), name, seconds, end time in
// seconds since the monitor started.
struct Seen {
    std::string id;
    std::string name;
    std::int64_t seconds;
    double endsAt;
    bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Seen& s) {
    return os << "{" << s.id << ", " << s.name << ", " << s.seconds << "s, @" << s.endsAt << "}";
}

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
        return FocusMonitor::create(queue, clock, workspace, session, [this](const FocusSample& s) {
            samples.push_back({s.bundleId.value_or("-"), s.appName, s.elapsedSeconds,
                               std::chrono::duration<double>(s.timestamp - started).count()});
        });
    }
    // An activation as the system delivers it: the switch lands on the main queue.
    void activate(const std::optional<RunningApp>& a) {
        workspace->activate(a);
        queue.runPending();
    }
};

TEST_F(FocusMonitorTest, StretchesEndAtPollsSwitchesAndStop) {
    workspace->setFrontmost(kSafari);
    auto monitor = make();
    monitor->start();
    queue.advance(95s);
    activate(kNotes);
    queue.advance(10s);
    activate(kNotes);  // the same application again: a new stretch from here
    queue.advance(500ms);
    activate(kGame);  // Notes for half a second: nothing
    queue.advance(500ms);
    activate(std::nullopt);  // nothing frontmost: the game's half second neither
    queue.advance(2min);     // polls with nothing in front do nothing
    activate(kSafari);
    queue.advance(7s);
    monitor->stop();

    const std::vector<Seen> want = {
        {"com.apple.Safari", "Safari", 30, 30}, {"com.apple.Safari", "Safari", 30, 60},
        {"com.apple.Safari", "Safari", 30, 90}, {"com.apple.Safari", "Safari", 5, 95},
        {"com.apple.Notes", "Notes", 10, 105},  // Notes again: its stretch is closed all the same
        {"com.apple.Safari", "Safari", 7, 233},
    };
    EXPECT_EQ(samples, want);
}

TEST_F(FocusMonitorTest, IdleUserAtAPollDropsTheStretchAndCountingRestarts) {
    workspace->setFrontmost(kGame);
    auto monitor = make();
    monitor->start();
    session->setIdleSeconds(60);  // exactly the threshold is still active
    queue.advance(30s);
    session->setIdleSeconds(61);
    queue.advance(30s);
    EXPECT_EQ(test::logLinesWith("[focus] DEBUG user idle — skipping sample").size(), 1u);

    session->setIdleSeconds(2);
    queue.advance(20s);
    activate(kSafari);  // switches are emitted even after idleness: 20 s since the idle poll
    session->setIdleSeconds(600);
    queue.advance(5s);
    activate(kNotes);
    const std::vector<Seen> want = {{"com.example.game", "Game", 30, 30},
                                    {"com.example.game", "Game", 20, 80},
                                    {"com.apple.Safari", "Safari", 5, 85}};
    EXPECT_EQ(samples, want);
}

}  // namespace
}  // namespace tarvo
