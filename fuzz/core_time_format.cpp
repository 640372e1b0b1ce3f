// The time-stamp parser on arbitrary text, and formatting followed by parsing
// on arbitrary moments. A parsed stamp formats back to one that parses to the
// same moment (at the format's resolution); a formatted moment parses back to
// itself rounded down to the second (or millisecond).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "core/TimeFormat.h"

namespace {

using namespace std::chrono;
using tarvo::WallTime;

void checkRoundTrip(WallTime t) {
    const auto seconds = tarvo::parseIsoUtc(tarvo::formatIsoUtc(t));
    if (!seconds || *seconds != floor<std::chrono::seconds>(t)) std::abort();
    const auto millis = tarvo::parseIsoUtc(tarvo::formatIsoUtcMillis(t));
    if (!millis || *millis != floor<milliseconds>(t)) std::abort();
    const std::string day = tarvo::localDayKey(t);
    if (day.size() != 10 || day[4] != '-' || day[7] != '-') std::abort();
}

// A stamp built from fields the first bytes choose (some out of range), with
// the rest of the input as its tail (fraction and zone). With the tail "Z",
// it parses exactly when every field exists on the calendar and the moment
// lies within the clock's range.
void checkFields(const uint8_t* data, std::string_view tail) {
    const int year = (data[0] | data[1] << 8) % 10000, month = data[2] % 14, day = data[3] % 33,
              hour = data[4] % 25, minute = data[5] % 61, second = data[6] % 62;
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d", year, month, day,
                  data[7] & 1 ? 'T' : 't', hour, minute, second);
    const auto t = tarvo::parseIsoUtc(std::string(text) + std::string(tail));
    if (t) checkRoundTrip(*t);
    if (tail != "Z") return;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    std::time_t noon = timegm(&tm);
    std::tm check{};
    gmtime_r(&noon, &check);
    const bool exists = month >= 1 && month <= 12 && day >= 1 && check.tm_mday == day &&
                        hour <= 23 && minute <= 59 && second <= 60;
    const bool inRange = year > 1678 && year < 2262;
    if (inRange && t.has_value() != exists) std::abort();
    if (!exists && t) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (const auto t = tarvo::parseIsoUtc(input)) checkRoundTrip(*t);
    if (size >= 8) checkFields(data, input.substr(8));
    // The first eight bytes as a moment, kept a second inside the clock's
    // range so that rounding down stays representable.
    if (size >= 8) {
        std::int64_t ticks;
        std::memcpy(&ticks, data, sizeof ticks);
        const auto min = WallTime::min() + std::chrono::seconds(1);
        const WallTime t{WallTime::duration(ticks)};
        if (t >= min) checkRoundTrip(t);
    }
    return 0;
}
