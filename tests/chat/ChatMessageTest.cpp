#include <gtest/gtest.h>

#include "chat/ChatMessage.h"
#include "chat/ChatService.h"

namespace tarvo {
namespace {

WallTime utc(const char* iso) {
    return *parseIsoUtc(iso);
}

TEST(ChatMessageDecoding, TolerantFields) {
    struct Case {
        const char* json;
        std::int64_t id;
        const char* from;
        const char* text;
        std::optional<WallTime> sentAt;
        std::optional<std::string> senderName;
    };
    const Case cases[] = {
        // id written as a string, text under "message", zone-less "sent_at" read as UTC.
        {R"({"id":"42","message":"hi","sent_at":"2025-03-01 17:04:05"})", 42, "", "hi",
         utc("2025-03-01T17:04:05Z"), std::nullopt},
        {R"({"id":7,"from":"parent","text":"a","body":"b","message":"c"})", 7, "parent", "a",
         std::nullopt, std::nullopt},
        {R"({"id":1,"sentAt":"yesterday","sent_at":"2025-03-01T17:04:05Z"})", 1, "", "",
         std::nullopt, std::nullopt},
        // A "sentAt" of the wrong type counts as absent: "sent_at" decides.
        {R"({"id":1,"sentAt":12,"sent_at":"2025-03-01T17:04:05Z"})", 1, "", "",
         utc("2025-03-01T17:04:05Z"), std::nullopt},
        {R"({"id":"12abc","senderName":"Mum","from":"PARENT"})", 0, "PARENT", "", std::nullopt,
         "Mum"},
        {R"({"id":-3,"from":5,"text":null})", -3, "", "", std::nullopt, std::nullopt},
        {R"({"id":"-9223372036854775808"})", INT64_MIN, "", "", std::nullopt, std::nullopt},
        {R"({"id":3.5,"text":"half"})", 0, "", "half", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        auto m = ChatMessage::fromJson(*json::parse(c.json));
        ASSERT_TRUE(m.has_value());
        EXPECT_EQ(m->id, c.id);
        EXPECT_EQ(m->from, c.from);
        EXPECT_EQ(m->text, c.text);
        EXPECT_EQ(m->sentAt, c.sentAt);
        EXPECT_EQ(m->senderName, c.senderName);
    }
    for (const char* notObject : {"[]", "\"text\"", "3", "null"}) {
        SCOPED_TRACE(notObject);
        EXPECT_FALSE(ChatMessage::fromJson(*json::parse(notObject)).has_value());
    }
}

TEST(ChatTimestamps, AcceptedForms) {
    struct Case {
        const char* text;
        std::optional<WallTime> expected;
    };
    using namespace std::chrono;
    const Case cases[] = {
        {"2025-03-01T17:04:05Z", utc("2025-03-01T17:04:05Z")},
        {"2025-03-01T17:04:05.123456Z", utc("2025-03-01T17:04:05Z") + microseconds(123456)},
        {"2025-03-01T18:04:05+01:00", utc("2025-03-01T17:04:05Z")},
        {"2025-03-01T12:04:05.5-05:00", utc("2025-03-01T17:04:05Z") + milliseconds(500)},
        {"2025-03-01T17:04:05.123456", utc("2025-03-01T17:04:05Z") + microseconds(123456)},
        {"2025-03-01 17:04:05", utc("2025-03-01T17:04:05Z")},
        {"2025-03-01", std::nullopt},
        {"2025-13-01T17:04:05Z", std::nullopt},
        {"2025-02-30 17:04:05", std::nullopt},
        {"2025-03-01T17:04:05+01", std::nullopt},
        {"2025-03-01X17:04:05", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ChatService::parseTimestamp(c.text), c.expected);
    }
}

TEST(ChatResponses, MessageShapes) {
    struct Case {
        const char* body;
        std::vector<std::int64_t> ids;
    };
    const Case cases[] = {
        {R"([{"id":1},{"id":"2"}])", {1, 2}},
        {R"({"messages":[{"id":3}]})", {3}},
        {R"({"Messages":[{"id":4}]})", {4}},
        // "messages" that is no list of messages leaves "Messages" to decide.
        {R"({"messages":"none","Messages":[{"id":5}]})", {5}},
        {R"({"messages":[{"id":6},7],"chatMessage":{"id":8}})", {8}},
        {R"({"message":{"id":10},"Message":{"id":11}})", {10}},
        {R"({"message":"plain text","Message":{"id":11}})", {11}},
        {R"([{"id":1},"x"])", {}},
        {"not json", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        std::vector<std::int64_t> ids;
        for (const auto& m : ChatService::parseMessages(c.body)) ids.push_back(m.id);
        EXPECT_EQ(ids, c.ids);
    }
}

TEST(ChatResponses, ErrorCarriesStatusLabelAndCutBody) {
    struct Case {
        long status;
        std::string body;
        bool throws;
        std::string message;
    };
    const std::string euro = "\xE2\x82\xAC";
    std::string euros;
    for (int i = 0; i < 301; ++i) euros += euro;
    const Case cases[] = {
        {204, "", false, ""},
        {0, "not http", false, ""},
        {404, "nope", true, "L :: nope"},
        // Cut after 300 characters, not bytes, never inside a character.
        {502, euros, true, "L :: " + euros.substr(0, 300 * euro.size())},
        // Ill-formed UTF-8 is replaced, one character per bad byte.
        {400,
         "a\xFF"
         "b\xE2\x82",
         true,
         "L :: a\xEF\xBF\xBD"
         "b\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        net::Response response{c.status, c.body, false};
        if (!c.throws) {
            EXPECT_NO_THROW(ChatService::check(response, "L"));
            continue;
        }
        try {
            ChatService::check(response, "L");
            ADD_FAILURE() << "no error for status " << c.status;
        } catch (const ChatError& e) {
            EXPECT_EQ(e.status(), c.status);
            EXPECT_EQ(e.message(), c.message);
            EXPECT_EQ(std::string(e.what()), "HTTP " + std::to_string(c.status) + ": " + c.message);
        }
    }
}

}  // namespace
}  // namespace tarvo
