#include "agent/ScheduleEnforcer.h"

#include <gtest/gtest.h>

#include "platform/fake/FakeSystemLog.h"
#include "support/TestSupport.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;

constexpr int kThu = 4, kFri = 5;

// The agent's side as the schedule sees it: one blocker at most, and a quota
// state that decides whether the blocker must stay.
class Blocker : public ScheduleBlocker {
  public:
    void showBlocker() override {
        if (!shown) ++shows;
        shown = true;
    }
    bool quotaHoldsBlocker() const override {
        return ScheduleEnforcer::quotaUsedUp(quotaMinutes, bonusMinutes, usedSeconds);
    }
    void dismissBlocker() override { shown = false; }

    bool shown = false;
    int shows = 0;
    std::int64_t quotaMinutes = 0, bonusMinutes = 0, usedSeconds = 0;
};

class ScheduleEnforcerTest : public ::testing::Test {
  protected:
    // The virtual clock starts at 2026-01-01T00:00:00Z: Thursday 02:00 in Helsinki.
    test::ScopedTimeZone zone_{"Europe/Helsinki"};
    std::shared_ptr<VirtualClock> clock_ = std::make_shared<VirtualClock>();
    VirtualMainQueue queue_{clock_};
    std::shared_ptr<platform::FakeSystemLog> syslog_ = std::make_shared<platform::FakeSystemLog>();
    std::shared_ptr<Blocker> blocker_ = std::make_shared<Blocker>();
    std::shared_ptr<ScheduleEnforcer> enforcer_ = ScheduleEnforcer::create(
        queue_, clock_, blocker_, TarvoLog("agent", std::nullopt, syslog_));

    std::string lastLine() const { return syslog_->records().back().message; }
};

TEST_F(ScheduleEnforcerTest, ADayUnderASchedule) {
    enforcer_->start();
    enforcer_->updateAccessWindows({{kThu, 8 * 60, 12 * 60, 0}, {kFri, 9 * 60, 10 * 60, 0}});
    // The blocker is raised from the main queue, not inside the evaluation.
    EXPECT_TRUE(enforcer_->blockedBySchedule());
    EXPECT_FALSE(blocker_->shown);
    queue_.runPending();
    EXPECT_TRUE(blocker_->shown);
    EXPECT_EQ(lastLine(), "outside permitted usage window — blocking (next window in 360m)");

    // Hours of 60-second checks outside the window repeat nothing.
    const size_t lines = syslog_->records().size();
    queue_.advance(6h - 1min);
    EXPECT_EQ(syslog_->records().size(), lines);

    // The 08:00 check lets the child in; 12:00 is the end, the next start Friday 09:00.
    queue_.advance(1min);
    EXPECT_FALSE(blocker_->shown);
    EXPECT_EQ(lastLine(), "inside permitted usage window again");
    queue_.advance(4h);
    EXPECT_TRUE(blocker_->shown);
    EXPECT_EQ(blocker_->shows, 2);
    EXPECT_EQ(lastLine(), "outside permitted usage window — blocking (next window in 1260m)");

    enforcer_->stop();
    EXPECT_EQ(queue_.activeTimers(), 0u);
}

TEST_F(ScheduleEnforcerTest, LiftingTheScheduleLeavesABlockerTheQuotaHolds) {
    struct Case {
        std::int64_t quota, bonus, usedSeconds;
        bool quotaHolds;
    } cases[] = {
        {0, 0, 99'999, false},   // no quota at all
        {60, 0, 3'599, false},   // 59 whole minutes used
        {60, 0, 3'600, true},    // exactly used up
        {60, 30, 3'600, false},  // a grant reopens it
        {0, 1, 60, true},        // a grant alone is a limit
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.quota) + "+" + std::to_string(c.bonus) + " used " +
                     std::to_string(c.usedSeconds) + "s");
        enforcer_->updateAccessWindows({{kFri, 0, 60, 0}});
        queue_.runPending();
        ASSERT_TRUE(blocker_->shown);
        blocker_->quotaMinutes = c.quota;
        blocker_->bonusMinutes = c.bonus;
        blocker_->usedSeconds = c.usedSeconds;
        enforcer_->updateAccessWindows({});
        queue_.runPending();
        EXPECT_EQ(blocker_->shown, c.quotaHolds);
        blocker_->dismissBlocker();
    }
}

}  // namespace
}  // namespace tarvo
