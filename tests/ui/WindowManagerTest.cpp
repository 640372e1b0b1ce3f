// The agent's windows on a private X server with a real window manager
// (openbox): both screens covered, stacking against a window that puts itself
// on top, close and move requests, focus, the taskbar, the tray icon, and the
// app-limit enforcer sparing the agent's own windows by their WM_CLASS.
#include <signal.h>
#include <sys/wait.h>

#include <QScreen>
#include <QSystemTrayIcon>
#include <QWidget>

#include <cstdlib>
#include <sstream>

#include "agent/AppLimitEnforcer.h"
#include "core/Background.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "platform/fake/FakeUserSession.h"
#include "platform/linux/LinuxWorkspace.h"
#include "support/VirtualTime.h"
#include "ui/ChatStatusItem.h"
#include "ui/FullScreenBlockerController.h"
#include "ui/QtAgentViews.h"
#include "ui/TimeWarningPopup.h"
#include "ui/UiFixture.h"

// Last: Xlib's macros (Bool, Status, None) would break the headers above.
#include <X11/Xlib.h>

extern char** environ;

namespace tarvo::test {
namespace {

unsigned long number(const std::string& text) {
    return std::strtoul(text.c_str(), nullptr, 10);
}

// An ordinary window of another client (xmessage), ended with the test.
class OrdinaryWindow {
  public:
    explicit OrdinaryWindow(const XServer& x) : x_(x) {
        std::vector<std::string> env{"DISPLAY=" + x.screen(0)};
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("DISPLAY=", 0) != 0) env.emplace_back(*e);
        SpawnOptions options{.captureStdout = false, .captureStderr = false, .environment = env};
        options.discardUncaptured = true;
        pid_ = spawnProcess("/usr/bin/xmessage", {"-geometry", "400x160+200+200", "other"}, options)
                   .pid;
        waitUntil([&] {
            id = number(x_.run({"xdotool", "search", "--onlyvisible", "--class", "Xmessage"}));
            return id != 0;
        });
    }
    ~OrdinaryWindow() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    // Puts itself in the stay-on-top layer and in front, as a pushy application would.
    void putItselfOnTop() const {
        Display* dpy = XOpenDisplay(x_.screen(0).c_str());
        ASSERT_TRUE(dpy);
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = id;
        ev.xclient.message_type = XInternAtom(dpy, "_NET_WM_STATE", False);
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = 1;  // add
        ev.xclient.data.l[1] = static_cast<long>(XInternAtom(dpy, "_NET_WM_STATE_ABOVE", False));
        ev.xclient.data.l[3] = 1;
        XSendEvent(dpy, DefaultRootWindow(dpy), False,
                   SubstructureRedirectMask | SubstructureNotifyMask, &ev);
        XCloseDisplay(dpy);
        x_.run({"xdotool", "windowactivate", "--sync", std::to_string(id)});
        x_.run({"xdotool", "windowraise", std::to_string(id)});
    }
    unsigned long id = 0;

  private:
    const XServer& x_;
    pid_t pid_ = -1;
};

// Whether `a` is stacked above `b`, as the window manager says.
bool above(const XServer& x, unsigned long a, unsigned long b) {
    const std::string out = x.run({"xprop", "-root", "_NET_CLIENT_LIST_STACKING"});
    std::vector<unsigned long> ids;
    std::stringstream in(out.substr(out.find('#') + 1));
    for (std::string item; std::getline(in, item, ',');)
        ids.push_back(std::strtoul(item.c_str(), nullptr, 16));
    auto ia = std::find(ids.begin(), ids.end(), a), ib = std::find(ids.begin(), ids.end(), b);
    return ia != ids.end() && ib != ids.end() && ia > ib;
}

// Where the X server has a window, and whether it is mapped and viewable.
QRect serverGeometry(const XServer& x, WId id, bool* viewable = nullptr) {
    const std::string out = x.run({"xwininfo", "-id", std::to_string(id)});
    if (viewable) *viewable = out.find("Map State: IsViewable") != std::string::npos;
    auto field = [&](const std::string& name) {
        auto at = out.find(name);
        return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + name.size());
    };
    return QRect(field("Absolute upper-left X:"), field("Absolute upper-left Y:"), field("Width:"),
                 field("Height:"));
}
bool viewable(const XServer& x, WId id) {
    bool v = false;
    serverGeometry(x, id, &v);
    return v;
}
bool inTaskbar(const XServer& x, WId id) {
    const std::string state = x.run({"xprop", "-id", std::to_string(id), "_NET_WM_STATE"});
    return !state.empty() && state.find("_NET_WM_STATE_SKIP_TASKBAR") == std::string::npos;
}

class WindowManagerTest : public ::testing::Test {
  protected:
    void start(XServer::Options options = {}) {
        x = std::make_unique<XServer>(std::move(options));
        ASSERT_TRUE(x->running() && x->error().empty()) << x->error();
        app = xcbApp(*x);
        views = std::make_shared<ui::QtAgentViews>(queue, session, nullptr);
    }
    void TearDown() override {
        blocker.reset();
        views.reset();
        app.reset();
        x.reset();
    }
    ui::FullScreenBlockerController& showBlocker() {
        blocker = views->makeBlocker("Emma", 60, [](std::int64_t) {});
        blocker->show();
        auto& ctl = dynamic_cast<ui::FullScreenBlockerController&>(*blocker);
        EXPECT_TRUE(waitUntil([&] {
            for (auto* w : ctl.windows())
                if (!viewable(*x, w->winId())) return false;
            return !ctl.windows().empty();
        })) << x->run({"xwininfo", "-root", "-tree"});
        return ctl;
    }
    WId active() const { return number(x->run({"xdotool", "getactivewindow"})); }

    std::unique_ptr<XServer> x;
    std::unique_ptr<QApplication> app;
    VirtualMainQueue queue;
    std::shared_ptr<platform::FakeUserSession> session =
        std::make_shared<platform::FakeUserSession>();
    std::shared_ptr<ui::QtAgentViews> views;
    std::unique_ptr<BlockerView> blocker;
};

TEST_F(WindowManagerTest, BothXScreensCoveredEdgeToEdge) {
    start({.screens = {"1280x800", "1024x768"}});
    ASSERT_EQ(QGuiApplication::screens().size(), 2);
    auto& ctl = showBlocker();
    ASSERT_EQ(ctl.windows().size(), 2u);
    EXPECT_EQ(serverGeometry(*x, ctl.windows()[0]->winId()), QRect(0, 0, 1280, 800));
    EXPECT_EQ(serverGeometry(*x, ctl.windows()[1]->winId()), QRect(0, 0, 1024, 768));
    const std::string onSecond = x->run(
        {"xdotool", "search", "--screen", "1", "--onlyvisible", "--class", "app.tarvo.agent"}, 1);
    EXPECT_NE(onSecond.find(std::to_string(ctl.windows()[1]->winId())), std::string::npos);
    EXPECT_NE(ctl.windows()[0]->findChild<QWidget*>("blockerStack"), nullptr);
}

TEST_F(WindowManagerTest, BlockerWinsBackTopAndKeyboardAndIgnoresCloseAndMove) {
    start();
    OrdinaryWindow other(*x);
    ASSERT_NE(other.id, 0u);
    const WId mine = showBlocker().windows()[0]->winId();
    EXPECT_TRUE(waitUntil([&] { return above(*x, mine, other.id); }));
    other.putItselfOnTop();
    ASSERT_TRUE(waitUntil([&] { return above(*x, other.id, mine); }));
    ASSERT_TRUE(waitUntil([] { return QApplication::activeWindow() == nullptr; }));
    queue.advance(ui::FullScreenBlockerController::kPinInterval);
    EXPECT_TRUE(waitUntil([&] { return above(*x, mine, other.id); }, std::chrono::seconds(3)));
    EXPECT_TRUE(waitUntil([&] { return active() == mine; }));

    x->run({"xdotool", "key", "--clearmodifiers", "alt+F4"});
    x->run({"xdotool", "key", "Escape"});
    x->run({"xdotool", "windowmove", std::to_string(mine), "300", "200"});
    settleFor(std::chrono::milliseconds(800));
    bool stillViewable = false;
    EXPECT_EQ(serverGeometry(*x, mine, &stillViewable), QRect(0, 0, 1280, 800));
    EXPECT_TRUE(stillViewable);
}

TEST_F(WindowManagerTest, TimeCardLeavesTheFocusWithTheWindowInFront) {
    start({.screens = {"1280x800", "1024x768"}});
    OrdinaryWindow other(*x);
    ASSERT_NE(other.id, 0u);
    x->run({"xdotool", "windowactivate", "--sync", std::to_string(other.id)});
    auto warning = views->makeTimeWarning();
    warning->show(5);
    QWidget* card = dynamic_cast<ui::TimeWarningPopup&>(*warning).window();
    ASSERT_TRUE(waitUntil([&] { return viewable(*x, card->winId()); }));
    settleFor(std::chrono::milliseconds(500));
    EXPECT_EQ(active(), other.id);
    EXPECT_EQ(serverGeometry(*x, card->winId()), QRect(1280 - 360 - 24, 24, 360, 96));
}

TEST_F(WindowManagerTest, TaskbarEntriesOnlyWhileTheBlockerIsUp) {
    start();
    views->becomeMenuBarOnly();
    QWidget chat;  // stands for any ordinary window of the agent
    chat.resize(300, 200);
    chat.show();
    ASSERT_TRUE(waitUntil([&] { return viewable(*x, chat.winId()); }));
    EXPECT_TRUE(waitUntil([&] { return !inTaskbar(*x, chat.winId()); }));
    auto& ctl = showBlocker();
    EXPECT_TRUE(waitUntil(
        [&] { return inTaskbar(*x, ctl.windows()[0]->winId()) && inTaskbar(*x, chat.winId()); }));
    blocker->dismiss();
    EXPECT_TRUE(waitUntil([&] { return !inTaskbar(*x, chat.winId()); }));
}

// The X server's applications plus a game that is not allowed; records the
// enforcer's requests instead of sending signals.
struct RecordingWorkspace : platform::Workspace {
    std::shared_ptr<platform::LinuxWorkspace> real;
    std::vector<std::string> asked;
    std::vector<platform::RunningApp> runningApplications() override {
        auto apps = real->runningApplications();
        apps.push_back({.pid = 999999, .bundleId = "org.example.game", .name = "Game"});
        return apps;
    }
    std::optional<platform::RunningApp> frontmostApplication() override { return std::nullopt; }
    ObserverId addActivationObserver(ActivationHandler) override { return 1; }
    void removeActivationObserver(ObserverId) override {}
    bool terminate(const platform::RunningApp& app) override {
        asked.push_back(app.bundleId.value_or(""));
        return true;
    }
    bool forceTerminate(const platform::RunningApp&) override { return true; }
    bool isTerminated(const platform::RunningApp&) override { return true; }
};

TEST_F(WindowManagerTest, AppLimitsSpareTheAgentsWindowsByTheirClass) {
    start();
    showBlocker();
    auto workspace = std::make_shared<RecordingWorkspace>();
    workspace->real = std::make_shared<platform::LinuxWorkspace>(
        platform::LinuxWorkspace::Options{.display = x->display()});
    const auto apps = workspace->runningApplications();
    EXPECT_TRUE(std::any_of(apps.begin(), apps.end(), [](const auto& a) {
        return a.pid == ::getpid() && a.bundleId == std::string("app.tarvo.agent");
    })) << "the blocker's WM_CLASS names the agent";
    InlineBackground background;
    auto enforcer = AppLimitEnforcer::create(
        queue, queue.clock(), background, workspace,
        AppLimitEnforcer::Report([](const std::string&, const std::string&) {}),
        {"org.example.allowed"});
    enforcer->start();
    queue.advance(AppLimitEnforcer::kSweepInterval);
    EXPECT_EQ(workspace->asked, std::vector<std::string>{"org.example.game"});
    enforcer->stop();
}

// Without a tray host one warning; the icon appears when a host starts, and a
// click on it opens the chat.
TEST_F(WindowManagerTest, TrayIconWaitsForATrayHostAndAClickOpensTheChat) {
    TempRoot root;
    start();
    int clicks = 0;
    ui::ChatStatusItem item([&] { ++clicks; });
    QSystemTrayIcon* tray = item.trayIcon();
    EXPECT_EQ(tray->toolTip(), "Chat with parent");
    settleFor(std::chrono::milliseconds(200));
    EXPECT_FALSE(tray->geometry().isValid());
    auto warnings = [] {
        const std::string log = exists(Paths::agentLog()) ? readText(Paths::agentLog()) : "";
        const std::string w = "WARN  no system tray — chat icon appears when a tray host starts";
        size_t n = 0;
        for (size_t at = log.find(w); at != std::string::npos; at = log.find(w, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(warnings(), 1u);
    ASSERT_TRUE(x->startTrayHost());
    ASSERT_TRUE(waitUntil([&] { return tray->geometry().isValid(); }));
    EXPECT_EQ(warnings(), 1u);
    settleFor(std::chrono::milliseconds(200));
    const QPoint at = tray->geometry().center();
    x->run({"xdotool", "mousemove", std::to_string(at.x()), std::to_string(at.y()), "click", "1"});
    EXPECT_TRUE(waitUntil([&] { return clicks == 1; }));
}

}  // namespace
}  // namespace tarvo::test
