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
    ChatToast::Context context() {
        ChatToast::Context c;
        c.queue = &queue;
        c.log = TarvoLog("chat", Paths::agentLog());
        c.soundFile = sourceDir() + "/resources/Ping.wav";
        return c;
    }
    void present(const std::string& sender, const std::string& body) {
        ChatToast::present(
            sender, body, [this] { ++replies; }, context());
    }
    // The toast on screen, or none once it started closing.
    QWidget* shown() const {
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

TEST_F(ChatToastTest, SlidesInAtTheBottomRightOfThePrimaryScreenAndLogs) {
    present("Mum", "Dinner is ready");
    ASSERT_NE(shown(), nullptr);
    EXPECT_TRUE(shown()->isVisible());
    EXPECT_EQ(shown()->size(), QSize(360, 150));
    EXPECT_EQ(ChatToast::shared()->title(), "Message from Mum");
    EXPECT_EQ(ChatToast::shared()->body(), "Dinner is ready");
    // It starts just off the right edge and ends 20 in from the right and
    // bottom edges of the primary screen's room.
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint end(area.right() + 1 - 360 - 20, area.bottom() + 1 - 150 - 20);
    EXPECT_GT(shown()->x(), end.x());
    EXPECT_TRUE(pumpUntil([&] { return shown()->pos() == end; }, 2000))
        << shown()->x() << "," << shown()->y();
    EXPECT_TRUE(shown()->testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_TRUE(shown()->windowFlags() & Qt::WindowDoesNotAcceptFocus);
    EXPECT_EQ(count("[chat] INFO  toast shown at {{" + std::to_string(end.x()) + ", " +
                    std::to_string(end.y()) + "}, {360, 150}} visible=true"),
              1u)
        << log();
    // Where nothing can play the sound, one line says so and the toast stays.
    if (QMediaDevices::audioOutputs().isEmpty()) {
        EXPECT_EQ(count("INFO  toast sound not played — no audio output"), 1u) << log();
    }

    // The glow breathes.
    const double first = ChatToast::shared()->glowPhase();
    EXPECT_TRUE(
        pumpUntil([&] { return std::abs(ChatToast::shared()->glowPhase() - first) > 0.1; }));
}

TEST_F(ChatToastTest, ASecondMessageUpdatesTheTextAndRestartsTheTwoMinutes) {
    present("Mum", "first");
    ChatToast* toast = ChatToast::shared();
    queue.advance(100s);
    ChatToast::present(
        "Dad", "second", [this] { replies += 100; }, context());
    EXPECT_EQ(ChatToast::shared(), toast);
    EXPECT_EQ(toast->title(), "Message from Mum");
    EXPECT_EQ(toast->body(), "second");
    queue.advance(119s);  // 219 s after the first, 119 after the second
    ASSERT_NE(shown(), nullptr);
    // The reply of the toast on screen is still the first one.
    toast->replyButton()->click();
    EXPECT_EQ(replies, 1);
    EXPECT_EQ(shown(), nullptr);

    present("Mum", "third");
    queue.advance(119s);
    EXPECT_NE(shown(), nullptr);
    queue.advance(1s);
    EXPECT_EQ(shown(), nullptr);  // closing: fading out
    EXPECT_TRUE(pumpUntil([&] { return ChatToast::shared() == nullptr; }));
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
        QWidget* card = toast->window();
        c.act(*toast);
        EXPECT_EQ(replies, c.replies);
        EXPECT_EQ(shown(), nullptr);
        // A second click while it fades does nothing more.
        toast->replyTapped();
        EXPECT_EQ(replies, c.replies);
        QPointer<QWidget> gone(card);
        EXPECT_TRUE(pumpUntil([&] { return gone.isNull(); }));
    }
    // Each new toast after a closed one played (or tried to play) its sound.
    EXPECT_EQ(count("toast shown at"), 3u);
}

TEST_F(ChatToastTest, TheBodyShowsAtMostThreeLines) {
    const struct {
        std::string body;
        int lines;
        bool cut;
    } cases[] = {
        {"See you at six", 1, false},
        {std::string(500, 'w'), 3, true},
        {"Words words words words words words words words words words words words words words "
         "words words words words words words words words words words words words words words",
         3, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        present("Mum", c.body);
        const QStringList lines = ChatToast::shared()->bodyLines();
        EXPECT_EQ(lines.size(), c.lines);
        EXPECT_EQ(lines.last().endsWith(QStringLiteral("…")), c.cut);
        ChatToast::discard();
    }
}

TEST_F(ChatToastTest, AParentMessageAfterTheFirstPollRaisesAToastWhoseReplyOpensTheChat) {
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
    EXPECT_EQ(shown(), nullptr);
}

}  // namespace
}  // namespace tarvo::test
