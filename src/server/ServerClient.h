#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/Clock.h"
#include "core/Json.h"
#include "core/TarvoLog.h"
#include "core/TimeFormat.h"
#include "core/Version.h"
#include "net/Http.h"
#include "platform/HardwareIdentity.h"
#include "server/AccessWindow.h"

namespace tarvo {

// A failure of the service's answer. what() is the description, unchanged:
// "HTTP 404", "no HTTP response", "rules not an object", ...
class ServerError : public std::runtime_error {
  public:
    static ServerError badResponse(const std::string& text) { return ServerError(text); }

  private:
    explicit ServerError(const std::string& text) : std::runtime_error(text) {}
};

// A body that should have been JSON and is not.
using JsonError = json::NotJson;

class SSESession;

// The one component that talks to the service's HTTPS JSON API. Every call is
// blocking and meant to run on a Background thread; the event stream runs on a
// thread of its own. No request ever goes through a proxy.
//
// Create it with ServerClient::create(): the event stream holds the client
// weakly, and nothing is delivered once the last owner has let it go.
class ServerClient : public std::enable_shared_from_this<ServerClient> {
  public:
    // The parent's web rules and the child's usage windows.
    struct Rules {
        std::vector<std::string> whitelist;  // as received: no folding, trimming or de-duplication
        std::vector<std::string> blacklist;
        std::string deviceId;  // named by the settings, else the client's own
        std::vector<AccessWindow> accessWindows;

        bool operator==(const Rules&) const = default;
    };

    struct AppLimits {
        std::set<std::string> allowedBundleIds;  // lower-cased
        std::int64_t dailyMinutes = 0;
        std::int64_t warnAtMinutesRemaining = 5;
        // The service's own figures for this device and account since the
        // start of the local day, where it sends them: the minutes it granted
        // and the seconds of usage it was sent. Never negative.
        std::optional<std::int64_t> grantedMinutesToday;
        std::optional<std::int64_t> usedSecondsToday;

        bool operator==(const AppLimits&) const = default;
    };

    // One grant of more time; a service that names its requests sends the id,
    // so that a grant both pushed and polled counts once.
    struct Grant {
        std::optional<std::int64_t> requestId;
        std::int64_t minutes = 0;

        bool operator==(const Grant&) const = default;
    };

    // One application usage sample.
    struct UsageEntry {
        std::string bundleId;
        std::string appName;
        std::int64_t seconds = 0;
        WallTime sampledAt;
    };

    // What the event stream delivers.
    struct SSEEvent {
        enum class Kind { rulesUpdated, moreTimeApproved, forceUpdate };
        Kind kind = Kind::forceUpdate;
        Rules rules;                            // rulesUpdated
        std::int64_t minutes = 0;               // moreTimeApproved (0 when no number was found)
        std::optional<std::int64_t> requestId;  // moreTimeApproved, when the event names it

        static SSEEvent makeRulesUpdated(Rules r) {
            return {Kind::rulesUpdated, std::move(r), 0, std::nullopt};
        }
        static SSEEvent makeMoreTimeApproved(std::int64_t m,
                                             std::optional<std::int64_t> id = std::nullopt) {
            return {Kind::moreTimeApproved, {}, m, id};
        }
        static SSEEvent makeForceUpdate() { return {Kind::forceUpdate, {}, 0, std::nullopt}; }
    };

    static constexpr const char* kDefaultBaseUrl = defaultServiceBase;

    struct Options {
        // The account the client acts for; none means the user running the process.
        std::optional<std::string> username;
        // Idle time-out of every request/response call (no byte for this long).
        std::chrono::milliseconds requestTimeout{30000};
        // Production defaults when null: the platform's hardware identity and
        // host name, and the system clock.
        std::shared_ptr<const platform::HardwareIdentity> hardware;
        std::shared_ptr<const platform::HostInfo> host;
        std::shared_ptr<const Clock> clock;
        // The pause between settings fetch attempts; a real sleep when empty.
        std::function<void(std::chrono::seconds)> sleep;
        // The base URL when neither config.json nor TARVO_BASE_URL names one.
        std::string defaultBaseUrl = kDefaultBaseUrl;
    };

    // Construction reads TARVO_BASE_URL, the device identifier and config.json
    // (whose "api" wins over the environment; its "device_id" overrides the
    // stored identifier with a warning) and logs the result.
    static std::shared_ptr<ServerClient> create();
    static std::shared_ptr<ServerClient> create(Options options);
    ~ServerClient();

    const std::string& api() const { return api_; }
    const std::string& deviceId() const { return deviceId_; }
    const std::string& username() const { return username_; }
    // The "computer_name" this client sends (the host name of its HostInfo,
    // without a trailing ".local").
    const std::string& sentComputerName() const { return computerName_; }
    // The process-wide computer name from the platform's host name, computed once.
    static const std::string& computerName();

    // --- Endpoints (blocking) ---

    // Never throws; a transport error is logged as WARN "check-in failed: ...".
    void checkInCurrentUser();
    // Throws ServerError, JsonError or net::TransportError. Non-empty settings
    // are written to the settings cache.
    Rules fetchRules();
    // Never throws: the first successful fetch, else the cached settings, else none.
    std::optional<Rules> fetchRulesWithRetryAndCache(int attempts, std::uint64_t delaySeconds);
    // The settings from the cache; none when absent, unparseable or both lists empty.
    std::optional<Rules> cachedRules() const;
    // Sends the start of the local day ("day_start") so that the service can
    // say what it granted and recorded today. The answer is written to the
    // app-limits cache.
    AppLimits fetchAppLimits();
    // The app limits last fetched for this user, without the day's figures
    // (they held when fetched); none when there is no usable cache.
    std::optional<AppLimits> cachedAppLimits() const;
    void requestMoreTime(std::int64_t minutes, const std::string& reason);
    // Never throws; the minutes granted, 0 on any failure or when not approved.
    std::int64_t checkMoreTimeApproval();
    // Never throws; the grants the service hands out now, asked for by request
    // ("by_request=1"): each named grant on its own, and whatever the total
    // holds beyond them as one grant without an id. Empty on any failure.
    std::vector<Grant> checkMoreTimeGrants();
    // Never throws; nothing is sent for an empty list.
    void reportUsage(const std::vector<UsageEntry>& entries);
    // Never throws.
    void reportAppLimitReached(const std::string& bundleId, const std::string& appName);
    void setDesktopSettings(const std::string& token, const std::vector<std::string>& users);
    std::vector<std::string> getUsersForDeviceId();
    std::map<std::string, std::string> getChildAccountDevices(const std::string& token);

    // Opens the event stream on a thread of its own and returns at once.
    // onActivity runs for every block with data; handler gets each event
    // (both on the stream's thread, in block order). Cancel or release the
    // session to stop; nothing is delivered after that, nor once the client is gone.
    std::shared_ptr<SSESession> subscribeEvents(std::function<void()> onActivity,
                                                std::function<void(const SSEEvent&)> handler);

    // --- Readers of the service's documents (pure; used by the calls above) ---

    // Throws JsonError or ServerError("rules not an object").
    static Rules parseRules(std::string_view data, const std::string& ownDeviceId);
    // Throws JsonError or ServerError("app limits not an object").
    static AppLimits parseAppLimits(std::string_view data);
    // The granted minutes of an approval answer; 0 unless approved.
    static std::int64_t parseApproval(std::string_view data);
    // The grants of an approval answer (see checkMoreTimeGrants); empty unless approved.
    static std::vector<Grant> parseApprovalGrants(std::string_view data);
    // The first tag pair (in `tags` order) around a decimal number, else the
    // first integer of "granted_minutes", "grantedMinutes", "minutes" of a JSON
    // object text, else none.
    static std::optional<std::int64_t> extractInt(std::string_view text,
                                                  const std::vector<std::string>& tags);
    // Classifies one event payload; none when it is no event (the DEBUG line
    // is written to `log` when given).
    static std::optional<SSEEvent> classifySSEPayload(std::string_view payload,
                                                      const std::string& ownDeviceId,
                                                      const TarvoLog* log = nullptr);

  private:
    explicit ServerClient(Options options);

    net::Response get(std::string_view path, const std::vector<net::QueryItem>& query);
    std::string postJSON(std::string_view path, const nlohmann::json& payload);
    static void validate(const net::Response& response);
    void parseSSEBlock(std::string_view payload,
                       const std::function<void(const SSEEvent&)>& handler);
    std::string now() const;

    Options options_;
    std::string api_;
    std::string deviceId_;
    std::string username_;
    std::string computerName_;
    TarvoLog log_;
};

// Cuts the bytes of an event stream into blocks and hands on the data payload
// of each. Bytes are taken as UTF-8; a character split between two chunks is
// carried over to the next one, and a chunk holding invalid UTF-8 is dropped
// whole. Not thread-safe: one stream feeds it, in order.
class SSEDelegate {
  public:
    // A buffer that grows past this without a block separator is discarded.
    static constexpr size_t kMaxBuffer = 8 * 1024 * 1024;

    explicit SSEDelegate(std::function<void(const std::string&)> onBlock,
                         const TarvoLog* log = nullptr);
    void didReceive(std::string_view chunk);
    const std::string& buffer() const { return buffer_; }

  private:
    void cutBlocks();

    std::string buffer_;
    std::function<void(const std::string&)> onBlock_;
    const TarvoLog* log_;
};

// One open event stream. cancel() (or releasing the last reference) stops it
// promptly and waits until nothing more can be delivered, except when called
// from the stream's own callbacks, where it only stops the stream.
class SSESession {
  public:
    ~SSESession();
    SSESession(const SSESession&) = delete;
    SSESession& operator=(const SSESession&) = delete;

    void cancel();
    // True while the stream's thread still runs (the connection may be closed).
    bool running() const;
    const std::string& url() const;

    struct State;

  private:
    friend class ServerClient;
    explicit SSESession(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace tarvo
