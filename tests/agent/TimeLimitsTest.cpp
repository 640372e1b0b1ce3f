#include <gtest/gtest.h>

#include "agent/ScheduleEnforcer.h"
#include "agent/ScreenTimeTracker.h"
#include "core/Paths.h"
#include "platform/fake/FakeUserSession.h"
#include "support/FakeService.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;
using Kind = ScreenTimeTracker::ThresholdEvent::Kind;
using DailyState = ScreenTimeTracker::DailyState;
// An event's kind, its minutes and the second (since `started`) it came at.
using Seen = std::tuple<Kind, std::int64_t, std::int64_t>;

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

    // A tracker started on the day in the state file (a fresh day when there is none).
    std::shared_ptr<ScreenTimeTracker> start(std::int64_t quota, std::int64_t warnAt) {
        started = clock->now();
        auto tracker = ScreenTimeTracker::create(
            queue, clock, session, quota, warnAt,
            [this](const ScreenTimeTracker::ThresholdEvent& e) {
                events.emplace_back(e.kind, e.minutes, (clock->now() - started) / 1s);
            });
        tracker->start();
        return tracker;
    }
    static std::optional<DailyState> readState() {
        auto doc = json::parse(test::readText(Paths::perUserScreenTimeStateFile()));
        return doc ? DailyState::fromJson(*doc) : std::nullopt;
    }
};

// Idle time is not screen time.
TEST_F(ScreenTimeTrackerTest, IdleIntervalsAreNotCountedAndTicksCountTheMonotonicInterval) {
    session->setIdleSeconds(61.0);
    auto tracker = start(60, 5);
    queue.advance(10min);
    EXPECT_EQ(tracker->state().seconds, 0);
    session->setIdleSeconds(60.0);  // exactly the threshold still counts as active
    queue.advance(15s);
    EXPECT_EQ(tracker->state().seconds, 15);

    // A tick counts the whole interval since the last one on the monotonic
    // clock: a held-up main loop counts in full, a sleep (the wall clock
    // moves, the monotonic one does not) nothing extra.
    clock->advance(420s);
    queue.advance(15s);
    EXPECT_EQ(tracker->state().seconds, 15 + 435);
    clock->setWall(clock->now() + 8h);
    queue.advance(15s);
    EXPECT_EQ(tracker->state().seconds, 15 + 450);
}

// The child can write the state file: only a count for today that could be
// real is kept; anything else starts a fresh day.
TEST_F(ScreenTimeTrackerTest, AStoredCountIsKeptOnlyWhenItCouldBeReal) {
    const std::string day = localDayKey(clock->now());
    const std::pair<std::string, std::int64_t> cases[] = {
        {day + R"(","seconds":600)", 600},
        {day + R"(","seconds":-9)", 0},
        {R"(2025-12-31","seconds":600)", 0},
    };
    for (const auto& [stored, kept] : cases) {
        test::writeText(
            Paths::perUserScreenTimeStateFile(),
            R"({"day":")" + stored +
                R"(,"quotaMinutes":60,"warnAtMinutesRemaining":5,"grantedBonusMinutes":0})");
        auto tracker = ScreenTimeTracker::create(queue, clock, session, 45, 3, {});
        EXPECT_EQ(tracker->state(), (DailyState{day, kept, 45, 3, 0})) << stored;
    }
}

// The child can write the state file; the service's figures for the day bound
// it: the bonus at most what was granted, the seconds at least those recorded.
TEST_F(ScreenTimeTrackerTest, TheServicesFiguresCapTheBonusAndFloorTheSeconds) {
    const std::string day = localDayKey(clock->now());
    using Opt = std::optional<std::int64_t>;
    // The figures' day, granted, used → the bonus and seconds kept from a file
    // holding 30 and 600.
    const std::tuple<std::string, Opt, Opt, std::int64_t, std::int64_t> cases[] = {
        {day, 30, 600, 30, 600}, {day, 29, 599, 29, 600}, {day, 31, 601, 30, 601},
        {day, {}, {}, 30, 600},  {day, 0, {}, 0, 600},    {"2025-12-31", 0, 900, 30, 600},
    };
    for (const auto& [figuresDay, granted, used, bonus, seconds] : cases) {
        SCOPED_TRACE(figuresDay + testing::PrintToString(std::make_pair(granted, used)));
        test::writeText(Paths::perUserScreenTimeStateFile(),
                        DailyState{day, 600, 60, 5, 30}.toJson().dump());
        auto tracker = ScreenTimeTracker::create(queue, clock, session, 60, 5, {});
        EXPECT_EQ(tracker->applyServiceTotals(figuresDay, granted, used),
                  bonus != 30 || seconds != 600);
        EXPECT_EQ(tracker->state(), (DailyState{day, seconds, 60, 5, bonus}));
        EXPECT_EQ(readState(), tracker->state());
    }
}

// However often a grant arrives (pushed, polled, after a restart), its request
// counts once that day; grants without an id count as they come.
TEST_F(ScreenTimeTrackerTest, AGrantCountsOncePerRequestUntilTheDayEnds) {
    auto tracker = start(0, 5);
    EXPECT_TRUE(tracker->extendQuota(10, 7));
    EXPECT_FALSE(tracker->extendQuota(10, 7));
    EXPECT_TRUE(tracker->extendQuota(5, std::nullopt));
    EXPECT_TRUE(tracker->extendQuota(5, std::nullopt));
    EXPECT_FALSE(tracker->extendQuota(0, 8));
    EXPECT_TRUE(tracker->extendQuota(1, 8)) << "an empty grant does not use up its id";
    tracker->stop();
    tracker = start(0, 5);
    EXPECT_FALSE(tracker->extendQuota(10, 7)) << "the ids outlive a restart";
    EXPECT_EQ(tracker->state().grantedBonusMinutes, 21);
    EXPECT_EQ(tracker->state().grantedRequestIds, (std::vector<std::int64_t>{7, 8}));

    // Ids that are not a list of integers count as none; the counts stay.
    auto doc = tracker->state().toJson();
    doc["grantedRequestIds"] = {7, "8"};
    EXPECT_EQ(DailyState::fromJson(doc),
              (DailyState{tracker->state().day, tracker->state().seconds, 0, 5, 21}));

    session->setIdleSeconds(61.0);
    queue.advance(24h);  // a new day forgets them
    EXPECT_TRUE(tracker->state().grantedRequestIds.empty());
    EXPECT_TRUE(tracker->extendQuota(10, 7));
}

TEST_F(ScreenTimeTrackerTest, RolloverAtLocalMidnightResetsCountsGrantsAndFlags) {
    test::ScopedTimeZone newYork("America/New_York");
    // 23:57 on 31 December in New York; UTC is already on the next day.
    clock->setWall(fromUnixSeconds(1'767'243'420));
    auto tracker = start(1, 1);
    tracker->extendQuota(1);  // a grant that must not outlive the day
    EXPECT_EQ(readState()->grantedBonusMinutes, 1) << "the grant is persisted at once";
    queue.advance(6min);
    // Limit 2 until midnight, 1 after: warned and exhausted once each day.
    EXPECT_EQ(events, (std::vector<Seen>{{Kind::warning, 1, 0},
                                         {Kind::quotaExtended, 2, 0},
                                         {Kind::warning, 1, 60},
                                         {Kind::quotaExhausted, 0, 120},
                                         {Kind::warning, 1, 180},            // 00:00
                                         {Kind::quotaExhausted, 0, 225}}));  // 00:00:45
    // The tick at 00:00:00 counts its 15 s to the new day.
    EXPECT_EQ(tracker->state(), (DailyState{"2026-01-01", 3 * 60 + 15, 1, 1, 0}));
    EXPECT_EQ(readState(), tracker->state());
}

// The agent's side as the schedule sees it: whether the quota holds the blocker.
struct Blocker : ScheduleBlocker {
    void showBlocker() override { shown = true; }
    bool quotaHoldsBlocker() const override {
        return ScheduleEnforcer::quotaUsedUp(quotaMinutes, bonusMinutes, usedSeconds);
    }
    void dismissBlocker() override { shown = false; }
    bool shown = false;
    std::int64_t quotaMinutes = 0, bonusMinutes = 0, usedSeconds = 0;
};

TEST(ScheduleEnforcer, ADayUnderAScheduleThenItsLifting) {
    // The virtual clock starts at 2026-01-01T00:00:00Z: Thursday 02:00 in Helsinki.
    test::ScopedTimeZone zone{"Europe/Helsinki"};
    auto clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    auto blocker = std::make_shared<Blocker>();
    auto enforcer = ScheduleEnforcer::create(queue, clock, blocker, TarvoLog("agent"));
    enforcer->start();
    enforcer->updateAccessWindows({{4, 8 * 60, 12 * 60, 0}});  // Thursdays
    queue.runPending();
    EXPECT_TRUE(blocker->shown);
    // The 60-second checks let the child in at 08:00 and shut it out at 12:00.
    queue.advance(6h);
    EXPECT_FALSE(blocker->shown);
    queue.advance(4h);
    // Lifting the schedule leaves a blocker the quota holds, and only that one.
    blocker->bonusMinutes = 1;  // a grant counts as quota
    blocker->usedSeconds = 60;
    enforcer->updateAccessWindows({});
    queue.runPending();
    EXPECT_TRUE(blocker->shown);
    blocker->usedSeconds = 59;
    enforcer->updateAccessWindows({{4, 0, 1, 0}});
    enforcer->updateAccessWindows({});
    queue.runPending();
    EXPECT_FALSE(blocker->shown);
}

}  // namespace
}  // namespace tarvo
