#include "commands/Uninstall.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>
#include <ostream>

#include "core/Paths.h"
#include "core/Subprocess.h"
#include "core/TarvoLog.h"

namespace tarvo::Uninstall {

std::vector<std::string> removedPaths() {
    if (Paths::usesMacLayout())
        return {Paths::dataDir(),    Paths::systemLogDir(), Paths::daemonPlist(),
                Paths::agentPlist(), Paths::managerApp(),   Paths::agentApp()};
    // This system's table: data, logs, downloaded updates and run-time state
    // (the presence flags' directory and the daemon's lock beside it).
    return {Paths::dataDir(), Paths::systemLogDir(), Paths::updateDir(),
            std::filesystem::path(Paths::activeChildrenDir()).parent_path().string()};
}

int run(std::ostream& err, unsigned realUid, platform::SystemProxy& proxy,
        platform::CertificateTrust& trust, bool keepFiles) {
    if (realUid != 0) {
        err << kRootRefusal << "\n" << std::flush;
        return 1;
    }
    TarvoLog log("uninstall", Paths::daemonLog());
    log.info("running uninstall");

    if (Paths::usesMacLayout()) {
        // The daemon's own shutdown also stops the proxy and clears the settings.
        runShowingOutput(Paths::launchctlTool(), {"bootout", "system", Paths::daemonPlist()});

        // The agent of whoever is at the screen (a console owned by root: nobody).
        struct stat console {};
        if (::stat(Paths::console().c_str(), &console) == 0 && console.st_uid != 0) {
            runShowingOutput(
                Paths::launchctlTool(),
                {"bootout", "gui/" + std::to_string(console.st_uid), Paths::agentPlist()});
        }
    }

    proxy.clear();
    trust.remove();

    if (keepFiles) {
        log.info("uninstall complete (configuration and state kept)");
        return 0;
    }
    for (const std::string& path : removedPaths()) {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    // The log folder is gone by now: this line reaches the system log only.
    log.info("uninstall complete");
    return 0;
}

}  // namespace tarvo::Uninstall
