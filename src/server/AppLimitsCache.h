#pragma once

#include <optional>
#include <string>

#include "core/TimeFormat.h"

namespace tarvo {

// The last good app-limits document of the service, per user account, beside
// the settings cache and in the same envelope, so that the daily quota and the
// allowlist still hold when the service is out of reach at start. It lives in
// the child's home: it keeps a lost network from ending every limit, not a
// child who edits it.
class AppLimitsCache {
  public:
    static std::string path();  // ~/Library/Application Support/Tarvo/cached_app_limits.json

    // Never fails toward the caller: a body that isn't a JSON object, or a
    // failed write, is logged and leaves the previous file as it was.
    static void save(const std::string& raw, const std::string& username,
                     const std::string& deviceId, WallTime now = std::chrono::system_clock::now());
    // The cached document for that user, as JSON bytes, or none (a file that
    // is there but unusable is logged; another user's is deleted).
    static std::optional<std::string> load(const std::string& username);
};

}  // namespace tarvo
