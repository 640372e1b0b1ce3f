#include "app/Roles.h"

#include <unistd.h>

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ostream>

#include "agent/Agent.h"
#include "app/ModuleLoader.h"
#include "commands/Status.h"
#include "commands/Uninstall.h"
#include "core/Background.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "core/TarvoLog.h"
#include "core/Version.h"
#include "daemon/Daemon.h"
#include "daemon/DaemonLock.h"
#include "platform/linux/LinuxUserSession.h"
#include "platform/qt/QtCoreLoop.h"
#include "platform/qt/QtMainQueue.h"
#include "updater/Updater.h"

namespace tarvo::app {

namespace {

// The manifest query names this Mac by the identifier every request uses,
// made and stored by the check when there is none yet.
Updater::Environment updaterEnvironment(const RoleContext& context) {
    Updater::Environment environment;
    environment.clock = context.clock;
    environment.deviceId = [&context] { return context.deviceId(); };
    environment.updateUrl = context.updateUrl;
    environment.packages = context.updatePackages();
    return environment;
}

// In a throw-away root (never on a Mac, never without TARVO_ROOT) the
// end-to-end tests run the update checks every TARVO_TEST_UPDATE_SECONDS
// (1 to 3600) instead of after 2 and every 30 minutes.
void shortenUpdateTimersInTestRoot(const RoleContext& context, Daemon::Options& options) {
    if (!context.testUpdateSeconds || context.paths->root.empty()) return;
    const char* text = context.testUpdateSeconds->c_str();
    char* end = nullptr;
    const long seconds = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || seconds < 1 || seconds > 3600) return;
    options.updateSchedule.first = options.updateSchedule.interval = std::chrono::seconds(seconds);
}

}  // namespace

int runDaemon(const RoleContext& context, const Invocation& inv) {
    std::string error;
    const auto lock = DaemonLock::acquire(error);
    if (!lock) {
        inv.err << "tarvo daemon: " << error << "\n" << std::flush;
        return 1;
    }
    platform::QtCoreLoop loop;
    // Update checks block on the network and on tools: one worker runs them,
    // one after another, off the main thread (and is joined before the
    // updater goes).
    Updater updater(updaterEnvironment(context));
    ThreadPoolBackground updates(1);
    Daemon::Options options;
    options.systemProxy =
        context.systemProxy(std::make_shared<TarvoLog>("daemon", Paths::daemonLog()));
    options.certificateTrust = context.certificateTrust();
    options.loginSessions = context.loginSessions();
    options.startUpdateCheck = [&updates, &updater] {
        updates.run([&updater] { updater.checkAndInstall(appVersion); });
    };
    shortenUpdateTimersInTestRoot(context, options);
    return Daemon::create(loop.queue(), context.clock, std::move(options))->run();
}

int installCert(const RoleContext& context, const Invocation& inv) {
    const std::string path =
        inv.args.size() > 1 ? inv.args[1] : Paths::certificateAuthorityDir() + "/rootCert.pem";
    // The tools' own messages come first; one closing line says what happened.
    if (context.certificateTrust()->trust(path, inv.err)) {
        inv.out << "certificate trusted: " << path << "\n" << std::flush;
        return 0;
    }
    inv.err << "certificate not installed: " << path << "\n" << std::flush;
    return 1;
}

// One whole update check, waited for; every outcome is in daemon.log.
int checkUpdate(const RoleContext& context, const Invocation& inv) {
    Updater(updaterEnvironment(context)).checkAndInstall(appVersion);
    inv.out << "update check finished — details in " << Paths::daemonLog() << "\n" << std::flush;
    return 0;
}

int showStatus(const RoleContext& context, const Invocation& inv) {
    Status::report(inv.out, *context.systemProxy(std::make_shared<TarvoLog>("status")),
                   *context.certificateTrust());
    return 0;
}

int uninstall(const RoleContext& context, const Invocation& inv) {
    const int status = Uninstall::run(
        inv.err, ::getuid(),
        *context.systemProxy(std::make_shared<TarvoLog>("uninstall", Paths::daemonLog())),
        *context.certificateTrust(),
        inv.args.size() > 1 && inv.args[1] == Uninstall::kKeepFilesOption);
    if (status == 0) inv.out << "Tarvo uninstalled\n" << std::flush;
    return status;
}

}  // namespace tarvo::app

// --- agent --------------------------------------------------------------------

namespace tarvo::app {

namespace {

// What a session without windows has: no applications, nothing in front.
// Used before the child check has passed, so that a user who is not a child
// never opens a connection to the window system.
class NoWindowSystem : public platform::Workspace {
  public:
    std::vector<platform::RunningApp> runningApplications() override { return {}; }
    std::optional<platform::RunningApp> frontmostApplication() override { return std::nullopt; }
    ObserverId addActivationObserver(ActivationHandler) override { return ++last_; }
    void removeActivationObserver(ObserverId) override {}
    bool terminate(const platform::RunningApp&) override { return false; }
    bool forceTerminate(const platform::RunningApp&) override { return false; }
    bool isTerminated(const platform::RunningApp&) override { return true; }

  private:
    ObserverId last_ = 0;
};

// The agent's views when no display can be opened: the rules, the presence
// flag, usage, quota and schedule keep working; nothing is drawn.
class NoWindows : public AgentViews {
  public:
    void becomeMenuBarOnly() override {}
    std::unique_ptr<BlockerView> makeBlocker(const std::string&, std::int64_t,
                                             MoreTimeRequest) override {
        return nullptr;
    }
    std::unique_ptr<TimeWarningView> makeTimeWarning() override { return nullptr; }
    std::shared_ptr<ChatView> makeChatView() override { return nullptr; }
    void installChatMenuItem(std::function<void()>) override {}
};

bool qtNeedsX11(const RoleContext& context) {
    const std::string platform = context.qtPlatform.value_or("");
    return platform.empty() || platform.rfind("xcb", 0) == 0;
}

}  // namespace

int runAgent(const RoleContext& context, const Invocation&) {
    platform::LinuxUserSession::Options sessionOptions;
    sessionOptions.run = [](const std::string& path, const std::vector<std::string>& args) {
        ProcessOptions options;
        options.timeout = std::chrono::seconds(10);
        ProcessResult r = runProcess(path, args, options);
        return platform::LinuxUserSession::CommandOutput{r.succeeded(), r.out};
    };
    auto session = std::make_shared<platform::LinuxUserSession>(std::move(sessionOptions));

    // Only a child's session ever reaches the window system, and only there
    // is the window code (Qt Widgets, X11 and the graphics stack) loaded.
    const bool child = Agent::configListsChild(session->userName(), ::getuid()).value_or(false);
    ui::WindowsLibrary* windowLibrary = nullptr;
    std::string noWindows;  // why a child's session runs without them
    if (child) {
        const LoadedWindows loaded = loadWindows(moduleDirectory());
        noWindows = loaded.error;
        if (loaded.library && qtNeedsX11(context) && !loaded.library->displayReachable())
            noWindows = "cannot open the display";
        else
            windowLibrary = loaded.library;
    }
    if (!noWindows.empty())
        TarvoLog("agent", Paths::agentLog())
            .error(noWindows + " — the blocker cannot be shown; enforcing without windows");
    const bool windows = windowLibrary != nullptr;

    static int coreArgc = 1;
    static char coreName[] = "tarvo";
    static char* coreArgv[] = {coreName, nullptr};
    std::unique_ptr<QCoreApplication> app;
    if (windows)
        app = windowLibrary->createApplication();
    else
        app = std::make_unique<QCoreApplication>(coreArgc, coreArgv);

    {
        platform::QtMainQueue queue;
        ThreadPoolBackground background;
        Agent::Dependencies deps;
        deps.queue = &queue;
        deps.background = &background;
        deps.clock = context.clock;
        deps.session = session;
        // The session's user talks to the service as this machine.
        ServerClient::Options server;
        server.username = session->userName();
        server.clock = context.clock;
        server.hardware = context.hardware;
        server.host = context.host;
        deps.server = ServerClient::create(std::move(server));
        if (windows) {
            session->setIdleSource([windowLibrary] { return windowLibrary->idleSeconds(); });
            deps.workspace = windowLibrary->createWorkspace();
            deps.views = windowLibrary->createViews(queue, session, Paths::bundleResources());
        } else {
            deps.workspace = std::make_shared<NoWindowSystem>();
            deps.views = std::make_shared<NoWindows>();
        }
        auto agent = Agent::create(std::move(deps));
        const int status = agent->run();
        // shutdown() has flushed usage and removed the flag; reports still in
        // flight are not waited for, so SIGTERM ends the process at once.
        std::fflush(nullptr);
        std::_Exit(status);
    }
}

}  // namespace tarvo::app
