#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "agent/ScheduleEnforcer.h"
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
        if (shown) return;
        shown = true;
        ++shows;
    }
    bool quotaHoldsBlocker() const override {
        return ScheduleEnforcer::quotaUsedUp(quotaMinutes, bonusMinutes, usedSeconds);
    }
    void dismissBlocker() override {
        if (!shown) return;
        shown = false;
        ++dismissals;
    }

    bool shown = false;
    int shows = 0;
    int dismissals = 0;
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

    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const auto& r : syslog_->records()) out.push_back(r.message);
        return out;
    }
};

TEST_F(ScheduleEnforcerTest, ADayUnderASchedule) {
    enforcer_->start();
    enforcer_->updateAccessWindows({{kThu, 8 * 60, 12 * 60, 0}, {kFri, 9 * 60, 10 * 60, 0}});
    // The blocker is raised from the main queue, not inside the evaluation.
    EXPECT_TRUE(enforcer_->blockedBySchedule());
    EXPECT_EQ(blocker_->shows, 0);
    queue_.runPending();
    EXPECT_EQ(blocker_->shows, 1);
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "access windows: 2 window(s) configured",
                           "outside permitted usage window — blocking (next window in 360m)"}));

    // Hours of 60-second checks outside the window repeat nothing.
    queue_.advance(6h - 1min);
    EXPECT_EQ(blocker_->shows, 1);
    EXPECT_EQ(lines().size(), 2u);

    // The 08:00 check lets the child in.
    queue_.advance(1min);
    EXPECT_FALSE(enforcer_->blockedBySchedule());
    EXPECT_EQ(blocker_->dismissals, 1);
    EXPECT_EQ(lines().back(), "inside permitted usage window again");

    // 12:00 is the end (exclusive); the next start is Friday 09:00.
    queue_.advance(4h);
    EXPECT_TRUE(enforcer_->blockedBySchedule());
    EXPECT_EQ(blocker_->shows, 2);
    EXPECT_EQ(lines().back(), "outside permitted usage window — blocking (next window in 1260m)");
    EXPECT_EQ(lines().size(), 4u);

    enforcer_->stop();
    EXPECT_FALSE(enforcer_->running());
    EXPECT_EQ(queue_.activeTimers(), 0u);
}

TEST_F(ScheduleEnforcerTest, LiftingTheScheduleLeavesABlockerTheQuotaHolds) {
    struct Case {
        std::int64_t quota, bonus, usedSeconds;
        bool quotaHolds;
    } cases[] = {
        {0, 0, 99'999, false},                     // no quota at all
        {60, 0, 3'599, false},                     // 59 whole minutes used
        {60, 0, 3'600, true},                      // exactly used up
        {60, 30, 3'600, false},                    // a grant reopens it
        {60, 30, 5'400, true},  {0, 1, 60, true},  // a grant alone is a limit
        {-5, 5, 600, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.quota) + "+" + std::to_string(c.bonus) + " used " +
                     std::to_string(c.usedSeconds) + "s");
        EXPECT_EQ(ScheduleEnforcer::quotaUsedUp(c.quota, c.bonus, c.usedSeconds), c.quotaHolds);

        auto blocker = std::make_shared<Blocker>();
        auto enforcer = ScheduleEnforcer::create(queue_, clock_, blocker,
                                                 TarvoLog("agent", std::nullopt, syslog_));
        enforcer->updateAccessWindows({{kFri, 0, 60, 0}});
        queue_.runPending();
        ASSERT_TRUE(blocker->shown);
        blocker->quotaMinutes = c.quota;
        blocker->bonusMinutes = c.bonus;
        blocker->usedSeconds = c.usedSeconds;

        enforcer->updateAccessWindows({});
        EXPECT_FALSE(enforcer->blockedBySchedule());
        EXPECT_EQ(lines().back(), "inside permitted usage window again");
        EXPECT_TRUE(blocker->shown);  // the dismissal is queued
        queue_.runPending();
        EXPECT_EQ(blocker->shown, c.quotaHolds);
    }
}

}  // namespace
}  // namespace tarvo
