// How the daemon is started at boot (its system unit) and the agent in each
// session: the systemd user unit, and the supervisor of the autostart entry,
// run with a stand-in agent that records its starts. Then this system's
// workspace on a private X server, its hardware identity, its login sessions
// and the Qt main queue.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <mutex>
#include <regex>

#include "platform/linux/LinuxHardwareIdentity.h"
#include "platform/linux/LinuxUserSession.h"
#include "platform/qt/QtMainQueue.h"
#include "platform/x11/LinuxWorkspace.h"
#include "support/Processes.h"
#include "support/TestSupport.h"
#include "support/XServer.h"

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace tarvo::test {
namespace {
using namespace std::chrono_literals;
using namespace platform;
using polling::waitUntil;

std::string resource(const std::string& name) {
    return sourceDir() + "/resources/linux/" + name;
}

// systemd-analyze's complaints about a unit (`scope` "--user" or
// "--system"), its ExecStart pointed at an existing program; empty when it has
// none. A user manager's check needs a runtime directory, which a session
// would give it.
std::string verifyUnit(const std::string& text, const std::string& name = "tarvo-agent.service",
                       const std::string& scope = "--user") {
    TempDir dir;
    ::mkdir((dir / "run").c_str(), 0700);
    writeText(dir / name, std::regex_replace(text, std::regex("/usr/bin/tarvo "), "/bin/true "));
    const ProcessResult r = run({.argv = {"/usr/bin/systemd-analyze", scope, "verify", dir / name},
                                 .env = environmentWith({"XDG_RUNTIME_DIR=" + dir / "run"})});
    return r.succeeded() ? r.out + r.err : "failed: " + r.launchError + r.out + r.err;
}

// The daemon's system unit (from boot, started again 10 s after any exit) and
// the agent's user unit (started again within seconds, its autostart entry
// out of the way where the unit runs): systemd-analyze finds nothing wrong in
// either.
TEST(Units, VerifyCleanlyAndRestartTheirProgram) {
    const struct {
        const char *file, *scope;
        std::vector<std::string> lines;
    } units[] = {
        {"tarvo.service",
         "--system",
         {"ExecStart=/usr/bin/tarvo daemon", "Restart=always", "RestartSec=10",
          "WantedBy=multi-user.target"}},
        {"tarvo-agent.service",
         "--user",
         {"ExecStart=/usr/bin/tarvo agent", "Restart=always", "RestartSec=2"}},
        {"tarvo-agent.desktop",
         "",
         {"X-GNOME-HiddenUnderSystemd=true",
          "Exec=/usr/lib/tarvo/tarvo-agent-supervisor /usr/bin/tarvo agent"}},
    };
    for (const auto& u : units) {
        SCOPED_TRACE(u.file);
        const std::string text = readText(resource(u.file));
        if (*u.scope) {
            EXPECT_EQ(verifyUnit(text, u.file, u.scope), "");
        }
        for (const std::string& line : u.lines)
            EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line;
    }
}

// A stand-in agent that records each start, then behaves as `how` says
// ("sleep 1000", "exit 0", ...); systemctl stood in for, answering is-enabled
// and is-active with the status in answer-is-enabled and answer-is-active
// (1 when missing) and recording its calls.
struct SupervisedAgent {
    explicit SupervisedAgent(const std::string& how = "exec sleep 1000") {
        ::mkdir((dir / "run").c_str(), 0700);
        ::mkdir((dir / "bin").c_str(), 0755);
        writeText(dir / "agent", "#!/bin/sh\necho $$ >> '" + dir / "starts'\n" + how + "\n");
        writeText(dir / "bin/systemctl", "#!/bin/sh\necho \"$*\" >> '" +
                                             dir / "systemctl.calls'\nexit $(cat '" +
                                             dir / "answer-'\"$3\" 2>/dev/null || echo 1)\n");
        ::chmod((dir / "agent").c_str(), 0755);
        ::chmod((dir / "bin/systemctl").c_str(), 0755);
    }
    Launch launch() const {
        return {.argv = {resource("tarvo-agent-supervisor"), dir / "agent"},
                .env = environmentWith(
                    {"XDG_RUNTIME_DIR=" + dir / "run", "PATH=" + dir / "bin:/usr/bin:/bin"})};
    }
    std::vector<std::string> starts() const { return readLines(dir / "starts"); }
    bool startsReach(size_t n, std::chrono::milliseconds limit = 10s) const {
        return waitUntil([&] { return starts().size() >= n; }, limit);
    }
    TempDir dir;
};

TEST(AgentSupervisor, AKilledAgentIsBackOnlyOneSupervisorRunsAndACleanEndIsLeftEnded) {
    SupervisedAgent agent;
    Process supervisor(agent.launch());
    ASSERT_TRUE(agent.startsReach(1));
    const pid_t first = std::stoi(agent.starts()[0]);
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    ASSERT_TRUE(agent.startsReach(2)) << supervisor.err();
    const pid_t second = std::stoi(agent.starts()[1]);
    EXPECT_NE(second, first);

    // A second supervisor finds the lock taken and starts nothing, unless
    // the user unit is enabled and the graphical session (which starts it) runs.
    const std::tuple<const char*, const char*, std::string> cases[] = {
        {"1", "0", "another agent supervisor of uid"},
        {"0", "1", "another agent supervisor of uid"},
        {"0", "0", "tarvo-agent.service starts the agent in this session"},
    };
    for (const auto& [enabled, active, message] : cases) {
        SCOPED_TRACE(std::string("enabled ") + enabled + ", active " + active);
        writeText(agent.dir / "answer-is-enabled", enabled);
        writeText(agent.dir / "answer-is-active", active);
        const ProcessResult again = run(agent.launch());
        EXPECT_EQ(again.exitStatus, 0);
        EXPECT_NE(again.err.find(message), std::string::npos) << again.err;
    }
    EXPECT_EQ(readLines(agent.dir / "systemctl.calls").back(),
              "--user --quiet is-active graphical-session.target");
    EXPECT_EQ(readLines(agent.dir / "systemctl.calls").front(),
              "--user --quiet is-enabled tarvo-agent.service");
    EXPECT_EQ(agent.starts().size(), 2u);

    // Stopped, it ends its agent and starts no other.
    supervisor.kill(SIGTERM);
    EXPECT_EQ(supervisor.wait(10s), std::optional<int>(0));
    EXPECT_TRUE(waitUntil([&] { return ::kill(second, 0) != 0; }, 10s));
    EXPECT_EQ(agent.starts().size(), 2u);

    // An agent that ends by itself at once with status 0 (a user who is not a
    // child) is left ended after three tries; one that fails is started again,
    // until the package that brought it is removed.
    SupervisedAgent clean("exit 0");
    Process quitter(clean.launch());
    EXPECT_EQ(quitter.wait(20s), std::optional<int>(0)) << quitter.err();
    EXPECT_EQ(clean.starts().size(), 3u);

    SupervisedAgent failing("exit 1");
    Process restarter(failing.launch());
    EXPECT_TRUE(failing.startsReach(4, 20s)) << restarter.err();
    EXPECT_FALSE(restarter.wait(0ms));
    ::unlink((failing.dir / "agent").c_str());
    EXPECT_EQ(restarter.wait(20s), std::optional<int>(0)) << restarter.err();
    EXPECT_NE(restarter.err().find("is gone; not starting it again"), std::string::npos);
}

// Without a runtime directory of its own the lock is in /tmp, where another
// user may have put something first: a link or someone else's file there is
// refused. Run as nobody over a private /tmp, with an agent that ends at once
// so that a supervisor that got going ends too.
TEST(AgentSupervisor, RefusesALockFileThatIsALinkOrSomeoneElses) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as nobody over a private /tmp";
    const std::string lock = "/tmp/tarvo-agent-" + std::to_string(kNobody) + ".lock";
    const std::tuple<std::string, int, std::string> cases[] = {
        {"ln -s /tmp/elsewhere " + lock, 1, "refusing lock file " + lock},
        {"touch " + lock, 1, "refusing lock file " + lock},
        {"touch " + lock + "; chown nobody " + lock, 0, "agent started"},
        {"true", 0, "agent started"},
    };
    for (const auto& [plant, code, message] : cases) {
        SCOPED_TRACE(plant);
        const ProcessResult r =
            // The supervisor is copied into the private /tmp: the checkout
            // itself may lie under the /tmp that the mount hides.
            run({.argv =
                     {"/usr/bin/unshare", "--mount", "--propagation", "private", "--", "/bin/sh",
                      "-ec",
                      "script=$(cat \"$1\"); mount -t tmpfs tmpfs /tmp; "
                      "printf '%s\\n' \"$script\" >/tmp/supervisor; chmod 755 /tmp/supervisor; " +
                          plant +
                          "; exec setpriv --reuid=65534 --regid=65534 --clear-groups -- "
                          "/tmp/supervisor /bin/true",
                      "-", resource("tarvo-agent-supervisor")},
                 .env = environmentWith({"XDG_RUNTIME_DIR=", "PATH=/usr/bin:/bin"})},
                30s);
        EXPECT_EQ(r.exitStatus, code) << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
}

TEST(LinuxHardwareIdentity, ProductUuidFirstThenMachineIdShapedAsUuid) {
    TempDir dir;
    const LinuxHardwareIdentity identity(dir / "product_uuid", dir / "machine-id");
    writeText(dir / "machine-id", "0123456789abcdef0123456789abcdef\n");
    writeText(dir / "product_uuid",
              "00000000-0000-0000-0000-000000000000\n");  // a placeholder
    EXPECT_EQ(identity.platformUuid(), "01234567-89AB-CDEF-0123-456789ABCDEF");
    writeText(dir / "product_uuid", "4c4c4544-0042-3510-8052-b4c04f4e4e32\n");
    EXPECT_EQ(identity.platformUuid(), "4C4C4544-0042-3510-8052-B4C04F4E4E32");
}

// loginctl stood in for: records its calls, answers "show-user" and
// "show-session" with the texts given, and succeeds when `ok`.
struct FakeLoginctl {
    std::string user, session;
    bool ok = true;
    std::string calls;

    LinuxUserSession::Options options(std::optional<std::string> sessionId) {
        LinuxUserSession::Options o;
        o.run = [this](const std::string&, const std::vector<std::string>& args) {
            for (const auto& a : args) calls += a + (&a == &args.back() ? ";" : " ");
            return LinuxUserSession::CommandOutput{ok, args[0] == "show-user" ? user : session};
        };
        o.sessionId = std::move(sessionId);
        return o;
    }
};

TEST(LinuxUserSession, LockStateAndLogOutAskLogindOnlyAboutAPlausibleSession) {
    const std::string c3 = "show-session c3 -p LockedHint;", s7 = "show-session 7 -p LockedHint;";
    const std::string display = "show-user " + std::to_string(getuid()) + " -p Display;";
    // The session (none: the user's display session), loginctl's answers, lock state, calls.
    const std::vector<
        std::tuple<std::optional<std::string>, FakeLoginctl, std::optional<bool>, std::string>>
        cases = {
            {"c3", {"", "LockedHint=yes\n"}, true, c3},
            {"c3", {"", "LockedHint=no\n", false}, std::nullopt, c3},
            {std::nullopt, {"Display=7\n", "LockedHint=no\n"}, false, display + s7},
            {std::nullopt, {"Display=\n", "LockedHint=no\n"}, std::nullopt, display},
            {"1;reboot", {"", "LockedHint=no\n"}, std::nullopt, ""},  // never reaches the tool
        };
    EnvGuard noSession("XDG_SESSION_ID", std::nullopt);
    for (auto [id, loginctl, locked, calls] : cases) {
        SCOPED_TRACE(calls);
        EXPECT_EQ(LinuxUserSession(loginctl.options(id)).screenLocked(), locked);
        EXPECT_EQ(loginctl.calls, calls);
    }
    EnvGuard env("XDG_SESSION_ID", "42");
    FakeLoginctl loginctl;
    EXPECT_TRUE(LinuxUserSession(loginctl.options(std::nullopt)).logOut());
    EXPECT_EQ(loginctl.calls, "terminate-session 42;");
}

TEST(QtMainQueue, TimersRepeatCancelAndNeverFireEarly) {
    int argc = 1;
    char* argv[] = {const_cast<char*>("test"), nullptr};
    QCoreApplication app(argc, argv);
    QtMainQueue q;
    int repeats = 0;
    auto rep = q.startRepeating(
        10ms, [&] { ++repeats; }, 0ms);
    q.cancel(q.postDelayed(20ms, [] { ADD_FAILURE() << "cancelled, and still run"; }));
    // Never early, though Qt's coarse timers may fire 5 % ahead.
    const auto start = std::chrono::steady_clock::now();
    for (const auto delay : {5ms, 40ms, 90ms})
        q.postDelayed(delay, [=] { EXPECT_GE(std::chrono::steady_clock::now() - start, delay); });
    q.postDelayed(120ms, [&] {
        q.cancel(rep);
        q.quit(3);
    });
    EXPECT_EQ(q.run(), 3);
    EXPECT_GE(repeats, 3);
}

// This test's connection plays the window manager and the applications on a private X server.
TEST(LinuxWorkspaceXvfb, ListsWatchesAndEndsApplications) {
    XServer x({.windowManager = false});
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
    const TempDir dir;
    std::filesystem::create_symlink("/bin/sh", dir / "p) Z (q");
    Process player({.argv = {dir / "p) Z (q", "-c",
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
}  // namespace tarvo::test
