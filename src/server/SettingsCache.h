#pragma once

#include <optional>
#include <string>

#include "core/TimeFormat.h"

namespace tarvo {

// The last good settings document of the service, per user account, so the
// agent still enforces the parent's web rules when the service is out of
// reach. The document is kept in an envelope naming whose settings they are;
// one child's settings are never handed to another.
class SettingsCache {
  public:
    static std::string path();  // ~/Library/Application Support/Tarvo/cached_settings.json

    // Never fails toward the caller: a body that isn't JSON, or a failed
    // write, is logged and leaves the previous file as it was.
    static void save(const std::string& raw, const std::string& username,
                     const std::string& deviceId, WallTime now = std::chrono::system_clock::now());
    // The cached document as JSON bytes for that user, or none. An envelope of
    // another user is deleted.
    static std::optional<std::string> load(const std::string& username);
    // The envelope's "cached_at", or none.
    static std::optional<std::string> cachedAt();
};

}  // namespace tarvo
