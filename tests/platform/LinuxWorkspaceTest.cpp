#include "platform/linux/LinuxWorkspace.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/Processes.h"
#include "support/TestSupport.h"
#include "support/XServer.h"

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace tarvo::platform {
namespace {

using namespace std::chrono_literals;
using WindowInfo = LinuxWorkspace::WindowInfo;

TEST(LinuxWorkspaceParsing, WmClass) {
    using Pair = std::optional<std::pair<std::string, std::string>>;
    const std::vector<std::pair<std::string, Pair>> cases = {
        {std::string("navigator\0Firefox\0", 18), Pair{{"navigator", "Firefox"}}},
        {std::string("xterm\0XTerm", 11), Pair{{"xterm", "XTerm"}}},  // last NUL missing
        {std::string("\0\0", 2), Pair{{"", ""}}},
        {"just one", std::nullopt},
        {std::string("a\0b\0c\0", 6), std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [raw, want] : cases) EXPECT_EQ(LinuxWorkspace::parseWmClass(raw), want) << raw;
}

TEST(LinuxWorkspaceParsing, ProcStat) {
    const std::string tail = " 1 1 1 0 -1 4194560 100 0 0 0 5 3 0 0 20 0 1 0 987654 1000 200";
    struct Case {
        std::string text;
        std::optional<char> state;
        std::uint64_t start;
    };
    const std::vector<Case> cases = {
        {"42 (sleep) S" + tail, 'S', 987654},
        {"42 (odd (name) here) Z" + tail, 'Z', 987654},  // parentheses and blanks in the name
        {"42 (sleep) S 1 1", std::nullopt, 0},           // cut short
        {"42 sleep S" + tail, std::nullopt, 0},
        {"42 (sleep) S 1 1 1 0 -1 4194560 100 0 0 0 5 3 0 0 20 0 1 0 98x7 1", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto got = LinuxWorkspace::parseProcStat(c.text);
        ASSERT_EQ(got.has_value(), c.state.has_value());
        if (got) {
            EXPECT_EQ(got->state, *c.state);
            EXPECT_EQ(got->startTime, c.start);
        }
    }
}

TEST(LinuxWorkspaceParsing, WindowsBecomeOneApplicationPerProcess) {
    const std::vector<WindowInfo> windows = {
        {100, "navigator", "Firefox", {"NORMAL"}, false},
        {100, "dialog", "Firefox-Prefs", {"DIALOG"}, false},  // same process: merged
        {200, "panel", "Tray", {"DOCK"}, false},
        {300, "helper", "Helper", {"UTILITY"}, false},
        {300, "helper", "Helper", {}, false},  // an ordinary window makes it regular
        {400, "notes", "", {"NORMAL"}, true},  // no class: the instance; skip-taskbar
        {std::nullopt, "ghost", "Ghost", {"NORMAL"}, false},   // no process: cannot be acted on
        {500, std::nullopt, std::nullopt, {"NORMAL"}, false},  // no identifier
    };
    const std::vector<RunningApp> want = {
        {100, "Firefox", "Firefox", ActivationPolicy::regular, 0},
        {200, "Tray", "Tray", ActivationPolicy::accessory, 0},
        {300, "Helper", "Helper", ActivationPolicy::regular, 0},
        {400, "notes", "notes", ActivationPolicy::accessory, 0},
    };
    EXPECT_EQ(LinuxWorkspace::appsFromWindows(windows), want);
}

TEST(LinuxWorkspace, WithoutADisplayNothingIsKnown) {
    test::EnvGuard display("DISPLAY", std::nullopt);
    LinuxWorkspace workspace;
    EXPECT_FALSE(workspace.connected());
    EXPECT_TRUE(workspace.runningApplications().empty());
    EXPECT_FALSE(workspace.frontmostApplication());
    auto id = workspace.addActivationObserver([](const std::optional<RunningApp>&) {});
    workspace.removeActivationObserver(id);
    EXPECT_FALSE(workspace.terminate(RunningApp{0, "x", "x", ActivationPolicy::regular, 0}))
        << "pid 0 would signal the whole process group";
}

// A private X server for one test, and a client connection that plays the
// window manager's part (client list, active window) and the applications'
// (their windows' properties).
class XvfbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!x.running()) GTEST_SKIP() << x.error();
        display = x.display();
        dpy = XOpenDisplay(display.c_str());
        ASSERT_NE(dpy, nullptr);
        root = DefaultRootWindow(dpy);
    }
    void TearDown() override {
        if (dpy) XCloseDisplay(dpy);
    }

    Atom atom(const char* name) { return XInternAtom(dpy, name, False); }
    Window window(pid_t pid, const std::string& wmClass,
                  const char* type = "_NET_WM_WINDOW_TYPE_NORMAL") {
        Window w = XCreateSimpleWindow(dpy, root, 0, 0, 10, 10, 0, 0, 0);
        long p = pid;
        XChangeProperty(dpy, w, atom("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&p), 1);
        XChangeProperty(dpy, w, XA_WM_CLASS, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(wmClass.data()),
                        static_cast<int>(wmClass.size()));
        long t = static_cast<long>(atom(type));
        XChangeProperty(dpy, w, atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&t), 1);
        return w;
    }
    void setClientList(const std::vector<Window>& windows) {
        std::vector<long> ids(windows.begin(), windows.end());
        XChangeProperty(dpy, root, atom("_NET_CLIENT_LIST"), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(ids.data()), static_cast<int>(ids.size()));
        XSync(dpy, False);
    }
    void setActive(Window w) {
        long id = static_cast<long>(w);
        XChangeProperty(dpy, root, atom("_NET_ACTIVE_WINDOW"), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&id), 1);
        XSync(dpy, False);
    }

    std::string display;
    Display* dpy = nullptr;
    Window root = 0;
    test::XServer x{{.windowManager = false}};
};

TEST_F(XvfbTest, ListsApplicationsTheFrontmostOneAndItsActivations) {
    test::Process editor({.argv = {"/bin/sleep", "30"}, .capture = false});
    test::Process player({.argv = {"/bin/sleep", "30"}, .capture = false});
    Window e1 = window(editor.pid(), std::string("gedit\0Gedit\0", 12));
    Window e2 =
        window(editor.pid(), std::string("gedit\0Gedit\0", 12), "_NET_WM_WINDOW_TYPE_DIALOG");
    Window p = window(player.pid(), std::string("player\0Player\0", 14));
    Window dock = window(player.pid() + 100000, std::string("panel\0Panel\0", 12),
                         "_NET_WM_WINDOW_TYPE_DOCK");
    setClientList({e1, e2, p, dock});

    LinuxWorkspace workspace({.display = display});
    ASSERT_TRUE(workspace.connected());
    auto apps = workspace.runningApplications();
    ASSERT_EQ(apps.size(), 3u);
    EXPECT_EQ(apps[0].pid, editor.pid());
    EXPECT_EQ(apps[0].bundleId, "Gedit");
    EXPECT_NE(apps[0].processStart, 0u);
    EXPECT_EQ(apps[1].bundleId, "Player");
    EXPECT_EQ(apps[2].policy, ActivationPolicy::accessory);
    EXPECT_FALSE(workspace.frontmostApplication()) << "no active window yet";

    std::mutex m;
    std::condition_variable cv;
    std::vector<std::optional<std::string>> seen;
    auto id = workspace.addActivationObserver([&](const std::optional<RunningApp>& app) {
        std::lock_guard lock(m);
        seen.push_back(app ? app->bundleId : std::nullopt);
        cv.notify_all();
    });
    auto waitFor = [&](size_t n, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, timeout, [&] { return seen.size() >= n; });
    };
    // The watcher subscribes on its own thread: switch between two
    // applications until it reports, then settle on nothing in front.
    bool subscribed = false;
    for (int i = 0; i < 50 && !subscribed; ++i) {
        setActive(i % 2 ? p : e1);
        subscribed = waitFor(1, 100ms);
    }
    ASSERT_TRUE(subscribed);
    setActive(0);
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return !seen.back().has_value(); }));
        seen.clear();
    }
    std::unique_lock lock(m, std::defer_lock);

    setActive(e1);
    ASSERT_TRUE(waitFor(1));
    setActive(e2);  // another window of the same application: no activation
    setActive(p);
    ASSERT_TRUE(waitFor(2));
    lock.lock();
    EXPECT_EQ(seen, (std::vector<std::optional<std::string>>{"Gedit", "Player"}));
    lock.unlock();
    EXPECT_EQ(workspace.frontmostApplication()->pid, player.pid());
    workspace.removeActivationObserver(id);
}

TEST_F(XvfbTest, PoliteAndForcedTermination) {
    test::Process polite({.argv = {"/bin/sleep", "30"}, .capture = false});
    test::Process stubborn(
        {.argv = {"/bin/sh", "-c", "trap '' TERM; exec /bin/sleep 30"}, .capture = false});
    // The shell ignores SIGTERM once it has become sleep (the ignored signal
    // survives exec).
    for (int i = 0; i < 500 && test::readText("/proc/" + std::to_string(stubborn.pid()) +
                                              "/comm") != "sleep\n";
         ++i)
        std::this_thread::sleep_for(10ms);
    setClientList({window(polite.pid(), std::string("a\0A\0", 4)),
                   window(stubborn.pid(), std::string("b\0B\0", 4))});
    LinuxWorkspace workspace({.display = display});
    auto apps = workspace.runningApplications();
    ASSERT_EQ(apps.size(), 2u);

    EXPECT_TRUE(workspace.terminate(apps[0]));
    EXPECT_EQ(polite.wait(), std::optional<int>(128 + SIGTERM));
    EXPECT_TRUE(workspace.isTerminated(apps[0]));
    EXPECT_FALSE(workspace.terminate(apps[0])) << "a process that is gone is not signalled";

    EXPECT_TRUE(workspace.terminate(apps[1]));
    EXPECT_FALSE(workspace.isTerminated(apps[1])) << "the request was ignored";
    EXPECT_TRUE(workspace.forceTerminate(apps[1]));
    EXPECT_EQ(stubborn.wait(), std::optional<int>(128 + SIGKILL));
    EXPECT_TRUE(workspace.isTerminated(apps[1]));

    RunningApp reused = apps[1];
    reused.pid = getpid();  // another process behind a remembered pid
    EXPECT_FALSE(workspace.forceTerminate(reused));
    EXPECT_TRUE(workspace.isTerminated(reused));
}

}  // namespace
}  // namespace tarvo::platform
