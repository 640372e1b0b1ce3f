#include "core/Paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <climits>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>

#include "core/Installation.h"

namespace tarvo::Paths {
namespace {

std::string getenvString(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::atomic<std::shared_ptr<const Layout>>& current() {
    static std::atomic<std::shared_ptr<const Layout>> layout;
    return layout;
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
    return installation::runningExecutable();
}

}  // namespace

Layout layoutFrom(const Lookup& get, std::string executable) {
    auto value = [&](const char* name) {
        const char* v = get(name);
        return v ? std::string(v) : std::string();
    };
    Layout out;
#ifndef __APPLE__
    std::string r = value("TARVO_ROOT");
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    if (r == "/") r.clear();
    out.root = r;
    out.mac = value("TARVO_PLATFORM") == "mac" && !out.root.empty();
#else
    out.mac = true;
#endif
    // $HOME counts only when it is a directory of the user this process runs
    // as: under `sudo -E` it still names the invoking user's home, and root
    // must not create files there that the user's own processes cannot write.
    const std::string h = value("HOME");
    struct stat st {};
    if (!h.empty() && h.front() == '/' && stat(h.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == getuid())
        out.home = h;
    else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir)
        out.home = pw->pw_dir;
    else
        out.home = "/";
    out.stateHome = xdgDir(get("XDG_STATE_HOME"), out.home, ".local/state");
    if (const char* resources = get("TARVO_RESOURCES")) out.resources = resources;
    out.executable = std::move(executable);
    return out;
}

void install(Layout layout) {
    current().store(std::make_shared<const Layout>(std::move(layout)));
}

std::shared_ptr<const Layout> exchange(std::shared_ptr<const Layout> layout) {
    return current().exchange(std::move(layout));
}

std::shared_ptr<const Layout> installed() {
    std::shared_ptr<const Layout> layout = current().load();
    if (layout) return layout;
    // None installed yet (a library used without main()): the environment's.
    auto fresh = std::make_shared<const Layout>(layoutFrom(std::getenv));
    std::shared_ptr<const Layout> expected;
    if (current().compare_exchange_strong(expected, fresh)) return fresh;
    return expected;
}

bool usesMacLayout() {
    return installed()->mac;
}

std::string root() {
    return installed()->root;
}

std::string resolve(std::string_view absolutePath) {
    const std::shared_ptr<const Layout> layout = installed();
    const std::string& r = layout->root;
    if (r.empty() || absolutePath.empty() || absolutePath.front() != '/')
        return std::string(absolutePath);
    return r + std::string(absolutePath);
}

std::string home() {
    return installed()->home;
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

std::string executablePath() {
    return installed()->executable;
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

std::string xdgDir(const char* value, const std::string& home, std::string_view fallback) {
    const fs::path path = fs::path(value ? value : "").lexically_normal();
    // Only an absolute path counts; a relative one is ignored as if unset. A
    // root process (sudo -E) keeps its files in its own home, never where
    // the invoking user's variables point.
    bool usable = path.is_absolute();
    if (usable && ::geteuid() == 0) {
        std::string inside = fs::path(home).lexically_normal().string();
        if (inside.empty() || inside.back() != '/') inside += '/';
        usable = (path.string() + "/").starts_with(inside);
    }
    if (usable) {
        std::string out = path.string();
        while (out.size() > 1 && out.back() == '/') out.pop_back();
        return out;
    }
    return (home == "/" ? std::string() : home) + "/" + std::string(fallback);
}

std::string userDataDir() {
    if (usesMacLayout()) return home() + "/Library/Application Support/Tarvo";
    return installed()->stateHome + "/tarvo";
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
    return installation::usrPrefixOf(realExecutable);
}

std::string bundleResources() {
    if (const auto layout = installed(); layout->resources) return *layout->resources;
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
    const std::string exe = installation::runningExecutable();
    // The Mac's bundle keeps its libraries beside the executable wherever it is.
    if (usesMacLayout()) return exe.empty() ? exe : fs::path(exe).parent_path().string();
    return installation::libraryDirOf(exe);
}

std::string certificateAuthorityDir() {
    if (installed()->resources || !installedPrefix(runningExecutable().string()))
        return bundleResources();
    return resolve("/etc/tarvo");
}

}  // namespace tarvo::Paths
