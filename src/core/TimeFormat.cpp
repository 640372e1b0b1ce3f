#include "core/TimeFormat.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

namespace tarvo {
namespace {

bool digits(std::string_view s, size_t pos, size_t count, int& out) {
    if (pos + count > s.size()) return false;
    int v = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        char c = s[i];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

// Rounded down, never towards zero: a moment before 1970 shows the second
// (and millisecond) it falls in, not the one after it.
std::tm utcParts(WallTime t, long long& millis) {
    using namespace std::chrono;
    const auto secs = floor<seconds>(t.time_since_epoch());
    millis = floor<milliseconds>(t.time_since_epoch() - secs).count();
    std::time_t tt = static_cast<std::time_t>(secs.count());
    std::tm tm{};
    gmtime_r(&tt, &tm);
    return tm;
}

int daysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

}  // namespace

std::string formatIsoUtc(WallTime t) {
    long long millis = 0;
    std::tm tm = utcParts(t, millis);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::string formatIsoUtcMillis(WallTime t) {
    long long millis = 0;
    std::tm tm = utcParts(t, millis);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
    return buf;
}

std::optional<WallTime> parseIsoUtc(std::string_view s) {
    int year, month, day, hour, minute, second;
    if (!digits(s, 0, 4, year) || s.size() < 19 || s[4] != '-' || !digits(s, 5, 2, month) ||
        s[7] != '-' || !digits(s, 8, 2, day) || (s[10] != 'T' && s[10] != 't') ||
        !digits(s, 11, 2, hour) || s[13] != ':' || !digits(s, 14, 2, minute) || s[16] != ':' ||
        !digits(s, 17, 2, second))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 60)
        return std::nullopt;
    size_t pos = 19;
    long long nanos = 0;
    if (pos < s.size() && s[pos] == '.') {
        ++pos;
        size_t start = pos;
        long long scale = 100000000;
        while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
            nanos += (s[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == start) return std::nullopt;
    }
    if (pos >= s.size()) return std::nullopt;
    long offsetSeconds = 0;
    if (s[pos] == 'Z' || s[pos] == 'z') {
        ++pos;
    } else if (s[pos] == '+' || s[pos] == '-') {
        int sign = s[pos] == '-' ? -1 : 1;
        int oh, om;
        if (!digits(s, pos + 1, 2, oh)) return std::nullopt;
        size_t mpos = pos + 3;
        if (mpos < s.size() && s[mpos] == ':') ++mpos;
        if (!digits(s, mpos, 2, om) || oh > 23 || om > 59) return std::nullopt;
        offsetSeconds = sign * (oh * 3600L + om * 60L);
        pos = mpos + 2;
    } else {
        return std::nullopt;
    }
    if (pos != s.size()) return std::nullopt;

    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    // A leap second (":60") becomes the first second of the next minute.
    const std::int64_t secs = static_cast<std::int64_t>(timegm(&tm)) - offsetSeconds;
    // The clock's 64-bit count spans a few centuries only (1678 to 2262 in
    // nanoseconds): refuse stamps it cannot hold rather than let it overflow.
    using Ticks = WallTime::duration;
    static_assert(Ticks::period::num == 1);
    const auto fraction = std::chrono::duration_cast<Ticks>(std::chrono::nanoseconds(nanos));
    Ticks::rep ticks = 0;
    if (__builtin_mul_overflow(secs, Ticks::period::den, &ticks) ||
        __builtin_add_overflow(ticks, fraction.count(), &ticks))
        return std::nullopt;
    return WallTime(Ticks(ticks));
}

std::string localDayKey(WallTime t) {
    std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return buf;
}

WallTime localDayStart(WallTime t) {
    const std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    tm.tm_isdst = -1;
    const std::time_t start = std::mktime(&tm);
    if (start == static_cast<std::time_t>(-1) || start > tt) return t;
    return std::chrono::system_clock::from_time_t(start);
}

double toUnixSeconds(WallTime t) {
    using namespace std::chrono;
    return duration_cast<duration<double>>(t.time_since_epoch()).count();
}

WallTime fromUnixSeconds(double seconds) {
    using namespace std::chrono;
    return WallTime(round<system_clock::duration>(duration<double>(seconds)));
}

}  // namespace tarvo
