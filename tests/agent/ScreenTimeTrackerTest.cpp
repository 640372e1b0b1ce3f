#include "agent/ScreenTimeTracker.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/Paths.h"
#include "platform/fake/FakeUserSession.h"
#include "support/FakeService.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using Kind = ScreenTimeTracker::ThresholdEvent::Kind;
using DailyState = ScreenTimeTracker::DailyState;

// An event together with the virtual minute (since the start) it came at.
struct Seen {
    Kind kind;
    std::int64_t minutes;
    std::int64_t atSecond;
    bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Seen& s) {
    return os << "{" << static_cast<int>(s.kind) << ", " << s.minutes << ", @" << s.atSecond
              << "s}";
}

class ScreenTimeTrackerTest : public ::testing::Test {
  protected:
    test::TempRoot root;
    test::ScopedTimeZone zone{"UTC"};
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    std::shared_ptr<platform::FakeUserSession> session =
        std::make_shared<platform::FakeUserSession>();
    WallTime started = clock->now();
    std::vector<Seen> events;

    std::shared_ptr<ScreenTimeTracker> make(std::int64_t quota, std::int64_t warnAt) {
        return ScreenTimeTracker::create(
            queue, clock, session, quota, warnAt,
            [this](const ScreenTimeTracker::ThresholdEvent& e) {
                events.push_back(
                    {e.kind, e.minutes,
                     std::chrono::duration_cast<std::chrono::seconds>(clock->now() - started)
                         .count()});
            });
    }
    static void writeState(const DailyState& s) {
        test::writeText(Paths::perUserScreenTimeStateFile(), s.toJson().dump());
    }
    static std::optional<DailyState> readState() {
        auto doc = json::parse(test::readText(Paths::perUserScreenTimeStateFile()));
        return doc ? DailyState::fromJson(*doc) : std::nullopt;
    }
    std::string today() const { return localDayKey(clock->now()); }
};

TEST_F(ScreenTimeTrackerTest, ThresholdsUnderSteadyActiveUse) {
    struct Case {
        const char* name;
        std::int64_t quota, warnAt;
        std::chrono::minutes run;
        std::vector<Seen> want;
    };
    const std::vector<Case> cases = {
        {"no quota: counted, never raised", 0, 5, 120min, {}},
        {"warning at 5 left, then exhaustion",
         60,
         5,
         90min,
         {{Kind::warning, 5, 55 * 60}, {Kind::quotaExhausted, 0, 60 * 60}}},
        {"warn-at above the limit fires at the first tick",
         60,
         90,
         61min,
         {{Kind::warning, 60, 0}, {Kind::quotaExhausted, 0, 60 * 60}}},
        {"one-minute quota", 1, 5, 3min, {{Kind::warning, 1, 0}, {Kind::quotaExhausted, 0, 60}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(Paths::perUserScreenTimeStateFile());
        events.clear();
        started = clock->now();
        auto tracker = make(c.quota, c.warnAt);
        tracker->start();
        queue.advance(c.run);
        EXPECT_EQ(events, c.want);
        const auto expectedSeconds =
            std::chrono::duration_cast<std::chrono::seconds>(c.run).count();
        EXPECT_EQ(tracker->state().seconds, expectedSeconds);
        EXPECT_EQ(readState()->seconds, expectedSeconds) << "every counting tick persists";
        tracker->stop();
    }
}

TEST_F(ScreenTimeTrackerTest, IdleIntervalsAreNotCountedAndHoldBackExhaustion) {
    writeState({today(), 60 * 60, 60, 5, 0});  // the quota already used up today
    session->setIdleSeconds(61.0);
    auto tracker = make(60, 5);
    tracker->start();
    queue.advance(10min);
    EXPECT_EQ(tracker->state().seconds, 3600) << "idle time is not screen time";
    EXPECT_TRUE(events.empty()) << "nothing is raised while the user is away";

    session->setIdleSeconds(60.0);  // exactly the threshold still counts as active
    queue.advance(15s);
    EXPECT_EQ(tracker->state().seconds, 3615);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::quotaExhausted);

    session->setIdleSeconds(std::nullopt);  // unknown idle time counts as active
    queue.advance(15s);
    EXPECT_EQ(tracker->state().seconds, 3630);
}

// A tick counts the whole interval since the last one on the monotonic
// clock: a held-up main loop counts in full, while a sleep (the wall clock
// moves, the monotonic one does not) or a clock change counts nothing extra.
TEST_F(ScreenTimeTrackerTest, TicksCountTheMonotonicIntervalOnly) {
    struct Case {
        const char* name;
        std::chrono::seconds wallJump;  // the wall clock alone, between two ticks
        std::chrono::seconds stall;     // both clocks, before the tick is due
        std::int64_t wantCounted;
    };
    const std::vector<Case> cases = {
        {"ordinary tick", 0s, 0s, 15},
        {"main loop held up seven minutes", 0s, 420s, 435},
        {"overnight sleep", 8h, 0s, 15},
        {"clock set back an hour", -1h, 0s, 15},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(Paths::perUserScreenTimeStateFile());
        clock->setWall(fromUnixSeconds(1'767'225'600 + 6 * 3600));  // 06:00, the same day
        auto tracker = make(600, 5);
        tracker->start();
        const auto before = tracker->state().seconds;
        clock->setWall(clock->now() + c.wallJump);
        clock->advance(c.stall);
        queue.advance(15s);
        EXPECT_EQ(tracker->state().seconds - before, c.wantCounted);
        tracker->stop();
    }
}

TEST_F(ScreenTimeTrackerTest, RestartOnTheSameDayContinuesFromTheFile) {
    writeState({today(), 61 * 60, 30, 2, 0});
    const std::string before = test::readText(Paths::perUserScreenTimeStateFile());
    auto tracker = make(60, 5);
    EXPECT_EQ(tracker->state(), (DailyState{today(), 61 * 60, 60, 5, 0}))
        << "stored counts kept, the new quota and warn-at taken";
    EXPECT_EQ(test::readText(Paths::perUserScreenTimeStateFile()), before)
        << "loading writes nothing";

    tracker->start();
    // Already past the limit at login: exhaustion at once, the warning never.
    ASSERT_EQ(events, (std::vector<Seen>{{Kind::quotaExhausted, 0, 0}}));
    queue.advance(5min);
    EXPECT_EQ(events.size(), 1u);
}

TEST_F(ScreenTimeTrackerTest, UnusableStateFilesStartAFreshDay) {
    const std::string day = today();
    struct Case {
        const char* name;
        std::string content;
        bool warned;  // the file was there but could not be read
    };
    const std::vector<Case> cases = {
        {"negative seconds",
         R"({"day":")" + day +
             R"(","seconds":-9000,"quotaMinutes":60,"warnAtMinutesRemaining":5,"grantedBonusMinutes":0})",
         true},
        {"not JSON", "{\"day\": \"" + day + "\", \"seconds\": 9", true},
        {"another day",
         R"({"day":"2025-12-31","seconds":900,"quotaMinutes":60,"warnAtMinutesRemaining":5,"grantedBonusMinutes":7})",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::writeText(Paths::perUserScreenTimeStateFile(), c.content);
        const auto warnsBefore = test::logLinesWith("state file unreadable").size();
        auto tracker = make(45, 3);
        const DailyState fresh{day, 0, 45, 3, 0};
        EXPECT_EQ(tracker->state(), fresh);
        EXPECT_EQ(readState(), fresh) << "the fresh state is written";
        EXPECT_EQ(test::logLinesWith(
                      "[screentime] WARN  state file unreadable — starting fresh for " + day)
                      .size(),
                  warnsBefore + (c.warned ? 1 : 0));
    }
}

TEST_F(ScreenTimeTrackerTest, RolloverAtLocalMidnightResetsCountsAndFlags) {
    test::ScopedTimeZone newYork("America/New_York");
    // 23:57 on 31 December in New York; UTC is already on the next day.
    clock->setWall(fromUnixSeconds(1'767'243'420));
    ASSERT_EQ(localDayKey(clock->now()), "2025-12-31");
    started = clock->now();
    auto tracker = make(1, 0);
    tracker->extendQuota(1);  // a grant that must not outlive the day
    events.clear();
    tracker->start();
    queue.advance(6min);

    const std::vector<Seen> want = {{Kind::quotaExhausted, 0, 120},   // 23:59, limit 2
                                    {Kind::quotaExhausted, 0, 225}};  // 00:00:45, limit 1 again
    EXPECT_EQ(events, want);
    EXPECT_EQ(test::logLinesWith("[screentime] INFO  day rollover 2025-12-31 → 2026-01-01; "
                                 "resetting counter")
                  .size(),
              1u);
    // The tick at 00:00:00 counts its 15 s to the new day.
    EXPECT_EQ(tracker->state(), (DailyState{"2026-01-01", 3 * 60 + 15, 1, 0, 0}));
    EXPECT_EQ(readState(), tracker->state());
}

TEST_F(ScreenTimeTrackerTest, GrantsExtendTheLimitAndRestartEvaluation) {
    struct Case {
        const char* name;
        std::int64_t quota, warnAt;
        std::chrono::minutes usedBefore;
        std::int64_t grant;
        std::chrono::minutes runAfter;
        std::vector<Seen> wantAfterGrant;  // times since the grant
    };
    const std::vector<Case> cases = {
        {"nothing for 0", 60, 5, 20min, 0, 1min, {}},
        {"quota 0, 40 used, 30 granted",
         0,
         5,
         40min,
         30,
         1min,
         {{Kind::quotaExtended, 0, 0}, {Kind::quotaExhausted, 0, 15}}},
        {"grant after exhaustion",
         60,
         5,
         61min,
         15,
         16min,
         {{Kind::quotaExtended, 14, 0},
          {Kind::warning, 5, 9 * 60},
          {Kind::quotaExhausted, 0, 14 * 60}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(Paths::perUserScreenTimeStateFile());
        auto tracker = make(c.quota, c.warnAt);
        tracker->start();
        queue.advance(c.usedBefore - 15s);  // the last tick lands exactly on usedBefore − 15 s
        queue.advance(15s);
        const DailyState before = tracker->state();
        events.clear();
        started = clock->now();
        tracker->extendQuota(c.grant);
        if (c.grant < 1) {
            EXPECT_EQ(tracker->state(), before);
            EXPECT_EQ(readState(), before);
        } else {
            EXPECT_EQ(readState()->grantedBonusMinutes, c.grant)
                << "the grant is persisted at once";
        }
        queue.advance(c.runAfter);
        EXPECT_EQ(events, c.wantAfterGrant);
        tracker->stop();
    }
}

}  // namespace
}  // namespace tarvo
