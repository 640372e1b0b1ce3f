#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/AccountDirectory.h"

namespace tarvo {

// The local directory through "/usr/bin/dscl" on the local node ".". Every
// query runs the tool anew; a tool that cannot run counts as no output.
namespace LocalAccounts {

// Names that are never offered as a child's account (compared case-sensitively).
inline constexpr std::string_view kExcludedNames[] = {"root", "daemon", "nobody", "Guest"};

// Runs `tool` with `args`; standard output when the exit status is 0 and the
// bytes are UTF-8, none otherwise (launch failure included).
std::optional<std::string> run(const std::string& tool, const std::vector<std::string>& args);

// Member names of the admin group.
std::vector<std::string> admins();
// Record names under a directory path ("/Users").
std::vector<std::string> dsclList(const std::string& path);
// One attribute value of one record ("/Users/emma", "RealName").
std::optional<std::string> dsclRead(const std::string& path, const std::string& key);

// The value in the output of "dscl . -read path key": after "key:" on the
// same line, or on the line below (the tool's form for long values).
std::optional<std::string> parseReadOutput(std::string_view output, const std::string& key);
// "UniqueID" as an unsigned 32-bit decimal ("+501" accepted).
std::optional<std::uint32_t> parseUniqueId(std::string_view text);

// The accounts a child could use, sorted by short name: no "_" service
// accounts, no excluded names, ids from 500, a real home directory.
std::vector<LocalUserAccount> enumerateRealUsers(const std::string& currentUser);
}  // namespace LocalAccounts
}  // namespace tarvo
