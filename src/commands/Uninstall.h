#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "platform/CertificateTrust.h"
#include "platform/SystemProxy.h"

namespace tarvo::Uninstall {

// What a non-root caller is told (exit status 1, nothing touched).
inline constexpr const char* kRootRefusal =
    "uninstall must run as root (sudo \"/Applications/Tarvo Manager.app/Contents/MacOS/tarvo\" "
    "uninstall)";

// Everything removed, in order (resolved under the root).
std::vector<std::string> removedPaths();

// Stops the launchd jobs (the daemon, and the agent of the user at the
// console), takes the system web proxy back, removes the trusted root
// certificate and deletes the product's system-wide files. Every step runs
// whatever the one before did; a missing job or file is skipped. Returns the
// exit status: 1 with the refusal on `err` when `realUid` is not 0, else 0.
// With `keepFiles` (a package being removed, not purged) the configuration,
// state and logs stay: only the jobs, the proxy settings and the trust go.
int run(std::ostream& err, unsigned realUid, platform::SystemProxy& proxy,
        platform::CertificateTrust& trust, bool keepFiles = false);

// The argument that asks for `keepFiles`.
inline constexpr const char* kKeepFilesOption = "--keep-files";

}  // namespace tarvo::Uninstall
