// The chat's toast offscreen: placement, text, its two minutes on virtual
// time, and what a click does.
#include <QAbstractButton>
#include <QAudioDevice>
#include <QMediaDevices>
#include <QScreen>
#include <QTest>

#include "chat_qt/ChatQtFixture.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using chatqt::ChatToast;

class ChatToastTest : public ChatQtTest {
  protected:
    void present(const std::string& sender, const std::string& body, int perReply = 1) {
        ChatToast::Context c;
        c.queue = &queue;
        c.log = TarvoLog("chat", Paths::agentLog());
        c.soundFile = sourceDir() + "/resources/Ping.wav";
        ChatToast::present(
            sender, body, [this, perReply] { replies += perReply; }, c);
    }
    // The toast on screen, or none once it started closing.
    static QWidget* shown() {
        ChatToast* toast = ChatToast::shared();
        return toast ? toast->window() : nullptr;
    }
    size_t count(const std::string& needle) const {
        const std::string text = log();
        size_t n = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
            ++n;
        return n;
    }
    int replies = 0;
};

TEST_F(ChatToastTest, SlidesInAtTheBottomRightOfThePrimaryScreenWithoutTheFocus) {
    present("Mum", "Dinner is ready");
    ASSERT_NE(shown(), nullptr);
    EXPECT_EQ(ChatToast::shared()->title(), "Message from Mum");
    EXPECT_EQ(ChatToast::shared()->body(), "Dinner is ready");
    // It starts just off the right edge and ends 20 in from the right and
    // bottom edges of the primary screen's room.
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint end(area.right() + 1 - 360 - 20, area.bottom() + 1 - 150 - 20);
    EXPECT_GT(shown()->x(), end.x());
    EXPECT_TRUE(waitUntil([&] { return shown()->pos() == end; }, 2s)) << shown()->x();
    EXPECT_EQ(shown()->size(), QSize(360, 150));
    EXPECT_TRUE(shown()->testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_TRUE(shown()->windowFlags() & Qt::WindowDoesNotAcceptFocus);
    EXPECT_EQ(count("[chat] INFO  toast shown at {{" + std::to_string(end.x()) + ", " +
                    std::to_string(end.y()) + "}, {360, 150}} visible=true"),
              1u)
        << log();
    if (QMediaDevices::audioOutputs().isEmpty()) {
        EXPECT_EQ(count("INFO  toast sound not played — no audio output"), 1u) << log();
    }
}

TEST_F(ChatToastTest, ASecondMessageUpdatesTheTextAndRestartsTheTwoMinutes) {
    present("Mum", "first");
    ChatToast* toast = ChatToast::shared();
    queue.advance(100s);
    present("Dad", "second", 100);
    EXPECT_EQ(ChatToast::shared(), toast);
    EXPECT_EQ(toast->title(), "Message from Mum");
    EXPECT_EQ(toast->body(), "second");
    queue.advance(119s);  // 219 s after the first, 119 after the second
    ASSERT_NE(shown(), nullptr);
    queue.advance(1s);
    EXPECT_EQ(shown(), nullptr);  // closing: fading out
    EXPECT_TRUE(waitUntil([&] { return ChatToast::shared() == nullptr; }));
    EXPECT_EQ(replies, 0);
}

TEST_F(ChatToastTest, ReplyDismissAndAClickOnTheCard) {
    const struct {
        const char* name;
        std::function<void(ChatToast&)> act;
        int replies;
    } cases[] = {
        {"reply", [](ChatToast& t) { t.replyButton()->click(); }, 1},
        {"dismiss", [](ChatToast& t) { t.dismissButton()->click(); }, 0},
        {"card",
         [](ChatToast& t) {
             QTest::mouseClick(t.window(), Qt::LeftButton, {}, {40, 60});
         },
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        replies = 0;
        present("Mum", "hello");
        ChatToast* toast = ChatToast::shared();
        QPointer<QWidget> card(toast->window());
        c.act(*toast);
        EXPECT_EQ(shown(), nullptr);
        toast->replyTapped();  // a second click while it fades does nothing more
        EXPECT_EQ(replies, c.replies);
        EXPECT_TRUE(waitUntil([&] { return card.isNull(); }));
    }
}

TEST_F(ChatToastTest, TheBodyShowsAtMostThreeLines) {
    for (const auto& [body, lines] :
         std::vector<std::pair<std::string, int>>{{"See you at six", 1},
                                                  {std::string(500, 'w'), 3},
                                                  {std::string(400, 'a') + " b", 3}}) {
        SCOPED_TRACE(body);
        present("Mum", body);
        const QStringList shownLines = ChatToast::shared()->bodyLines();
        EXPECT_EQ(shownLines.size(), lines);
        EXPECT_EQ(shownLines.last().endsWith(QStringLiteral("…")), lines == 3);
        ChatToast::discard();
    }
}

TEST_F(ChatToastTest, ANewParentMessageRaisesAToastWhoseReplyOpensTheChat) {
    server.addMessage(1, "parent", "old news", "Mum");
    start();
    queue.advance(0ms);
    settle();
    EXPECT_EQ(ChatToast::shared(), nullptr);  // history is no news
    server.addMessage(2, "parent", "come down please", "Mum");
    pollNow();
    ASSERT_NE(shown(), nullptr);
    EXPECT_EQ(ChatToast::shared()->body(), "come down please");
    EXPECT_FALSE(window->window()->isVisible());
    ChatToast::shared()->replyButton()->click();
    EXPECT_TRUE(window->window()->isVisible());
}

}  // namespace
}  // namespace tarvo::test
