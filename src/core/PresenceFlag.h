#pragma once

#include <chrono>
#include <string_view>

#include "core/TimeFormat.h"

namespace tarvo::presence {

// A presence flag is a file in the flag directory whose name ends in ".flag";
// the agent of a logged-in child touches it every few seconds.
constexpr std::chrono::seconds kWindow{60};

bool isFlagName(std::string_view name);

// Fresh: modified strictly within the last 60 seconds. A time more than 60
// seconds ahead of now is stale too, or a flag dated in the future (planted,
// or written before the clock was set back) would count as present for ever.
bool isFresh(WallTime modified, WallTime now);

}  // namespace tarvo::presence
