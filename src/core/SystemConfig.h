#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Json.h"
#include "core/TarvoLog.h"

namespace tarvo {

// The machine-wide configuration (config.json), written by the parent's setup
// window, read by the agent, the service client, the updater and the status
// command.
//
// The data directory is shared with every user, so the file is read as an
// untrusted file: never through a link, never blocking, at most
// kMaxConfigBytes. Its settings count only when root or an administrator owns
// it: a file owned by anyone else may be a child's, naming its own server or
// no children at all, and is treated as if it were absent (`untrustedOwner`
// tells the caller it was there).
struct SystemConfig {
    static constexpr size_t kMaxConfigBytes = 64 * 1024;

    // The whole object when the file is trusted and parses as a JSON object.
    std::optional<json::Json> object;
    // The owner of a file that was read and refused for its owner.
    std::optional<uid_t> untrustedOwner;

    // The keys as the readers use them; none when absent, of the wrong type
    // (a "child_users" with a non-string element counts as absent), or from
    // an untrusted file.
    std::optional<std::vector<std::string>> childUsers;
    std::optional<std::string> api;
    std::optional<std::string> deviceId;
    std::optional<std::string> updateUrl;
    std::optional<std::string> updatedAt;

    bool trusted() const { return object.has_value(); }

    // The settings of a trusted file's text: none of them unless it is a
    // JSON object.
    static SystemConfig fromText(std::string_view text);
};

// Root, or a member of an administrator group.
bool isTrustedConfigOwner(uid_t owner);

// One reader per owner: an untrusted file is logged once per reader, at WARN
// with its owner, so a poll does not repeat the line.
class SystemConfigReader {
  public:
    explicit SystemConfigReader(TarvoLog log, std::string path = {});
    SystemConfig read();
    const std::string& path() const { return path_; }

  private:
    TarvoLog log_;
    std::string path_;
    bool warned_ = false;
};

}  // namespace tarvo
