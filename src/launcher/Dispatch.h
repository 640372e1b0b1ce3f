#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace tarvo::launcher {

// What a subcommand gets: the arguments after the executable (with "-psn_"
// elements removed; args[0] is the subcommand when there is one) and the
// process's standard streams.
struct Invocation {
    std::vector<std::string> args;
    std::ostream& out;
    std::ostream& err;
};

struct Command {
    std::string name;
    std::function<int(const Invocation&)> run;
    // Refused with this message and status 1, before any work, when the real
    // user id is not 0. Empty: no check.
    std::string rootRefusal;
};

// The arguments without every element that begins with "-psn_" (the process
// serial number macOS adds when a bundle is opened from the Finder).
std::vector<std::string> filterPsn(const std::vector<std::string>& rawArgs);
// The subcommand: the first argument, or "manager" when there is none.
std::string selectCommand(const std::vector<std::string>& args);

// Runs the subcommand named by `rawArgs` (the process arguments without the
// executable path) and returns the exit status.
int dispatch(const std::vector<std::string>& rawArgs, const std::vector<Command>& table,
             std::ostream& out, std::ostream& err, unsigned realUid);

// The subcommands that only print (version and help): the executable answers
// them itself, without loading the roles library, and the full command table
// begins with them.
const std::vector<Command>& printingCommands();
// Whether `rawArgs` asks for one of printingCommands().
bool isPrintingCommand(const std::vector<std::string>& rawArgs);

}  // namespace tarvo::launcher
