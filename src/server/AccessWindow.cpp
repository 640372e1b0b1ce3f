#include "server/AccessWindow.h"

#include <ctime>
#include <initializer_list>
#include <limits>
#include <string>

#include "core/Json.h"
#include "core/Text.h"

namespace tarvo::AccessWindows {
namespace {

using nlohmann::json;

// A JSON number that converts exactly to an integer, or a non-empty string
// holding a decimal integer; the first key that yields one wins.
std::optional<std::int64_t> intValue(const json& object,
                                     std::initializer_list<std::string_view> keys) {
    for (auto key : keys) {
        auto it = object.find(key);
        if (it == object.end()) continue;
        const json* v = &*it;
        if (auto i = tarvo::json::asInteger(*v)) return i;
        if (v->is_string()) {
            const auto& s = v->get_ref<const std::string&>();
            if (!s.empty())
                if (auto i = tarvo::json::parseDecimal(s)) return i;
        }
    }
    return std::nullopt;
}

// A time value: an integer taken as minutes unchanged, or a time of day
// ("08:30", or the time part of an ISO 8601 date-time).
std::optional<std::int64_t> minutes(const json& object,
                                    std::initializer_list<std::string_view> keys) {
    for (auto key : keys) {
        auto it = object.find(key);
        if (it == object.end()) continue;
        if (auto i = tarvo::json::asInteger(*it)) return i;
        if (it->is_string()) {
            const auto& s = it->get_ref<const std::string&>();
            if (s.empty()) continue;
            if (s.find('T') != std::string::npos) {
                auto pieces = text::splitDropEmpty(s, "T");
                if (pieces.size() >= 2)
                    if (auto m = hhmm(pieces[1])) return m;
            }
            if (auto m = hhmm(s)) return m;
        }
    }
    return std::nullopt;
}

struct LocalMoment {
    int weekday;          // 0 Sunday ... 6 Saturday
    std::int64_t minute;  // after local midnight, seconds dropped
};

LocalMoment localMoment(WallTime t) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    if (!localtime_r(&secs, &tm)) return {0, 0};
    return {tm.tm_wday, static_cast<std::int64_t>(tm.tm_hour) * 60 + tm.tm_min};
}

}  // namespace

bool isAllowed(WallTime at, const std::vector<AccessWindow>& windows) {
    if (windows.empty()) return true;
    const LocalMoment now = localMoment(at);
    for (const auto& w : windows) {
        if (w.dayOfWeek != now.weekday) continue;
        const bool allowed = w.endMinutes < w.startMinutes
                                 ? (now.minute >= w.startMinutes || now.minute < w.endMinutes)
                                 : (w.startMinutes <= now.minute && now.minute < w.endMinutes);
        if (allowed) return true;
    }
    return false;
}

std::optional<std::int64_t> minutesUntilNextWindow(WallTime from,
                                                   const std::vector<AccessWindow>& windows) {
    if (windows.empty()) return std::nullopt;
    const LocalMoment now = localMoment(from);
    for (int offset = 0; offset <= 7; ++offset) {
        const int day = (now.weekday + offset) % 7;
        std::optional<std::int64_t> earliest;
        for (const auto& w : windows) {
            if (w.dayOfWeek != day) continue;
            if (offset == 0 && w.startMinutes <= now.minute) continue;
            if (!earliest || w.startMinutes < *earliest) earliest = w.startMinutes;
        }
        if (!earliest) continue;
        // Starts are taken as sent: one too far off to count saturates
        // instead of overflowing (the days ahead less now never can).
        std::int64_t minutes = 0;
        if (__builtin_add_overflow(*earliest, offset * 1440 - now.minute, &minutes))
            return std::numeric_limits<std::int64_t>::max();
        return minutes;
    }
    return std::nullopt;
}

std::optional<std::int64_t> hhmm(std::string_view text) {
    std::string cleaned;
    cleaned.reserve(text.size());
    for (char c : text)
        if (c != 'Z') cleaned.push_back(c);
    auto pieces = text::splitDropEmpty(cleaned, ":");
    if (pieces.size() < 2) return std::nullopt;
    auto hours = tarvo::json::parseDecimal(pieces[0]);
    if (!hours) return std::nullopt;
    auto mins = tarvo::json::parseDecimal(pieces[1].substr(0, 2));
    if (!mins) return std::nullopt;
    if (*hours < 0 || *hours > 23 || *mins < 0 || *mins > 59) return std::nullopt;
    return *hours * 60 + *mins;
}

std::vector<AccessWindow> parse(const nlohmann::json* value) {
    std::vector<AccessWindow> windows;
    if (!value || !value->is_array()) return windows;
    for (const auto& entry : *value)
        if (!entry.is_object()) return windows;
    for (const auto& entry : *value) {
        auto day = intValue(entry, {"DayOfWeek", "dayOfWeek", "day_of_week"});
        if (!day || *day < 0 || *day > 6) continue;
        auto start = minutes(entry, {"Start", "start"});
        if (!start) continue;
        auto end = minutes(entry, {"End", "end"});
        if (!end) continue;
        auto allowance = intValue(entry, {"MaxMinutes", "maxMinutes", "max_minutes"});
        windows.push_back({static_cast<int>(*day), *start, *end, allowance.value_or(0)});
    }
    return windows;
}

}  // namespace tarvo::AccessWindows
