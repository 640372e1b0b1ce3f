// The chat's messages, their store, and the conversation controller against a
// local chat service.
#include <gtest/gtest.h>

#include "chat/ChatController.h"
#include "chat/ChatMessage.h"
#include "chat/ChatStore.h"
#include "chat/ChatTestServer.h"
#include "core/Paths.h"
#include "platform/fake/FakeUserSession.h"
#include "support/FakeService.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;

class FakeChatView : public ChatView {
  public:
    void showRows(const std::vector<ChatRow>& r) override { rows = r; }
    void setTitle(const std::string&) override {}
    void setSubtitle(const std::string& s) override { subtitle = s; }
    void setInputText(const std::string& text) override { input = text; }
    ChatWindowState windowState() const override { return state; }
    void open() override { ++opened; }
    void presentToast(const std::string& sender, const std::string& body,
                      std::function<void()> onReply) override {
        toasts.push_back(sender + ": " + body);
        reply = std::move(onReply);
    }

    std::vector<ChatRow> rows;
    int opened = 0;
    std::string subtitle, input;
    std::vector<std::string> toasts;
    std::function<void()> reply;
    ChatWindowState state{true, true, false, true};
};

template <class List>
std::vector<std::int64_t> ids(const List& list) {
    std::vector<std::int64_t> out;
    for (const auto& m : list) out.push_back(m.id);
    return out;
}

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

class ChatControllerTest : public ::testing::Test {
  protected:
    test::ChatTestServer server;
    test::TempRoot root;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    InlineBackground background;
    ManualBackground manual;
    std::shared_ptr<platform::FakeUserSession> session =
        std::make_shared<platform::FakeUserSession>();
    std::shared_ptr<FakeChatView> view = std::make_shared<FakeChatView>();

    std::shared_ptr<ChatController> start(Background& bg) {
        auto service =
            std::make_shared<ChatService>(server.url(), "DEV-1", "emma", std::nullopt, clock);
        auto chat = ChatController::create(service, "emma", queue, bg, clock, session);
        chat->attachView(view);
        chat->startPolling();
        chat->startReadWatcher();
        return chat;
    }
};

TEST_F(ChatControllerTest, PollsFromTheStoredHighestIdToastsNewParentMessagesAndSends) {
    const ChatMessage old{40, "parent", "old", parseIsoUtc("2025-03-01T17:04:05Z"), "Mum"};
    ChatStore::save({old, ChatMessage{41, "child", "reply", std::nullopt, std::nullopt}});
    server.addMessage(42, "parent", "new");
    server.addMessage(40, "parent", "old, again");
    server.failPolls(503);
    auto chat = start(background);
    EXPECT_EQ(view->subtitle, "Connecting…");
    queue.advance(0ms);
    EXPECT_EQ(view->subtitle, "Reconnecting…");
    auto reports = server.service.requests("/api/ReportChatClientStatus");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(json::parse(reports[0].body)->at("lastError"),
              "HTTP 503: GetChildChatMessages :: unavailable");

    // The first successful poll is the initial load: known messages stay (the
    // first copy of a number wins), in order and stored, and nothing is toasted.
    server.failPolls(200);
    queue.advance(30s);
    for (const auto& r : server.service.requests("/api/GetChildChatMessages"))
        EXPECT_EQ(test::queryOf(r).at("afterId"), "41");
    EXPECT_EQ(ids(chat->messages()), (std::vector<std::int64_t>{40, 41, 42}));
    EXPECT_EQ(chat->messages()[0], old);
    EXPECT_EQ(view->subtitle, "Last synced: just now");
    EXPECT_EQ(ChatStore::load(), chat->messages());
    EXPECT_TRUE(view->toasts.empty());
    server.addMessage(50, "parent", "first");
    server.addMessage(51, "Parent", "second");
    server.addMessage(52, "child", "mine");
    queue.advance(30s);
    EXPECT_EQ(view->toasts, std::vector<std::string>{"your parent: second"});
    view->reply();
    EXPECT_EQ(view->opened, 1);

    // Sending: blank text goes nowhere, failed sends come back for a retry.
    const auto sends = [&] { return server.service.requests("/api/SendChildChatMessage"); };
    chat->sendTapped("\n\t \xC2\xA0");
    EXPECT_TRUE(sends().empty());
    server.failSends(500);
    chat->sendTapped("hello");
    chat->sendTapped("other");
    queue.advance(0ms);
    EXPECT_EQ(view->input, "other");
    EXPECT_EQ(chat->failedIds(), (std::set<std::int64_t>{-2, -1}));
    server.failSends(200);
    chat->sendTapped("  hello \n");
    EXPECT_EQ(view->input, "");
    EXPECT_EQ(json::parse(sends().back().body)->at("message"), "hello");
    queue.advance(0ms);
    // "other" stays failed; "hello" is there once, stored.
    EXPECT_EQ(ids(view->rows), (std::vector<std::int64_t>{40, 41, 42, 50, 51, 52, 53, -2}));
    EXPECT_EQ(ids(ChatStore::load()), (std::vector<std::int64_t>{40, 41, 42, 50, 51, 52, 53}));
}

TEST_F(ChatControllerTest, ReadReportsOnlyWhileSeenAndUnlockedAndNeverTwice) {
    server.addMessage(1, "parent", "a");
    server.addMessage(2, "child", "b");
    server.addMessage(3, "PARENT", "c");
    test::writeText(ChatStore::path(), "[{\"id\":1}, 2]");
    auto chat = start(manual);
    const auto tick = [&](std::chrono::milliseconds period) {
        queue.advance(period);
        for (int i = 0; i < 2; ++i) {
            manual.runAll();
            queue.runPending();
        }
    };
    const auto reports = [&] {
        std::vector<json::Json> out;
        for (const auto& r : server.service.requests("/api/MarkChatMessagesRead"))
            out.push_back(json::parse(r.body)->at("messageIds"));
        return out;
    };
    tick(0ms);
    view->state = {true, false, false, true};
    queue.advance(2s);
    EXPECT_EQ(manual.pending(), 0u) << "hidden: the lock state is not even read";
    view->state = {true, true, false, true};
    session->setScreenLocked(true);
    tick(2s);
    session->setScreenLocked(false);
    queue.advance(2s);
    view->state = {true, true, false, false};  // covered while the lock state was read
    tick(0ms);
    EXPECT_TRUE(reports().empty());
    view->state = {true, true, false, true};
    tick(12s);
    EXPECT_EQ(reports(), std::vector<json::Json>{json::Json({1, 3})});

    // A failed report is not repeated; a new parent message is reported alone.
    server.service.answer("/api/MarkChatMessagesRead", 500, "{}");
    server.addMessage(4, "parent", "d");
    for (int i = 0; i < 3; ++i) tick(30s);
    EXPECT_EQ(reports(), (std::vector<json::Json>{json::Json({1, 3}), json::Json({4})}));

    // Work that finishes after the chat is gone changes nothing.
    chat->sendTapped("late");
    chat.reset();
    EXPECT_EQ(queue.activeTimers(), 0u);
    manual.runAll();
    queue.advance(0ms);
    EXPECT_TRUE(server.service.requests("/api/SendChildChatMessage").empty());
    EXPECT_EQ(ChatStore::load().size(), 4u);
    EXPECT_EQ(test::logLinesWith("[chat] WARN  chat history unreadable — starting empty").size(),
              1u);
}

}  // namespace
}  // namespace tarvo
