#pragma once

// What every handler of the service shares: limits, reading a request's
// fields, writing JSON answers and errors, times.
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Database.h"
#include "Service.h"

namespace tarvo::service {

using nlohmann::json;

inline constexpr const char* kCookie = "tarvo_session";
inline constexpr int kSessionSeconds = 30 * 24 * 3600;
inline constexpr int kSetupTokenSeconds = 24 * 3600;
inline constexpr size_t kMaxIdLength = 128;
inline constexpr size_t kMaxAccountLength = 64;
inline constexpr size_t kMaxListEntries = 500;
inline constexpr size_t kMaxEntryLength = 2048;
inline constexpr size_t kMaxSamples = 1000;
inline constexpr size_t kMaxChatLength = 2000;
inline constexpr size_t kMaxAccountsPerDevice = 64;
inline constexpr size_t kMaxPendingRequests = 20;
// What one computer may store in any 24 hours: usage samples (one every 5 s
// all day is 17,280), chat messages from its children and reports of an app
// closed for its limit (one per 5-second sweep for close to three hours).
inline constexpr std::int64_t kUsageSamplesPerDay = 20000;
inline constexpr std::int64_t kChatMessagesPerDay = 500;
inline constexpr std::int64_t kAppLimitReportsPerDay = 2000;

inline std::int64_t nowSeconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

inline std::string isoUtc(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

inline std::string nowIso() {
    return isoUtc(std::time(nullptr));
}

inline std::string dayAgoIso() {
    return isoUtc(std::time(nullptr) - 24 * 3600);
}

// "2025-03-01T17:04:05Z", with optional fraction and a zone ("Z" or ±HH:MM),
// normalised to UTC without fraction; none when it is no such time.
inline std::optional<std::string> normaliseIso(const std::string& s) {
    static const std::regex re(
        R"(^(\d{4})-(\d{2})-(\d{2})[T ](\d{2}):(\d{2}):(\d{2})(\.\d{1,9})?(Z|[+-]\d{2}:\d{2})?$)");
    std::smatch m;
    if (!std::regex_match(s, m, re)) return std::nullopt;
    std::tm tm{};
    tm.tm_year = std::stoi(m[1]) - 1900;
    tm.tm_mon = std::stoi(m[2]) - 1;
    tm.tm_mday = std::stoi(m[3]);
    tm.tm_hour = std::stoi(m[4]);
    tm.tm_min = std::stoi(m[5]);
    tm.tm_sec = std::stoi(m[6]);
    if (tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        return std::nullopt;
    std::time_t t = timegm(&tm);
    const std::string zone = m[8];
    if (zone.size() == 6) {
        const int offset = (std::stoi(zone.substr(1, 2)) * 60 + std::stoi(zone.substr(4, 2))) * 60;
        t += zone[0] == '+' ? -offset : offset;
    }
    return isoUtc(t);
}

inline bool validText(const std::string& s, size_t maxLength) {
    if (s.empty() || s.size() > maxLength) return false;
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

inline std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// The session token of the request's "tarvo_session" cookie; empty when it
// has none (a cookie whose name merely ends so is another's).
inline std::string sessionToken(const httplib::Request& req) {
    std::string token;
    size_t start = 0;
    const std::string cookies = req.get_header_value("Cookie");
    const std::string prefix = std::string(kCookie) + "=";
    while (start <= cookies.size()) {
        size_t end = cookies.find(';', start);
        if (end == std::string::npos) end = cookies.size();
        const std::string part = trim(cookies.substr(start, end - start));
        if (part.rfind(prefix, 0) == 0) token = part.substr(prefix.size());
        start = end + 1;
    }
    return token;
}

inline std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

inline json parseBody(const httplib::Request& req) {
    json j = json::parse(req.body, nullptr, false);
    if (j.is_discarded()) throw HttpError{400, "malformed JSON"};
    if (!j.is_object()) throw HttpError{400, "expected a JSON object"};
    return j;
}

inline std::string field(const json& j, const char* key, size_t maxLength = kMaxIdLength) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string() || !validText(it->get<std::string>(), maxLength))
        throw HttpError{400, std::string("missing or invalid \"") + key + "\""};
    return it->get<std::string>();
}

inline std::optional<std::string> optionalString(const json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

inline std::int64_t integerField(const json& j, const char* key, std::int64_t lo, std::int64_t hi) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_integer())
        throw HttpError{400, std::string("missing or invalid \"") + key + "\""};
    const auto v = it->get<std::int64_t>();
    if (v < lo || v > hi) throw HttpError{400, std::string("\"") + key + "\" out of range"};
    return v;
}

inline std::string param(const httplib::Request& req, const char* key,
                         size_t maxLength = kMaxIdLength) {
    if (!req.has_param(key) || !validText(req.get_param_value(key), maxLength))
        throw HttpError{400, std::string("missing or invalid \"") + key + "\""};
    return req.get_param_value(key);
}

inline void sendJson(httplib::Response& res, const json& j, int status = 200) {
    res.status = status;
    res.set_content(j.dump(), "application/json");
}

inline void sendError(httplib::Response& res, int status, const std::string& message) {
    sendJson(res, json{{"error", message}}, status);
}

// An error answer after which the connection closes, whatever the client asked:
// a refused event stream holds no connection.
inline void sendAndClose(httplib::Response& res, int status, const std::string& message) {
    sendError(res, status, message);
    res.set_header("Connection", "close");
}

inline std::int64_t pathId(const httplib::Request& req) {
    const std::string s = req.matches[1];
    if (s.empty() || s.size() > 18) throw HttpError{404, "not found"};
    return std::stoll(s);
}

// A list of strings from the dashboard: trimmed, no empties, no duplicates, capped.
inline std::vector<std::string> stringList(const json& j, const char* key, bool lowerCase) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_array())
        throw HttpError{400, std::string("missing or invalid \"") + key + "\""};
    if (it->size() > kMaxListEntries) throw HttpError{400, std::string("too many ") + key};
    std::vector<std::string> out;
    for (const auto& v : *it) {
        if (!v.is_string()) throw HttpError{400, std::string("\"") + key + "\" holds a non-string"};
        std::string s = trim(v.get<std::string>());
        if (lowerCase) s = lower(s);
        if (s.empty()) continue;
        if (!validText(s, kMaxEntryLength))
            throw HttpError{400, std::string("invalid entry in \"") + key + "\""};
        if (std::find(out.begin(), out.end(), s) == out.end()) out.push_back(s);
    }
    return out;
}

inline std::string timestampMs() {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    const std::time_t t = static_cast<std::time_t>(ms.count() / 1000);
    std::string s = isoUtc(t);
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%03dZ", static_cast<int>(ms.count() % 1000));
    return s.substr(0, s.size() - 1) + frac;
}

inline json messageJson(const Row& r) {
    // id, sender, sender_name, text, sent_at, read_by_child_at, read_by_parent_at
    json m{{"id", r.integer(0)},
           {"from", r.text(1)},
           {"senderName", r.text(2)},
           {"text", r.text(3)},
           {"sentAt", r.text(4)}};
    m["readByChildAt"] = r.isNull(5) ? json(nullptr) : json(r.text(5));
    m["readByParentAt"] = r.isNull(6) ? json(nullptr) : json(r.text(6));
    return m;
}

inline const char* kMessageColumns =
    "id, sender, sender_name, text, sent_at, read_by_child_at, read_by_parent_at";

}  // namespace tarvo::service
