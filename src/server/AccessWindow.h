#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/TimeFormat.h"

namespace tarvo {

// One permitted usage window of the child's schedule, in local time.
struct AccessWindow {
    int dayOfWeek = 0;              // 0 Sunday, 1 Monday, ..., 6 Saturday
    std::int64_t startMinutes = 0;  // after local midnight, inclusive
    std::int64_t endMinutes = 0;    // after local midnight, exclusive; below start wraps
    std::int64_t maxMinutes = 0;    // per-window allowance as sent; 0 when absent

    bool operator==(const AccessWindow&) const = default;
};

namespace AccessWindows {

// The schedule from the service's wire form: an array of objects, each with a
// weekday, a start and an end (integers or "08:30"-style times, or ISO 8601
// date-times whose time part counts) and an optional allowance. Unusable
// entries are dropped; anything but an array of objects gives an empty
// schedule. Never fails. `value` null means the key was absent.
std::vector<AccessWindow> parse(const nlohmann::json* value);
inline std::vector<AccessWindow> parse(const nlohmann::json& value) {
    return parse(&value);
}

// "8:30", "08:30:00.000", "08:30Z" → 510; none unless 0-23 hours and 0-59 minutes.
std::optional<std::int64_t> hhmm(std::string_view text);

// Both computations read `at` in the process's local time zone (the session's)
// at whole-minute resolution; they are pure and safe on any thread.

// Whether the schedule permits use at `at`. An empty schedule permits always;
// a schedule without a window for today's weekday permits nothing today. A
// window whose end lies before its start wraps within its own weekday: it
// covers midnight to end and start to midnight of that same day.
bool isAllowed(WallTime at, const std::vector<AccessWindow>& windows);

// Minutes from `from` until the next window start: later today, then on each
// following weekday, and finally today's weekday one week on (so a window that
// has already started today is found again a week later). Only starts count.
// None for an empty schedule.
std::optional<std::int64_t> minutesUntilNextWindow(WallTime from,
                                                   const std::vector<AccessWindow>& windows);

}  // namespace AccessWindows
}  // namespace tarvo
