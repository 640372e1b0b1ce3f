#include "updater/Updater.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cmath>

#include "core/AtomicFile.h"
#include "core/Json.h"
#include "core/Paths.h"
#include "core/PresenceFlag.h"
#include "core/SystemConfig.h"
#include "core/Text.h"
#include "core/TimeFormat.h"
#include "core/Version.h"
#include "net/Http.h"

namespace tarvo {
namespace {

AtomicWriteOptions modeOnly(mode_t mode) {
    AtomicWriteOptions options;
    options.mode = mode;
    return options;
}

constexpr size_t kMaxSmallFileBytes = 64 * 1024;

std::vector<std::int64_t> versionNumbers(std::string_view version) {
    std::vector<std::int64_t> numbers;
    while (!version.empty()) {
        const size_t dot = version.find('.');
        const std::string_view piece = version.substr(0, dot);
        version = dot == std::string_view::npos ? std::string_view() : version.substr(dot + 1);
        if (piece.empty()) continue;
        size_t digits = 0;
        while (digits < piece.size() && piece[digits] >= '0' && piece[digits] <= '9') ++digits;
        std::int64_t value = 0;
        if (digits == 0 ||
            std::from_chars(piece.data(), piece.data() + digits, value).ec != std::errc())
            value = 0;
        numbers.push_back(value);
    }
    return numbers;
}

// The shortest decimal text that reads back as `seconds`, always with a
// fraction ("1767225600.0").
std::string formatSeconds(double seconds) {
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, seconds, std::chars_format::fixed);
    std::string text = ec == std::errc() ? std::string(buf, end) : std::to_string(seconds);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

std::optional<double> parseSeconds(std::string_view text) {
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The package address of a manifest: none when it does not read as a URL,
// an error when it reads as one of another scheme than https.
std::optional<std::string> packageUrl(const std::string& text) {
    if (text.empty()) return std::nullopt;
    for (unsigned char c : text)
        if (c <= 0x20 || c >= 0x7F) return std::nullopt;
    // A scheme is a letter, then letters, digits, "+", "-" or ".", then ":".
    size_t colon = text.find(':');
    bool hasScheme = colon != std::string::npos && colon > 0 &&
                     std::isalpha(static_cast<unsigned char>(text[0]));
    for (size_t i = 0; hasScheme && i < colon; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') hasScheme = false;
    }
    if (!hasScheme || text::asciiLower(text.substr(0, colon)) != "https")
        throw UpdateError::badManifest("package URL is not https");
    const std::string url = "https" + text.substr(colon);
    if (!net::isHttpUrl(url)) return std::nullopt;
    return url;
}

}  // namespace

UpdateError UpdateError::badManifest(const std::string& message) {
    return UpdateError(Kind::badManifest, "bad manifest: " + message);
}

UpdateError UpdateError::checksumMismatch(const std::string& expected, const std::string& got) {
    // Twelve characters of each, always followed by the ellipsis.
    return UpdateError(Kind::checksumMismatch, "sha256 mismatch (expected " +
                                                   expected.substr(0, 12) + "\u2026, got " +
                                                   got.substr(0, 12) + "\u2026)");
}

UpdateError UpdateError::untrustedPackage(const std::string& message) {
    return UpdateError(Kind::untrustedPackage, "package failed verification: " + message);
}

UpdateError UpdateError::installFailed(const std::string& message) {
    return UpdateError(Kind::installFailed, "install failed: " + message);
}

Updater::Updater(Environment environment)
    : environment_(std::move(environment)),
      log_("updater", Paths::daemonLog(), environment_.systemLog),
      config_(log_) {
    if (!environment_.clock) environment_.clock = systemClock();
}

bool Updater::checkTimeIsUp() const {
    return checkDeadline_ && std::chrono::steady_clock::now() >= *checkDeadline_;
}

UpdateError Updater::checkTimeError() const {
    return UpdateError::badManifest("update check took longer than " +
                                    std::to_string(environment_.limits.checkTime.count() / 1000) +
                                    " s");
}

void Updater::checkAndInstall(const std::string& currentVersion) {
    // A check that outlasts the next timer tick (a slow download) would share
    // the package and script paths with the next one: the later one yields.
    if (running_.exchange(true)) {
        log().debug("an update check is already running — skipping");
        return;
    }
    struct Running {
        Updater& updater;
        ~Running() {
            updater.checkDeadline_.reset();
            updater.running_.store(false);
        }
    } running{*this};
    checkDeadline_ = std::chrono::steady_clock::now() + environment_.limits.checkTime;

    try {
        const auto manifest = fetchManifest();
        if (!manifest) {
            log().debug("no update manifest configured — skipping");
            return;
        }
        const std::string& version = manifest->version;
        if (!isNewer(version, currentVersion)) {
            log().debug("up to date (" + currentVersion + ", latest " + version + ")");
            return;
        }
        if (manifest->minimumSystemVersion &&
            isNewer(*manifest->minimumSystemVersion, osVersionString())) {
            log().warn("update " + version + " needs macOS " + *manifest->minimumSystemVersion +
                       " — this Mac is older; skipping");
            return;
        }
        if (aChildIsActive()) {
            const std::string maxDeferralHours =
                std::to_string(static_cast<long long>(maxDeferralSeconds / 3600));
            const double age = deferralAge(version);
            if (age < maxDeferralSeconds) {
                const auto hours = static_cast<long long>(age / 3600);
                log().info("update " + version + " available, but a child is active — deferring (" +
                           std::to_string(hours) + "h of max " + maxDeferralHours + "h)");
                return;
            }
            log().warn("update " + version + " deferred for over " + maxDeferralHours +
                       "h — installing now despite active session");
        }
        log().info("updating " + currentVersion + " → " + version);
        const std::string pkg = download(*manifest);
        verify(pkg, *manifest, currentVersion);
        installDetached(pkg, version);
        clearDeferralMarker();
    } catch (const std::exception& e) {
        log().error(std::string("update failed: ") + e.what());
    } catch (...) {
        log().error("update failed: unknown error");
    }
}

std::optional<std::string> Updater::manifestURL() {
    if (environment_.updateUrl && net::parsesAsUrl(*environment_.updateUrl))
        return *environment_.updateUrl;

    const SystemConfig config = config_.read();
    if (config.updateUrl && net::parsesAsUrl(*config.updateUrl)) return *config.updateUrl;
    std::string base = defaultServiceBase;
    if (config.api && net::parsesAsUrl(*config.api)) base = *config.api;
    return net::withQuery(
        net::appendPath(base, "api/MacUpdateManifest"),
        {{"device_id", environment_.deviceId ? environment_.deviceId() : std::string()},
         {"version", appVersion},
         {"os", osVersionString()}});
}

std::optional<Manifest> Updater::fetchManifest() {
    const auto url = manifestURL();
    if (!url) return std::nullopt;

    const Environment::Limits& limits = environment_.limits;
    const auto deadline = std::chrono::steady_clock::now() + limits.manifestTime;
    std::string body;
    bool tooLarge = false, tooSlow = false, checkOver = false;
    net::Request request;
    request.url = *url;
    request.idleTimeout = std::chrono::seconds(30);
    // Kept in memory, so read only up to the cap; a server that trickles
    // bytes is cut off at the time cap, not only when it falls silent.
    request.onData = [&](std::string_view piece) {
        if (body.size() + piece.size() > limits.manifestBytes) return !(tooLarge = true);
        body.append(piece);
        return true;
    };
    request.cancelled = [&] {
        if (checkTimeIsUp()) return checkOver = true;
        return tooSlow = std::chrono::steady_clock::now() >= deadline;
    };
    const net::Response response = net::perform(request);
    if (checkOver) throw checkTimeError();
    if (tooLarge)
        throw UpdateError::badManifest("manifest larger than " +
                                       std::to_string(limits.manifestBytes) + " bytes");
    if (tooSlow)
        throw UpdateError::badManifest("manifest not received within " +
                                       std::to_string(limits.manifestTime.count() / 1000) + " s");
    if (response.status <= 0) throw UpdateError::badManifest("HTTP -1");
    if (response.status == 404) return std::nullopt;
    if (response.status < 200 || response.status > 299)
        throw UpdateError::badManifest("HTTP " + std::to_string(response.status));
    return parseManifest(body);
}

std::optional<Manifest> Updater::parseManifest(std::string_view body) {
    const auto parsed = json::parse(body);
    if (!parsed) throw json::NotJson();
    const json::Json& doc = *parsed;
    if (!doc.is_object()) throw UpdateError::badManifest("not a JSON object");

    Manifest manifest;
    auto version = json::string(doc, "version");
    if (!version || version->empty()) return std::nullopt;
    // The version names the package file and stands in a root shell script.
    if (!isSafeVersionText(*version))
        throw UpdateError::badManifest(
            "version text may hold only letters, digits, \".\", \"-\", \"+\" and \"_\"");
    manifest.version = *version;

    auto address = json::string(doc, "url");
    if (!address) address = json::string(doc, "pkg_url");
    if (!address) return std::nullopt;
    auto url2 = packageUrl(*address);
    if (!url2) return std::nullopt;
    manifest.url = *url2;

    if (auto sum = json::string(doc, "sha256")) manifest.sha256 = text::asciiLower(*sum);
    // A signature from elsewhere than https could be swapped on the way like
    // the package; one that does not read as an address counts as none.
    if (auto signature = json::string(doc, "signature_url")) {
        try {
            manifest.signatureUrl = packageUrl(*signature);
        } catch (const UpdateError&) {
            throw UpdateError::badManifest("signature URL is not https");
        }
    }
    manifest.minimumSystemVersion = json::string(doc, "minimumSystemVersion");
    return manifest;
}

bool Updater::isNewer(std::string_view a, std::string_view than) {
    const auto x = versionNumbers(a);
    const auto y = versionNumbers(than);
    const size_t n = std::max(x.size(), y.size());
    for (size_t i = 0; i < n; ++i) {
        const std::int64_t p = i < x.size() ? x[i] : 0;
        const std::int64_t q = i < y.size() ? y[i] : 0;
        if (p != q) return p > q;
    }
    return false;
}

std::string Updater::osVersionString() {
    // The distribution's release, not the kernel's: it is what a package's
    // minimum system version is about. A relocation root may carry its own.
    std::vector<std::string> candidates = {Paths::resolve("/etc/os-release"),
                                           Paths::resolve("/usr/lib/os-release")};
    if (!Paths::root().empty()) {
        candidates.emplace_back("/etc/os-release");
        candidates.emplace_back("/usr/lib/os-release");
    }
    std::string release;
    for (const auto& path : candidates) {
        const auto text = readFile(path);
        if (!text) continue;
        std::string_view rest = *text;
        while (!rest.empty()) {
            const size_t nl = rest.find('\n');
            std::string_view line = text::trimWhitespace(rest.substr(0, nl));
            rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
            if (line.rfind("VERSION_ID=", 0) != 0) continue;
            line.remove_prefix(11);
            if (line.size() >= 2 && (line.front() == '"' || line.front() == '\'') &&
                line.back() == line.front())
                line = line.substr(1, line.size() - 2);
            release = std::string(line);
        }
        break;
    }
    auto numbers = versionNumbers(release);
    numbers.resize(3, 0);
    return std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) + "." +
           std::to_string(numbers[2]);
}

bool Updater::aChildIsActive() const {
    const int dirFd =
        ::open(Paths::activeChildrenDir().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) return false;
    bool active = false;
    presence::scanFlags(dirFd, environment_.clock->now(), [&](const presence::FlagEntry& flag) {
        active = flag.fresh;
        return !active;
    });
    ::close(dirFd);
    return active;
}

double Updater::deferralAge(const std::string& version) {
    const double now = toUnixSeconds(environment_.clock->now());
    const std::string marker = Paths::updateDeferralFile();
    if (const auto text = readUntrustedFile(marker, kMaxSmallFileBytes).data;
        text && text::isValidUtf8(*text)) {
        const std::string_view line = text::trimWhitespace(*text);
        const size_t bar = line.find('|');
        if (bar != std::string_view::npos) {
            const std::string_view recorded = text::trimWhitespace(line.substr(0, bar));
            const std::string_view since = text::trimWhitespace(line.substr(bar + 1));
            const auto began = since.empty() ? std::nullopt : parseSeconds(since);
            // A time that is not a finite moment in the past (a hand-edited or
            // clock-skewed marker) would defer for ever or not at all: restart.
            if (!recorded.empty() && recorded == version && began && std::isfinite(*began) &&
                *began <= now)
                return now - *began;
        }
    }
    try {
        replaceFileAtomically(marker, version + "|" + formatSeconds(now), modeOnly(0644));
    } catch (const std::exception&) {
        // Without a marker every check counts from 0 again: the update waits
        // for as long as children are active, which is the safe side.
    }
    return 0;
}

void Updater::clearDeferralMarker() {
    ::unlink(Paths::updateDeferralFile().c_str());
}

bool Updater::isSafeVersionText(std::string_view version) {
    if (version.empty() || version.size() > 100) return false;
    for (char c : version) {
        const bool ordinary = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                              (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' ||
                              c == '_';
        if (!ordinary) return false;
    }
    return true;
}

}  // namespace tarvo
