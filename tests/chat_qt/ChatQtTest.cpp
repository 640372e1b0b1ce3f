// The chat window and its toast with a real conversation controller against a
// local chat service, on virtual time. Offscreen: rows, the header, hiding,
// geometry, the toast's timing. Under X: focus, where the toast lands, and
// what the window reports when it is covered or minimised.
#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTextEdit>

#include "chat/ChatController.h"
#include "chat/ChatTestServer.h"
#include "chat/qt/ChatStyle.h"
#include "chat/qt/ChatToast.h"
#include "chat/qt/ChatWindow.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "platform/fake/FakeUserSession.h"
#include "ui/UiFixture.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using chatqt::ChatToast;

// One application for the whole program (Qt's animations stop for good with
// the first one): offscreen, or on a private X server with a window manager.
class ChatQtTest : public ::testing::Test {
  protected:
    explicit ChatQtTest(bool onX = false) {
        if (QApplication::instance()) return;
        if (onX) {
            x = std::make_unique<XServer>();
            display.emplace("DISPLAY", x->display());  // for the window's own X connection
            app = ui::makeAgentApplication({"-platform", "xcb", "-display", x->display()});
        } else {
            ui::makeAgentApplication({"-platform", "offscreen"}).release();  // kept to the end
        }
    }

    void start() {
        ChatWindow::Config c;
        c.username = "emma";
        c.resourcesDir = sourceDir() + "/resources";
        c.log = TarvoLog("chat", Paths::agentLog());
        c.queue = &queue;
        window = std::make_shared<ChatWindow>(c);
        auto service = std::make_shared<ChatService>(server.service.url(), "DEV-1", "emma",
                                                     std::nullopt, clock);
        chat = ChatController::create(service, "emma", queue, background, clock,
                                      std::make_shared<platform::FakeUserSession>());
        chat->attachView(window);
        chat->startPolling();
    }
    // Lets every queued network call run and its result land.
    void settle() {
        for (int i = 0; i < 5; ++i) {
            background.runAll();
            queue.runPending();
        }
        QApplication::processEvents();
    }

    std::unique_ptr<XServer> x;
    std::optional<EnvGuard> display;
    std::unique_ptr<QApplication> app;
    TempRoot root;
    EnvGuard tz{"TZ", "UTC"};
    ChatTestServer server;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    ManualBackground background;
    std::shared_ptr<ChatWindow> window;
    std::shared_ptr<ChatController> chat;  // last: goes first, then the window
};

// With TARVO_SCREENSHOTS naming a folder (scripts/screenshots), what the child sees goes there.
void screenshot(QWidget* shown, const char* name) {
    const char* folder = std::getenv("TARVO_SCREENSHOTS");
    if (folder) QApplication::processEvents();  // the layout settled
    EXPECT_TRUE(!folder || shown->grab().save(QString::fromUtf8(folder) + "/" + name)) << name;
}

// A row as "name|text|status|side colour[ red]": the side of its bubble, what
// is really painted just inside the bubble's leading edge, a red status.
std::string describe(QWidget* row) {
    auto* status = row->findChild<QLabel*>("status");
    const QRect bubble = row->findChild<QWidget*>("bubble")->geometry();
    const QColor painted = row->grab().toImage().pixelColor(bubble.x() + 6, bubble.center().y());
    auto near = [&](const QColor& c) {
        return std::max({std::abs(painted.red() - c.red()), std::abs(painted.green() - c.green()),
                         std::abs(painted.blue() - c.blue())}) <= 3;
    };
    QString colour = near(chatqt::teal()) ? "teal" : painted.name();
    if (near(Qt::white)) colour = "white";
    QString side = bubble.left() == 0 ? "left " : "middle ";
    if (bubble.right() == row->rect().right()) side = "right ";
    const bool red = status->palette().color(QPalette::WindowText) == chatqt::systemRed();
    return (row->findChild<QLabel*>("name")->text() + "|" +
            row->findChild<QTextEdit*>("text")->toPlainText() + "|" + status->text() + "|" + side +
            colour + (red ? " red" : ""))
        .toStdString();
}

TEST_F(ChatQtTest, GeometryAndRowsInEveryStateOnTheirSideWithTheNameRules) {
    server.addMessage(1, "parent", "from dad", "Dad");
    server.addMessage(2, "PARENT", "no name given");
    server.addMessage(3, "child", std::string(200, 'x'));
    start();
    // At most 620 high, 40 less than the screen's room, centred on it.
    QWidget* w = window->window();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QSize size(440, std::min(620, area.height() - 40));
    EXPECT_EQ(w->geometry(), QRect(area.topLeft() + QPoint((area.width() - 440) / 2,
                                                           (area.height() - size.height()) / 2),
                                   size));
    window->open();
    queue.advance(0ms);
    settle();
    ASSERT_EQ(window->rowWidgets().size(), 3u);
    EXPECT_EQ(describe(window->rowWidgets()[1]).rfind("Parent|", 0), 0u) << "no name known yet";

    server.setParents({"Mum", "Dad"});
    chat->pollOnce();
    settle();
    EXPECT_EQ(window->titleLabel()->text(), "Mum, Dad & emma");
    EXPECT_EQ(window->avatarLabel()->text(), "EM");
    server.setParents({});  // an answer without names keeps those known
    chat->pollOnce();
    settle();
    EXPECT_EQ(window->titleLabel()->text(), "Mum, Dad & emma");
    server.sendStatus = 503;
    QTest::keyClicks(window->input(), "  <b>not</b> through  ");
    QTest::keyClick(window->input(), Qt::Key_Return);
    settle();
    EXPECT_EQ(window->input()->text(), "<b>not</b> through") << "back in the field for a retry";
    server.sendStatus = 200;
    window->input()->setText("still going");
    window->sendButton()->click();  // left unanswered: pending
    QApplication::processEvents();

    const std::string expected[] = {
        "Dad|from dad|9:00 AM  ✓✓|left white",
        "Mum|no name given|9:00 AM  ✓✓|left white",
        "emma|" + std::string(200, 'x') + "|9:00 AM  ✓✓|right teal",
        "emma|<b>not</b> through|12:00 AM  not sent — tap send to retry|right teal red",
        "emma|still going|12:00 AM  sending…|right teal",
    };
    const auto rows = window->rowWidgets();
    ASSERT_EQ(rows.size(), std::size(expected));
    auto bubble = [&](size_t i) { return rows[i]->findChild<QWidget*>("bubble")->geometry(); };
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(describe(rows[i]), expected[i]);
        EXPECT_EQ(rows[i]->width(), window->scrollArea()->widget()->width() - 28) << i;
        EXPECT_LE(bubble(i).width(), 300) << i;
    }
    EXPECT_GT(bubble(2).height(), 2 * bubble(0).height()) << "a long word is broken";
    screenshot(window->window(), "chat-window-conversation.png");
}

TEST_F(ChatQtTest, ClosingHidesOpeningShowsTheBottomAndTheToastKeepsTwoMinutes) {
    for (int id = 1; id <= 30; ++id)
        server.addMessage(id, id % 2 ? "parent" : "child", "message " + std::to_string(id));
    start();
    queue.advance(0ms);
    settle();
    EXPECT_FALSE(window->window()->isVisible());  // built hidden
    EXPECT_TRUE(window->rowWidgets().empty());    // and draws nothing until opened
    window->open();
    QScrollBar* bar = window->scrollArea()->verticalScrollBar();
    ASSERT_TRUE(waitUntil([&] { return bar->maximum() > 0 && bar->value() == bar->maximum(); }));
    EXPECT_FALSE(window->window()->close());  // refused: hidden instead
    EXPECT_FALSE(window->window()->isVisible());
    bar->triggerAction(QAbstractSlider::SliderToMinimum);
    server.addMessage(31, "parent", "while hidden");
    QPointer<QWidget> firstRow = window->rowWidgets().front();
    chat->pollOnce();
    settle();
    window->open();
    EXPECT_EQ(window->rowWidgets().front(), firstRow.data());  // only the new row is built
    ASSERT_EQ(window->rowWidgets().size(), 31u);
    EXPECT_TRUE(waitUntil([&] { return bar->value() == bar->maximum() && bar->value() > 0; }));

    // Whoever destroys the window takes its parts along; what comes meanwhile is kept for the
    // rebuilt one.
    delete window->window();
    EXPECT_EQ(window->titleLabel(), nullptr);
    server.setParents({"Mum"});
    server.addMessage(32, "parent", "while it was gone");
    chat->pollOnce();
    settle();
    window->setInputText("draft");
    window->open();
    EXPECT_EQ(window->titleLabel()->text(), "Mum & emma");
    EXPECT_EQ(window->subtitleLabel()->text(), "Last synced: just now");
    EXPECT_EQ(window->rowWidgets().size(), 32u);

    // The toast (the ones for messages 31 and 32 gone): where it lands is checked under X.
    window->toasts().discard();
    const auto reply = [] {};
    auto shown = [&] {
        return window->toasts().shown() ? window->toasts().shown()->window() : nullptr;
    };
    window->presentToast("Mum", "first", reply);
    ASSERT_NE(shown(), nullptr);
    // Shown without asking for the focus, which Xvfb cannot tell from being refused it.
    EXPECT_TRUE(shown()->testAttribute(Qt::WA_ShowWithoutActivating));
    ChatToast* toast = window->toasts().shown();
    queue.advance(100s);
    window->presentToast("Dad", std::string(500, 'w'), reply);
    EXPECT_EQ(window->toasts().shown(), toast);
    EXPECT_EQ(toast->title(), "Message from Dad") << "the newer message's own sender";
    EXPECT_EQ(toast->body(), QString(500, 'w'));
    // At most three lines, the last one cut short.
    ASSERT_EQ(toast->bodyLines().size(), 3);
    EXPECT_TRUE(toast->bodyLines().last().endsWith(QStringLiteral("…")));
    screenshot(toast->window(), "chat-toast.png");
    queue.advance(119s);  // 219 s after the first, 119 after the second
    ASSERT_NE(shown(), nullptr);
    queue.advance(1s);
    EXPECT_EQ(shown(), nullptr);  // closing: fading out, then gone
    const QPointer<ChatToast> fading(toast);
    window->presentToast("Mum", "again", reply);  // never on the fading card
    ASSERT_NE(window->toasts().shown(), nullptr);
    EXPECT_NE(window->toasts().shown(), toast);
    EXPECT_EQ(window->toasts().shown()->title(), "Message from Mum");
    EXPECT_TRUE(waitUntil([&] { return fading.isNull(); }));
}

class ChatXTest : public ChatQtTest {
  protected:
    ChatXTest() : ChatQtTest(true) {}
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
    ASSERT_TRUE(
        waitUntil([&] { return window->windowState().seen() && activeWindow(*x) == chatId; }));
    screenshot(window->window(), "chat-window-empty.png");

    // 20 in from the bottom-right of the 1280 x 800 screen, on every desktop.
    int replies = 0;
    window->presentToast("Mum", "Dinner is ready", [&] { ++replies; });
    QWidget* toast = window->toasts().shown()->window();
    ASSERT_TRUE(waitUntil(
        [&] { return serverGeometry(*x, toast->winId()).topLeft() == QPoint(900, 630); }));
    const std::string toastId = std::to_string(toast->winId());
    EXPECT_NE(x->run({"xprop", "-id", toastId, "_NET_WM_DESKTOP"}).find("= 4294967295"),
              std::string::npos);
    EXPECT_EQ(activeWindow(*x), chatId);
    x->run({"xdotool", "mousemove", "960", "700", "click", "1"});
    // Asked at once: once the card is gone the window manager gives the focus back.
    EXPECT_TRUE(waitUntil([&] { return replies == 1; }));
    EXPECT_EQ(activeWindow(*x), chatId) << "a click on the card leaves the focus where it was";

    // Another of our windows over it: the application is still active, and
    // the X server says the chat cannot be seen.
    QWidget cover;
    cover.setGeometry(window->window()->frameGeometry().adjusted(-40, -60, 40, 40));
    cover.show();
    cover.activateWindow();
    EXPECT_TRUE(waitUntil([&] {
        const ChatWindowState s = window->windowState();
        return s.applicationActive && s.visible && !s.unobscured && !s.seen();
    }));
    cover.hide();
    window->open();
    EXPECT_TRUE(waitUntil([&] { return window->windowState().seen(); }));
}

}  // namespace
}  // namespace tarvo::test
