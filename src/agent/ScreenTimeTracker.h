#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "core/Json.h"
#include "core/MainQueue.h"
#include "core/TarvoLog.h"
#include "platform/UserSession.h"

namespace tarvo {

// Counts the child's active seconds for the current local day, keeps them in
// a per-user state file so that restarts and logins do not reset them, adds
// the minutes the parent grants, and tells its owner when the warning lead
// time is reached, when the quota is used up, and when time was granted.
//
// Main thread only. The owner (the agent) creates it with create(), calls
// start(), forwards grants to extendQuota() and new limits to applyLimits(),
// and calls stop() at shutdown.
class ScreenTimeTracker : public std::enable_shared_from_this<ScreenTimeTracker> {
  public:
    // The day's counts; also the state file's content.
    struct DailyState {
        std::string day;  // "yyyy-MM-dd", local time
        std::int64_t seconds = 0;
        std::int64_t quotaMinutes = 0;  // a total limit below 1 minute means no limit
        std::int64_t warnAtMinutesRemaining = 0;
        std::int64_t grantedBonusMinutes = 0;
        // The request ids of the grants counted this day: a grant that comes
        // again (pushed and polled, or after a restart) is not counted twice.
        // Stored under "grantedRequestIds" when there are any.
        std::vector<std::int64_t> grantedRequestIds = {};

        bool operator==(const DailyState&) const = default;

        json::Json toJson() const;
        // None unless the five counts are there with the right types (counts
        // must not be negative); request ids that are not a list of integers
        // count as none.
        static std::optional<DailyState> fromJson(const json::Json& doc);

        std::int64_t limitMinutes() const;
        std::int64_t usedMinutes() const { return seconds / 60; }
        std::int64_t remainingMinutes() const;
    };

    struct ThresholdEvent {
        enum class Kind { warning, quotaExtended, quotaExhausted };
        Kind kind = Kind::quotaExhausted;
        // warning: the minutes remaining; quotaExtended: the minutes remaining
        // after the grant, never below 0; quotaExhausted: 0.
        std::int64_t minutes = 0;

        bool operator==(const ThresholdEvent&) const = default;
    };
    using EventHandler = std::function<void(const ThresholdEvent&)>;

    // Each tick counts the whole interval since the last one, measured on the
    // monotonic clock: it stops while the machine sleeps and ignores clock
    // changes, so neither counts as use. The wall clock decides the day.
    static constexpr std::chrono::seconds kTickInterval{15};
    static constexpr double kIdleThresholdSeconds = 60.0;

    // Loads today's state from the state file (keeping its seconds and
    // granted minutes, taking the new quota and warn-at) or starts a fresh
    // day and writes it.
    static std::shared_ptr<ScreenTimeTracker> create(
        MainQueue& queue, std::shared_ptr<const Clock> clock,
        std::shared_ptr<const platform::UserSession> session, std::int64_t quotaMinutes,
        std::int64_t warnAtMinutesRemaining, EventHandler onEvent);

    // Ticks at once, then every 15 seconds.
    void start();
    // Stops the timer and writes the state (shutdown).
    void stop();
    // Adds granted minutes; values below 1, and a grant whose request id was
    // counted today already, change nothing. Returns whether it counted.
    bool extendQuota(std::int64_t bonusMinutes,
                     std::optional<std::int64_t> requestId = std::nullopt);
    // The service's figures for local day `day` ("yyyy-MM-dd"), where it sent
    // them: the granted bonus never exceeds what it granted, and the seconds
    // never drop below what it recorded (the state file is the child's to
    // write). Figures for another day than the state's change nothing.
    // Returns whether anything changed; the next tick judges the new figures.
    bool applyServiceTotals(const std::string& day, std::optional<std::int64_t> grantedMinutes,
                            std::optional<std::int64_t> usedSeconds);
    // New limits from the service: when either differs, both are stored, the
    // state is written and both events may fire again. Returns whether
    // anything changed.
    bool applyLimits(std::int64_t quotaMinutes, std::int64_t warnAtMinutesRemaining);
    // Writes the state file atomically; never throws (logs instead).
    void persist();

    const DailyState& state() const { return state_; }
    bool warningFired() const { return warningFired_; }
    bool quotaFired() const { return quotaFired_; }
    const std::string& statePath() const { return statePath_; }

    ScreenTimeTracker(MainQueue& queue, std::shared_ptr<const Clock> clock,
                      std::shared_ptr<const platform::UserSession> session,
                      std::int64_t quotaMinutes, std::int64_t warnAtMinutesRemaining,
                      EventHandler onEvent);

  private:
    void tick();
    void rolloverIfNeeded(WallTime now);
    void raise(ThresholdEvent event);

    MainQueue& queue_;
    std::shared_ptr<const Clock> clock_;
    std::shared_ptr<const platform::UserSession> session_;
    DailyState state_;
    ScopedTimer timer_;
    MonoTime lastTick_;
    bool warningFired_ = false;
    bool quotaFired_ = false;
    EventHandler onEvent_;
    std::string statePath_;
    TarvoLog log_;
};

}  // namespace tarvo
