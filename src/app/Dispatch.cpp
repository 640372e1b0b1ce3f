#include "app/Dispatch.h"

#include <ostream>

#include "app/Roles.h"
#include "app/Usage.h"
#include "commands/Uninstall.h"

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

const std::vector<Command>& commandTable() {
    // Each role joins the build with one line here.
    // clang-format off
    static const std::vector<Command> table = {
        {"manager",      runManager,   ""},
        {"setup",        runManager,   ""},
        {"version",      printVersion, ""},
        {"help",         printHelp,    ""},
        {"-h",           printHelp,    ""},
        {"--help",       printHelp,    ""},
        {"daemon",       runDaemon,    "daemon must run as root (it changes the system proxy settings)"},
        {"agent",        runAgent,     ""},
        {"install-cert", installCert,  ""},
        {"check-update", checkUpdate,  "check-update must run as root (installing a .pkg needs it)"},
        {"status",       showStatus,   ""},
        {"uninstall",    uninstall,    Uninstall::kRootRefusal},
    };
    // clang-format on
    return table;
}

int dispatch(const std::vector<std::string>& rawArgs, const std::vector<Command>& table,
             std::ostream& out, std::ostream& err, unsigned realUid) {
    const std::vector<std::string> args = filterPsn(rawArgs);
    const std::string cmd = selectCommand(args);
    for (const auto& command : table) {
        if (command.name != cmd) continue;
        // "tarvo uninstall --help" asks what uninstall does; it must not do it.
        for (size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--help" || args[i] == "-h") {
                out << usage() << "\n" << std::flush;
                return 0;
            }
        }
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
