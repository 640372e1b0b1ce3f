#include "core/Json.h"

#include <charconv>
#include <cmath>

namespace tarvo::json {

std::optional<std::int64_t> asInteger(const Json& v) {
    if (v.is_number_integer() && !v.is_number_unsigned()) return v.get<std::int64_t>();
    if (v.is_number_unsigned()) {
        auto u = v.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
        return static_cast<std::int64_t>(u);
    }
    if (v.is_number_float()) {
        double d = v.get<double>();
        // [-2^63, 2^63) holds exactly the doubles that convert to int64.
        if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 ||
            d >= 9223372036854775808.0)
            return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

const Json* find(const Json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    if (it == object.end()) return nullptr;
    return &*it;
}

std::optional<std::int64_t> integer(const Json& object, std::string_view key) {
    const Json* v = find(object, key);
    return v ? asInteger(*v) : std::nullopt;
}

std::optional<std::string> string(const Json& object, std::string_view key) {
    const Json* v = find(object, key);
    if (!v || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

std::optional<bool> boolean(const Json& object, std::string_view key) {
    const Json* v = find(object, key);
    if (!v || !v->is_boolean()) return std::nullopt;
    return v->get<bool>();
}

std::optional<std::vector<std::string>> asStringList(const Json& v) {
    if (!v.is_array()) return std::nullopt;
    std::vector<std::string> out;
    out.reserve(v.size());
    for (const auto& e : v) {
        if (!e.is_string()) return std::nullopt;
        out.push_back(e.get<std::string>());
    }
    return out;
}

std::optional<std::vector<std::string>> stringList(const Json& object, std::string_view key) {
    const Json* v = find(object, key);
    return v ? asStringList(*v) : std::nullopt;
}

std::optional<std::vector<Json>> objectList(const Json& object, std::string_view key) {
    const Json* v = find(object, key);
    if (!v || !v->is_array()) return std::nullopt;
    std::vector<Json> out;
    out.reserve(v->size());
    for (const auto& e : *v) {
        if (!e.is_object()) return std::nullopt;
        out.push_back(e);
    }
    return out;
}

std::optional<std::int64_t> firstInteger(const Json& object,
                                         std::initializer_list<std::string_view> keys) {
    for (auto k : keys)
        if (auto v = integer(object, k)) return v;
    return std::nullopt;
}

std::optional<std::string> firstString(const Json& object,
                                       std::initializer_list<std::string_view> keys) {
    for (auto k : keys)
        if (auto v = string(object, k)) return v;
    return std::nullopt;
}

std::optional<std::int64_t> parseDecimal(std::string_view text) {
    if (text.empty()) return std::nullopt;
    bool negative = false;
    size_t pos = 0;
    if (text[0] == '+' || text[0] == '-') {
        negative = text[0] == '-';
        pos = 1;
    }
    std::string_view body = text.substr(pos);
    if (body.empty()) return std::nullopt;
    for (char c : body)
        if (c < '0' || c > '9') return std::nullopt;
    // Parse with the sign attached so INT64_MIN fits.
    std::string s = (negative ? "-" : "") + std::string(body);
    std::int64_t value = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || ptr != s.data() + s.size()) return std::nullopt;
    return value;
}

std::optional<Json> parse(std::string_view text) {
    Json j = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (j.is_discarded()) return std::nullopt;
    return j;
}

}  // namespace tarvo::json
