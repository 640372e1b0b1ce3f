#include "server/SettingsCache.h"

#include <cctype>
#include <filesystem>

#include "core/AtomicFile.h"
#include "core/Json.h"
#include "core/Paths.h"
#include "core/TarvoLog.h"

namespace tarvo {
namespace {

// Built per use: the log file follows the home of the moment.
TarvoLog cacheLog() {
    return TarvoLog("cache", Paths::agentLog());
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::optional<json::Json> readObjectFile() {
    auto text = readFile(SettingsCache::path());
    if (!text || text->empty()) return std::nullopt;
    auto doc = json::parse(*text);
    if (!doc || !doc->is_object()) return std::nullopt;
    return doc;
}

}  // namespace

std::string SettingsCache::path() {
    return Paths::cachedSettingsFile();
}

void SettingsCache::save(const std::string& raw, const std::string& username,
                         const std::string& deviceId, WallTime now) {
    auto log = cacheLog();
    auto payload = json::parse(raw);
    if (!payload) {
        log.warn("refusing to cache a response that isn't JSON");
        return;
    }
    json::Json envelope = {{"schema", 1},
                           {"username", username},
                           {"device_id", deviceId},
                           {"cached_at", formatIsoUtc(now)},
                           {"payload", std::move(*payload)}};
    try {
        AtomicWriteOptions options;
        options.createDirectories = true;
        replaceFileAtomically(
            path(), envelope.dump(2, ' ', false, json::Json::error_handler_t::replace) + "\n",
            options);
    } catch (const std::exception& e) {
        log.warn(std::string("couldn't cache settings: ") + e.what());
        return;
    }
    log.debug("cached settings for '" + username + "' (" + std::to_string(raw.size()) + " bytes)");
}

std::optional<std::string> SettingsCache::load(const std::string& username) {
    auto text = readFile(path());
    if (!text || text->empty()) return std::nullopt;
    auto doc = json::parse(*text);
    if (!doc || !doc->is_object()) return std::nullopt;

    auto schema = json::integer(*doc, "schema");
    if (!schema || *schema < 1) {
        cacheLog().debug("cache has no envelope (written by an older build) — accepting");
        return text;
    }
    const std::string cachedUser = json::string(*doc, "username").value_or("");
    if (!equalsIgnoringCase(cachedUser, username)) {
        cacheLog().warn("cached settings belong to '" + cachedUser + "', not '" + username +
                        "' — discarding rather than replaying another child's whitelist");
        std::error_code ec;
        std::filesystem::remove(path(), ec);
        return std::nullopt;
    }
    // Only an object or an array is a document that can be written back out.
    const json::Json* payload = json::find(*doc, "payload");
    if (payload && (payload->is_object() || payload->is_array())) {
        if (auto at = json::string(*doc, "cached_at"))
            cacheLog().debug("using settings cached at " + *at + " for '" + cachedUser + "'");
        return payload->dump(-1, ' ', false, json::Json::error_handler_t::replace);
    }
    cacheLog().warn("cached settings envelope has no usable payload");
    return std::nullopt;
}

std::optional<std::string> SettingsCache::cachedAt() {
    auto doc = readObjectFile();
    if (!doc) return std::nullopt;
    return json::string(*doc, "cached_at");
}

}  // namespace tarvo
