#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo {

using WallTime = std::chrono::system_clock::time_point;

// "2026-12-06T16:32:45Z": what the service receives and state files hold.
std::string formatIsoUtc(WallTime t);
// "2026-12-06T16:32:45.123Z": log lines and the chat read receipt.
std::string formatIsoUtcMillis(WallTime t);
// ISO 8601 date-time with "Z" or a numeric offset, with or without a fraction
// of a second. None for anything else (including out-of-range fields).
std::optional<WallTime> parseIsoUtc(std::string_view text);
// The local calendar day, "2026-12-06", in the process's time zone.
std::string localDayKey(WallTime t);
// The start of the local day that holds `t` (its midnight, or the first
// moment of the day where a clock change skips midnight).
WallTime localDayStart(WallTime t);

// Seconds since the Unix epoch, and back.
double toUnixSeconds(WallTime t);
WallTime fromUnixSeconds(double seconds);

}  // namespace tarvo
