#include <gtest/gtest.h>

#include <filesystem>

#include "chat/ChatMessage.h"
#include "chat/ChatService.h"
#include "chat/ChatStore.h"
#include "core/Paths.h"
#include "support/TestSupport.h"

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

ChatMessage msg(std::int64_t id, std::string text = "") {
    return ChatMessage{id, "parent", text.empty() ? "m" + std::to_string(id) : text, std::nullopt,
                       std::nullopt};
}

std::vector<std::int64_t> ids(const std::vector<ChatMessage>& messages) {
    std::vector<std::int64_t> out;
    for (const auto& m : messages) out.push_back(m.id);
    return out;
}

TEST(ChatStoreOrder, StoredFirstAscendingLocalInTheOrderWritten) {
    struct Case {
        std::vector<std::int64_t> in;
        std::vector<std::int64_t> out;
    };
    const Case cases[] = {
        {{5, 3, 5, -1, 0, 7}, {3, 5, 7, -1, 0}},
        {{-1, -2, 4}, {4, -1, -2}},  // two pending sends stay in the order they were typed
        {{0, 0, 2, 2, 1}, {1, 2, 0, 0}},
    };
    for (const auto& c : cases) {
        std::vector<ChatMessage> in;
        for (auto id : c.in) in.push_back(msg(id));
        EXPECT_EQ(ids(ChatStore::sortedDeduped(in)), c.out);
    }
    // The first copy of a number wins, whatever the later one says.
    auto kept = ChatStore::sortedDeduped({msg(5, "first"), msg(3), msg(5, "second")});
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[1].text, "first");
}

class ChatStoreFiles : public ::testing::Test {
  protected:
    test::TempRoot root;
};

TEST_F(ChatStoreFiles, SavesOnlyStoredMessagesInTheirOrder) {
    EXPECT_EQ(ChatStore::path(),
              root.home() + "/Library/Application Support/Tarvo/Chat/messages.json");
    ChatMessage nine{9, "parent", "hi", parseIsoUtc("2025-03-01T17:04:05Z"), "Mum"};
    ChatStore::save({msg(-2), msg(4), msg(0), nine});
    auto stored = json::parse(test::readText(ChatStore::path()));
    ASSERT_TRUE(stored && stored->is_array());
    ASSERT_EQ(stored->size(), 2u);
    EXPECT_EQ((*stored)[0]["id"], 4);
    EXPECT_EQ((*stored)[1], nine.toJson());
    auto loaded = ChatStore::load();
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded[1], nine);
}

TEST_F(ChatStoreFiles, UnusableFilesLoadEmptyAndAreReplacedAtTheNextSave) {
    struct Case {
        std::optional<std::string> content;  // none: no file
        bool logged;
    };
    const Case cases[] = {
        {std::nullopt, false},  {"", false},
        {"{}", true},           {"plain text", true},
        {"[{\"id\":1},", true}, {"[{\"id\":1}, 2]", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.value_or("<none>"));
        std::filesystem::remove(ChatStore::path());
        std::filesystem::remove(Paths::agentLog());
        if (c.content) test::writeText(ChatStore::path(), *c.content);
        EXPECT_TRUE(ChatStore::load().empty());
        const std::string log = test::readText(Paths::agentLog());
        EXPECT_EQ(
            log.find("[chat] WARN  chat history unreadable — starting empty") != std::string::npos,
            c.logged)
            << log;
        ChatStore::save({msg(1)});
        EXPECT_EQ(ids(ChatStore::load()), (std::vector<std::int64_t>{1}));
    }
}

TEST_F(ChatStoreFiles, FailedSaveLogsAndLeavesNothingHalfWritten) {
    // Something that is not a file stands where the history belongs: the
    // rename fails, even for root.
    test::writeText(ChatStore::path() + "/keep", "x");
    ChatStore::save({msg(1), msg(2)});
    EXPECT_EQ(test::readText(ChatStore::path() + "/keep"), "x");
    EXPECT_NE(test::readText(Paths::agentLog()).find("[chat] WARN  couldn't save chat history: "),
              std::string::npos);
    const std::string dir = std::filesystem::path(ChatStore::path()).parent_path();
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++entries;
    EXPECT_EQ(entries, 1u) << "a temporary file was left behind";
    EXPECT_TRUE(ChatStore::load().empty());
}

}  // namespace
}  // namespace tarvo
