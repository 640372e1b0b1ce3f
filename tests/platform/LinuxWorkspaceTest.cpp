#include "platform/x11/LinuxWorkspace.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

#include "support/XServer.h"

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace tarvo::platform {
namespace {

using test::polling::waitUntil;

// This test's connection plays the window manager and the applications on a private X server.
TEST(LinuxWorkspaceXvfb, ListsWatchesAndEndsApplications) {
    test::XServer x({.windowManager = false});
    if (!x.running()) GTEST_SKIP() << x.error();
    Display* dpy = XOpenDisplay(x.display().c_str());
    ASSERT_NE(dpy, nullptr);
    const Window root = DefaultRootWindow(dpy);
    auto set = [&](Window w, const char* name, Atom type, int format, const void* data, int n) {
        XChangeProperty(dpy, w, XInternAtom(dpy, name, False), type, format, PropModeReplace,
                        static_cast<const unsigned char*>(data), n);
        XSync(dpy, False);
    };
    std::vector<Window> clients;
    auto window = [&](pid_t pid, const std::string& wmClass, const std::string& type) {
        const Window w = XCreateSimpleWindow(dpy, root, 0, 0, 10, 10, 0, 0, 0);
        const long p = pid;
        const long t = XInternAtom(dpy, ("_NET_WM_WINDOW_TYPE_" + type).c_str(), False);
        set(w, "_NET_WM_PID", XA_CARDINAL, 32, &p, 1);
        set(w, "WM_CLASS", XA_STRING, 8, wmClass.data(), static_cast<int>(wmClass.size()));
        set(w, "_NET_WM_WINDOW_TYPE", XA_ATOM, 32, &t, 1);
        clients.push_back(w);
        set(root, "_NET_CLIENT_LIST", XA_WINDOW, 32, clients.data(), int(clients.size()));
        return w;
    };
    auto setActive = [&](Window w) { set(root, "_NET_ACTIVE_WINDOW", XA_WINDOW, 32, &w, 1); };
    // A shell that answers SIGTERM with a line and lives on, named like the end of a
    // zombie's stat line: state and start time are read after the last ')'.
    const test::TempDir dir;
    std::filesystem::create_symlink("/bin/sh", dir / "p) Z (q");
    test::Process player(
        {.argv = {dir / "p) Z (q", "-c",
                  "trap 'echo term' TERM; echo ready; while sleep 0.1; do :; done"}});
    ASSERT_TRUE(player.waitForOutput("ready"));
    // Utility and ordinary: one regular application; a dock: accessory; no process: none.
    const std::string playerClass("player\0Player\0", 14);
    const Window p1 = window(player.pid(), playerClass, "UTILITY");
    const Window p2 = window(player.pid(), playerClass, "NORMAL");
    const Window tray = window(getpid(), std::string("tray\0Tray", 9), "DOCK");
    window(0, playerClass, "NORMAL");

    LinuxWorkspace workspace({.display = x.display()});
    const auto apps = workspace.runningApplications();
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0], (RunningApp{player.pid(), "Player", "Player", ActivationPolicy::regular,
                                   apps[0].processStart}));
    EXPECT_NE(apps[0].processStart, 0u);
    EXPECT_EQ(apps[1].policy, ActivationPolicy::accessory);

    std::mutex m;
    std::string seen;
    auto seenNow = [&] {
        std::lock_guard lock(m);
        return seen;
    };
    workspace.addActivationObserver([&](const std::optional<RunningApp>& app) {
        std::lock_guard lock(m);
        seen += (app ? *app->bundleId : "-") + " ";  // "-": nothing in front
    });
    // The watcher subscribes on its own thread: switch until it reports.
    int switches = 0;
    ASSERT_TRUE(waitUntil([&] {
        setActive(++switches % 2 ? p1 : tray);
        return !seenNow().empty();
    }));
    setActive(0);
    ASSERT_TRUE(waitUntil([&] { return seenNow().ends_with("- "); }));
    setActive(p1);
    ASSERT_TRUE(waitUntil([&] { return seenNow().ends_with("- Player "); }));
    setActive(p2);  // another window of the same application: no activation
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // time to report it, if it did
    setActive(tray);
    EXPECT_TRUE(waitUntil([&] { return seenNow().ends_with("- Player Tray "); })) << seenNow();
    EXPECT_EQ(workspace.frontmostApplication()->pid, getpid());

    EXPECT_TRUE(workspace.terminate(apps[0]));
    EXPECT_TRUE(player.waitForOutput("term"));
    EXPECT_FALSE(workspace.isTerminated(apps[0])) << "the request was ignored";
    RunningApp reused = apps[0];
    reused.processStart += 1;  // another process behind a remembered pid
    EXPECT_FALSE(workspace.forceTerminate(reused));
    reused.pid = 0;
    EXPECT_FALSE(workspace.terminate(reused)) << "pid 0 would signal the whole process group";
    EXPECT_TRUE(workspace.forceTerminate(apps[0]));
    EXPECT_EQ(player.wait(), std::optional<int>(128 + SIGKILL));
    EXPECT_TRUE(workspace.isTerminated(apps[0]));
    XCloseDisplay(dpy);
}

}  // namespace
}  // namespace tarvo::platform
