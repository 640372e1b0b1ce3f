#include "platform/linux/LinuxWorkspace.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "support/Processes.h"
#include "support/TestSupport.h"
#include "support/XServer.h"

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace tarvo::platform {
namespace {

using test::polling::waitUntil;

// This test's client connection plays the window manager's part and the
// applications' (their windows' properties) on a private X server.
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
    auto window = [&](pid_t pid, const std::string& wmClass, const char* type) {
        const Window w = XCreateSimpleWindow(dpy, root, 0, 0, 10, 10, 0, 0, 0);
        const long p = pid, t = static_cast<long>(XInternAtom(dpy, type, False));
        set(w, "_NET_WM_PID", XA_CARDINAL, 32, &p, 1);
        set(w, "WM_CLASS", XA_STRING, 8, wmClass.data(), static_cast<int>(wmClass.size()));
        set(w, "_NET_WM_WINDOW_TYPE", XA_ATOM, 32, &t, 1);
        clients.push_back(w);
        set(root, "_NET_CLIENT_LIST", XA_WINDOW, 32, clients.data(), int(clients.size()));
        return w;
    };
    auto setActive = [&](Window w) { set(root, "_NET_ACTIVE_WINDOW", XA_WINDOW, 32, &w, 1); };
    // A script answers SIGTERM with a line and lives on. Its name, which a
    // child chooses, looks like the end of a zombie's: state and start time
    // are read after the last ')'.
    const test::TempDir dir;
    test::writeText(dir / "p) Z (q",
                    "#!/bin/sh\ntrap 'echo term' TERM\necho ready\nwhile sleep 0.1; do :; done\n");
    ::chmod((dir / "p) Z (q").c_str(), 0755);
    test::Process player({.argv = {dir / "p) Z (q"}});
    ASSERT_TRUE(player.waitForOutput("ready"));
    // A utility window and an ordinary one make one regular application; a dock
    // alone an accessory one; a window without a process none.
    const std::string playerClass("player\0Player\0", 14);
    const Window p1 = window(player.pid(), playerClass, "_NET_WM_WINDOW_TYPE_UTILITY");
    const Window p2 = window(player.pid(), playerClass, "_NET_WM_WINDOW_TYPE_NORMAL");
    const Window tray = window(getpid(), std::string("tray\0Tray", 9), "_NET_WM_WINDOW_TYPE_DOCK");
    window(0, playerClass, "_NET_WM_WINDOW_TYPE_NORMAL");

    LinuxWorkspace workspace({.display = x.display()});
    const auto apps = workspace.runningApplications();
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0], (RunningApp{player.pid(), "Player", "Player", ActivationPolicy::regular,
                                   apps[0].processStart}));
    EXPECT_NE(apps[0].processStart, 0u);
    EXPECT_EQ(apps[1].policy, ActivationPolicy::accessory);

    // The applications brought to the front, "-" for none.
    std::mutex m;
    std::string seen;
    auto seenNow = [&] {
        std::lock_guard lock(m);
        return seen;
    };
    workspace.addActivationObserver([&](const std::optional<RunningApp>& app) {
        std::lock_guard lock(m);
        seen += (app ? *app->bundleId : "-") + " ";
    });
    // The watcher subscribes on its own thread: switch until it reports, then
    // settle on nothing in front.
    int switches = 0;
    ASSERT_TRUE(waitUntil([&] {
        setActive(++switches % 2 ? p1 : tray);
        return !seenNow().empty();
    }));
    setActive(0);
    ASSERT_TRUE(waitUntil([&] { return seenNow().ends_with("- "); }));
    const size_t before = seenNow().size();
    setActive(p1);
    ASSERT_TRUE(waitUntil([&] { return seenNow().size() > before; }));
    setActive(p2);  // another window of the same application: no activation
    setActive(tray);
    EXPECT_TRUE(waitUntil([&] { return seenNow().substr(before) == "Player Tray "; })) << seenNow();
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
    EXPECT_FALSE(workspace.terminate(apps[0])) << "a process that is gone is not signalled";
    XCloseDisplay(dpy);
}

}  // namespace
}  // namespace tarvo::platform
