#include "agent/RulesFile.h"

#include <cerrno>
#include <filesystem>
#include <utility>

#include "core/AtomicFile.h"
#include "core/Json.h"
#include "core/Paths.h"

namespace tarvo {
namespace {

using Json = nlohmann::json;

constexpr mode_t kRulesMode = 0644;

// Refused for want of ownership: the file is another user's in a directory
// that keeps its owner alone able to replace it.
class Refused : public RulesFile::Error {
  public:
    using RulesFile::Error::Error;
};

bool isRefusal(const std::system_error& e) {
    return e.code().value() == EPERM || e.code().value() == EACCES;
}

std::optional<Json> readJsonObject(const std::string& path) {
    auto text = readFile(path);
    if (!text) return std::nullopt;
    auto parsed = tarvo::json::parse(*text);
    if (!parsed || !parsed->is_object()) return std::nullopt;
    return parsed;
}

}  // namespace

std::shared_ptr<RulesFile> RulesFile::create(Options options, TarvoLog log,
                                             Background& background) {
    return std::shared_ptr<RulesFile>(
        new RulesFile(std::move(options), std::move(log), background));
}

RulesFile::RulesFile(Options options, TarvoLog log, Background& background)
    : options_(std::move(options)),
      rulesPath_(options_.rulesPath.empty() ? Paths::rulesFile() : options_.rulesPath),
      proxyConfigPath_(options_.proxyConfigPath.empty() ? Paths::proxyConfigFile()
                                                        : options_.proxyConfigPath),
      log_(std::move(log)),
      queue_(background) {
    if (!options_.clock) options_.clock = systemClock();
}

std::string RulesFile::defaultServiceHost() {
    std::string_view url = ServerClient::kDefaultBaseUrl;
    if (auto scheme = url.find("://"); scheme != std::string_view::npos)
        url.remove_prefix(scheme + 3);
    url = url.substr(0, url.find_first_of("/?#"));
    if (auto at = url.rfind('@'); at != std::string_view::npos) url.remove_prefix(at + 1);
    url = url.substr(0, url.find(':'));
    return std::string(url);
}

std::string RulesFile::tempPath() const {
    return rulesPath_ + ".tmp." + std::to_string(options_.uid);
}

// --- Serialised ---

void RulesFile::writeRulesFile(Rules rules, std::function<void(const WriteResult&)> done) {
    queue_.post([self = shared_from_this(), rules = std::move(rules), done = std::move(done)] {
        WriteResult result;
        try {
            result.outcome = self->writeNow(rules);
        } catch (const std::exception& e) {
            result.error = e.what();
        }
        if (done) done(result);
    });
}

void RulesFile::recoverFromCacheIfClamped(
    std::function<std::optional<Rules>()> cachedRules,
    std::function<void(std::vector<AccessWindow>)> onReplayed) {
    // The owner check and the replay run as one step of the queue, so a fresh
    // write of this child's rules can never be overwritten by the older cache.
    queue_.post([self = shared_from_this(), cachedRules = std::move(cachedRules),
                 onReplayed = std::move(onReplayed)] {
        const std::string& username = self->options_.username;
        if (self->rulesOnDiskOwner() == username) return;
        std::optional<Rules> cached;
        if (cachedRules) cached = cachedRules();
        if (!cached) {
            self->log_.warn("rules on disk aren't ours and there's no cache for '" + username +
                            "' — staying fail-closed until the server answers");
            return;
        }
        try {
            self->writeNow(*cached);
        } catch (const std::exception& e) {
            self->log_.error(std::string("couldn't replay cached rules: ") + e.what());
            return;
        }
        self->log_.info("server unreachable — replayed cached rules for '" + username + "' (" +
                        std::to_string(cached->whitelist.size()) +
                        " wl) instead of staying fail-closed");
        if (onReplayed) onReplayed(cached->accessWindows);
    });
}

void RulesFile::afterPendingWrites(std::function<void()> task) {
    queue_.post(std::move(task));
}

// --- Direct ---

std::optional<RulesFile::ExistingLists> RulesFile::readExistingLists() const {
    auto text = readFile(rulesPath_);
    if (!text) return std::nullopt;
    return parseExistingLists(*text);
}

std::optional<RulesFile::ExistingLists> RulesFile::parseExistingLists(std::string_view text) {
    auto object = tarvo::json::parse(text);
    if (!object || !object->is_object()) return std::nullopt;
    ExistingLists lists;
    if (auto wl = tarvo::json::stringList(*object, "whitelist")) lists.whitelist = std::move(*wl);
    if (auto bl = tarvo::json::stringList(*object, "blacklist")) lists.blacklist = std::move(*bl);
    return lists;
}

std::string RulesFile::serialise(const std::vector<std::string>& whitelist,
                                 const std::vector<std::string>& blacklist,
                                 const std::string& deviceId) const {
    Json object = {{"updated_at", formatIsoUtc(options_.clock->now())},
                   {"username", options_.username},
                   {"device_id", deviceId},
                   {"whitelist", whitelist},
                   {"blacklist", blacklist}};
    try {
        return object.dump(2) + "\n";
    } catch (const Json::exception& e) {
        throw Error(std::string("cannot serialise rules: ") + e.what());
    }
}

void RulesFile::replace(const std::string& bytes, bool logRenameFailure) {
    // Every writer of this agent shares the one temporary name; whatever sits
    // there is replaced, never written through. Where the directory refuses
    // the rename, the rules still reach the proxy by a plain write.
    AtomicWriteOptions write;
    write.mode = kRulesMode;
    write.tempName = std::filesystem::path(tempPath()).filename().string();
    write.writeInPlaceIfRenameFails = true;
    if (logRenameFailure)
        write.onRenameFailed = [this](int err) {
            log_.warn("atomic rename failed (errno " + std::to_string(err) +
                      "); doing plain write");
        };
    if (options_.rename)
        write.calls.rename = [this](int, const char* from, const char* to) {
            return options_.rename(from, to);
        };
    try {
        replaceFileAtomically(rulesPath_, bytes, write);
    } catch (const std::system_error& e) {
        if (isRefusal(e)) throw Refused(e.what());
        throw Error(e.what());
    }
}

bool RulesFile::keepForRetry(std::optional<Rules> rules, bool proxyConfig, const std::string& why) {
    if (!options_.retryInASecond) return false;
    std::lock_guard lock(retryMutex_);
    if (rules) pendingRules_ = std::move(rules);
    pendingProxyConfig_ = pendingProxyConfig_ || proxyConfig;
    if (!refusalLogged_) {
        refusalLogged_ = true;
        log_.warn("not allowed to replace the proxy's files yet (" + why +
                  ") — retrying until the daemon hands them to '" + options_.username + "'");
    }
    if (!retryScheduled_) {
        retryScheduled_ = true;
        options_.retryInASecond([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->queue_.post([self] { self->retry(); });
        });
    }
    return true;
}

void RulesFile::retry() {
    std::optional<Rules> rules;
    bool proxyConfig = false;
    {
        std::lock_guard lock(retryMutex_);
        retryScheduled_ = false;
        rules = std::exchange(pendingRules_, std::nullopt);
        proxyConfig = std::exchange(pendingProxyConfig_, false);
    }
    if (proxyConfig) replaceProxyConfig();
    if (rules) {
        try {
            if (writeNow(*rules) == Outcome::written) log_.info("rules written after a wait");
        } catch (const std::exception& e) {
            log_.error(std::string("couldn't write rules: ") + e.what());
        }
    }
}

bool RulesFile::retryPending() const {
    std::lock_guard lock(retryMutex_);
    return retryScheduled_;
}

RulesFile::Outcome RulesFile::writeNow(const Rules& rules) {
    {
        // Newer rules than any kept for a retry.
        std::lock_guard lock(retryMutex_);
        pendingRules_.reset();
    }
    const auto existing = readExistingLists();
    if (existing && rules.whitelist.empty() && rules.blacklist.empty() &&
        !existing->whitelist.empty()) {
        log_.warn("server returned an empty ruleset — keeping the existing " +
                  std::to_string(existing->whitelist.size()) +
                  "-entry whitelist rather than blocking everything");
        return Outcome::keptExisting;
    }
    if (existing && existing->whitelist == rules.whitelist &&
        existing->blacklist == rules.blacklist) {
        log_.debug("rules unchanged (" + std::to_string(rules.whitelist.size()) + " wl / " +
                   std::to_string(rules.blacklist.size()) + " bl) — skipping write");
        return Outcome::unchanged;
    }
    try {
        replace(serialise(rules.whitelist, rules.blacklist, rules.deviceId), true);
    } catch (const Refused& e) {
        if (!keepForRetry(rules, false, e.what())) throw;
        return Outcome::pending;
    }
    return Outcome::written;
}

std::optional<std::string> RulesFile::rulesOnDiskOwner() const {
    auto object = readJsonObject(rulesPath_);
    if (!object) return std::nullopt;
    auto owner = tarvo::json::string(*object, "username");
    if (!owner || owner->empty()) return std::nullopt;
    return owner;
}

void RulesFile::neutralizeStaleRulesIfNotMine() {
    auto object = readJsonObject(rulesPath_);
    if (!object) return;
    const std::string owner = tarvo::json::string(*object, "username").value_or("");
    if (owner.empty() || owner == options_.username) return;
    log_.warn("rules on disk belong to '" + owner + "', not '" + options_.username +
              "' — clamping to fail-closed until our own fetch lands");
    try {
        replace(serialise({defaultServiceHost()}, {}, options_.deviceId), false);
    } catch (const Refused& e) {
        // Not this child's file yet: clamped once it is, unless this child's
        // own rules come first.
        Rules failClosed;
        failClosed.whitelist = {defaultServiceHost()};
        failClosed.deviceId = options_.deviceId;
        keepForRetry(std::move(failClosed), false, e.what());
    } catch (const std::exception&) {
        // Start-up goes on; the first fetch (or the cache) writes the rules.
    }
}

void RulesFile::writeProxyConfig() {
    replaceProxyConfig();
}

void RulesFile::replaceProxyConfig() {
    const Json object = {{"username", options_.username}, {"device_id", options_.deviceId}};
    try {
        replaceFileAtomically(proxyConfigPath_, object.dump(),
                              {.mode = kRulesMode, .createDirectories = true});
    } catch (const std::system_error& e) {
        if (isRefusal(e) && keepForRetry(std::nullopt, true, e.what())) return;
        log_.warn(std::string("proxy_config.json write failed: ") + e.what());
    } catch (const std::exception& e) {
        log_.warn(std::string("proxy_config.json write failed: ") + e.what());
    }
}

}  // namespace tarvo
