#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/Clock.h"
#include "core/MainQueue.h"
#include "core/TarvoLog.h"
#include "server/AccessWindow.h"

namespace tarvo {

// What the schedule needs from the agent's full-screen blocker. The agent
// implements it; every call arrives on the main thread.
class ScheduleBlocker {
  public:
    virtual ~ScheduleBlocker() = default;
    // Raises the blocker; does nothing when one is already shown.
    virtual void showBlocker() = 0;
    // Whether the daily quota still demands the blocker (ScheduleEnforcer::quotaUsedUp
    // over the tracker's state; false when there is no tracker).
    virtual bool quotaHoldsBlocker() const = 0;
    // Takes the blocker down and forgets it; does nothing when none is shown.
    virtual void dismissBlocker() = 0;
};

// Keeps the child off the computer outside the parent's permitted usage
// windows: outside every window of today it raises the blocker once, and when
// the time falls inside a window again (or the schedule is lifted) it takes
// its block down, leaving the blocker up if the daily quota is used up.
// Main thread only. Create with create(); queued work and the timer hold it weakly.
class ScheduleEnforcer : public std::enable_shared_from_this<ScheduleEnforcer> {
  public:
    static constexpr Millis kCheckInterval{60'000};

    static std::shared_ptr<ScheduleEnforcer> create(MainQueue& queue,
                                                    std::shared_ptr<const Clock> clock,
                                                    std::weak_ptr<ScheduleBlocker> blocker,
                                                    TarvoLog log);

    // Evaluates every kCheckInterval from now on (the first time one interval
    // from now); stop() or destruction ends it.
    void start();
    void stop();

    // Takes a new schedule (logging when the number of windows changed) and evaluates it.
    void updateAccessWindows(std::vector<AccessWindow> windows);
    // Raises or lifts the schedule block for the current time.
    void evaluateAccessWindow();
    // Lifts the schedule block; the blocker goes unless the quota holds it.
    void clearScheduleBlock();

    const std::vector<AccessWindow>& accessWindows() const { return windows_; }
    bool blockedBySchedule() const { return blockedBySchedule_; }
    bool running() const { return timer_.active(); }

    // The daily quota is used up: a limit (quota plus granted minutes) of at
    // least one minute, and at least that many whole minutes used.
    static bool quotaUsedUp(std::int64_t quotaMinutes, std::int64_t grantedBonusMinutes,
                            std::int64_t usedSeconds);

  private:
    ScheduleEnforcer(MainQueue& queue, std::shared_ptr<const Clock> clock,
                     std::weak_ptr<ScheduleBlocker> blocker, TarvoLog log);

    MainQueue& queue_;
    std::shared_ptr<const Clock> clock_;
    std::weak_ptr<ScheduleBlocker> blocker_;
    TarvoLog log_;
    std::vector<AccessWindow> windows_;
    bool blockedBySchedule_ = false;
    ScopedTimer timer_;
};

}  // namespace tarvo
