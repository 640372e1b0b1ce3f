#include "chat/ChatController.h"

#include <gtest/gtest.h>

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

class ChatControllerTest : public ::testing::Test {
  protected:
    test::ChatTestServer server;
    test::TempRoot root;
    test::EnvGuard tz{"TZ", "UTC"};
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
};

TEST_F(ChatControllerTest, PollsFromTheStoredHighestIdAndToastsOnlyNewParentMessages) {
    ChatStore::save({ChatMessage{40, "parent", "old", std::nullopt, std::nullopt},
                     ChatMessage{41, "child", "reply", std::nullopt, std::nullopt}});
    server.addMessage(40, "parent", "old, again");
    server.addMessage(42, "parent", "new");
    server.replayAll(true);
    server.failPolls(503);
    auto chat = start(background);
    EXPECT_EQ(view->subtitle, "Connecting…");
    queue.advance(0ms);
    EXPECT_EQ(view->subtitle, "Reconnecting…");
    auto reports = server.received("/api/ReportChatClientStatus");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(json::parse(reports[0].body)->at("lastError"),
              "HTTP 503: GetChildChatMessages :: unavailable");

    // The first successful poll is the initial load: known messages stay, no toast.
    server.failPolls(200);
    queue.advance(30s);
    EXPECT_EQ(afterIds(), (std::vector<std::string>{"41", "41"}));
    EXPECT_EQ(ids(chat->messages()), (std::vector<std::int64_t>{40, 41, 42}));
    EXPECT_EQ(chat->messages()[0].text, "old");
    EXPECT_EQ(view->subtitle, "Last synced: just now");
    EXPECT_EQ(ids(ChatStore::load()), (std::vector<std::int64_t>{40, 41, 42}));
    EXPECT_TRUE(view->toasts.empty());
    server.replayAll(false);
    server.addMessage(50, "parent", "first");
    server.addMessage(51, "Parent", "second");
    server.addMessage(52, "child", "mine");
    queue.advance(30s);
    EXPECT_EQ(view->toasts, std::vector<std::string>{"your parent: second"});
    view->reply();
    EXPECT_EQ(view->opened, 1);
}

TEST_F(ChatControllerTest, SendTrimsShowsPendingAndAFailedSendCanBeResent) {
    auto chat = start(background);
    queue.advance(0ms);
    for (const char* blank : {"", "\n\t ", "\xC2\xA0"}) {
        view->input = "untouched";
        chat->sendTapped(blank);
        EXPECT_EQ(view->input, "untouched");
    }
    EXPECT_TRUE(server.received("/api/SendChildChatMessage").empty());

    chat->sendTapped("  see you at 5 \n");
    EXPECT_EQ(view->input, "");
    EXPECT_EQ(json::parse(server.received("/api/SendChildChatMessage")[0].body)->at("message"),
              "see you at 5");
    queue.advance(0ms);
    EXPECT_EQ(ids(ChatStore::load()), (std::vector<std::int64_t>{1}));

    server.failSends(500);
    chat->sendTapped("hello");
    chat->sendTapped("other");
    queue.advance(0ms);
    EXPECT_EQ(view->input, "other");
    EXPECT_EQ(chat->failedIds(), (std::set<std::int64_t>{-3, -2}));
    server.failSends(200);
    chat->sendTapped("hello");
    queue.advance(0ms);
    // "other" stays failed; "hello" is there once, stored.
    EXPECT_EQ(ids(view->rows), (std::vector<std::int64_t>{1, 2, -3}));
    EXPECT_EQ(ids(ChatStore::load()), (std::vector<std::int64_t>{1, 2}));
}

TEST_F(ChatControllerTest, ReadReportsOnlyWhileSeenAndNeverTwice) {
    server.addMessage(1, "parent", "a");
    server.addMessage(2, "child", "b");
    server.addMessage(3, "PARENT", "c");
    auto chat = start(background);
    queue.advance(0ms);
    // The screen locked, the window hidden, the window covered.
    const std::pair<ChatWindowState, bool> hidden[] = {{{true, true, false, true}, true},
                                                       {{true, false, false, true}, false},
                                                       {{true, true, false, false}, false}};
    for (const auto& [state, locked] : hidden) {
        view->state = state;
        session->setScreenLocked(locked);
        queue.advance(2s);
        EXPECT_TRUE(readReports().empty()) << locked;
    }
    view->state = {true, true, false, true};
    session->setScreenLocked(false);
    queue.advance(2s);
    EXPECT_EQ(readReports(), std::vector<json::Json>{json::Json({1, 3})});
    queue.advance(10s);
    EXPECT_EQ(readReports().size(), 1u);

    // A failed report is not repeated; a new parent message is reported alone.
    server.setMarkReadStatus(500);
    server.addMessage(4, "parent", "d");
    queue.advance(50s);
    EXPECT_EQ(readReports(), (std::vector<json::Json>{json::Json({1, 3}), json::Json({4})}));
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
    EXPECT_FALSE(test::exists(ChatStore::path()));
}

}  // namespace
}  // namespace tarvo
