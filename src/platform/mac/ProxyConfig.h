#pragma once

#include <string>
#include <vector>

namespace tarvo::ProxyConfig {

// The web and secure web proxy settings of every enabled network service,
// through "networksetup". Nothing is kept between calls; every call lists the
// services anew. Failures are silent: a tool that cannot run yields an empty
// listing and so no change, and a failing setting call does not stop the next.

// The enabled services in the tool's order, names unchanged.
std::vector<std::string> networkServices();
// Web and secure web proxy set to host:port and switched on, on every service.
void applyAll(const std::string& host, int port);
// Both proxy states switched off on every service (host and port stay recorded).
void clearAll();
// Runs `tool` with `args`; standard output and error together, decoded as
// UTF-8; empty when it cannot run or the bytes are not UTF-8.
std::string run(const std::string& tool, const std::vector<std::string>& args);

}  // namespace tarvo::ProxyConfig
