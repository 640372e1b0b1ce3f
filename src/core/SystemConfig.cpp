#include "core/SystemConfig.h"

#include <cerrno>

#include "core/Administrators.h"
#include "core/AtomicFile.h"
#include "core/Paths.h"

namespace tarvo {

bool isTrustedConfigOwner(uid_t owner) {
    return owner == 0 || isAdministrator(owner);
}

SystemConfigReader::SystemConfigReader(TarvoLog log, std::string path)
    : log_(std::move(log)), path_(path.empty() ? Paths::configFile() : std::move(path)) {}

SystemConfig SystemConfigReader::read() {
    SystemConfig config;
    const UntrustedFile file = readUntrustedFile(path_, SystemConfig::kMaxConfigBytes);
    if (!file.data) {
        // A missing file is the ordinary state before setup; anything else
        // standing there (a link, a FIFO, a huge file) is worth a line.
        if (file.error != ENOENT && !warned_) {
            warned_ = true;
            log_.warn("ignoring " + path_ + " (" + file.why + ")");
        }
        return config;
    }
    if (!isTrustedConfigOwner(file.owner)) {
        config.untrustedOwner = file.owner;
        if (!warned_) {
            warned_ = true;
            log_.warn("ignoring " + path_ + ": owned by uid " + std::to_string(file.owner) +
                      ", neither root nor an administrator");
        }
        return config;
    }
    return SystemConfig::fromText(*file.data);
}

SystemConfig SystemConfig::fromText(std::string_view text) {
    SystemConfig config;
    auto parsed = json::parse(text);
    if (!parsed || !parsed->is_object()) return config;
    config.childUsers = json::stringList(*parsed, "child_users");
    config.api = json::string(*parsed, "api");
    config.deviceId = json::string(*parsed, "device_id");
    config.updateUrl = json::string(*parsed, "update_url");
    config.updatedAt = json::string(*parsed, "updated_at");
    config.object = std::move(parsed);
    return config;
}

}  // namespace tarvo
