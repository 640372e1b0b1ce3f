#include "agent/ScreenTimeTracker.h"

#include <limits>

#include "core/AtomicFile.h"
#include "core/Paths.h"
#include "core/TimeFormat.h"
#include "core/Weak.h"

namespace tarvo {

namespace {

// Grants and quotas come from the service; an absurd figure must not wrap
// around into a negative limit.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
}

std::int64_t saturatingSub(std::int64_t a, std::int64_t b) {
    std::int64_t diff = 0;
    if (!__builtin_sub_overflow(a, b, &diff)) return diff;
    return b < 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
}

}  // namespace

json::Json ScreenTimeTracker::DailyState::toJson() const {
    return {{"day", day},
            {"seconds", seconds},
            {"quotaMinutes", quotaMinutes},
            {"warnAtMinutesRemaining", warnAtMinutesRemaining},
            {"grantedBonusMinutes", grantedBonusMinutes}};
}

std::optional<ScreenTimeTracker::DailyState> ScreenTimeTracker::DailyState::fromJson(
    const json::Json& doc) {
    auto day = json::string(doc, "day");
    auto seconds = json::integer(doc, "seconds");
    auto quota = json::integer(doc, "quotaMinutes");
    auto warnAt = json::integer(doc, "warnAtMinutesRemaining");
    auto bonus = json::integer(doc, "grantedBonusMinutes");
    if (!day || !seconds || !quota || !warnAt || !bonus) return std::nullopt;
    // Negative counts would hand out time nobody granted.
    if (*seconds < 0 || *bonus < 0) return std::nullopt;
    return DailyState{*day, *seconds, *quota, *warnAt, *bonus};
}

std::int64_t ScreenTimeTracker::DailyState::limitMinutes() const {
    return saturatingAdd(quotaMinutes, grantedBonusMinutes);
}

std::int64_t ScreenTimeTracker::DailyState::remainingMinutes() const {
    return saturatingSub(limitMinutes(), usedMinutes());
}

std::shared_ptr<ScreenTimeTracker> ScreenTimeTracker::create(
    MainQueue& queue, std::shared_ptr<const Clock> clock,
    std::shared_ptr<const platform::UserSession> session, std::int64_t quotaMinutes,
    std::int64_t warnAtMinutesRemaining, EventHandler onEvent) {
    return std::make_shared<ScreenTimeTracker>(queue, std::move(clock), std::move(session),
                                               quotaMinutes, warnAtMinutesRemaining,
                                               std::move(onEvent));
}

ScreenTimeTracker::ScreenTimeTracker(MainQueue& queue, std::shared_ptr<const Clock> clock,
                                     std::shared_ptr<const platform::UserSession> session,
                                     std::int64_t quotaMinutes, std::int64_t warnAtMinutesRemaining,
                                     EventHandler onEvent)
    : queue_(queue),
      clock_(std::move(clock)),
      session_(std::move(session)),
      lastTick_(clock_->monotonic()),
      onEvent_(std::move(onEvent)),
      statePath_(Paths::perUserScreenTimeStateFile()),
      log_("screentime", Paths::agentLog()) {
    const std::string today = localDayKey(clock_->now());
    std::optional<DailyState> stored;
    if (auto text = readFile(statePath_)) {
        if (auto doc = json::parse(*text)) stored = DailyState::fromJson(*doc);
        if (!stored) log_.warn("state file unreadable — starting fresh for " + today);
    }
    if (stored && stored->day == today) {
        state_ = DailyState{today, stored->seconds, quotaMinutes, warnAtMinutesRemaining,
                            stored->grantedBonusMinutes};
    } else {
        state_ = DailyState{today, 0, quotaMinutes, warnAtMinutesRemaining, 0};
        persist();
    }
}

void ScreenTimeTracker::start() {
    lastTick_ = clock_->monotonic();
    timer_ = ScopedTimer(
        queue_, queue_.startRepeating(
                    std::chrono::duration_cast<Millis>(kTickInterval),
                    weakCallback(shared_from_this(), [](ScreenTimeTracker& t) { t.tick(); })));
    tick();
}

void ScreenTimeTracker::stop() {
    timer_.reset();
    persist();
}

void ScreenTimeTracker::tick() {
    const WallTime now = clock_->now();
    rolloverIfNeeded(now);

    const MonoTime tickTime = clock_->monotonic();
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(tickTime - lastTick_);
    lastTick_ = tickTime;

    const auto idle = session_ ? session_->idleSeconds() : std::nullopt;
    // When the system cannot tell, the time counts: a quota must not stop
    // working because the idle counter is unavailable.
    if (idle && *idle > kIdleThresholdSeconds) return;

    const std::int64_t counted = elapsed.count();
    if (counted >= 1) {
        state_.seconds = saturatingAdd(state_.seconds, counted);
        persist();
    }

    const std::int64_t limit = state_.limitMinutes();
    if (limit < 1) return;
    const std::int64_t remaining = state_.remainingMinutes();
    if (!quotaFired_ && remaining <= 0) {
        quotaFired_ = true;
        log_.info("quota exhausted (used " + std::to_string(state_.usedMinutes()) + "/" +
                  std::to_string(limit) + ")");
        raise({ThresholdEvent::Kind::quotaExhausted, 0});
    } else if (!warningFired_ && !quotaFired_ && remaining >= 1 &&
               remaining <= state_.warnAtMinutesRemaining) {
        warningFired_ = true;
        log_.info("warning threshold — " + std::to_string(remaining) + "m left");
        raise({ThresholdEvent::Kind::warning, remaining});
    }
}

void ScreenTimeTracker::rolloverIfNeeded(WallTime now) {
    const std::string today = localDayKey(now);
    if (today == state_.day) return;
    log_.info("day rollover " + state_.day + " → " + today + "; resetting counter");
    state_.day = today;
    state_.seconds = 0;
    state_.grantedBonusMinutes = 0;
    warningFired_ = false;
    quotaFired_ = false;
    persist();
}

void ScreenTimeTracker::extendQuota(std::int64_t bonusMinutes) {
    if (bonusMinutes < 1) return;
    state_.grantedBonusMinutes = saturatingAdd(state_.grantedBonusMinutes, bonusMinutes);
    persist();
    warningFired_ = false;
    quotaFired_ = false;
    const std::int64_t remaining = std::max<std::int64_t>(state_.remainingMinutes(), 0);
    raise({ThresholdEvent::Kind::quotaExtended, remaining});
    log_.info("quota extended by " + std::to_string(bonusMinutes) +
              "m; remaining=" + std::to_string(remaining) + "m");
}

bool ScreenTimeTracker::applyLimits(std::int64_t quotaMinutes,
                                    std::int64_t warnAtMinutesRemaining) {
    if (quotaMinutes == state_.quotaMinutes &&
        warnAtMinutesRemaining == state_.warnAtMinutesRemaining)
        return false;
    state_.quotaMinutes = quotaMinutes;
    state_.warnAtMinutesRemaining = warnAtMinutesRemaining;
    persist();
    warningFired_ = false;
    quotaFired_ = false;
    return true;
}

void ScreenTimeTracker::persist() {
    try {
        replaceFileAtomically(statePath_, state_.toJson().dump(), {.createDirectories = true});
    } catch (const std::exception& e) {
        log_.warn(std::string("state persist failed: ") + e.what());
    }
}

void ScreenTimeTracker::raise(ThresholdEvent event) {
    if (onEvent_) onEvent_(event);
}

}  // namespace tarvo
