#include "launcher/Dispatch.h"

#include <ostream>

#include "core/Version.h"
#include "launcher/Usage.h"

namespace tarvo::launcher {

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

namespace {

int printVersion(const Invocation& inv) {
    inv.out << "tarvo " << appVersion << "\n" << std::flush;
    return 0;
}

int printHelp(const Invocation& inv) {
    inv.out << usage() << "\n" << std::flush;
    return 0;
}

}  // namespace

const std::vector<Command>& printingCommands() {
    // clang-format off
    static const std::vector<Command> table = {
        {"version", printVersion, ""},
        {"help",    printHelp,    ""},
        {"-h",      printHelp,    ""},
        {"--help",  printHelp,    ""},
    };
    // clang-format on
    return table;
}

bool isPrintingCommand(const std::vector<std::string>& rawArgs) {
    const std::string cmd = selectCommand(filterPsn(rawArgs));
    for (const auto& command : printingCommands())
        if (command.name == cmd) return true;
    return false;
}

}  // namespace tarvo::launcher
