#include <gtest/gtest.h>

#include <filesystem>

#include "chat/ChatStore.h"
#include "core/Paths.h"
#include "support/TestSupport.h"

namespace tarvo {
namespace {

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
