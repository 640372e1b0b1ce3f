#include "app/Roles.h"

#include <unistd.h>

#include <ostream>

#include "app/Usage.h"
#include "commands/Status.h"
#include "commands/Uninstall.h"
#include "core/Background.h"
#include "core/Paths.h"
#include "core/Version.h"
#include "daemon/Daemon.h"
#include "daemon/DaemonLock.h"
#include "daemon/Keychain.h"
#include "device/DeviceIdStore.h"
#include "platform/qt/QtCoreLoop.h"
#include "updater/Updater.h"

namespace tarvo::app {

int printVersion(const Invocation& inv) {
    inv.out << "tarvo " << appVersion << "\n" << std::flush;
    return 0;
}

int printHelp(const Invocation& inv) {
    inv.out << usage() << "\n" << std::flush;
    return 0;
}

namespace {

// The manifest query names this Mac by the identifier every request uses.
void useStoredDeviceIdForUpdates() {
    Updater::Environment environment;
    environment.deviceId = [] { return DeviceIdStore::getOrCreate(); };
    Updater::setEnvironment(std::move(environment));
}

}  // namespace

int runDaemon(const Invocation& inv) {
    std::string error;
    const auto lock = DaemonLock::acquire(error);
    if (!lock) {
        inv.err << "tarvo daemon: " << error << "\n" << std::flush;
        return 1;
    }
    platform::QtCoreLoop loop;
    // Update checks block on the network and on tools: one worker runs them,
    // one after another, off the main thread.
    useStoredDeviceIdForUpdates();
    ThreadPoolBackground updates(1);
    Daemon::Options options;
    options.startUpdateCheck = [&updates] {
        updates.run([] { Updater::checkAndInstall(appVersion); });
    };
    return Daemon::create(loop.queue(), systemClock(), std::move(options))->run();
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

}  // namespace tarvo::app
