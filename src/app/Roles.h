#pragma once

#include <vector>

#include "launcher/Dispatch.h"

namespace tarvo::app {

using launcher::Command;
using launcher::Invocation;

// Every subcommand this build knows, the printing ones first, in dispatch
// order (launcher::dispatch).
const std::vector<Command>& commandTable();

// The work behind each subcommand of the command table.
int runDaemon(const Invocation& inv);
int runAgent(const Invocation& inv);
int installCert(const Invocation& inv);
int checkUpdate(const Invocation& inv);
int showStatus(const Invocation& inv);
int uninstall(const Invocation& inv);
// The parent's setup window (ManagerRole.cpp).
int runManager(const Invocation& inv);

}  // namespace tarvo::app
