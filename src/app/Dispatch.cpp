#include "app/Dispatch.h"

#include <unistd.h>

#include <ostream>

#include <QCoreApplication>

#include "app/Usage.h"
#include "commands/Status.h"
#include "commands/Uninstall.h"
#include "core/Background.h"
#include "core/Paths.h"
#include "core/Version.h"
#include "daemon/Daemon.h"
#include "daemon/Keychain.h"
#include "device/DeviceIdStore.h"
#include "platform/qt/QtMainQueue.h"
#include "updater/Updater.h"

namespace tarvo::app {

std::vector<std::string> filterPsn(const std::vector<std::string>& rawArgs) {
    std::vector<std::string> args;
    args.reserve(rawArgs.size());
    for (const auto& a : rawArgs)
        if (a.rfind("-psn_", 0) != 0) args.push_back(a);
    return args;
}

std::string selectCommand(const std::vector<std::string>& args) {
    return args.empty() ? std::string("manager") : args.front();
}

namespace {

int printVersion(const Invocation& inv) {
    inv.out << "tarvo " << appVersion << "\n" << std::flush;
    return 0;
}

int printHelp(const Invocation& inv) {
    inv.out << usage() << "\n" << std::flush;
    return 0;
}

// The manifest query names this Mac by the identifier every request uses.
void useStoredDeviceIdForUpdates() {
    Updater::Environment environment;
    environment.deviceId = [] { return DeviceIdStore::getOrCreate(); };
    Updater::setEnvironment(std::move(environment));
}

int runDaemon(const Invocation&) {
    int argc = 1;
    char name[] = "tarvo";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    platform::QtMainQueue queue;
    // Update checks block on the network and on tools: one worker runs them,
    // one after another, off the main thread.
    useStoredDeviceIdForUpdates();
    ThreadPoolBackground updates(1);
    Daemon::Options options;
    options.startUpdateCheck = [&updates] {
        updates.run([] { Updater::checkAndInstall(appVersion); });
    };
    return Daemon::create(queue, systemClock(), std::move(options))->run();
}

int installCert(const Invocation& inv) {
    const std::string path =
        inv.args.size() > 1 ? inv.args[1] : Paths::bundleResources() + "/rootCert.pem";
    return Keychain::installRootCert(path, inv.err) ? 0 : 1;
}

// One whole update check, waited for; every outcome is in daemon.log.
int checkUpdate(const Invocation&) {
    useStoredDeviceIdForUpdates();
    Updater::checkAndInstall(appVersion);
    return 0;
}

int showStatus(const Invocation& inv) {
    Status::report(inv.out);
    return 0;
}

int uninstall(const Invocation& inv) {
    return Uninstall::run(inv.err, ::getuid());
}

}  // namespace

const std::vector<Command>& commandTable() {
    // Each role joins the build with one line here.
    static const std::vector<Command> table = {
        {"version", printVersion, ""},     {"help", printHelp, ""}, {"daemon", runDaemon, ""},
        {"install-cert", installCert, ""}, {"-h", printHelp, ""},   {"--help", printHelp, ""},
        {"check-update", checkUpdate, "check-update must run as root (installing a .pkg needs it)"},
        {"status", showStatus, ""},
        {"uninstall", uninstall, Uninstall::kRootRefusal},
    };
    return table;
}

int dispatch(const std::vector<std::string>& rawArgs, const std::vector<Command>& table,
             std::ostream& out, std::ostream& err, unsigned realUid) {
    const std::vector<std::string> args = filterPsn(rawArgs);
    const std::string cmd = selectCommand(args);
    for (const auto& command : table) {
        if (command.name != cmd) continue;
        if (!command.rootRefusal.empty() && realUid != 0) {
            err << command.rootRefusal << "\n" << std::flush;
            return 1;
        }
        return command.run(Invocation{args, out, err});
    }
    err << usage() << "\n" << std::flush;
    return 64;
}

}  // namespace tarvo::app
