#include "platform/system/LinuxSystemProxy.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <netdb.h>
#include <nftables/libnftables.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <tuple>

#include "core/AtomicFile.h"
#include "core/Json.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "core/Text.h"

namespace tarvo::platform {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxConfigBytes = 256 * 1024;
constexpr auto kToolTimeout = std::chrono::seconds(30);
const std::string kProfileLine = std::string("system-db:") + LinuxSystemProxy::kDatabase;

std::string joinUids(const std::vector<uid_t>& uids) {
    std::string out;
    for (uid_t uid : uids) out += (out.empty() ? "" : ", ") + std::to_string(uid);
    return out;
}

// The same children in whatever order the flags were found.
std::vector<uid_t> sortedUnique(std::vector<uid_t> uids) {
    std::sort(uids.begin(), uids.end());
    uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
    return uids;
}

std::string addressFamily(const std::string& address) {
    return address.find(':') == std::string::npos ? "ip" : "ip6";
}

// The service the agent talks to, from config.json's "api": its addresses
// and port (only 80 and 443 are ever closed, but the rule says which port is
// meant either way). Nothing when there is no usable address.
std::vector<std::string> serviceAddresses(int& port) {
    const UntrustedFile file = readUntrustedFile(Paths::configFile(), kMaxConfigBytes);
    if (!file.data) return {};
    const json::Json config = json::Json::parse(*file.data, nullptr, false);
    if (!config.is_object()) return {};
    const std::optional<std::string> api = json::string(config, "api");
    if (!api) return {};
    CURLU* url = curl_url();
    if (!url) return {};
    std::string host;
    port = 0;
    char* part = nullptr;
    if (curl_url_set(url, CURLUPART_URL, api->c_str(), 0) == CURLUE_OK &&
        curl_url_get(url, CURLUPART_HOST, &part, 0) == CURLUE_OK) {
        host = part;
        curl_free(part);
        if (curl_url_get(url, CURLUPART_PORT, &part, CURLU_DEFAULT_PORT) == CURLUE_OK) {
            port = std::atoi(part);
            curl_free(part);
        }
    }
    curl_url_cleanup(url);
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    if (host.empty()) return {};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return {};
    std::set<std::string> addresses;
    for (addrinfo* a = found; a; a = a->ai_next) {
        char text[NI_MAXHOST];
        if (::getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0,
                          NI_NUMERICHOST) == 0)
            addresses.insert(text);
    }
    ::freeaddrinfo(found);
    return {addresses.begin(), addresses.end()};
}

std::string errorText(const std::exception& e) {
    return e.what();
}

}  // namespace

struct LinuxSystemProxy::NftContext {
    nft_ctx* ctx = nft_ctx_new(NFT_CTX_DEFAULT);
    NftContext() {
        if (!ctx) return;
        nft_ctx_buffer_output(ctx);
        nft_ctx_buffer_error(ctx);
        nft_ctx_output_set_flags(ctx, NFT_CTX_OUTPUT_NUMERIC_ALL);
    }
    ~NftContext() {
        if (ctx) nft_ctx_free(ctx);
    }
};

bool LinuxSystemProxy::Stamp::operator==(const Stamp& o) const {
    return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
}

LinuxSystemProxy::Stamp LinuxSystemProxy::stampOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return {};
    return {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

LinuxSystemProxy::LinuxSystemProxy(Options options)
    : options_(std::move(options)), nft_(std::make_unique<NftContext>()) {
    if (!options_.log) options_.log = std::make_shared<TarvoLog>("daemon");
}

LinuxSystemProxy::~LinuxSystemProxy() = default;

std::string LinuxSystemProxy::profilePath() {
    return Paths::resolve("/etc/dconf/profile/user");
}
std::string LinuxSystemProxy::databasePath() {
    return Paths::resolve(std::string("/etc/dconf/db/") + kDatabase);
}
std::string LinuxSystemProxy::keyfilePath() {
    return databasePath() + ".d/50-tarvo-proxy";
}
std::string LinuxSystemProxy::locksPath() {
    return databasePath() + ".d/locks/50-tarvo-proxy";
}

std::string LinuxSystemProxy::settingsKeyfile(const ProxyEndpoint& proxy) {
    const std::string host = "host='" + proxy.host + "'\nport=" + std::to_string(proxy.port) + "\n";
    return "# Tarvo, while a child is logged in: web traffic through the filter.\n"
           "[system/proxy]\n"
           "mode='manual'\n"
           "use-same-proxy=true\n"
           "autoconfig-url=''\n"
           "ignore-hosts=['localhost', '127.0.0.0/8', '::1']\n\n"
           "[system/proxy/http]\n"
           "enabled=true\n" +
           host + "\n[system/proxy/https]\n" + host +
           "\n[system/proxy/socks]\n"
           "host=''\n"
           "port=0\n";
}

std::string LinuxSystemProxy::settingsLocks() {
    return "/system/proxy/mode\n"
           "/system/proxy/use-same-proxy\n"
           "/system/proxy/autoconfig-url\n"
           "/system/proxy/ignore-hosts\n"
           "/system/proxy/http/enabled\n"
           "/system/proxy/http/host\n"
           "/system/proxy/http/port\n"
           "/system/proxy/https/host\n"
           "/system/proxy/https/port\n"
           "/system/proxy/socks/host\n"
           "/system/proxy/socks/port\n";
}

std::string LinuxSystemProxy::extendedProfile(const std::optional<std::string>& existing) {
    if (!existing) return "user-db:user\n" + kProfileLine + "\n";
    for (const std::string& line : text::splitDropEmpty(*existing, "\n"))
        if (text::trimWhitespace(line) == kProfileLine) return *existing;
    std::string out = *existing;
    if (!out.empty() && out.back() != '\n') out += '\n';
    return out + kProfileLine + "\n";
}

std::string LinuxSystemProxy::firewallScript(const ProxyEndpoint& proxy,
                                             const std::vector<uid_t>& children,
                                             const std::vector<std::string>& exempt,
                                             int exemptPort) {
    std::string script = std::string("table ") + kTable + "\ndelete table " + kTable + "\ntable " +
                         kTable +
                         " {\n\tchain output {\n"
                         "\t\ttype filter hook output priority filter; policy accept;\n";
    if (!children.empty()) {
        const std::string who = "\t\tmeta skuid { " + joinUids(children) + " } ";
        script += who + addressFamily(proxy.host) + " daddr " + proxy.host + " tcp dport " +
                  std::to_string(proxy.port) + " accept\n";
        for (const char* family : {"ip", "ip6"}) {
            std::string list;
            for (const std::string& a : exempt)
                if (addressFamily(a) == family) list += (list.empty() ? "" : ", ") + a;
            if (!list.empty())
                script += who + family + " daddr { " + list + " } tcp dport " +
                          std::to_string(exemptPort) + " accept\n";
        }
        script += who + "tcp dport { 80, 443 } reject with tcp reset\n";
        script += who + "udp dport 443 reject\n";
    }
    return script + "\t}\n}\n";
}

std::vector<uid_t> LinuxSystemProxy::restrictedUids(const std::string& listing) {
    std::set<uid_t> uids;
    static constexpr std::string_view kMatch = "meta skuid ";
    for (size_t at = listing.find(kMatch); at != std::string::npos;
         at = listing.find(kMatch, at + 1)) {
        std::string_view rest = std::string_view(listing).substr(at + kMatch.size());
        const bool set = !rest.empty() && rest.front() == '{';
        rest = rest.substr(0, set ? rest.find('}') : rest.find(' '));
        for (const std::string& piece : text::splitDropEmpty(rest, "{}, "))
            if (auto uid = json::parseDecimal(piece); uid && *uid >= 0)
                uids.insert(static_cast<uid_t>(*uid));
    }
    return {uids.begin(), uids.end()};
}

// --- the desktop's settings ---

std::string LinuxSystemProxy::compileDatabase() {
    const std::string db = databasePath(), fresh = db + ".tarvo-new";
    ::unlink(fresh.c_str());
    ProcessOptions options;
    options.mergeStderr = true;
    options.timeout = kToolTimeout;
    const ProcessResult r = runProcess(options_.dconfTool, {"compile", fresh, db + ".d"}, options);
    if (!r.launched) return "cannot run " + options_.dconfTool + ": " + r.launchError;
    if (r.exitStatus != 0) {
        ::unlink(fresh.c_str());
        return "dconf compile failed: " + std::string(text::trimWhitespace(r.out));
    }
    ::chmod(fresh.c_str(), 0644);
    // Programs that have the old database mapped notice a zeroed header and
    // open the new one; it is zeroed only once the new one is in place.
    const int old = ::open(db.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (::rename(fresh.c_str(), db.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        if (old >= 0) ::close(old);
        ::unlink(fresh.c_str());
        return "cannot replace " + db + ": " + why;
    }
    if (old >= 0) {
        static const char zeros[8] = {};
        [[maybe_unused]] const ssize_t n = ::pwrite(old, zeros, sizeof zeros, 0);
        ::close(old);
    }
    return {};
}

std::string LinuxSystemProxy::applySettings(const ProxyEndpoint& proxy) {
    try {
        std::error_code ec;
        for (const std::string& dir : {fs::path(locksPath()).parent_path().string(),
                                       fs::path(profilePath()).parent_path().string()}) {
            fs::create_directories(dir, ec);
            if (ec) return "cannot create " + dir + ": " + ec.message();
        }
        replaceFileAtomically(keyfilePath(), settingsKeyfile(proxy), {.mode = 0644});
        replaceFileAtomically(locksPath(), settingsLocks(), {.mode = 0644});
        if (std::string error = compileDatabase(); !error.empty()) return error;
        // Someone else's profile is extended, never replaced.
        const std::string profile = profilePath();
        std::optional<std::string> existing;
        if (stampOf(profile).exists) {
            existing = readFile(profile);
            if (!existing) return "cannot read " + profile;
        }
        const std::string wanted = extendedProfile(existing);
        if (!existing || wanted != *existing)
            replaceFileAtomically(profile, wanted, {.mode = 0644});
    } catch (const std::exception& e) {
        return errorText(e);
    }
    return {};
}

std::string LinuxSystemProxy::clearSettings() {
    bool ours = false;
    for (const std::string& path : {keyfilePath(), locksPath()}) {
        if (::unlink(path.c_str()) == 0)
            ours = true;
        else if (errno != ENOENT)
            return "cannot remove " + path + ": " + std::strerror(errno);
    }
    // A database compiled with our settings is recompiled without them (the
    // profile keeps naming it, so it stays in place, empty).
    if (!ours && !stampOf(databasePath()).exists) return {};
    if (!stampOf(databasePath() + ".d").exists) return {};
    return compileDatabase();
}

std::vector<LinuxSystemProxy::Stamp> LinuxSystemProxy::settingsStamps() const {
    return {stampOf(databasePath()), stampOf(keyfilePath()), stampOf(locksPath()),
            stampOf(profilePath())};
}

// --- the firewall ---

std::string LinuxSystemProxy::runNft(const std::string& script) {
    ProcessOptions options;
    options.mergeStderr = true;
    options.input = script;
    options.timeout = kToolTimeout;
    const ProcessResult r = runProcess(options_.nftTool, {"-f", "-"}, options);
    if (!r.launched) return "cannot run " + options_.nftTool + ": " + r.launchError;
    if (r.exitStatus != 0) return "nft failed: " + std::string(text::trimWhitespace(r.out));
    return {};
}

std::optional<std::string> LinuxSystemProxy::listTable(std::string& error) {
    error.clear();
    // Without root, libnftables prints its refusal on standard error.
    if (::geteuid() != 0) {
        error = "reading it needs root";
        return std::nullopt;
    }
    if (!nft_->ctx) {
        error = "cannot start libnftables";
        return std::nullopt;
    }
    const int rc =
        nft_run_cmd_from_buffer(nft_->ctx, (std::string("list table ") + kTable).c_str());
    std::string out = nft_ctx_get_output_buffer(nft_->ctx);
    const std::string err(text::trimWhitespace(nft_ctx_get_error_buffer(nft_->ctx)));
    if (rc == 0) return out;
    if (err.find("No such file or directory") == std::string::npos)
        error = err.empty() ? "cannot list table " + std::string(kTable)
                            : err.substr(0, err.find('\n'));
    return std::nullopt;
}

std::string LinuxSystemProxy::applyFirewall(const ProxyEndpoint& proxy,
                                            const std::vector<uid_t>& children) {
    int port = 0;
    const std::vector<std::string> exempt = serviceAddresses(port);
    return runNft(firewallScript(proxy, sortedUnique(children), exempt, port));
}

std::string LinuxSystemProxy::clearFirewall() {
    std::string error;
    if (!listTable(error) && error.empty()) return {};  // nothing to take back
    return runNft(std::string("table ") + kTable + "\ndelete table " + kTable + "\n");
}

// --- the interface ---

void LinuxSystemProxy::outcome(const std::string& part, const std::string& error) {
    const auto it = failures_.find(part);
    if (error.empty()) {
        if (it != failures_.end()) {
            options_.log->info(part + " in force again");
            failures_.erase(it);
        }
        return;
    }
    if (it != failures_.end() && it->second == error) return;
    failures_[part] = error;
    options_.log->error(part + ": " + error);
}

void LinuxSystemProxy::apply(const ProxyEndpoint& proxy, const std::vector<uid_t>& children) {
    outcome("desktop proxy settings", applySettings(proxy));
    outcome("firewall", applyFirewall(proxy, children));
    std::string error;
    applied_ =
        Applied{proxy, sortedUnique(children), settingsStamps(), listTable(error).value_or("")};
}

void LinuxSystemProxy::clear() {
    applied_.reset();
    outcome("desktop proxy settings", clearSettings());
    outcome("firewall", clearFirewall());
}

void LinuxSystemProxy::keep(const ProxyEndpoint& proxy, const std::vector<uid_t>& children) {
    if (!applied_ || applied_->proxy.host != proxy.host || applied_->proxy.port != proxy.port ||
        applied_->children != sortedUnique(children)) {
        apply(proxy, children);
        return;
    }
    if (failures_.count("desktop proxy settings") || settingsStamps() != applied_->settings) {
        if (!failures_.count("desktop proxy settings"))
            options_.log->warn("desktop proxy settings changed \xE2\x80\x94 putting them back");
        outcome("desktop proxy settings", applySettings(proxy));
        applied_->settings = settingsStamps();
    }
    std::string error;
    const std::optional<std::string> listing = listTable(error);
    if (!error.empty()) {
        outcome("firewall", "cannot read table " + std::string(kTable) + ": " + error);
        return;
    }
    if (failures_.count("firewall") || listing.value_or("") != applied_->firewall) {
        if (!failures_.count("firewall"))
            options_.log->warn(std::string("firewall table ") + kTable +
                               " changed \xE2\x80\x94 putting it back");
        outcome("firewall", applyFirewall(proxy, children));
        applied_->firewall = listTable(error).value_or("");
    }
}

ProxyReport LinuxSystemProxy::report() {
    ProxyReport report{"system web proxy:", {}};
    // The desktop's settings are in force when the profile names the
    // database and the database was compiled from the settings as they are.
    const Stamp db = stampOf(databasePath()), keys = stampOf(keyfilePath()),
                locks = stampOf(locksPath());
    const std::optional<std::string> profile = readFile(profilePath());
    const bool named = profile && extendedProfile(profile) == *profile;
    const bool compiled = db.exists && keys.exists && locks.exists &&
                          std::tie(db.mtime.tv_sec, db.mtime.tv_nsec) >=
                              std::tie(keys.mtime.tv_sec, keys.mtime.tv_nsec);
    std::string where;
    if (named && compiled) {
        const std::string text = readFile(keyfilePath()).value_or("");
        const size_t http = text.find("[system/proxy/http]");
        const size_t host = text.find("host='", http), port = text.find("port=", http);
        if (http != std::string::npos && host != std::string::npos && port != std::string::npos)
            where = text.substr(host + 6, text.find('\'', host + 6) - host - 6) + ":" +
                    text.substr(port + 5, text.find('\n', port) - port - 5);
    }
    report.items.push_back(where.empty() ? "desktop proxy settings: off"
                                         : "desktop proxy settings: " + where + ", locked (dconf " +
                                               kProfileLine + ")");
    std::string error;
    const std::optional<std::string> listing = listTable(error);
    if (!error.empty())
        report.items.push_back("firewall: unknown (" + error + ")");
    else if (!listing)
        report.items.push_back("firewall: off");
    else if (const std::vector<uid_t> uids = restrictedUids(*listing); uids.empty())
        report.items.push_back(std::string("firewall: table ") + kTable + " without rules");
    else
        report.items.push_back("firewall: web only through the proxy for uid " + joinUids(uids));
    return report;
}

}  // namespace tarvo::platform
