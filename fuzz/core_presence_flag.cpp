// Presence flags as the root daemon judges them: names from a directory
// every user can write, and modification times the child can set. A name
// that counts as a flag ends in ".flag"; freshness holds exactly within the
// minute around now (a flag dated far ahead never stays fresh for ever).
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "core/PresenceFlag.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 16) return 0;
    std::int64_t modified, now;
    std::memcpy(&modified, data, 8);
    std::memcpy(&now, data + 8, 8);
    const std::string_view name(reinterpret_cast<const char*>(data) + 16, size - 16);
    if (tarvo::presence::isFlagName(name)) {
        if (name.size() < 5 || name.substr(name.size() - 5) != ".flag") std::abort();
    }
    // Moments within three decades of 1970, to the millisecond, so that the
    // clock's nanoseconds cannot overflow.
    using tarvo::WallTime;
    const auto clamp = [](std::int64_t v) {
        return std::chrono::milliseconds(v % 1'000'000'000'000);
    };
    const WallTime m{clamp(modified)}, n{clamp(now)};
    const bool fresh = tarvo::presence::isFresh(m, n);
    const auto age = n - m;
    if (fresh && (age >= tarvo::presence::kWindow || age < -tarvo::presence::kWindow)) std::abort();
    if (!fresh && age >= std::chrono::seconds(0) && age < std::chrono::seconds(59)) std::abort();
    return 0;
}
