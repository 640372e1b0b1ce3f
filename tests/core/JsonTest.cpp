#include <gtest/gtest.h>

#include "core/Json.h"

namespace tarvo {
namespace {

using json::Json;

TEST(Json, IntegerAcceptsExactlyTheNumbersThatFitInt64) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> want;
    };
    const Case cases[] = {
        {"15", 15},
        {"15.0", 15},
        {"15.5", std::nullopt},
        {"true", std::nullopt},
        {"\"15\"", std::nullopt},
        {"[1]", std::nullopt},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
        {"1e300", std::nullopt},
        {"1e3", 1000},
    };
    for (const auto& c : cases) {
        Json obj = Json::object();
        obj["k"] = Json::parse(c.text);
        EXPECT_EQ(json::integer(obj, "k"), c.want) << c.text;
    }
}

TEST(Json, WrongTypesCountAsAbsent) {
    const Json obj = Json::parse(R"({
        "s": "text", "n": 3, "b": false, "list": ["a", "b"], "mixed": ["a", 1],
        "objs": [{"x": 1}, {}], "notObjs": [{"x": 1}, 2], "empty": []
    })");
    EXPECT_EQ(json::string(obj, "s"), "text");
    EXPECT_EQ(json::string(obj, "n"), std::nullopt);
    EXPECT_EQ(json::string(obj, "missing"), std::nullopt);
    EXPECT_EQ(json::boolean(obj, "b"), false);
    EXPECT_EQ(json::boolean(obj, "n"), std::nullopt);
    EXPECT_EQ(json::stringList(obj, "list"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(json::stringList(obj, "mixed"), std::nullopt);
    EXPECT_EQ(json::stringList(obj, "s"), std::nullopt);
    EXPECT_EQ(json::stringList(obj, "empty"), std::vector<std::string>{});
    ASSERT_TRUE(json::objectList(obj, "objs"));
    EXPECT_EQ(json::objectList(obj, "objs")->size(), 2u);
    EXPECT_EQ(json::objectList(obj, "notObjs"), std::nullopt);
    EXPECT_EQ(json::objectList(obj, "empty")->size(), 0u);
    // Not an object at all: every reader says absent.
    const Json list = Json::parse("[1, 2]");
    EXPECT_EQ(json::integer(list, "0"), std::nullopt);
    EXPECT_EQ(json::find(list, "0"), nullptr);
}

TEST(Json, DecimalParsing) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> want;
    };
    const Case cases[] = {
        {"42", 42},
        {"+42", 42},
        {"007", 7},
        {"", std::nullopt},
        {" 4", std::nullopt},
        {"4 ", std::nullopt},
        {"4.0", std::nullopt},
        {"0x10", std::nullopt},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(json::parseDecimal(c.text), c.want) << '"' << c.text << '"';
}

}  // namespace
}  // namespace tarvo
