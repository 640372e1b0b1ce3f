// The agent's windows on a private X server with a real window manager
// (openbox): both screens covered, stacking against a window that puts
// itself on top, close and move requests, focus, and the app-limit enforcer
// sparing the agent's own windows by their WM_CLASS.
#include <signal.h>
#include <sys/wait.h>

#include <QScreen>
#include <QWidget>

#include <cstdlib>
#include <sstream>

#include "agent/AppLimitEnforcer.h"
#include "core/Background.h"
#include "core/Subprocess.h"
#include "core/VirtualTime.h"
#include "platform/fake/FakeUserSession.h"
#include "platform/linux/LinuxWorkspace.h"
#include "ui/FullScreenBlockerController.h"
#include "ui/QtAgentViews.h"
#include "ui/TimeWarningPopup.h"
#include "ui/UiFixture.h"

// Last: Xlib's macros (Bool, Status, None) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

extern char** environ;

namespace tarvo::test {
namespace {

using ui::FullScreenBlockerController;

// An ordinary window of another client (xmessage), ended with the test.
class OrdinaryWindow {
  public:
    explicit OrdinaryWindow(const XServer& x) : x_(x) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("DISPLAY=", 0) != 0) env.emplace_back(*e);
        env.push_back("DISPLAY=" + x.screen(0));
        SpawnOptions options;
        options.environment = env;
        options.captureStdout = false;
        options.captureStderr = false;
        options.discardUncaptured = true;
        pid_ = spawnProcess("/usr/bin/xmessage",
                            {"-geometry", "400x160+200+200", "an ordinary window"}, options)
                   .pid;
        waitUntil([&] {
            id_ = std::strtoul(
                x_.run({"xdotool", "search", "--onlyvisible", "--class", "Xmessage"}).c_str(),
                nullptr, 10);
            return id_ != 0;
        });
    }
    ~OrdinaryWindow() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    unsigned long id() const { return id_; }
    pid_t pid() const { return pid_; }

    // Puts itself in the stay-on-top layer and in front, as a pushy application would.
    void putItselfOnTop() const {
        Display* dpy = XOpenDisplay(x_.screen(0).c_str());
        ASSERT_TRUE(dpy);
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = id_;
        ev.xclient.message_type = XInternAtom(dpy, "_NET_WM_STATE", False);
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = 1;  // add
        ev.xclient.data.l[1] = static_cast<long>(XInternAtom(dpy, "_NET_WM_STATE_ABOVE", False));
        ev.xclient.data.l[3] = 1;
        XSendEvent(dpy, DefaultRootWindow(dpy), False,
                   SubstructureRedirectMask | SubstructureNotifyMask, &ev);
        XSync(dpy, False);
        XCloseDisplay(dpy);
        x_.run({"xdotool", "windowactivate", "--sync", std::to_string(id_)});
        x_.run({"xdotool", "windowraise", std::to_string(id_)});
    }

  private:
    const XServer& x_;
    pid_t pid_ = -1;
    unsigned long id_ = 0;
};

// The client windows from bottom to top, as the window manager stacks them.
std::vector<unsigned long> stacking(const XServer& x, int screen = 0) {
    const std::string out = x.run({"xprop", "-root", "_NET_CLIENT_LIST_STACKING"}, screen);
    std::vector<unsigned long> ids;
    const auto hash = out.find('#');
    if (hash == std::string::npos) return ids;
    std::stringstream in(out.substr(hash + 1));
    std::string item;
    while (std::getline(in, item, ',')) ids.push_back(std::strtoul(item.c_str(), nullptr, 16));
    return ids;
}

bool above(const XServer& x, unsigned long a, unsigned long b) {
    const auto ids = stacking(x);
    auto ia = std::find(ids.begin(), ids.end(), a);
    auto ib = std::find(ids.begin(), ids.end(), b);
    return ia != ids.end() && ib != ids.end() && ia > ib;
}

// xwininfo's view of a window: mapped and viewable, and its geometry.
struct Mapped {
    bool viewable = false;
    QRect geometry;
};
Mapped xwininfo(const XServer& x, WId id) {
    const std::string out = x.run({"xwininfo", "-id", std::to_string(id)});
    Mapped m;
    m.viewable = out.find("Map State: IsViewable") != std::string::npos;
    auto field = [&](const std::string& name) {
        auto at = out.find(name);
        return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + name.size());
    };
    m.geometry = QRect(field("Absolute upper-left X:"), field("Absolute upper-left Y:"),
                       field("Width:"), field("Height:"));
    return m;
}

class WindowManagerTest : public ::testing::Test {
  protected:
    void start(XServer::Options options = {}) {
        x = std::make_unique<XServer>(std::move(options));
        ASSERT_TRUE(x->running()) << x->error();
        ASSERT_TRUE(x->error().empty()) << x->error();
        app = xcbApp(*x);
        views = std::make_shared<ui::QtAgentViews>(queue, session, nullptr);
    }
    void TearDown() override {
        blocker.reset();
        views.reset();
        app.reset();
        x.reset();
    }
    FullScreenBlockerController& showBlocker() {
        blocker = views->makeBlocker("Emma", 60, [](std::int64_t) {});
        blocker->show();
        auto& ctl = dynamic_cast<FullScreenBlockerController&>(*blocker);
        const bool mapped = waitUntil([&] {
            for (auto* w : ctl.windows())
                if (!xwininfo(*x, w->winId()).viewable) return false;
            return !ctl.windows().empty();
        });
        EXPECT_TRUE(mapped);
        if (!mapped)
            for (auto* w : ctl.windows())
                ADD_FAILURE() << x->run({"xwininfo", "-id", std::to_string(w->winId())})
                              << x->run({"xwininfo", "-root", "-tree"});
        return ctl;
    }
    // Moves virtual time by one pin period and lets the server catch up.
    void pinOnce() {
        queue.advance(FullScreenBlockerController::kPinInterval);
        settleFor(std::chrono::milliseconds(300));
    }

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
    EXPECT_EQ(xwininfo(*x, ctl.windows()[0]->winId()).geometry, QRect(0, 0, 1280, 800));
    EXPECT_EQ(xwininfo(*x, ctl.windows()[1]->winId()).geometry, QRect(0, 0, 1024, 768));
    // Each on its own screen, as the X server sees it.
    EXPECT_NE(x->run({"xdotool", "search", "--screen", "1", "--onlyvisible", "--class",
                      "app.tarvo.agent"},
                     1)
                  .find(std::to_string(ctl.windows()[1]->winId())),
              std::string::npos);
    EXPECT_TRUE(ctl.windows()[0]->isPrimary());
    EXPECT_NE(ctl.windows()[0]->findChild<QWidget*>("blockerStack"), nullptr);
    EXPECT_TRUE(ctl.windows()[1]->findChildren<QWidget*>().isEmpty()) << "the gradient alone";
}

TEST_F(WindowManagerTest, BlockerBackOnTopWithinOnePinPeriodOfAWindowThatRaisedItself) {
    start();
    OrdinaryWindow other(*x);
    ASSERT_NE(other.id(), 0u);
    auto& ctl = showBlocker();
    const WId mine = ctl.windows()[0]->winId();
    EXPECT_TRUE(waitUntil([&] { return above(*x, mine, other.id()); }));
    other.putItselfOnTop();
    ASSERT_TRUE(waitUntil([&] { return above(*x, other.id(), mine); }))
        << "the ordinary window did not get in front";
    ASSERT_TRUE(waitUntil([] { return QApplication::activeWindow() == nullptr; }))
        << "the ordinary window did not take the keyboard";
    pinOnce();
    EXPECT_TRUE(
        waitUntil([&] { return above(*x, mine, other.id()); }, std::chrono::milliseconds(3000)));
    // …and the keyboard is the blocker's again.
    EXPECT_TRUE(waitUntil([&] {
        return std::strtoul(x->run({"xdotool", "getactivewindow"}).c_str(), nullptr, 10) == mine;
    }));
}

TEST_F(WindowManagerTest, AltF4EscapeAndMovesLeaveTheBlockerInPlace) {
    start();
    auto& ctl = showBlocker();
    const WId id = ctl.windows()[0]->winId();
    x->run({"xdotool", "windowactivate", "--sync", std::to_string(id)});
    x->run({"xdotool", "key", "--clearmodifiers", "alt+F4"});
    x->run({"xdotool", "key", "Escape"});
    x->run({"xdotool", "windowmove", std::to_string(id), "300", "200"});
    settleFor(std::chrono::milliseconds(800));
    const Mapped m = xwininfo(*x, id);
    EXPECT_TRUE(m.viewable);
    EXPECT_EQ(m.geometry, QRect(0, 0, 1280, 800));
    EXPECT_TRUE(ctl.windows()[0]->isVisible());
}

TEST_F(WindowManagerTest, TimeCardLeavesTheFocusWithTheWindowInFront) {
    start({.screens = {"1280x800", "1024x768"}});
    OrdinaryWindow other(*x);
    ASSERT_NE(other.id(), 0u);
    x->run({"xdotool", "windowactivate", "--sync", std::to_string(other.id())});
    auto warning = views->makeTimeWarning();
    warning->show(5);
    auto* card = dynamic_cast<ui::TimeWarningPopup&>(*warning).window();
    ASSERT_TRUE(card);
    ASSERT_TRUE(waitUntil([&] { return xwininfo(*x, card->winId()).viewable; }));
    settleFor(std::chrono::milliseconds(500));
    EXPECT_EQ(std::strtoul(x->run({"xdotool", "getactivewindow"}).c_str(), nullptr, 10),
              other.id());
    // Top right of the primary screen.
    EXPECT_EQ(xwininfo(*x, card->winId()).geometry, QRect(1280 - 360 - 24, 24, 360, 96));
    EXPECT_EQ(card->screen(), QGuiApplication::primaryScreen());
}

bool inTaskbar(const XServer& x, WId id) {
    const std::string state = x.run({"xprop", "-id", std::to_string(id), "_NET_WM_STATE"});
    return !state.empty() && state.find("_NET_WM_STATE_SKIP_TASKBAR") == std::string::npos;
}

TEST_F(WindowManagerTest, TaskbarEntriesOnlyWhileTheBlockerIsUp) {
    start();
    views->becomeMenuBarOnly();
    QWidget chat;  // stands for any ordinary window of the agent
    chat.resize(300, 200);
    chat.show();
    ASSERT_TRUE(waitUntil([&] { return xwininfo(*x, chat.winId()).viewable; }))
        << x->run({"xwininfo", "-id", std::to_string(chat.winId())})
        << x->run({"xwininfo", "-root", "-tree"}) << x->run({"xprop", "-root"});
    EXPECT_TRUE(waitUntil([&] { return !inTaskbar(*x, chat.winId()); }));
    auto& ctl = showBlocker();
    EXPECT_TRUE(waitUntil(
        [&] { return inTaskbar(*x, ctl.windows()[0]->winId()) && inTaskbar(*x, chat.winId()); }));
    blocker->dismiss();
    EXPECT_TRUE(waitUntil([&] { return !inTaskbar(*x, chat.winId()); }));
}

// The X server's applications plus one game that is not allowed; records
// the enforcer's requests instead of sending signals.
class RecordingWorkspace : public platform::Workspace {
  public:
    explicit RecordingWorkspace(std::shared_ptr<platform::LinuxWorkspace> real)
        : real_(std::move(real)) {}
    std::vector<platform::RunningApp> runningApplications() override {
        auto apps = real_->runningApplications();
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
    std::vector<std::string> asked;

  private:
    std::shared_ptr<platform::LinuxWorkspace> real_;
};

TEST_F(WindowManagerTest, AppLimitsSpareTheAgentsWindowsByTheirClass) {
    start();
    showBlocker();
    platform::LinuxWorkspace::Options wsOptions;
    wsOptions.display = x->display();
    auto real = std::make_shared<platform::LinuxWorkspace>(wsOptions);
    ASSERT_TRUE(real->connected());
    auto workspace = std::make_shared<RecordingWorkspace>(real);
    bool mineListed = false;
    for (const auto& a : workspace->runningApplications())
        if (a.pid == ::getpid() && a.bundleId == std::string("app.tarvo.agent")) mineListed = true;
    EXPECT_TRUE(mineListed) << "the blocker's WM_CLASS names the agent";

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

}  // namespace
}  // namespace tarvo::test
