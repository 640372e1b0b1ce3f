#include "platform/linux/LinuxWorkspace.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
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
        {"just one", std::nullopt},
        {std::string("a\0b\0c\0", 6), std::nullopt},
    };
    for (const auto& [raw, want] : cases) EXPECT_EQ(LinuxWorkspace::parseWmClass(raw), want) << raw;
}

TEST(LinuxWorkspaceParsing, ProcStat) {
    const std::string tail = " 1 1 1 0 -1 4194560 100 0 0 0 5 3 0 0 20 0 1 0 987654 1000 200";
    const std::pair<std::string, std::optional<char>> cases[] = {
        {"42 (odd (name) here) Z" + tail, 'Z'},  // parentheses and blanks in the name
        {"42 (sleep) S 1 1", std::nullopt},      // cut short
        {"42 sleep S" + tail, std::nullopt},
        {"42 (sleep) S 1 1 1 0 -1 4194560 100 0 0 0 5 3 0 0 20 0 1 0 98x7 1", std::nullopt},
    };
    for (const auto& [text, state] : cases) {
        const auto got = LinuxWorkspace::parseProcStat(text);
        EXPECT_EQ(got ? std::optional(got->state) : std::nullopt, state) << text;
        EXPECT_EQ(got ? got->startTime : 987654u, 987654u);
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

// This test's client connection plays the window manager's part and the
// applications' (their windows' properties) on a private X server.
TEST(LinuxWorkspaceXvfb, ListsWatchesAndEndsApplications) {
    test::XServer x({.windowManager = false});
    if (!x.running()) GTEST_SKIP() << x.error();
    Display* dpy = XOpenDisplay(x.display().c_str());
    ASSERT_NE(dpy, nullptr);
    const std::unique_ptr<Display, int (*)(Display*)> closeDisplay(dpy, XCloseDisplay);
    const Window root = DefaultRootWindow(dpy);
    auto set = [&](Window w, const char* name, Atom type, int format, const void* data, int n) {
        XChangeProperty(dpy, w, XInternAtom(dpy, name, False), type, format, PropModeReplace,
                        static_cast<const unsigned char*>(data), n);
        XSync(dpy, False);
    };
    auto window = [&](pid_t pid, const std::string& wmClass,
                      const char* type = "_NET_WM_WINDOW_TYPE_NORMAL") {
        const Window w = XCreateSimpleWindow(dpy, root, 0, 0, 10, 10, 0, 0, 0);
        const long p = pid, t = static_cast<long>(XInternAtom(dpy, type, False));
        set(w, "_NET_WM_PID", XA_CARDINAL, 32, &p, 1);
        set(w, "WM_CLASS", XA_STRING, 8, wmClass.data(), static_cast<int>(wmClass.size()));
        set(w, "_NET_WM_WINDOW_TYPE", XA_ATOM, 32, &t, 1);
        return w;
    };
    auto setActive = [&](Window w) {
        const long id = static_cast<long>(w);
        set(root, "_NET_ACTIVE_WINDOW", XA_WINDOW, 32, &id, 1);
    };
    test::Process editor({.argv = {"/bin/sleep", "30"}, .capture = false});
    test::Process stubborn(
        {.argv = {"/bin/sh", "-c", "trap '' TERM; exec /bin/sleep 30"}, .capture = false});
    const std::string gedit("gedit\0Gedit\0", 12), player("player\0Player\0", 14);
    Window e1 = window(editor.pid(), gedit);
    Window e2 = window(editor.pid(), gedit, "_NET_WM_WINDOW_TYPE_DIALOG");
    Window p = window(stubborn.pid(), player);
    const long clients[] = {static_cast<long>(e1), static_cast<long>(e2), static_cast<long>(p)};
    set(root, "_NET_CLIENT_LIST", XA_WINDOW, 32, clients, 3);

    LinuxWorkspace workspace({.display = x.display()});
    auto apps = workspace.runningApplications();
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0].pid, editor.pid());
    EXPECT_EQ(apps[0].bundleId, "Gedit");
    EXPECT_NE(apps[0].processStart, 0u);

    std::mutex m;
    std::condition_variable cv;
    std::vector<std::optional<std::string>> seen;
    auto id = workspace.addActivationObserver([&](const std::optional<RunningApp>& app) {
        std::lock_guard lock(m);
        seen.push_back(app ? app->bundleId : std::nullopt);
        cv.notify_all();
    });
    auto waitFor = [&](const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, limit, done);
    };
    // The watcher subscribes on its own thread: switch between two
    // applications until it reports, then settle on nothing in front.
    bool subscribed = false;
    for (int i = 0; i < 50 && !subscribed; ++i) {
        setActive(i % 2 ? p : e1);
        subscribed = waitFor([&] { return !seen.empty(); }, 100ms);
    }
    ASSERT_TRUE(subscribed);
    setActive(0);
    ASSERT_TRUE(waitFor([&] { return !seen.back().has_value(); }));
    {
        std::lock_guard lock(m);
        seen.clear();
    }
    setActive(e1);
    ASSERT_TRUE(waitFor([&] { return !seen.empty(); }));
    setActive(e2);  // another window of the same application: no activation
    setActive(p);
    ASSERT_TRUE(waitFor([&] {
        return seen == std::vector<std::optional<std::string>>{"Gedit", "Player"};
    }));
    EXPECT_EQ(workspace.frontmostApplication()->pid, stubborn.pid());
    workspace.removeActivationObserver(id);

    EXPECT_TRUE(workspace.terminate(apps[0]));
    EXPECT_EQ(editor.wait(), std::optional<int>(128 + SIGTERM));
    EXPECT_TRUE(workspace.isTerminated(apps[0]));
    EXPECT_FALSE(workspace.terminate(apps[0])) << "a process that is gone is not signalled";
    // The shell ignores SIGTERM once it has become sleep (the ignored signal
    // survives exec).
    ASSERT_TRUE(test::polling::waitUntil([&] {
        return test::readText("/proc/" + std::to_string(stubborn.pid()) + "/comm") == "sleep\n";
    }));
    EXPECT_TRUE(workspace.terminate(apps[1]));
    EXPECT_FALSE(workspace.isTerminated(apps[1])) << "the request was ignored";
    EXPECT_TRUE(workspace.forceTerminate(apps[1]));
    EXPECT_EQ(stubborn.wait(), std::optional<int>(128 + SIGKILL));
    EXPECT_TRUE(workspace.isTerminated(apps[1]));
    RunningApp reused = apps[1];
    reused.pid = getpid();  // another process behind a remembered pid
    EXPECT_FALSE(workspace.forceTerminate(reused));
    reused.pid = 0;
    EXPECT_FALSE(workspace.terminate(reused)) << "pid 0 would signal the whole process group";
}

}  // namespace
}  // namespace tarvo::platform
