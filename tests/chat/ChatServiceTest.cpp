#include <gtest/gtest.h>

#include "chat/ChatService.h"
#include "chat/ChatTestServer.h"
#include "core/Paths.h"
#include "support/TestSupport.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

class ChatServiceTest : public ::testing::Test {
  protected:
    test::TempRoot root;
    test::ChatTestServer server;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    ChatService service{server.url(), "DEV-1", "emma", std::nullopt, clock};

    std::string logText() const { return test::readText(Paths::agentLog()); }
};

TEST_F(ChatServiceTest, SendPostsTheMessageAndReturnsTheStoredCopy) {
    // A proxy in the environment is never used: it is our own filter.
    test::EnvGuard proxy("http_proxy", "http://127.0.0.1:" + std::to_string(test::deadPort()));
    test::EnvGuard allProxy("ALL_PROXY", "http://127.0.0.1:" + std::to_string(test::deadPort()));
    ChatMessage stored = service.send("hello & bye");
    EXPECT_EQ(stored.id, 1);
    EXPECT_EQ(stored.text, "hello & bye");
    auto sent = server.received("/api/SendChildChatMessage");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].headers.find("Content-Type")->second, "application/json");
    EXPECT_EQ(
        *json::parse(sent[0].body),
        (json::Json{{"deviceId", "DEV-1"}, {"username", "emma"}, {"message", "hello & bye"}}));
}

TEST_F(ChatServiceTest, PollAsksAfterAnIdAndReadsNames) {
    server.addMessage(3, "parent", "old");
    server.addMessage(5, "parent", "new", "Mum");
    server.setParents({"Mum", "Dad"});
    auto result = service.poll(3);
    ASSERT_EQ(result.messages.size(), 1u);
    EXPECT_EQ(result.messages[0].id, 5);
    EXPECT_EQ(result.messages[0].senderName, "Mum");
    EXPECT_EQ(result.parentNames, (std::vector<std::string>{"Mum", "Dad"}));
    auto polls = server.received("/api/GetChildChatMessages");
    ASSERT_EQ(polls.size(), 1u);
    EXPECT_EQ(
        test::queryOf(polls[0]),
        (std::map<std::string, std::string>{
            {"deviceId", "DEV-1"}, {"username", "emma"}, {"afterId", "3"}, {"markRead", "false"}}));
}

TEST_F(ChatServiceTest, MarkReadSendsOnlyStoredIds) {
    struct Case {
        std::vector<std::int64_t> ids;
        int status;
        bool result;
        std::optional<std::vector<std::int64_t>> sent;  // none: no request
        const char* logLine;
    };
    const Case cases[] = {
        {{0, -3}, 200, true, std::nullopt, nullptr},
        {{}, 200, true, std::nullopt, nullptr},
        {{5, 0, 9},
         200,
         true,
         std::vector<std::int64_t>{5, 9},
         "DEBUG reported read for 2 message(s)"},
        {{7}, 500, false, std::vector<std::int64_t>{7}, "WARN  MarkChatMessagesRead HTTP 500"},
    };
    const WallTime readAt = *parseIsoUtc("2025-03-01T17:04:05.123Z");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ids.size());
        server.setMarkReadStatus(c.status);
        const size_t before = server.received("/api/MarkChatMessagesRead").size();
        EXPECT_EQ(service.markRead(c.ids, readAt), c.result);
        auto reads = server.received("/api/MarkChatMessagesRead");
        if (!c.sent) {
            EXPECT_EQ(reads.size(), before);
            continue;
        }
        ASSERT_EQ(reads.size(), before + 1);
        EXPECT_EQ(*json::parse(reads.back().body),
                  (json::Json{{"deviceId", "DEV-1"},
                              {"username", "emma"},
                              {"role", "child"},
                              {"messageIds", *c.sent},
                              {"readAtUtc", "2025-03-01T17:04:05.123Z"}}));
        EXPECT_NE(logText().find(c.logLine), std::string::npos) << logText();
    }
    ChatService nowhere("http://127.0.0.1:" + std::to_string(test::deadPort()), "D", "u",
                        std::nullopt, clock);
    EXPECT_FALSE(nowhere.markRead({1}, readAt));
    EXPECT_NE(logText().find("WARN  MarkChatMessagesRead failed: "), std::string::npos);
}

}  // namespace
}  // namespace tarvo
