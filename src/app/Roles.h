#pragma once

#include "app/Dispatch.h"

namespace tarvo::app {

// The work behind each subcommand of the command table.
int printVersion(const Invocation& inv);
int printHelp(const Invocation& inv);
int runDaemon(const Invocation& inv);
int runAgent(const Invocation& inv);
int installCert(const Invocation& inv);
int checkUpdate(const Invocation& inv);
int showStatus(const Invocation& inv);
int uninstall(const Invocation& inv);
// The parent's setup window (ManagerRole.cpp).
int runManager(const Invocation& inv);

}  // namespace tarvo::app
