#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarvo::json {

using Json = nlohmann::json;

// Lenient reading of service and state JSON: a value of the wrong type counts
// as absent. Every reader takes an object and a key, and gives none when the
// object is not an object, the key is missing, or the value has another type.

// A number that converts exactly to a signed 64-bit integer (so 15 and 15.0
// count, 15.5 and true do not).
std::optional<std::int64_t> asInteger(const Json& value);
std::optional<std::int64_t> integer(const Json& object, std::string_view key);
std::optional<std::string> string(const Json& object, std::string_view key);
std::optional<bool> boolean(const Json& object, std::string_view key);
// A list whose every element is a string (an empty list counts).
std::optional<std::vector<std::string>> stringList(const Json& object, std::string_view key);
std::optional<std::vector<std::string>> asStringList(const Json& value);
// A list whose every element is an object (an empty list counts).
std::optional<std::vector<Json>> objectList(const Json& object, std::string_view key);
// The value under `key`, of any type; none when absent.
const Json* find(const Json& object, std::string_view key);

// The first of `keys` whose value is of the right type.
std::optional<std::int64_t> firstInteger(const Json& object,
                                         std::initializer_list<std::string_view> keys);
std::optional<std::string> firstString(const Json& object,
                                       std::initializer_list<std::string_view> keys);

// A decimal integer: optional leading "+" or "-", then digits only, no blanks,
// within the signed 64-bit range.
std::optional<std::int64_t> parseDecimal(std::string_view text);

// Parses text as JSON without throwing; none for anything that is not JSON.
std::optional<Json> parse(std::string_view text);

// A body that should have been JSON and is not, described in the words the
// Mac's JSON reader uses (the service client and the updater alike).
class NotJson : public std::runtime_error {
  public:
    NotJson()
        : std::runtime_error("The data couldn't be read because it isn't in the correct format.") {}
};

}  // namespace tarvo::json
