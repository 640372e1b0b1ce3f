// The chat window and toast on a private X server with a window manager:
// where the toast really lands, that it never takes the focus, and what the
// window reports when it is covered or minimised.
#include <QWidget>

#include "chat_qt/ChatQtFixture.h"
#include "core/Subprocess.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using chatqt::ChatToast;

class ChatXTest : public ChatQtTest {
  protected:
    ChatXTest() : ChatQtTest(true) {}
    WId active() const {
        return std::strtoul(x->run({"xdotool", "getactivewindow"}).c_str(), nullptr, 10);
    }
    // The toast resting where the X server has it.
    bool toastAt(QPoint at) const {
        QWidget* toast = ChatToast::shared() ? ChatToast::shared()->window() : nullptr;
        return toast && serverGeometry(*x, toast->winId()).topLeft() == at;
    }
    void click(int x0, int y0) {
        x->run({"xdotool", "mousemove", std::to_string(x0), std::to_string(y0), "click", "1"});
    }
};

TEST_F(ChatXTest, TheToastNeverTakesTheFocusAndTheWindowKnowsWhenItIsSeen) {
    if (!x) {  // another test made this program's application: run this one alone
        const ProcessResult r = runProcess("/proc/self/exe", {"--gtest_filter=ChatXTest.*"});
        EXPECT_EQ(r.exitStatus, 0) << r.out;
        return;
    }
    ASSERT_TRUE(x->running()) << x->error();
    start();
    window->open();
    const WId chatId = window->window()->winId();
    ASSERT_TRUE(waitUntil([&] { return window->windowState().seen() && active() == chatId; }));

    // 20 in from the bottom-right of the 1280 x 800 screen, on every desktop.
    int replies = 0;
    window->presentToast("Mum", "Dinner is ready", [&] { ++replies; });
    ASSERT_TRUE(waitUntil([&] { return toastAt({900, 630}); }));
    const std::string toastId = std::to_string(ChatToast::shared()->window()->winId());
    EXPECT_NE(x->run({"xprop", "-id", toastId, "_NET_WM_DESKTOP"}).find("= 4294967295"),
              std::string::npos);
    EXPECT_EQ(active(), chatId);
    click(960, 700);
    // Asked at once: once the card is gone the window manager gives the focus back.
    EXPECT_TRUE(waitUntil([&] { return replies == 1; }));
    EXPECT_EQ(active(), chatId) << "a click on the card leaves the focus where it was";

    // Reply on a toast brings the hidden chat to the front.
    window->window()->close();
    ASSERT_TRUE(waitUntil([&] { return !window->windowState().visible; }));
    window->presentToast("Dad", "Come down please", [&] { chat->openChat(); });
    ASSERT_TRUE(waitUntil([&] { return toastAt({900, 630}); }));
    click(1210, 754);  // on "Reply"
    EXPECT_TRUE(waitUntil([&] { return window->windowState().seen() && active() == chatId; }));

    // Another of our windows over it: the application is still active, and
    // the X server says the chat cannot be seen.
    QWidget cover;
    cover.setGeometry(window->window()->frameGeometry().adjusted(-40, -60, 40, 40));
    cover.show();
    cover.raise();
    cover.activateWindow();
    EXPECT_TRUE(waitUntil([&] {
        const ChatWindowState s = window->windowState();
        return s.applicationActive && s.visible && !s.unobscured && !s.seen();
    }));
    cover.hide();
    window->open();
    EXPECT_TRUE(waitUntil([&] { return window->windowState().seen(); }));
    window->window()->showMinimized();
    EXPECT_TRUE(waitUntil([&] {
        const ChatWindowState s = window->windowState();
        return s.miniaturised && !s.seen();
    }));
}

}  // namespace
}  // namespace tarvo::test
