#pragma once

// The end-to-end tests' `tarvo` roles, run for this user as the child.
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ServiceProcess.h"
#include "core/Paths.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo::test {

inline std::string userName() {
    const passwd* pw = ::getpwuid(::getuid());
    return pw ? pw->pw_name : "";
}

inline std::string presenceFlag() {
    return Paths::activeChildrenDir() + "/" + std::to_string(::getuid()) + ".flag";
}

// The root's config.json naming `child` (this user) as the child of `device`, served by `api`.
inline void writeChildConfig(const std::string& api, const std::string& device,
                             const std::string& child = userName()) {
    writeText(Paths::configFile(),
              nlohmann::json{{"child_users", {child}}, {"api", api}, {"device_id", device}}.dump());
}

}  // namespace tarvo::test
