#include "core/Paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <climits>

#include <cstdlib>
#include <filesystem>
#include <mutex>

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

const std::string kData = "/Library/Application Support/Tarvo";
const std::string kLogs = "/Library/Logs/Tarvo";

}  // namespace

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
    return resolve(kData);
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
    return dataDir() + "/active-children";
}
std::string deviceIdFile() {
    return dataDir() + "/device_id.json";
}
std::string mitmproxyDir() {
    return dataDir() + "/mitmproxy";
}

std::string systemLogDir() {
    return resolve(kLogs);
}
std::string daemonLog() {
    return systemLogDir() + "/daemon.log";
}
std::string updaterLog() {
    return systemLogDir() + "/updater.log";
}
std::string updateScript() {
    return systemLogDir() + "/tarvo-apply-update.sh";
}
std::string updatePackagePrefix() {
    return systemLogDir() + "/Tarvo-Update-";
}
std::string updateDeferralFile() {
    return systemLogDir() + "/update-deferred-since.txt";
}
std::string daemonLockFile() {
    return resolve("/var/run/app.tarvo.daemon/daemon.lock");
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

std::string userDataDir() {
    return home() + "/Library/Application Support/Tarvo";
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
std::string chatHistoryFile() {
    return userDataDir() + "/Chat/messages.json";
}
std::string userLogDir() {
    return home() + "/Library/Logs/Tarvo";
}
std::string agentLog() {
    return userLogDir() + "/agent.log";
}
std::string managerLog() {
    return userLogDir() + "/manager.log";
}

std::string bundleResources() {
    if (const char* v = std::getenv("TARVO_RESOURCES")) return v;
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path exe = executablePath();
    if (exe.empty()) {
        // Not started through main(): fall back to the kernel's view of the executable.
        exe = fs::read_symlink("/proc/self/exe", ec);
    }
    fs::path absolute = fs::absolute(exe, ec);
    fs::path real = fs::canonical(absolute, ec);
    if (ec) real = absolute;
    return (real.parent_path().parent_path() / "Resources").string();
}

}  // namespace tarvo::Paths
