#include "app/Roles.h"
#include "commands/Uninstall.h"

namespace tarvo::app {

const std::vector<Command>& commandTable() {
    static const std::vector<Command> table = [] {
        std::vector<Command> all = launcher::printingCommands();
        // Each role joins the build with one line here.
        // clang-format off
        all.insert(all.end(), {
            {"manager",      runManager,   ""},
            {"setup",        runManager,   ""},
            {"daemon",       runDaemon,    "daemon must run as root (it changes the system proxy settings)"},
            {"agent",        runAgent,     ""},
            {"install-cert", installCert,  ""},
            {"check-update", checkUpdate,  "check-update must run as root (installing a .pkg needs it)"},
            {"status",       showStatus,   ""},
            {"uninstall",    uninstall,    Uninstall::kRootRefusal},
        });
        // clang-format on
        return all;
    }();
    return table;
}

}  // namespace tarvo::app
