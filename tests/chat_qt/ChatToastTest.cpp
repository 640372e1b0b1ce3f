// The chat's toast offscreen: placement, text, its two minutes on virtual
// time, and what a click does.
#include <QAbstractButton>
#include <QAudioDevice>
#include <QMediaDevices>

#include "chat_qt/ChatQtFixture.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using chatqt::ChatToast;

class ChatToastTest : public ChatQtTest {
  protected:
    void present(const std::string& sender, const std::string& body) {
        ChatToast::Context c;
        c.queue = &queue;
        c.log = TarvoLog("chat", Paths::agentLog());
        c.soundFile = sourceDir() + "/resources/Ping.wav";
        ChatToast::present(
            sender, body, [this] { ++replies; }, c);
    }
    // The toast on screen, or none once it started closing.
    static QWidget* shown() {
        ChatToast* toast = ChatToast::shared();
        return toast ? toast->window() : nullptr;
    }
    int replies = 0;
};

TEST_F(ChatToastTest, SlidesInBottomRightAndASecondMessageReplacesTheTextForTwoMoreMinutes) {
    present("Mum", "first");
    ASSERT_NE(shown(), nullptr);
    // It slides in from just off the right edge to 20 in from the right and
    // bottom of the 1280 x 800 screen.
    EXPECT_GT(shown()->x(), 900);
    EXPECT_TRUE(waitUntil([&] { return shown()->geometry() == QRect(900, 630, 360, 150); }, 2s));
    EXPECT_NE(log().find("[chat] INFO  toast shown at {{900, 630}, {360, 150}} visible=true"),
              std::string::npos)
        << log();
    if (QMediaDevices::audioOutputs().isEmpty()) {
        EXPECT_NE(log().find("INFO  toast sound not played — no audio output"), std::string::npos);
    }

    ChatToast* toast = ChatToast::shared();
    EXPECT_EQ(toast->bodyLines(), QStringList{"first"});
    queue.advance(100s);
    present("Dad", std::string(500, 'w'));
    EXPECT_EQ(ChatToast::shared(), toast);
    EXPECT_EQ(toast->title(), "Message from Mum");
    EXPECT_EQ(toast->body(), QString(500, 'w'));
    // At most three lines, the last one cut short.
    ASSERT_EQ(toast->bodyLines().size(), 3);
    EXPECT_TRUE(toast->bodyLines().last().endsWith(QStringLiteral("…")));
    queue.advance(119s);  // 219 s after the first, 119 after the second
    ASSERT_NE(shown(), nullptr);
    queue.advance(1s);
    EXPECT_EQ(shown(), nullptr);  // closing: fading out
    EXPECT_TRUE(waitUntil([&] { return ChatToast::shared() == nullptr; }));

    // Dismiss closes without replying; Reply is clicked for real under X (ChatXTest).
    present("Mum", "hello");
    toast = ChatToast::shared();
    toast->dismissButton()->click();
    EXPECT_EQ(shown(), nullptr);
    toast->replyTapped();  // a click while it fades does nothing
    EXPECT_EQ(replies, 0);
}

}  // namespace
}  // namespace tarvo::test
