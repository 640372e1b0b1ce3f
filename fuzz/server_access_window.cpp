// The access-window parser and its time values on arbitrary bytes, then the
// two computations on what it kept, at an arbitrary moment (in UTC here).
// Every kept window has a weekday 0-6; a time given as text lies within the
// day; the next window is found for every non-empty schedule, and when all
// starts lie within the day it is a start of that weekday 1 to 10080 minutes
// ahead; a schedule permits exactly when one of its windows does.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <string_view>

#include "core/Json.h"
#include "server/AccessWindow.h"

namespace {

using tarvo::AccessWindow;
using tarvo::WallTime;
namespace AccessWindows = tarvo::AccessWindows;

bool withinDay(std::int64_t minutes) {
    return minutes >= 0 && minutes < 1440;
}

// Whether some start or end key holds a number: only numbers escape the range
// check that times of day get.
bool numberUnder(const nlohmann::json& entry, const char* upper, const char* lower) {
    for (const char* key : {upper, lower}) {
        auto it = entry.find(key);
        if (it != entry.end() && it->is_number()) return true;
    }
    return false;
}

void checkSchedule(const nlohmann::json& doc) {
    const auto windows = AccessWindows::parse(doc);
    for (const auto& w : windows)
        if (w.dayOfWeek < 0 || w.dayOfWeek > 6) std::abort();
    if (!doc.is_array()) {
        if (!windows.empty()) std::abort();
        return;
    }
    if (windows.size() > doc.size()) std::abort();
    // Entry by entry, so each kept window can be traced to its source.
    for (const auto& entry : doc) {
        if (!entry.is_object()) return;
        const auto one = AccessWindows::parse(nlohmann::json::array({entry}));
        if (one.empty()) continue;
        if (!numberUnder(entry, "Start", "start") && !withinDay(one[0].startMinutes)) std::abort();
        if (!numberUnder(entry, "End", "end") && !withinDay(one[0].endMinutes)) std::abort();
    }
}

struct Moment {
    int weekday;
    std::int64_t minute;
};

Moment utcMoment(WallTime t) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    return {tm.tm_wday, tm.tm_hour * 60L + tm.tm_min};
}

void checkComputations(const std::vector<AccessWindow>& windows, WallTime at) {
    bool any = false;
    for (const auto& w : windows) any = any || AccessWindows::isAllowed(at, {w});
    if (AccessWindows::isAllowed(at, windows) != (windows.empty() || any)) std::abort();

    const auto next = AccessWindows::minutesUntilNextWindow(at, windows);
    if (next.has_value() == windows.empty()) std::abort();
    if (!next) return;
    for (const auto& w : windows)
        if (!withinDay(w.startMinutes)) return;
    if (*next < 1 || *next > 7 * 1440) std::abort();
    const auto minuteStart = std::chrono::floor<std::chrono::minutes>(at);
    const Moment then = utcMoment(minuteStart + std::chrono::minutes(*next));
    bool starts = false;
    for (const auto& w : windows)
        starts = starts || (w.dayOfWeek == then.weekday && w.startMinutes == then.minute);
    if (!starts) std::abort();
}

// Nine bytes as a minute count: the first picks a time of day, a value near
// either end of the 64-bit range, or the other eight bytes as they are.
std::int64_t anyMinutes(std::string_view bytes) {
    std::int64_t value;
    std::memcpy(&value, bytes.data() + 1, sizeof value);
    const std::int64_t small = static_cast<std::uint16_t>(value) % 20000;
    switch (static_cast<unsigned char>(bytes[0]) % 4) {
        case 0:
            return small % 1440;
        case 1:
            return std::numeric_limits<std::int64_t>::max() - small;
        case 2:
            return std::numeric_limits<std::int64_t>::min() + small;
        default:
            return value;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "UTC", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    // The first eight bytes choose the moment, to the second, within a few
    // centuries of 1970.
    std::int64_t seconds;
    std::memcpy(&seconds, data, sizeof seconds);
    const WallTime at{std::chrono::seconds(seconds % 8'000'000'000)};
    const std::string_view input(reinterpret_cast<const char*>(data) + 8, size - 8);

    // The rest as a whole schedule.
    if (auto doc = tarvo::json::parse(input)) {
        checkSchedule(*doc);
        checkComputations(AccessWindows::parse(*doc), at);
    }
    // The rest as time texts: "<start>\n<end>" for a window on the weekday
    // the moment's last digit picks.
    if (const auto m = AccessWindows::hhmm(input); m && !withinDay(*m)) std::abort();
    const size_t cut = input.find('\n');
    auto schedule = nlohmann::json::array();
    schedule.push_back(
        {{"dayOfWeek", seconds % 7 < 0 ? -(seconds % 7) : seconds % 7},
         {"start", std::string(input.substr(0, cut))},
         {"end",
          cut == std::string_view::npos ? std::string() : std::string(input.substr(cut + 1))}});
    checkSchedule(schedule);
    checkComputations(AccessWindows::parse(schedule), at);

    // The rest as windows with any field values (the parser takes integer
    // times unchanged): a weekday byte, then start and end.
    std::vector<AccessWindow> raw;
    for (size_t pos = 0; pos + 19 <= input.size(); pos += 19) {
        AccessWindow w;
        w.dayOfWeek = static_cast<unsigned char>(input[pos]) % 7;
        w.startMinutes = anyMinutes(input.substr(pos + 1, 9));
        w.endMinutes = anyMinutes(input.substr(pos + 10, 9));
        raw.push_back(w);
    }
    checkComputations(raw, at);
    return 0;
}
