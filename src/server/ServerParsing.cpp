// The readers of the service's documents: settings, app limits, approvals,
// the minutes of an approval event, and the classification of event payloads.
#include "core/Json.h"
#include "core/Text.h"
#include "server/ServerClient.h"

namespace tarvo {
namespace {

using Json = json::Json;

Json parseJsonOrThrow(std::string_view data) {
    auto doc = json::parse(data);
    if (!doc) throw JsonError();
    return std::move(*doc);
}

// An allow or block list: a list of strings under the singular key, else the
// "url"/"Url" entries of a list of objects under the plural key, then under
// the singular key; else empty.
std::vector<std::string> webList(const Json& doc, std::string_view singular,
                                 std::string_view plural) {
    if (auto strings = json::stringList(doc, singular)) return *strings;
    auto objects = json::objectList(doc, plural);
    if (!objects) objects = json::objectList(doc, singular);
    std::vector<std::string> out;
    if (!objects) return out;
    for (const auto& object : *objects)
        if (auto url = json::firstString(object, {"url", "Url"})) out.push_back(std::move(*url));
    return out;
}

bool isLineBreak(std::string_view s, size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '\n' || c == '\r') return true;
    if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x85) return true;
    if (c == 0xE2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x80) {
        const auto c2 = static_cast<unsigned char>(s[i + 2]);
        return c2 == 0xA8 || c2 == 0xA9;  // U+2028, U+2029
    }
    return false;
}

// The first, shortest "<tag>...</tag>" whose inside holds no line break.
std::optional<std::string_view> firstTagPair(std::string_view text, const std::string& tag) {
    const std::string open = "<" + tag + ">";
    const std::string close = "</" + tag + ">";
    size_t closing = std::string_view::npos;
    size_t lineBreak = 0;
    bool lineBreakKnown = false;
    for (size_t p = text.find(open); p != std::string_view::npos; p = text.find(open, p + 1)) {
        const size_t inside = p + open.size();
        if (closing == std::string_view::npos || closing < inside) {
            closing = text.find(close, inside);
            if (closing == std::string_view::npos) return std::nullopt;
        }
        if (!lineBreakKnown || lineBreak < inside) {
            lineBreak = text.size();
            for (size_t i = inside; i < text.size(); ++i)
                if (isLineBreak(text, i)) {
                    lineBreak = i;
                    break;
                }
            lineBreakKnown = true;
        }
        if (lineBreak >= closing) return text.substr(p, closing + close.size() - p);
    }
    return std::nullopt;
}

// `s` with every "<...>" (at least one character inside) removed.
std::string stripTags(std::string_view s) {
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        if (s[i] == '<' && i + 1 < s.size() && s[i + 1] != '>') {
            size_t end = s.find('>', i + 1);
            if (end == std::string_view::npos) {
                out.append(s.substr(i));
                break;
            }
            i = end + 1;
            continue;
        }
        out.push_back(s[i++]);
    }
    return out;
}

// The first `count` characters of UTF-8 `s` (or its bytes, where it is not UTF-8).
std::string_view firstCharacters(std::string_view s, size_t count) {
    size_t i = 0;
    for (size_t n = 0; n < count && i < s.size(); ++n) {
        ++i;
        while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
    }
    return s.substr(0, i);
}

// A count of the service's that cannot be negative: none when absent, of
// another type, or below 0.
std::optional<std::int64_t> count(const Json& doc, std::initializer_list<std::string_view> keys) {
    auto value = json::firstInteger(doc, keys);
    if (value && *value < 0) return std::nullopt;
    return value;
}

std::optional<std::int64_t> requestIdOf(const Json& doc) {
    return json::firstInteger(doc, {"request_id", "requestId", "RequestId"});
}

}  // namespace

ServerClient::Rules ServerClient::parseRules(std::string_view data,
                                             const std::string& ownDeviceId) {
    Json doc = parseJsonOrThrow(data);
    if (!doc.is_object()) throw ServerError::badResponse("rules not an object");
    Rules rules;
    rules.whitelist = webList(doc, "whitelist", "whitelists");
    rules.blacklist = webList(doc, "blacklist", "blacklists");
    rules.deviceId = json::string(doc, "device_id").value_or(ownDeviceId);
    const Json* windows = json::find(doc, "accessWindows");
    if (!windows) windows = json::find(doc, "AccessWindows");
    rules.accessWindows = AccessWindows::parse(windows);
    return rules;
}

ServerClient::AppLimits ServerClient::parseAppLimits(std::string_view data) {
    Json doc = parseJsonOrThrow(data);
    if (!doc.is_object()) throw ServerError::badResponse("app limits not an object");
    AppLimits limits;
    if (auto ids = json::stringList(doc, "allowed_bundle_ids")) {
        for (const auto& id : *ids) limits.allowedBundleIds.insert(text::asciiLower(id));
    } else if (auto apps = json::objectList(doc, "allowed_apps")) {
        for (const auto& app : *apps)
            if (auto id = json::firstString(app, {"bundle_id", "bundleId"}))
                limits.allowedBundleIds.insert(text::asciiLower(*id));
    }
    if (auto m = json::firstInteger(doc, {"daily_minutes", "dailyMinutes"})) {
        limits.dailyMinutes = *m;
    } else if (auto s = json::string(doc, "daily_minutes")) {
        limits.dailyMinutes = json::parseDecimal(*s).value_or(0);
    }
    limits.warnAtMinutesRemaining =
        json::firstInteger(doc, {"warn_at_minutes_remaining", "warnAtMinutesRemaining"})
            .value_or(5);
    limits.grantedMinutesToday =
        count(doc, {"granted_minutes_today", "grantedMinutesToday", "GrantedMinutesToday"});
    limits.usedSecondsToday =
        count(doc, {"used_seconds_today", "usedSecondsToday", "UsedSecondsToday"});
    return limits;
}

std::int64_t ServerClient::parseApproval(std::string_view data) {
    auto doc = json::parse(data);
    if (!doc || !doc->is_object()) return 0;
    const bool approved = json::boolean(*doc, "approved").value_or(false);
    const auto minutes =
        json::firstInteger(*doc, {"granted_minutes", "grantedMinutes"}).value_or(0);
    return approved ? minutes : 0;
}

std::vector<ServerClient::Grant> ServerClient::parseApprovalGrants(std::string_view data) {
    const std::int64_t total = parseApproval(data);
    if (total < 1) return {};
    std::vector<Grant> grants;
    std::int64_t named = 0;
    auto doc = json::parse(data);
    auto list = json::objectList(*doc, "grants");
    if (!list) list = json::objectList(*doc, "Grants");
    for (const auto& item : list.value_or(std::vector<Json>{})) {
        const auto id = requestIdOf(item);
        const auto minutes = count(item, {"granted_minutes", "grantedMinutes", "GrantedMinutes"});
        if (!id || !minutes || *minutes < 1) continue;
        std::int64_t sum = 0;
        if (__builtin_add_overflow(named, *minutes, &sum)) break;
        named = sum;
        grants.push_back({id, *minutes});
    }
    // What the total holds beyond the named grants (all of it from a service
    // that names none) counts as it always has.
    if (total > named) grants.push_back({std::nullopt, total - named});
    return grants;
}

std::optional<std::int64_t> ServerClient::extractInt(std::string_view text,
                                                     const std::vector<std::string>& tags) {
    for (const auto& tag : tags) {
        auto match = firstTagPair(text, tag);
        if (!match) continue;
        const std::string inner = stripTags(*match);
        const std::string_view trimmed = text::trimSpaces(inner);
        if (trimmed.empty()) continue;
        if (auto value = json::parseDecimal(trimmed)) return value;
    }
    if (auto doc = json::parse(text); doc && doc->is_object())
        return json::firstInteger(*doc, {"granted_minutes", "grantedMinutes", "minutes"});
    return std::nullopt;
}

std::optional<ServerClient::SSEEvent> ServerClient::classifySSEPayload(
    std::string_view payload, const std::string& ownDeviceId, const TarvoLog* log) {
    const std::string lower = text::asciiLower(payload);
    if (lower.find("more_time_approved") != std::string::npos ||
        lower.find("moretimeapproved") != std::string::npos) {
        auto minutes = extractInt(payload, {"m", "minutes", "granted_minutes"});
        std::optional<std::int64_t> id;
        if (auto doc = json::parse(payload); doc && doc->is_object()) id = requestIdOf(*doc);
        return SSEEvent::makeMoreTimeApproved(minutes.value_or(0), id);
    }
    if (lower.find("force_update") != std::string::npos) return SSEEvent::makeForceUpdate();
    if (auto doc = json::parse(payload); doc && doc->is_object()) {
        bool hasList = false;
        for (auto key : {"whitelist", "whitelists", "blacklist", "blacklists"})
            if (doc->contains(key)) hasList = true;
        if (hasList) {
            try {
                return SSEEvent::makeRulesUpdated(parseRules(payload, ownDeviceId));
            } catch (const std::exception&) {
                // Falls through to "ignored" below.
            }
        }
    }
    if (log) log->debug("ignored SSE chunk: " + std::string(firstCharacters(payload, 200)));
    return std::nullopt;
}

}  // namespace tarvo
