// The screen-time state file, which the child can write, on arbitrary bytes.
// A state that is accepted has no negative used seconds or granted minutes
// (either would hand out time nobody granted), and survives its own file:
// written and read back it is the same state.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "agent/ScreenTimeTracker.h"
#include "core/Json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using State = tarvo::ScreenTimeTracker::DailyState;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto doc = tarvo::json::parse(input);
    if (!doc) return 0;
    const auto state = State::fromJson(*doc);
    if (!state) return 0;
    if (state->seconds < 0 || state->grantedBonusMinutes < 0) std::abort();
    (void)state->remainingMinutes();  // saturating: no overflow whatever the counts
    const std::string text =
        state->toJson().dump(-1, ' ', false, tarvo::json::Json::error_handler_t::replace);
    const auto again = tarvo::json::parse(text);
    if (!again) std::abort();
    const auto back = State::fromJson(*again);
    if (!back) std::abort();
    // A day with broken UTF-8 is written with replacement characters.
    State expected = *state;
    expected.day = back->day;
    if (*back != expected) std::abort();
    return 0;
}
