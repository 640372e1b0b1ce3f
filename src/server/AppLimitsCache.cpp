#include "server/AppLimitsCache.h"

#include <filesystem>

#include "core/AtomicFile.h"
#include "core/Json.h"
#include "core/Paths.h"
#include "core/TarvoLog.h"
#include "core/Text.h"

namespace tarvo {
namespace {

// Built per use: the log file follows the home of the moment.
TarvoLog cacheLog() {
    return TarvoLog("cache", Paths::agentLog());
}

}  // namespace

std::string AppLimitsCache::path() {
    return Paths::cachedAppLimitsFile();
}

void AppLimitsCache::save(const std::string& raw, const std::string& username,
                          const std::string& deviceId, WallTime now) {
    auto payload = json::parse(raw);
    if (!payload || !payload->is_object()) {
        cacheLog().warn("refusing to cache app limits that aren't a JSON object");
        return;
    }
    const json::Json envelope = {{"schema", 1},
                                 {"username", username},
                                 {"device_id", deviceId},
                                 {"cached_at", formatIsoUtc(now)},
                                 {"payload", std::move(*payload)}};
    try {
        replaceFileAtomically(
            path(), envelope.dump(2, ' ', false, json::Json::error_handler_t::replace) + "\n",
            {.createDirectories = true});
    } catch (const std::exception& e) {
        cacheLog().warn(std::string("couldn't cache app limits: ") + e.what());
    }
}

std::optional<std::string> AppLimitsCache::load(const std::string& username) {
    auto text = readFile(path());
    if (!text) return std::nullopt;
    auto doc = json::parse(*text);
    const json::Json* payload = doc ? json::find(*doc, "payload") : nullptr;
    const auto cachedUser = doc ? json::string(*doc, "username") : std::nullopt;
    if (!payload || !payload->is_object() || !cachedUser) {
        cacheLog().warn("cached app limits are unusable — ignoring " + path());
        return std::nullopt;
    }
    if (text::asciiLower(*cachedUser) != text::asciiLower(username)) {
        cacheLog().warn("cached app limits belong to '" + *cachedUser + "', not '" + username +
                        "' — discarding them");
        std::error_code ec;
        std::filesystem::remove(path(), ec);
        return std::nullopt;
    }
    return payload->dump(-1, ' ', false, json::Json::error_handler_t::replace);
}

}  // namespace tarvo
