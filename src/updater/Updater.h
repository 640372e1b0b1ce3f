#pragma once

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
// A set of static operations; runs as root, from the daemon's timer and from
// `tarvo check-update`.
class Updater {
  public:
    // What a check takes from its surroundings. Set once at start-up (or by a
    // test) before any check runs; empty members take the defaults.
    struct Environment {
        std::shared_ptr<Clock> clock;                    // default: the system clock
        std::shared_ptr<platform::SystemLog> systemLog;  // default: the OS log
        // This Mac's device identifier for the manifest query: the daemon
        // and `tarvo check-update` hand in DeviceIdStore::getOrCreate, the
        // identifier every request uses (made and stored when there is none
        // yet). Default (tests): the one already stored in the machine-wide
        // or per-user device_id.json (read only), else empty.
        std::function<std::string()> deviceId;
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
    static void setEnvironment(Environment environment);

    // Category "updater", written to daemon.log.
    static const TarvoLog& log();

    // One whole check; never throws: every outcome is a log line. Overlapping
    // checks in one process are serialised by skipping the later one.
    static void checkAndInstall(const std::string& currentVersion);

    // "update_url" and "api" count only from a config.json owned by root or
    // an administrator: the data directory is writable by every user, so any
    // other owner may be a child pointing root at a server of its own.
    static std::optional<std::string> manifestURL();
    // None when no manifest is offered; throws UpdateError or the transport's
    // or the JSON parser's error.
    static std::optional<Manifest> fetchManifest();
    // The manifest in a successful answer's body: none when it offers no
    // usable version or package address; throws UpdateError or json::NotJson.
    static std::optional<Manifest> parseManifest(std::string_view body);
    static bool isNewer(std::string_view a, std::string_view than);
    // "14.6.0"-shaped: three decimal numbers. On Linux the distribution's
    // release (VERSION_ID of os-release), padded with zeros, so 12 → "12.0.0".
    static std::string osVersionString();
    static bool aChildIsActive();
    // Seconds since deferral of `version` began; starts the count (writing the
    // marker) when none runs for this version.
    static double deferralAge(const std::string& version);
    static void clearDeferralMarker();

    // Package handling. The download fetches the detached signature too, when
    // the manifest names one, to the package's path + ".sig".
    static std::string download(const Manifest& manifest);
    static std::string sha256(const std::string& path);
    static void verify(const std::string& pkg, const Manifest& manifest,
                       const std::string& runningVersion);
    static void installDetached(const std::string& pkg, const std::string& version);
    // The install script for `version` and the package at `pkg`.
    static std::string installScript(const std::string& version, const std::string& pkg);

    // Ordinary version texts only: they become part of a file name and of a
    // root shell script.
    static bool isSafeVersionText(std::string_view version);

    static constexpr double maxDeferralSeconds = 259200;  // 72 hours
};

}  // namespace tarvo
