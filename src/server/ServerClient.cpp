#include "server/ServerClient.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "core/AtomicFile.h"
#include "core/Json.h"
#include "core/Paths.h"
#include "core/SystemConfig.h"
#include "core/Version.h"
#include "device/DeviceIdStore.h"
#include "platform/Machine.h"
#include "server/AppLimitsCache.h"
#include "server/SettingsCache.h"

namespace tarvo {
namespace {

std::string processUserName() {
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_name) return pw->pw_name;
    if (const char* user = std::getenv("USER"); user && *user) return user;
    return std::to_string(::geteuid());
}

}  // namespace

const std::string& ServerClient::computerName() {
    // Initialised once, even when first touched from several threads.
    static const std::string name =
        computerNameFromHostName(platform::machineHostInfo()->hostName());
    return name;
}

std::shared_ptr<ServerClient> ServerClient::create() {
    return create(Options{});
}

std::shared_ptr<ServerClient> ServerClient::create(Options options) {
    return std::shared_ptr<ServerClient>(new ServerClient(std::move(options)));
}

ServerClient::ServerClient(Options options)
    : options_(std::move(options)), log_("server", Paths::agentLog()) {
    const bool ownHost = options_.host != nullptr;
    if (!options_.hardware) options_.hardware = platform::machineIdentity();
    if (!options_.host) options_.host = platform::machineHostInfo();
    if (!options_.clock) options_.clock = systemClock();

    api_ = options_.defaultBaseUrl;
    // Only an absolute http(s) URL can serve as the base of every call.
    if (const char* env = std::getenv("TARVO_BASE_URL"); env && net::isHttpUrl(env)) api_ = env;

    const std::string stored =
        DeviceIdStore::getOrCreate(*options_.hardware, *options_.host, *options_.clock);
    deviceId_ = stored;

    // "api" and "device_id" count only from a config.json root or an
    // administrator owns: another user's may name a server of its own.
    const SystemConfig config = SystemConfigReader(log_).read();
    if (config.api && net::isHttpUrl(*config.api)) api_ = *config.api;
    if (config.deviceId && !config.deviceId->empty() && *config.deviceId != stored) {
        log_.warn("config.json overrides device_id: '" + *config.deviceId + "' (store has '" +
                  stored + "') — intended for testing only");
        deviceId_ = *config.deviceId;
    }
    username_ = options_.username ? *options_.username : processUserName();
    computerName_ = ownHost ? computerNameFromHostName(options_.host->hostName()) : computerName();
    log_.info("ServerClient: api=" + api_ + " device=" + deviceId_ + " user=" + username_);
}

ServerClient::~ServerClient() = default;

std::string ServerClient::now() const {
    return formatIsoUtc(options_.clock->now());
}

net::Response ServerClient::get(std::string_view path, const std::vector<net::QueryItem>& query) {
    net::Request request;
    request.method = "GET";
    request.url = net::withQuery(net::appendPath(api_, path), query);
    request.idleTimeout = options_.requestTimeout;
    return net::perform(request);
}

std::string ServerClient::postJSON(std::string_view path, const nlohmann::json& payload) {
    net::Request request;
    request.method = "POST";
    request.url = net::appendPath(api_, path);
    request.headers.emplace_back("Content-Type", "application/json");
    request.body = payload.dump();  // throws on text that is not UTF-8: nothing is sent
    request.idleTimeout = options_.requestTimeout;
    net::Response response = net::perform(request);
    validate(response);
    return std::move(response.body);
}

void ServerClient::validate(const net::Response& response) {
    if (response.status == 0) throw ServerError::badResponse("no HTTP response");
    if (response.status < 200 || response.status > 299)
        throw ServerError::badResponse("HTTP " + std::to_string(response.status));
}

void ServerClient::checkInCurrentUser() {
    try {
        get("api/CheckinCurrentUser", {{"deviceId", deviceId_},
                                       {"computer_name", computerName_},
                                       {"os", "macos"},
                                       {"version", appVersion},
                                       {"user", username_}});
    } catch (const std::exception& e) {
        log_.warn(std::string("check-in failed: ") + e.what());
    }
}

ServerClient::Rules ServerClient::fetchRules() {
    net::Response response =
        get("api/GetUserSettingsByDeviceId",
            {{"device_id", deviceId_}, {"computer_name", computerName_}, {"username", username_}});
    validate(response);
    Rules rules = parseRules(response.body, deviceId_);
    if (!rules.whitelist.empty() || !rules.blacklist.empty())
        SettingsCache::save(response.body, username_, deviceId_, options_.clock->now());
    return rules;
}

std::optional<ServerClient::Rules> ServerClient::fetchRulesWithRetryAndCache(
    int attempts, std::uint64_t delaySeconds) {
    if (attempts < 1) attempts = 1;
    for (int n = 1; n <= attempts; ++n) {
        try {
            return fetchRules();
        } catch (const std::exception& e) {
            log_.warn("settings fetch attempt " + std::to_string(n) + "/" +
                      std::to_string(attempts) + " failed: " + e.what());
        }
        if (n < attempts) {
            const std::chrono::seconds pause(delaySeconds);
            if (options_.sleep)
                options_.sleep(pause);
            else
                std::this_thread::sleep_for(pause);
        }
    }
    if (auto data = SettingsCache::load(username_)) {
        try {
            Rules rules = parseRules(*data, deviceId_);
            auto at = SettingsCache::cachedAt();
            const std::string suffix = at ? " (cached " + *at + ")" : "";
            log_.info("using cached settings" + suffix + " — " +
                      std::to_string(rules.whitelist.size()) + " whitelist entries");
            return rules;
        } catch (const std::exception&) {
            // An unreadable cache is no cache.
        }
    }
    log_.error("settings unavailable and no cache — proxy keeps whatever rules are on disk");
    return std::nullopt;
}

std::optional<ServerClient::Rules> ServerClient::cachedRules() const {
    auto data = SettingsCache::load(username_);
    if (!data) return std::nullopt;
    try {
        Rules rules = parseRules(*data, deviceId_);
        if (rules.whitelist.empty() && rules.blacklist.empty()) return std::nullopt;
        return rules;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

ServerClient::AppLimits ServerClient::fetchAppLimits() {
    net::Response response = get(
        "api/GetAppLimits", {{"device_id", deviceId_},
                             {"computer_name", computerName_},
                             {"username", username_},
                             {"day_start", formatIsoUtc(localDayStart(options_.clock->now()))}});
    validate(response);
    AppLimits limits = parseAppLimits(response.body);
    AppLimitsCache::save(response.body, username_, deviceId_, options_.clock->now());
    return limits;
}

std::optional<ServerClient::AppLimits> ServerClient::cachedAppLimits() const {
    auto data = AppLimitsCache::load(username_);
    if (!data) return std::nullopt;
    AppLimits limits = parseAppLimits(*data);  // an object: load checked it
    limits.grantedMinutesToday.reset();
    limits.usedSecondsToday.reset();
    return limits;
}

void ServerClient::requestMoreTime(std::int64_t minutes, const std::string& reason) {
    postJSON("api/RequestMoreTime", {{"device_id", deviceId_},
                                     {"username", username_},
                                     {"computer_name", computerName_},
                                     {"requested_minutes", minutes},
                                     {"reason", reason},
                                     {"requested_at", now()}});
}

std::int64_t ServerClient::checkMoreTimeApproval() {
    try {
        net::Response response =
            get("api/CheckMoreTimeApproval", {{"deviceId", deviceId_}, {"username", username_}});
        if (response.status < 200 || response.status > 299) return 0;
        return parseApproval(response.body);
    } catch (const std::exception&) {
        return 0;
    }
}

std::vector<ServerClient::Grant> ServerClient::checkMoreTimeGrants() {
    try {
        net::Response response =
            get("api/CheckMoreTimeApproval",
                {{"deviceId", deviceId_}, {"username", username_}, {"by_request", "1"}});
        if (response.status < 200 || response.status > 299) return {};
        return parseApprovalGrants(response.body);
    } catch (const std::exception&) {
        return {};
    }
}

void ServerClient::reportUsage(const std::vector<UsageEntry>& entries) {
    if (entries.empty()) return;
    try {
        nlohmann::json samples = nlohmann::json::array();
        for (const auto& e : entries)
            samples.push_back({{"bundle_id", e.bundleId},
                               {"app_name", e.appName},
                               {"seconds", e.seconds},
                               {"sampled_at", formatIsoUtc(e.sampledAt)}});
        postJSON("api/UpdateProcessUsage", {{"device_id", deviceId_},
                                            {"username", username_},
                                            {"computer_name", computerName_},
                                            {"samples", std::move(samples)}});
    } catch (const std::exception& e) {
        log_.warn(std::string("usage report failed: ") + e.what());
    }
}

void ServerClient::reportAppLimitReached(const std::string& bundleId, const std::string& appName) {
    try {
        postJSON("api/ReportAppLimitReached", {{"device_id", deviceId_},
                                               {"username", username_},
                                               {"bundle_id", bundleId},
                                               {"app_name", appName},
                                               {"at", now()}});
    } catch (const std::exception& e) {
        log_.warn(std::string("app-limit-reached report failed: ") + e.what());
    }
}

void ServerClient::setDesktopSettings(const std::string& token,
                                      const std::vector<std::string>& users) {
    postJSON("api/SetDesktopSettings", {{"device_id", deviceId_},
                                        {"computer_name", computerName_},
                                        {"users", users},
                                        {"os", "macos"},
                                        {"token", token}});
}

std::vector<std::string> ServerClient::getUsersForDeviceId() {
    net::Response response = get("api/GetUsersForDeviceId", {{"deviceId", deviceId_}});
    validate(response);
    auto doc = json::parse(response.body);
    if (!doc) throw JsonError();
    if (auto list = json::asStringList(*doc)) return *list;
    if (auto list = json::stringList(*doc, "users")) return *list;
    throw ServerError::badResponse("users-for-device not a string array");
}

std::map<std::string, std::string> ServerClient::getChildAccountDevices(const std::string& token) {
    net::Response response = get("api/GetChildAccountDevices", {{"token", token}});
    validate(response);
    auto doc = json::parse(response.body);
    if (!doc) throw JsonError();
    if (doc->is_object()) {
        std::map<std::string, std::string> out;
        bool allStrings = true;
        for (auto it = doc->begin(); it != doc->end(); ++it) {
            if (!it.value().is_string()) {
                allStrings = false;
                break;
            }
            out.emplace(it.key(), it.value().get<std::string>());
        }
        if (allStrings) return out;
    }
    throw ServerError::badResponse("child-account-devices not a string map");
}

}  // namespace tarvo
