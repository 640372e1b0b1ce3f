#include "core/Paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <climits>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>

namespace tarvo::Paths {
namespace {

std::mutex& exeMutex() {
    static std::mutex m;
    return m;
}
std::string& exeStorage() {
    static std::string s;
    return s;
}

std::string getenvString(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

// The fixed system locations that differ between the two tables; each is
// placed under the root when it is used.
struct SystemTable {
    const char* data;
    const char* flags;
    const char* logs;
    const char* updates;
    const char* lock;
};

constexpr SystemTable kMacTable{
    .data = "/Library/Application Support/Tarvo",
    .flags = "/Library/Application Support/Tarvo/active-children",
    .logs = "/Library/Logs/Tarvo",
    .updates = "/Library/Logs/Tarvo",
    .lock = "/var/run/app.tarvo.daemon/daemon.lock",
};

constexpr SystemTable kLinuxTable{
    .data = "/var/lib/tarvo",
    .flags = "/run/tarvo/active-children",
    .logs = "/var/log/tarvo",
    .updates = "/var/cache/tarvo",
    .lock = "/run/tarvo/daemon.lock",
};

const SystemTable& systemTable() {
    return usesMacLayout() ? kMacTable : kLinuxTable;
}

namespace fs = std::filesystem;

// The executable as the kernel knows it (links resolved; "" when unknown).
fs::path runningExecutable() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe;
}

}  // namespace

bool usesMacLayout() {
#ifdef __APPLE__
    return true;
#else
    return getenvString("TARVO_PLATFORM") == "mac" && !root().empty();
#endif
}

std::string root() {
#ifdef __APPLE__
    return {};
#else
    std::string r = getenvString("TARVO_ROOT");
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    if (r == "/") return {};
    return r;
#endif
}

std::string resolve(std::string_view absolutePath) {
    std::string r = root();
    if (r.empty() || absolutePath.empty() || absolutePath.front() != '/')
        return std::string(absolutePath);
    return r + std::string(absolutePath);
}

std::string home() {
    // $HOME counts only when it is a directory of the user this process runs
    // as: under `sudo -E` it still names the invoking user's home, and root
    // must not create files there that the user's own processes cannot write.
    std::string h = getenvString("HOME");
    struct stat st {};
    if (!h.empty() && h.front() == '/' && stat(h.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == getuid())
        return h;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
    return "/";
}

void makeRootAbsolute() {
#ifndef __APPLE__
    // A relative root would name another place as soon as a process changes
    // directory (the proxy does): fix it once, for this process and its children.
    std::string r = getenvString("TARVO_ROOT");
    if (r.empty() || r.front() == '/') return;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return;
    std::string absolute = std::string(cwd) + "/" + r;
    setenv("TARVO_ROOT", absolute.c_str(), 1);
#endif
}

void setExecutablePath(std::string argv0) {
    std::lock_guard lock(exeMutex());
    exeStorage() = std::move(argv0);
}

std::string executablePath() {
    std::lock_guard lock(exeMutex());
    return exeStorage();
}

std::string dataDir() {
    return resolve(systemTable().data);
}
std::string configFile() {
    return dataDir() + "/config.json";
}
std::string rulesFile() {
    return dataDir() + "/proxy_rules.json";
}
std::string proxyConfigFile() {
    return dataDir() + "/proxy_config.json";
}
std::string activeChildrenDir() {
    return resolve(systemTable().flags);
}
std::string deviceIdFile() {
    return dataDir() + "/device_id.json";
}
std::string mitmproxyDir() {
    return dataDir() + "/mitmproxy";
}

std::string systemLogDir() {
    return resolve(systemTable().logs);
}
std::string daemonLog() {
    return systemLogDir() + "/daemon.log";
}
std::string updaterLog() {
    return systemLogDir() + "/updater.log";
}
std::string updateDir() {
    return resolve(systemTable().updates);
}
std::string updateScript() {
    return updateDir() + "/tarvo-apply-update.sh";
}
std::string updatePackagePrefix() {
    return updateDir() + "/Tarvo-Update-";
}
std::string updateDeferralFile() {
    return updateDir() + "/update-deferred-since.txt";
}
std::string daemonLockFile() {
    return resolve(systemTable().lock);
}

std::string daemonPlist() {
    return resolve("/Library/LaunchDaemons/app.tarvo.daemon.plist");
}
std::string agentPlist() {
    return resolve("/Library/LaunchAgents/app.tarvo.agent.plist");
}
std::string managerApp() {
    return resolve("/Applications/Tarvo Manager.app");
}
std::string agentApp() {
    return resolve("/Applications/Tarvo.app");
}
std::string systemKeychain() {
    return resolve("/Library/Keychains/System.keychain");
}
std::string console() {
    return resolve("/dev/console");
}

std::string securityTool() {
    return resolve("/usr/bin/security");
}
std::string opensslTool() {
    return resolve("/usr/bin/openssl");
}
std::string networksetupTool() {
    return resolve("/usr/sbin/networksetup");
}
std::string dsclTool() {
    return resolve("/usr/bin/dscl");
}
std::string launchctlTool() {
    return resolve("/bin/launchctl");
}
std::string pkgutilTool() {
    return resolve("/usr/sbin/pkgutil");
}
std::string installerTool() {
    return resolve("/usr/sbin/installer");
}
std::string bashTool() {
    return resolve("/bin/bash");
}
std::string nohupTool() {
    return resolve("/usr/bin/nohup");
}

std::string xdgDir(const char* variable, std::string_view fallback) {
    const std::string h = home();
    const fs::path value = fs::path(getenvString(variable)).lexically_normal();
    // Only an absolute path counts; a relative one is ignored as if unset. A
    // root process (sudo -E) keeps its files in its own home, never where
    // the invoking user's variables point.
    bool usable = value.is_absolute();
    if (usable && ::geteuid() == 0) {
        std::string inside = fs::path(h).lexically_normal().string();
        if (inside.empty() || inside.back() != '/') inside += '/';
        usable = (value.string() + "/").starts_with(inside);
    }
    if (usable) {
        std::string out = value.string();
        while (out.size() > 1 && out.back() == '/') out.pop_back();
        return out;
    }
    return (h == "/" ? std::string() : h) + "/" + std::string(fallback);
}

std::string userDataDir() {
    if (usesMacLayout()) return home() + "/Library/Application Support/Tarvo";
    return xdgDir("XDG_STATE_HOME", ".local/state") + "/tarvo";
}
std::string perUserScreenTimeStateFile() {
    return userDataDir() + "/screen_time_state.json";
}
std::string cachedSettingsFile() {
    return userDataDir() + "/cached_settings.json";
}
std::string userDeviceIdFile() {
    return userDataDir() + "/device_id.json";
}
std::string cachedAppLimitsFile() {
    return userDataDir() + "/cached_app_limits.json";
}
std::string chatHistoryFile() {
    return userDataDir() + "/Chat/messages.json";
}
std::string userLogDir() {
    if (usesMacLayout()) return home() + "/Library/Logs/Tarvo";
    return userDataDir() + "/logs";
}
std::string agentLog() {
    return userLogDir() + "/agent.log";
}
std::string managerLog() {
    return userLogDir() + "/manager.log";
}

std::optional<std::string> installedPrefix(const std::string& realExecutable) {
    if (usesMacLayout()) return std::nullopt;
    const fs::path bin = fs::path(realExecutable).parent_path();
    if (bin.filename() != "bin" || bin.parent_path().filename() != "usr") return std::nullopt;
    return bin.parent_path().string();
}

std::string bundleResources() {
    if (const char* v = std::getenv("TARVO_RESOURCES")) return v;
    if (const auto prefix = installedPrefix(runningExecutable().string()))
        return *prefix + "/share/tarvo";
    std::error_code ec;
    fs::path exe = executablePath();
    if (exe.empty()) exe = runningExecutable();
    fs::path absolute = fs::absolute(exe, ec);
    fs::path real = fs::canonical(absolute, ec);
    if (ec) real = absolute;
    return (real.parent_path().parent_path() / "Resources").string();
}

std::string libraryDir() {
    const fs::path exe = runningExecutable();
    if (exe.empty()) return {};
    if (const auto prefix = installedPrefix(exe.string())) return *prefix + "/lib/tarvo";
    return exe.parent_path().string();
}

std::string certificateAuthorityDir() {
    if (std::getenv("TARVO_RESOURCES") || !installedPrefix(runningExecutable().string()))
        return bundleResources();
    return resolve("/etc/tarvo");
}

}  // namespace tarvo::Paths
