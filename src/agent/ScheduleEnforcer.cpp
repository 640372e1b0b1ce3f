#include "agent/ScheduleEnforcer.h"

#include <string>

#include "core/Weak.h"

namespace tarvo {

std::shared_ptr<ScheduleEnforcer> ScheduleEnforcer::create(MainQueue& queue,
                                                           std::shared_ptr<const Clock> clock,
                                                           std::weak_ptr<ScheduleBlocker> blocker,
                                                           TarvoLog log) {
    return std::shared_ptr<ScheduleEnforcer>(
        new ScheduleEnforcer(queue, std::move(clock), std::move(blocker), std::move(log)));
}

ScheduleEnforcer::ScheduleEnforcer(MainQueue& queue, std::shared_ptr<const Clock> clock,
                                   std::weak_ptr<ScheduleBlocker> blocker, TarvoLog log)
    : queue_(queue),
      clock_(clock ? std::move(clock) : systemClock()),
      blocker_(std::move(blocker)),
      log_(std::move(log)) {}

void ScheduleEnforcer::start() {
    timer_ = ScopedTimer(
        queue_, queue_.startRepeating(kCheckInterval,
                                      weakCallback(shared_from_this(), [](ScheduleEnforcer& self) {
                                          self.evaluateAccessWindow();
                                      })));
}

void ScheduleEnforcer::stop() {
    timer_.reset();
}

void ScheduleEnforcer::updateAccessWindows(std::vector<AccessWindow> windows) {
    const size_t previous = windows_.size();
    windows_ = std::move(windows);
    if (windows_.size() != previous) {
        std::string line =
            "access windows: " + std::to_string(windows_.size()) + " window(s) configured";
        if (windows_.empty()) line += " — usage unrestricted by schedule";
        log_.info(line);
    }
    evaluateAccessWindow();
}

void ScheduleEnforcer::evaluateAccessWindow() {
    if (windows_.empty()) {
        if (blockedBySchedule_) clearScheduleBlock();
        return;
    }
    const WallTime now = clock_->now();
    if (AccessWindows::isAllowed(now, windows_)) {
        if (blockedBySchedule_) clearScheduleBlock();
        return;
    }
    // Raised once per stretch outside the schedule; a blocker taken down
    // meanwhile (by a grant of more time) is not raised again until the
    // schedule has let the child in and shut them out anew.
    if (blockedBySchedule_) return;
    blockedBySchedule_ = true;
    std::string line = "outside permitted usage window — blocking";
    if (auto next = AccessWindows::minutesUntilNextWindow(now, windows_))
        line += " (next window in " + std::to_string(*next) + "m)";
    log_.info(line);
    queue_.post(weakCallback(shared_from_this(), [](ScheduleEnforcer& self) {
        if (auto blocker = self.blocker_.lock()) blocker->showBlocker();
    }));
}

void ScheduleEnforcer::clearScheduleBlock() {
    blockedBySchedule_ = false;
    log_.info("inside permitted usage window again");
    queue_.post(weakCallback(shared_from_this(), [](ScheduleEnforcer& self) {
        auto blocker = self.blocker_.lock();
        if (!blocker || blocker->quotaHoldsBlocker()) return;
        blocker->dismissBlocker();
    }));
}

bool ScheduleEnforcer::quotaUsedUp(std::int64_t quotaMinutes, std::int64_t grantedBonusMinutes,
                                   std::int64_t usedSeconds) {
    const std::int64_t limit = quotaMinutes + grantedBonusMinutes;
    return limit >= 1 && usedSeconds / 60 >= limit;
}

}  // namespace tarvo
