#include "app/Roles.h"
#include "commands/Uninstall.h"

namespace tarvo::app {

std::vector<Command> commandTable(const RoleContext& context) {
    using Role = int (*)(const RoleContext&, const Invocation&);
    const auto role = [&context](Role run) {
        return [&context, run](const Invocation& inv) { return run(context, inv); };
    };
    std::vector<Command> all = launcher::printingCommands();
    // Each role joins the build with one line here.
    // clang-format off
    all.insert(all.end(), {
        {"manager",      role(runManager),   ""},
        {"setup",        role(runManager),   ""},
        {"daemon",       role(runDaemon),    "daemon must run as root (it changes the system proxy settings)"},
        {"agent",        role(runAgent),     ""},
        {"install-cert", role(installCert),  ""},
        {"check-update", role(checkUpdate),  "check-update must run as root (installing a .pkg needs it)"},
        {"status",       role(showStatus),   ""},
        {"uninstall",    role(uninstall),    Uninstall::kRootRefusal},
    });
    // clang-format on
    return all;
}

}  // namespace tarvo::app
