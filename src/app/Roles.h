#pragma once

#include <vector>

#include "app/RoleContext.h"
#include "launcher/Dispatch.h"

namespace tarvo::app {

using launcher::Command;
using launcher::Invocation;

// Every subcommand this build knows, the printing ones first, in dispatch
// order (launcher::dispatch); each role is handed `context`, which must
// outlive the table.
std::vector<Command> commandTable(const RoleContext& context);

// The work behind each subcommand of the command table.
int runDaemon(const RoleContext& context, const Invocation& inv);
int runAgent(const RoleContext& context, const Invocation& inv);
int installCert(const RoleContext& context, const Invocation& inv);
int checkUpdate(const RoleContext& context, const Invocation& inv);
int showStatus(const RoleContext& context, const Invocation& inv);
int uninstall(const RoleContext& context, const Invocation& inv);
// The parent's setup window (ManagerRole.cpp).
int runManager(const RoleContext& context, const Invocation& inv);

}  // namespace tarvo::app
