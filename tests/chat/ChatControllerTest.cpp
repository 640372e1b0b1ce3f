// Chat messages, their store, and the conversation controller on a local service.
#include <gtest/gtest.h>

#include "chat/ChatController.h"
#include "chat/ChatStore.h"
#include "chat/ChatTestServer.h"
#include "platform/fake/FakeUserSession.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;

struct FakeChatView : ChatView {
    void showRows(const std::vector<ChatRow>&) override {}
    void setTitle(const std::string&) override {}
    void setSubtitle(const std::string&) override {}
    void setInputText(const std::string& text) override { input = text; }
    ChatWindowState windowState() const override { return state; }
    void open() override { ++opened; }
    void presentToast(const std::string& sender, const std::string& body,
                      std::function<void()> onReply) override {
        toasts.push_back(sender + ": " + body);
        reply = std::move(onReply);
    }
    int opened = 0;
    std::string input;
    std::vector<std::string> toasts;
    std::function<void()> reply;
    ChatWindowState state{true, true, false, true};
};

std::vector<std::int64_t> ids(const auto& list) {
    std::vector<std::int64_t> out;
    for (const auto& m : list) out.push_back(m.id);
    return out;
}

// Each message as read: id | from | text | time sent.
TEST(ChatMessage, TolerantFieldsAndTimestampsAndTheTwelveHourClock) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"id":"42","message":"hi","sent_at":"2025-03-01 17:04:05"})",
         "42||hi|2025-03-01T17:04:05.000Z"},
        {R"({"id":1,"from":"parent","sentAt":12,"sent_at":"2025-03-01T12:04:05.5-05:00"})",
         "1|parent||2025-03-01T17:04:05.500Z"},
        {R"({"id":"12abc","from":5,"text":null,"sentAt":"2025-03-01"})", "0|||"},
        {R"({"id":3.5,"sentAt":"2025-03-01T17:04:05+01"})", "0|||"},
        {R"({"id":5,"senderName":"Mum"})", "5||||Mum"},
        {R"({"id":6,"senderName":""})", "6|||"},
    };
    for (const auto& [text, want] : cases) {
        auto m = ChatMessage::fromJson(*json::parse(text)).value();
        EXPECT_EQ(std::to_string(m.id) + "|" + m.from + "|" + m.text + "|" +
                      (m.sentAt ? formatIsoUtcMillis(*m.sentAt) : "") +
                      (m.senderName ? "|" + *m.senderName : ""),
                  want)
            << text;
    }
    // The parents' names: either spelling of the key, empty names left out, a list holding
    // anything but parents none at all.
    const std::pair<const char*, std::vector<std::string>> parents[] = {
        {R"({"parents":[{"name":"Mum"},{"name":""},{"Name":"Dad"}]})", {"Mum", "Dad"}},
        {R"({"Parents":[{"name":"Mum"}]})", {"Mum"}},
        {R"({"parents":[{"name":"Mum"},5]})", {}},
    };
    for (const auto& [body, names] : parents)
        EXPECT_EQ(ChatService::parseParentNames(body), names) << body;
    // Stored numbers once each, in order, the local ones after them as they came.
    const auto message = [](std::int64_t id) { return ChatMessage{id, "child", "x", {}, {}}; };
    EXPECT_EQ(ids(ChatStore::sortedDeduped({message(2), message(-1), message(1), message(2)})),
              (std::vector<std::int64_t>{1, 2, -1}));

    // The time under a message: the 12-hour clock, midnight and noon as 12, the half of the day
    // after.
    test::ScopedTimeZone zone{"UTC"};
    const std::pair<const char*, const char*> times[] = {{"2026-01-01T00:00:00Z", "12:00 AM"},
                                                         {"2026-01-01T11:59:00Z", "11:59 AM"},
                                                         {"2026-01-01T12:00:00Z", "12:00 PM"},
                                                         {"2026-01-01T13:05:00Z", "1:05 PM"}};
    for (const auto& [sent, want] : times)
        EXPECT_EQ(ChatController::displayTime(parseIsoUtc(sent)), want) << sent;
    EXPECT_EQ(ChatController::displayTime(std::nullopt), "");
}

class ChatControllerTest : public ::testing::Test {
  protected:
    test::ChatTestServer server;
    test::TempRoot root;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    ManualBackground background;
    std::shared_ptr<platform::FakeUserSession> session =
        std::make_shared<platform::FakeUserSession>();
    std::shared_ptr<FakeChatView> view = std::make_shared<FakeChatView>();

    std::shared_ptr<ChatController> start() {
        auto service = std::make_shared<ChatService>(server.service.url(), "DEV-1", "emma",
                                                     std::nullopt, clock);
        auto chat = ChatController::create(service, "emma", queue, background, clock, session);
        chat->attachView(view);
        chat->startPolling();
        chat->startReadWatcher();
        return chat;
    }
    void tick(std::chrono::milliseconds period) {
        queue.advance(period);
        background.runAll();
        queue.runPending();
        background.runAll();
    }
};

TEST_F(ChatControllerTest, PollsFromTheStoredHighestIdToastsNewParentMessagesAndSends) {
    const ChatMessage old{40, "parent", "old", parseIsoUtc("2025-03-01T17:04:05Z"), "Mum"};
    ChatStore::save({old, ChatMessage{41, "child", "reply", std::nullopt, std::nullopt}});
    server.addMessage(42, "parent", "new");
    server.addMessage(40, "parent", "old, again");
    server.addMessage(0, "parent", "without a number: never shown");
    server.pollStatus = 503;
    auto chat = start();
    tick(0ms);
    EXPECT_EQ(chat->subtitle(), "Reconnecting…");

    // The first successful poll is the initial load: known messages stay (the
    // first copy of a number wins), in order and stored, and nothing is toasted.
    server.pollStatus = 200;
    tick(30s);
    for (const auto& r : server.service.requests("/api/GetChildChatMessages"))
        EXPECT_EQ(test::queryOf(r).at("afterId"), "41");
    EXPECT_EQ(chat->messages()[0], old);
    EXPECT_EQ(ChatStore::load(), chat->messages());
    server.addMessage(50, "parent", "first");
    server.addMessage(51, "Parent", "second");
    server.addMessage(52, "child", "mine");
    tick(30s);
    EXPECT_EQ(view->toasts, std::vector<std::string>{"your parent: second"});
    view->reply();
    EXPECT_EQ(view->opened, 1);

    // Failed sends stay for a retry (the text back in the field: ChatQtTest).
    const auto sends = [&] { return server.service.requests("/api/SendChildChatMessage"); };
    chat->sendTapped("\n\t \xC2\xA0");
    server.sendStatus = 500;
    chat->sendTapped("hello");
    chat->sendTapped("other");
    tick(0ms);
    EXPECT_EQ(sends().size(), 2u) << "blank text goes nowhere";
    server.sendStatus = 200;
    chat->sendTapped("  hello \n");
    EXPECT_EQ(view->input, "");
    tick(0ms);
    EXPECT_EQ(json::parse(sends().back().body)->at("message"), "hello");
    // "other" stays failed; "hello" is there once, stored.
    EXPECT_EQ(ids(chat->rows()), (std::vector<std::int64_t>{40, 41, 42, 50, 51, 52, 53, -2}));
    EXPECT_EQ(ids(ChatStore::load()), (std::vector<std::int64_t>{40, 41, 42, 50, 51, 52, 53}));
    // A sent copy without its number is not shown: the next poll brings the stored one.
    server.numberSends = false;
    chat->sendTapped("later");
    tick(0ms);
    EXPECT_EQ(ids(chat->rows()), (std::vector<std::int64_t>{40, 41, 42, 50, 51, 52, 53, -2}));
    tick(30s);
    EXPECT_EQ(ids(chat->rows()), (std::vector<std::int64_t>{40, 41, 42, 50, 51, 52, 53, 54, -2}));
}

TEST_F(ChatControllerTest, ReadReportsOnlyWhileSeenAndUnlockedAndNeverTwice) {
    server.addMessage(1, "parent", "a");
    server.addMessage(2, "child", "b");
    server.addMessage(3, "PARENT", "c");
    test::writeText(ChatStore::path(), "[{\"id\":1}, 2]");
    auto chat = start();
    const auto reports = [&] {
        std::string out;
        for (const auto& r : server.service.requests("/api/MarkChatMessagesRead"))
            out += json::parse(r.body)->at("messageIds").dump();
        return out;
    };
    tick(0ms);
    view->state = {true, false, false, true};
    queue.advance(2s);
    EXPECT_EQ(background.pending(), 0u) << "hidden: the lock state is not even read";
    view->state = {true, true, false, true};
    session->setScreenLocked(true);
    tick(2s);
    session->setScreenLocked(false);
    queue.advance(2s);
    view->state = {true, true, false, false};  // covered while the lock state was read
    tick(0ms);
    EXPECT_EQ(reports(), "");
    view->state = {true, true, false, true};
    tick(12s);
    EXPECT_EQ(reports(), "[1,3]");

    // A failed report is not repeated; a new parent message is reported alone.
    server.service.answer("/api/MarkChatMessagesRead", 500, "{}");
    server.addMessage(4, "parent", "d");
    for (int i = 0; i < 3; ++i) tick(30s);
    EXPECT_EQ(reports(), "[1,3][4]");

    // Numbers below 1 are never reported, and only a 2xx answer counts as reported.
    ChatService service(server.service.url(), "DEV-1", "emma", std::nullopt, clock);
    EXPECT_TRUE(service.markRead({0, -1}, clock->now()));
    EXPECT_EQ(reports(), "[1,3][4]");
    for (const auto& [status, counted] : {std::pair{299, true}, std::pair{300, false}}) {
        server.service.answer("/api/MarkChatMessagesRead", status, "{}");
        EXPECT_EQ(service.markRead({0, 7}, clock->now()), counted) << status;
    }
    EXPECT_EQ(reports(), "[1,3][4][7][7]");

    // Work that finishes after the chat is gone changes nothing.
    chat->sendTapped("late");
    chat.reset();
    tick(0ms);
    EXPECT_TRUE(server.service.requests("/api/SendChildChatMessage").empty());
    EXPECT_EQ(test::logLinesWith("WARN  chat history unreadable — starting empty").size(), 1u);
}

}  // namespace
}  // namespace tarvo
