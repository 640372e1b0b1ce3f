#include <gtest/gtest.h>

#include <filesystem>

#include "chat/ChatController.h"
#include "chat/ChatStore.h"
#include "chat/ChatTestServer.h"
#include "core/Paths.h"
#include "platform/fake/FakeUserSession.h"
#include "support/TestSupport.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

using namespace std::chrono_literals;

class FakeChatView : public ChatView {
  public:
    struct Toast {
        std::string sender;
        std::string body;
        std::function<void()> onReply;
    };

    void showRows(const std::vector<ChatRow>& rows) override { shown.push_back(rows); }
    void setTitle(const std::string& t) override { title = t; }
    void setSubtitle(const std::string& s) override { subtitle = s; }
    void setInputText(const std::string& text) override { input = text; }
    ChatWindowState windowState() const override { return state; }
    void open() override { ++opened; }
    void presentToast(const std::string& sender, const std::string& body,
                      std::function<void()> onReply) override {
        toasts.push_back({sender, body, std::move(onReply)});
    }

    const std::vector<ChatRow>& rows() const { return shown.back(); }

    std::vector<std::vector<ChatRow>> shown;
    std::string title;
    std::string subtitle;
    std::string input;
    int opened = 0;
    std::vector<Toast> toasts;
    ChatWindowState state{true, true, false, true};
};

std::vector<std::int64_t> ids(const std::vector<ChatMessage>& messages) {
    std::vector<std::int64_t> out;
    for (const auto& m : messages) out.push_back(m.id);
    return out;
}

class ChatControllerTest : public ::testing::Test {
  protected:
    test::TempRoot root;
    test::EnvGuard tz{"TZ", "UTC"};
    test::ChatTestServer server;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    InlineBackground background;
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
    std::shared_ptr<ChatController> start() { return start(background); }

    std::vector<std::string> afterIds() const {
        std::vector<std::string> out;
        for (const auto& r : server.received("/api/GetChildChatMessages"))
            out.push_back(test::queryOf(r).at("afterId"));
        return out;
    }
    std::vector<json::Json> readReports() const {
        std::vector<json::Json> out;
        for (const auto& r : server.received("/api/MarkChatMessagesRead"))
            out.push_back(json::parse(r.body)->at("messageIds"));
        return out;
    }
    std::string log() const { return test::readText(Paths::agentLog()); }
};

TEST_F(ChatControllerTest, FirstPollAsksForTheStoredHighestIdAndIgnoresKnownMessages) {
    ChatStore::save({ChatMessage{40, "parent", "old", std::nullopt, std::nullopt},
                     ChatMessage{41, "child", "reply", std::nullopt, std::nullopt}});
    server.addMessage(40, "parent", "old, again");
    server.addMessage(42, "parent", "new");
    server.replayAll(true);
    auto chat = start();
    EXPECT_EQ(view->subtitle, "Connecting…");
    queue.advance(0ms);
    EXPECT_EQ(afterIds(), (std::vector<std::string>{"41"}));
    EXPECT_EQ(ids(chat->messages()), (std::vector<std::int64_t>{40, 41, 42}));
    EXPECT_EQ(chat->messages()[0].text, "old");
    EXPECT_EQ(chat->highestSeenId(), 42);
    EXPECT_EQ(view->subtitle, "Last synced: just now");
    EXPECT_EQ(ids(ChatStore::load()), (std::vector<std::int64_t>{40, 41, 42}));

    // The same answer again adds nothing and draws nothing.
    const size_t renders = view->shown.size();
    queue.advance(30s);
    EXPECT_EQ(afterIds(), (std::vector<std::string>{"41", "42"}));
    EXPECT_EQ(chat->messages().size(), 3u);
    EXPECT_EQ(view->shown.size(), renders);
}

TEST_F(ChatControllerTest, NoToastForTheInitialLoadThenOneForTheNewestParentMessage) {
    for (int id : {1, 2, 3}) server.addMessage(id, "parent", "earlier " + std::to_string(id));
    auto chat = start();
    queue.advance(0ms);
    EXPECT_TRUE(view->toasts.empty());
    EXPECT_TRUE(chat->didInitialLoad());
    EXPECT_NE(log().find("[chat] INFO  chat: 3 new (3 from parent), initialLoad=false"),
              std::string::npos);

    server.addMessage(50, "parent", "first");
    server.addMessage(51, "Parent", "second");
    server.addMessage(52, "child", "mine");
    queue.advance(30s);
    ASSERT_EQ(view->toasts.size(), 1u);
    EXPECT_EQ(view->toasts[0].body, "second");
    EXPECT_EQ(view->toasts[0].sender, "your parent");
    EXPECT_NE(log().find("chat: 3 new (2 from parent), initialLoad=true"), std::string::npos);
    EXPECT_NE(log().find("chat: presenting toast for message 51"), std::string::npos);
    view->toasts[0].onReply();
    EXPECT_EQ(view->opened, 1);

    // A poll with only the child's own message raises nothing.
    server.addMessage(53, "child", "more");
    queue.advance(30s);
    EXPECT_EQ(view->toasts.size(), 1u);
}

TEST_F(ChatControllerTest, FailedPollShowsReconnectingAndReportsStatus) {
    server.addMessage(7, "parent", "hi");
    server.failPolls(503, "down for maintenance");
    auto chat = start();
    queue.advance(0ms);
    EXPECT_EQ(view->subtitle, "Reconnecting…");
    EXPECT_FALSE(chat->didInitialLoad());
    EXPECT_NE(log().find("[chat] WARN  chat poll failed: HTTP 503: GetChildChatMessages :: "
                         "down for maintenance"),
              std::string::npos);
    auto reports = server.received("/api/ReportChatClientStatus");
    ASSERT_EQ(reports.size(), 1u);
    auto parsed = json::parse(reports[0].body);
    ASSERT_TRUE(parsed) << reports[0].body;
    auto body = *parsed;
    EXPECT_EQ(body["pollOk"], false);
    EXPECT_EQ(body["lastError"], "HTTP 503: GetChildChatMessages :: down for maintenance");

    server.failPolls(200);
    queue.advance(30s);
    EXPECT_EQ(afterIds(), (std::vector<std::string>{"0", "0"}));
    EXPECT_EQ(view->subtitle, "Last synced: just now");
    EXPECT_EQ(ids(chat->messages()), (std::vector<std::int64_t>{7}));
    // The first successful poll is the initial load: no toast.
    EXPECT_TRUE(view->toasts.empty());
    EXPECT_EQ(server.received("/api/ReportChatClientStatus").size(), 1u);
}

TEST_F(ChatControllerTest, SendTrimsAndShowsPendingUntilStored) {
    auto chat = start();
    queue.advance(0ms);
    for (const char* blank : {"", "   ", "\n\t ", "\xC2\xA0"}) {
        view->input = "untouched";
        chat->sendTapped(blank);
        EXPECT_EQ(view->input, "untouched");
    }
    EXPECT_TRUE(server.received("/api/SendChildChatMessage").empty());

    chat->sendTapped("  see you at 5 \n");
    EXPECT_EQ(view->input, "");
    // Answered, but the answer is not applied until the main queue runs.
    ASSERT_EQ(view->rows().size(), 1u);
    EXPECT_EQ(view->rows()[0].id, -1);
    EXPECT_EQ(view->rows()[0].text, "see you at 5");
    EXPECT_EQ(view->rows()[0].statusLine, "12:00 AM  sending…");
    EXPECT_EQ(view->rows()[0].nameLine, "emma");
    EXPECT_EQ(view->rows()[0].side, ChatRow::Side::Child);
    auto sent = server.received("/api/SendChildChatMessage");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(json::parse(sent[0].body)->at("message"), "see you at 5");

    queue.advance(0ms);
    ASSERT_EQ(view->rows().size(), 1u);
    EXPECT_EQ(view->rows()[0].id, 1);
    EXPECT_EQ(view->rows()[0].statusLine, "10:00 AM  ✓✓");
    EXPECT_EQ(chat->highestSeenId(), 1);
    EXPECT_EQ(ids(ChatStore::load()), (std::vector<std::int64_t>{1}));
    // The next poll brings the stored copy, which is not shown twice.
    server.replayAll(true);
    queue.advance(30s);
    EXPECT_EQ(ids(chat->messages()), (std::vector<std::int64_t>{1}));
}

TEST_F(ChatControllerTest, FailedSendCanBeResentLeavingOneBubble) {
    auto chat = start();
    queue.advance(0ms);
    server.failSends(500);
    chat->sendTapped("hello");
    chat->sendTapped("other");
    queue.advance(0ms);
    ASSERT_EQ(view->rows().size(), 2u);
    for (const auto& row : view->rows()) {
        EXPECT_TRUE(row.failed);
        EXPECT_TRUE(row.statusLine.ends_with("  not sent — tap send to retry"));
    }
    EXPECT_EQ(view->input, "other");
    EXPECT_EQ(chat->failedIds(), (std::set<std::int64_t>{-1, -2}));
    EXPECT_NE(log().find("[chat] WARN  send failed: HTTP 500: SendChildChatMessage :: try later"),
              std::string::npos);
    EXPECT_FALSE(test::exists(ChatStore::path()));

    server.failSends(200);
    chat->sendTapped("hello");
    queue.advance(0ms);
    std::vector<std::string> texts;
    for (const auto& row : view->rows()) texts.push_back(row.text);
    // "other" stays failed; "hello" is there once, stored.
    EXPECT_EQ(texts, (std::vector<std::string>{"hello", "other"}));
    EXPECT_EQ(view->rows()[0].id, 1);
    EXPECT_EQ(chat->failedIds(), (std::set<std::int64_t>{-2}));
    EXPECT_EQ(ids(ChatStore::load()), (std::vector<std::int64_t>{1}));
}

TEST_F(ChatControllerTest, ReadReportsOnlyWhileSeenAndNeverTwice) {
    server.addMessage(1, "parent", "a");
    server.addMessage(2, "child", "b");
    server.addMessage(3, "PARENT", "c");
    auto chat = start();
    queue.advance(0ms);

    struct Hidden {
        const char* why;
        ChatWindowState state;
        std::optional<bool> locked;
    };
    const Hidden hidden[] = {
        {"screen locked", {true, true, false, true}, true},
        {"window hidden", {true, false, false, true}, false},
        {"covered", {true, true, false, false}, false},
    };
    for (const auto& h : hidden) {
        SCOPED_TRACE(h.why);
        view->state = h.state;
        session->setScreenLocked(h.locked);
        queue.advance(2s);
        EXPECT_TRUE(readReports().empty());
    }

    view->state = {true, true, false, true};
    session->setScreenLocked(false);
    queue.advance(2s);
    ASSERT_EQ(readReports().size(), 1u);
    EXPECT_EQ(readReports()[0], json::Json({1, 3}));
    EXPECT_EQ(json::parse(server.received("/api/MarkChatMessagesRead")[0].body)->at("readAtUtc"),
              formatIsoUtcMillis(clock->now()));
    queue.advance(10s);
    EXPECT_EQ(readReports().size(), 1u);

    // A failed report is not repeated; a new parent message is reported alone.
    server.setMarkReadStatus(500);
    server.addMessage(4, "parent", "d");
    queue.advance(20s);
    ASSERT_EQ(readReports().size(), 2u);
    EXPECT_EQ(readReports()[1], json::Json({4}));
    queue.advance(30s);
    EXPECT_EQ(readReports().size(), 2u);
    EXPECT_EQ(chat->reportedRead(), (std::set<std::int64_t>{1, 3, 4}));
}

TEST_F(ChatControllerTest, WorkFinishingAfterTheChatIsGoneChangesNothing) {
    ManualBackground manual;
    auto chat = start(manual);
    chat->sendTapped("late");
    chat.reset();
    EXPECT_EQ(queue.activeTimers(), 0u);
    manual.runAll();
    queue.advance(0ms);
    EXPECT_TRUE(server.received("/api/SendChildChatMessage").empty());
    EXPECT_TRUE(server.received("/api/GetChildChatMessages").empty());
    EXPECT_FALSE(test::exists(ChatStore::path()));
}

TEST(ChatDisplayTime, HoursAndMinutesInTheLocalZone) {
    struct Case {
        const char* tz;
        const char* utc;
        const char* shown;
    };
    const Case cases[] = {
        {"UTC", "2025-03-01T16:05:00Z", "4:05 PM"},
        {"UTC", "2025-03-01T12:00:00Z", "12:00 PM"},
        {"EST5", "2025-03-01T16:05:00Z", "11:05 AM"},
        {"<+0530>-5:30", "2025-03-01T16:05:00Z", "9:35 PM"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.tz) + " " + c.utc);
        test::EnvGuard tz("TZ", c.tz);
        EXPECT_EQ(ChatController::displayTime(parseIsoUtc(c.utc)), c.shown);
    }
    EXPECT_EQ(ChatController::displayTime(std::nullopt), "");
}

}  // namespace
}  // namespace tarvo
