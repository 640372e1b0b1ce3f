#include <gtest/gtest.h>

#include "chat/ChatMessage.h"
#include "chat/ChatStore.h"
#include "core/Paths.h"
#include "support/FakeService.h"

namespace tarvo {
namespace {

// Each message as read: id | from | text | time sent.
TEST(ChatMessageDecoding, TolerantFieldsAndTimestamps) {
    const std::pair<const char*, const char*> cases[] = {
        // id written as a string, text under "message", zone-less "sent_at" read as UTC.
        {R"({"id":"42","message":"hi","sent_at":"2025-03-01 17:04:05"})",
         "42||hi|2025-03-01T17:04:05.000Z"},
        // A "sentAt" of the wrong type counts as absent: "sent_at" decides.
        {R"({"id":1,"from":"parent","sentAt":12,"sent_at":"2025-03-01T12:04:05.5-05:00"})",
         "1|parent||2025-03-01T17:04:05.500Z"},
        {R"({"id":"12abc","from":5,"text":null,"sentAt":"2025-03-01"})", "0|||"},
        {R"({"id":3.5,"text":"half","sentAt":"2025-03-01T17:04:05+01"})", "0||half|"},
    };
    for (const auto& [text, want] : cases) {
        auto m = ChatMessage::fromJson(*json::parse(text)).value();
        EXPECT_EQ(std::to_string(m.id) + "|" + m.from + "|" + m.text + "|" +
                      (m.sentAt ? formatIsoUtcMillis(*m.sentAt) : ""),
                  want)
            << text;
    }
    EXPECT_FALSE(ChatMessage::fromJson(*json::parse("[]")).has_value());
}

ChatMessage msg(std::int64_t id, std::string text = "m") {
    return ChatMessage{id, "parent", std::move(text), std::nullopt, std::nullopt};
}

std::vector<std::int64_t> ids(const std::vector<ChatMessage>& messages) {
    std::vector<std::int64_t> out;
    for (const auto& m : messages) out.push_back(m.id);
    return out;
}

// Stored messages first, ascending; local ones (pending sends) in the order written.
TEST(ChatStore, OrderFilesAndFailures) {
    auto kept = ChatStore::sortedDeduped(
        {msg(5, "first"), msg(-1), msg(3), msg(0), msg(-2), msg(5, "second"), msg(7)});
    EXPECT_EQ(ids(kept), (std::vector<std::int64_t>{3, 5, 7, -1, 0, -2}));
    EXPECT_EQ(kept[1].text, "first");  // the first copy of a number wins

    test::TempRoot root;
    ChatMessage nine{9, "parent", "hi", parseIsoUtc("2025-03-01T17:04:05Z"), "Mum"};
    ChatStore::save({msg(-2), msg(4), msg(0), nine});
    auto loaded = ChatStore::load();
    EXPECT_EQ(ids(loaded), (std::vector<std::int64_t>{4, 9}));
    EXPECT_EQ(loaded.at(1), nine);

    for (const char* unusable : {"{}", "[{\"id\":1}, 2]"}) {
        test::writeText(ChatStore::path(), unusable);
        EXPECT_TRUE(ChatStore::load().empty()) << unusable;
    }
    EXPECT_EQ(test::logLinesWith("[chat] WARN  chat history unreadable — starting empty").size(),
              2u);
}

}  // namespace
}  // namespace tarvo
