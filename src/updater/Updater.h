#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/Clock.h"
#include "core/SystemConfig.h"
#include "core/TarvoLog.h"
#include "platform/SystemLog.h"
#include "platform/UpdatePackages.h"

namespace tarvo {

// What the update service offers.
struct Manifest {
    std::string version;                              // never empty
    std::string url;                                  // always https
    std::optional<std::string> sha256;                // lower-case hexadecimal
    std::optional<std::string> minimumSystemVersion;  // dotted
    // The package's detached signature, for systems whose packages carry
    // none inside ("signature_url"); always https.
    std::optional<std::string> signatureUrl;
};

// Every failure of the update flow; what() is the description the
// "update failed: " line shows.
class UpdateError : public std::runtime_error {
  public:
    enum class Kind { badManifest, checksumMismatch, untrustedPackage, installFailed };

    static UpdateError badManifest(const std::string& message);
    static UpdateError checksumMismatch(const std::string& expected, const std::string& got);
    static UpdateError untrustedPackage(const std::string& message);
    static UpdateError installFailed(const std::string& message);

    Kind kind() const { return kind_; }

  private:
    UpdateError(Kind kind, const std::string& description)
        : std::runtime_error(description), kind_(kind) {}
    Kind kind_;
};

// The self-updater: asks the service for a manifest, defers while a child is
// using the computer (72 hours at most), downloads and verifies the package
// and hands it to a detached installer that survives the daemon it replaces.
// One object per role (the daemon's timer, `tarvo check-update`), built from
// what it takes of its surroundings; runs as root.
class Updater {
  public:
    // What a check takes from its surroundings; empty members take the defaults.
    struct Environment {
        std::shared_ptr<Clock> clock;                    // default: the system clock
        std::shared_ptr<platform::SystemLog> systemLog;  // default: the OS log
        // This Mac's device identifier for the manifest query. The roles hand
        // in DeviceIdStore::getOrCreate, the identifier every request uses: a
        // check makes and stores one when there is none yet. Default: empty.
        std::function<std::string()> deviceId;
        // The manifest address set for this process (the roles take it from
        // TARVO_UPDATE_URL); counts only when it parses as a URL.
        std::optional<std::string> updateUrl;
        // What a server, which a child may choose when the daemon honours a
        // config.json it could replace, can make a check hold or spend.
        struct Limits {
            size_t manifestBytes = 64 * 1024;
            std::chrono::milliseconds manifestTime = std::chrono::seconds(60);
            std::uint64_t packageBytes = 512ull * 1024 * 1024;
            std::chrono::milliseconds packageTime = std::chrono::minutes(20);
            // Manifest, download and hand-off together; below the 30-minute
            // timer, so that one check never delays the next.
            std::chrono::milliseconds checkTime = std::chrono::minutes(25);
            size_t signatureBytes = 4096;
        } limits;
        // How this system's packages are checked and installed; without it
        // every package is refused.
        std::shared_ptr<platform::UpdatePackages> packages;
    };
    explicit Updater(Environment environment);
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Category "updater", written to daemon.log.
    const TarvoLog& log() const { return log_; }

    // One whole check; never throws: every outcome is a log line. A check
    // that starts while another runs on this updater is skipped.
    void checkAndInstall(const std::string& currentVersion);

    // "update_url" and "api" count only from a config.json owned by root or
    // an administrator: the data directory is writable by every user, so any
    // other owner may be a child pointing root at a server of its own.
    std::optional<std::string> manifestURL();
    // None when no manifest is offered; throws UpdateError or the transport's
    // or the JSON parser's error.
    std::optional<Manifest> fetchManifest();
    // The manifest in a successful answer's body: none when it offers no
    // usable version or package address; throws UpdateError or json::NotJson.
    static std::optional<Manifest> parseManifest(std::string_view body);
    static bool isNewer(std::string_view a, std::string_view than);
    // "14.6.0"-shaped: three decimal numbers. On Linux the distribution's
    // release (VERSION_ID of os-release), padded with zeros, so 12 → "12.0.0".
    static std::string osVersionString();
    bool aChildIsActive() const;
    // Seconds since deferral of `version` began; starts the count (writing the
    // marker) when none runs for this version.
    double deferralAge(const std::string& version);
    void clearDeferralMarker();

    // Package handling. The download fetches the detached signature too, when
    // the manifest names one, to the package's path + ".sig".
    std::string download(const Manifest& manifest);
    static std::string sha256(const std::string& path);
    void verify(const std::string& pkg, const Manifest& manifest,
                const std::string& runningVersion);
    void installDetached(const std::string& pkg, const std::string& version);
    // The install script for `version` and the package at `pkg`.
    std::string installScript(const std::string& version, const std::string& pkg) const;

    // Ordinary version texts only: they become part of a file name and of a
    // root shell script.
    static bool isSafeVersionText(std::string_view version);

    static constexpr double maxDeferralSeconds = 259200;  // 72 hours

  private:
    platform::UpdatePackages& packages() const;
    // Streams `url` into a private temporary file beside `destination`,
    // renamed over it only once whole. `what` names the file in errors.
    void fetchTo(const std::string& url, const std::string& destination, const std::string& what,
                 std::uint64_t maxBytes, std::chrono::milliseconds maxTime) const;
    // True once the whole check running now has used up its time.
    bool checkTimeIsUp() const;
    UpdateError checkTimeError() const;

    Environment environment_;
    TarvoLog log_;
    // Logs an untrusted config.json once, not at every check.
    SystemConfigReader config_;
    std::atomic<bool> running_{false};
    // The end of the check running now, if one runs; read by its transfers.
    std::optional<std::chrono::steady_clock::time_point> checkDeadline_;
};

}  // namespace tarvo
