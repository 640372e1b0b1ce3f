#include "agent/ScreenTimeTracker.h"

#include <algorithm>
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
    json::Json doc = {{"day", day},
                      {"seconds", seconds},
                      {"quotaMinutes", quotaMinutes},
                      {"warnAtMinutesRemaining", warnAtMinutesRemaining},
                      {"grantedBonusMinutes", grantedBonusMinutes}};
    if (!grantedRequestIds.empty()) doc["grantedRequestIds"] = grantedRequestIds;
    return doc;
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
    DailyState state{*day, *seconds, *quota, *warnAt, *bonus};
    const json::Json* ids = json::find(doc, "grantedRequestIds");
    if (!ids || !ids->is_array()) return state;
    std::vector<std::int64_t> counted;
    for (const auto& id : *ids) {
        auto value = json::asInteger(id);
        if (!value) return state;  // not a list of integers: none
        counted.push_back(*value);
    }
    state.grantedRequestIds = std::move(counted);
    return state;
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
        state_ = DailyState{today,
                            stored->seconds,
                            quotaMinutes,
                            warnAtMinutesRemaining,
                            stored->grantedBonusMinutes,
                            stored->grantedRequestIds};
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
    state_.grantedRequestIds.clear();
    warningFired_ = false;
    quotaFired_ = false;
    persist();
}

bool ScreenTimeTracker::extendQuota(std::int64_t bonusMinutes,
                                    std::optional<std::int64_t> requestId) {
    if (bonusMinutes < 1) return false;
    if (requestId) {
        auto& ids = state_.grantedRequestIds;
        if (std::find(ids.begin(), ids.end(), *requestId) != ids.end()) {
            log_.info("grant of request " + std::to_string(*requestId) +
                      " counted already — ignoring it");
            return false;
        }
        ids.push_back(*requestId);
    }
    state_.grantedBonusMinutes = saturatingAdd(state_.grantedBonusMinutes, bonusMinutes);
    persist();
    warningFired_ = false;
    quotaFired_ = false;
    const std::int64_t remaining = std::max<std::int64_t>(state_.remainingMinutes(), 0);
    raise({ThresholdEvent::Kind::quotaExtended, remaining});
    log_.info("quota extended by " + std::to_string(bonusMinutes) +
              "m; remaining=" + std::to_string(remaining) + "m");
    return true;
}

bool ScreenTimeTracker::applyServiceTotals(const std::string& day,
                                           std::optional<std::int64_t> grantedMinutes,
                                           std::optional<std::int64_t> usedSeconds) {
    // Fetched before midnight and arriving after it: yesterday's figures.
    if (day != state_.day) return false;
    bool changed = false;
    if (grantedMinutes && state_.grantedBonusMinutes > *grantedMinutes) {
        log_.warn("granted bonus " + std::to_string(state_.grantedBonusMinutes) +
                  "m is more than the service granted today — keeping " +
                  std::to_string(*grantedMinutes) + "m");
        state_.grantedBonusMinutes = *grantedMinutes;
        changed = true;
    }
    if (usedSeconds && state_.seconds < *usedSeconds) {
        log_.info("used " + std::to_string(state_.seconds) +
                  "s is less than the service recorded today — counting from " +
                  std::to_string(*usedSeconds) + "s");
        state_.seconds = *usedSeconds;
        changed = true;
    }
    if (changed) persist();
    return changed;
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
