#include "chat/ChatService.h"

#include <gtest/gtest.h>

#include "chat/ChatTestServer.h"
#include "core/Paths.h"
#include "support/TestSupport.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

TEST(ChatService, SendPollAndMarkReadAskTheService) {
    test::TempRoot root;
    test::ChatTestServer server;
    ChatService service{server.url(), "DEV-1", "emma", std::nullopt,
                        std::make_shared<VirtualClock>()};
    // A proxy in the environment is never used: it is our own filter.
    test::EnvGuard proxy("http_proxy", "http://127.0.0.1:" + std::to_string(test::deadPort()));
    EXPECT_EQ(service.send("hello & bye").id, 1);
    EXPECT_EQ(
        *json::parse(server.received("/api/SendChildChatMessage")[0].body),
        (json::Json{{"deviceId", "DEV-1"}, {"username", "emma"}, {"message", "hello & bye"}}));

    server.addMessage(5, "parent", "new", "Mum");
    server.replayAll(false, {"Mum", "Dad"});
    auto result = service.poll(1);
    EXPECT_EQ(result.messages.size(), 1u);
    EXPECT_EQ(result.messages.at(0).senderName, "Mum");
    EXPECT_EQ(result.parentNames, (std::vector<std::string>{"Mum", "Dad"}));
    EXPECT_EQ(
        test::queryOf(server.received("/api/GetChildChatMessages")[0]),
        (std::map<std::string, std::string>{
            {"deviceId", "DEV-1"}, {"username", "emma"}, {"afterId", "1"}, {"markRead", "false"}}));

    // Only stored (positive) ids are reported; none at all sends nothing.
    const WallTime readAt = *parseIsoUtc("2025-03-01T17:04:05.123Z");
    EXPECT_TRUE(service.markRead({0, -3}, readAt));
    EXPECT_TRUE(server.received("/api/MarkChatMessagesRead").empty());
    EXPECT_TRUE(service.markRead({5, 0, 9}, readAt));
    server.setMarkReadStatus(500);
    EXPECT_FALSE(service.markRead({7}, readAt));
    auto reads = server.received("/api/MarkChatMessagesRead");
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(*json::parse(reads[0].body), (json::Json{{"deviceId", "DEV-1"},
                                                       {"username", "emma"},
                                                       {"role", "child"},
                                                       {"messageIds", {5, 9}},
                                                       {"readAtUtc", "2025-03-01T17:04:05.123Z"}}));
    EXPECT_EQ(test::logLinesWith("WARN  MarkChatMessagesRead HTTP 500").size(), 1u);
}

}  // namespace
}  // namespace tarvo
