#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo::Paths {

// Every fixed location of the system is resolved here, from one of two
// tables: the Mac's, and this system's (the filesystem hierarchy, per-user
// files in the XDG base directories). On Linux builds a non-empty TARVO_ROOT
// relocates each absolute system path under that directory, so tests and
// demos run the real binary without touching the machine; TARVO_PLATFORM=mac
// beside it selects the Mac's table (and the Mac's tools). Per-user paths live
// under the home of the user running the process.

// The paths of one process, fixed once: built from its environment in main()
// before any thread starts and installed; every accessor below reads it, so
// no thread ever sees a half-changed environment.
struct Layout {
    std::string root;                      // the relocation root ("" when none)
    bool mac = false;                      // the Mac's table
    std::string home;                      // the home of the user running the process
    std::string stateHome;                 // the XDG state directory (per-user data on this system)
    std::optional<std::string> resources;  // TARVO_RESOURCES, when set
    std::string executable;                // the executable as the process was started (argv[0])
};

// Reads one environment variable (nullptr when unset).
using Lookup = std::function<const char*(const char*)>;

// The layout `get` describes: TARVO_ROOT (made absolute by makeRootAbsolute()
// first; "/" is none), TARVO_PLATFORM, HOME, XDG_STATE_HOME and
// TARVO_RESOURCES.
Layout layoutFrom(const Lookup& get, std::string executable = {});
// Makes `layout` the process's own. Until one is installed, the first use
// installs the one this process's environment describes.
void install(Layout layout);
std::shared_ptr<const Layout> installed();
// Installs `layout` (none: the environment's, at the next use) and returns
// the one it replaces (none when none was installed yet).
std::shared_ptr<const Layout> exchange(std::shared_ptr<const Layout> layout);

// The relocation root ("" when paths are used as they stand).
std::string root();
// True when the Mac's table is in use: always on a Mac; elsewhere only when
// TARVO_PLATFORM is "mac" and a TARVO_ROOT is set (never on a real system).
bool usesMacLayout();
// `absolutePath` placed under root(); unchanged when there is no root.
std::string resolve(std::string_view absolutePath);
// The home directory of the user running the process: $HOME when it is a
// directory owned by that user, else the passwd entry's.
std::string home();
// Turns a relative TARVO_ROOT into an absolute one in the environment (so
// children inherit it too). Called once by main() before the layout is made.
void makeRootAbsolute();

// Executable path as the process was started (argv[0]).
std::string executablePath();

// System-wide data (Mac | this system).
std::string dataDir();          // /Library/Application Support/Tarvo | /var/lib/tarvo
std::string configFile();       // …/config.json
std::string rulesFile();        // …/proxy_rules.json
std::string proxyConfigFile();  // …/proxy_config.json
std::string deviceIdFile();     // …/device_id.json
std::string mitmproxyDir();     // …/mitmproxy
// Presence flags: …/active-children in the data directory | /run/tarvo/active-children
std::string activeChildrenDir();

// System-wide logs.
std::string systemLogDir();  // /Library/Logs/Tarvo | /var/log/tarvo
std::string daemonLog();     // …/daemon.log
std::string updaterLog();    // …/updater.log
// Downloaded updates, the install script and the deferral marker, in a
// directory only root writes: the log directory | /var/cache/tarvo.
std::string updateDir();
std::string updateScript();         // …/tarvo-apply-update.sh
std::string updatePackagePrefix();  // …/Tarvo-Update-
std::string updateDeferralFile();   // …/update-deferred-since.txt
// One daemon per machine: the lock file in a directory only root can write.
std::string daemonLockFile();  // /var/run/app.tarvo.daemon/daemon.lock | /run/tarvo/daemon.lock

// The Mac's own locations, the same in both tables (under the root): only the
// Mac's implementation and the Mac's install and update steps use them.
// launchd jobs and installed bundles.
std::string daemonPlist();     // /Library/LaunchDaemons/app.tarvo.daemon.plist
std::string agentPlist();      // /Library/LaunchAgents/app.tarvo.agent.plist
std::string managerApp();      // /Applications/Tarvo Manager.app
std::string agentApp();        // /Applications/Tarvo.app
std::string systemKeychain();  // /Library/Keychains/System.keychain
std::string console();         // /dev/console

// System tools.
std::string securityTool();      // /usr/bin/security
std::string opensslTool();       // /usr/bin/openssl
std::string networksetupTool();  // /usr/sbin/networksetup
std::string dsclTool();          // /usr/bin/dscl
std::string launchctlTool();     // /bin/launchctl
std::string pkgutilTool();       // /usr/sbin/pkgutil
std::string installerTool();     // /usr/sbin/installer
std::string bashTool();          // /bin/bash
std::string nohupTool();         // /usr/bin/nohup

// An XDG base directory: `value` when it is an absolute path (and, for a
// process running as root, one inside `home`), else `home` + "/" + `fallback`
// ("~/.local/state" for XDG_STATE_HOME).
std::string xdgDir(const char* value, const std::string& home, std::string_view fallback);

// Per-user data and logs ("~" expanded for the running process).
// ~/Library/Application Support/Tarvo | $XDG_STATE_HOME/tarvo
std::string userDataDir();
std::string perUserScreenTimeStateFile();  // …/screen_time_state.json
std::string cachedSettingsFile();          // …/cached_settings.json
std::string cachedAppLimitsFile();         // …/cached_app_limits.json
std::string userDeviceIdFile();            // …/device_id.json
std::string chatHistoryFile();             // …/Chat/messages.json
std::string userLogDir();                  // ~/Library/Logs/Tarvo | $XDG_STATE_HOME/tarvo/logs
std::string agentLog();                    // …/agent.log
std::string managerLog();                  // …/manager.log

// The resources directory: TARVO_RESOURCES unchanged when set; on this
// system, for an executable installed in a "usr/bin" directory, the
// "share/tarvo" beside that "bin"; else the "Resources" folder two levels
// above the real (symlink-resolved) executable.
std::string bundleResources();
// Where the roles load their libraries from: for an executable installed in a
// "usr/bin" directory on this system, the "lib/tarvo" beside that "bin"; else
// the real executable's own directory ("" when it cannot be found).
std::string libraryDir();
// The proxy's certificate authority: "mitmproxy-ca.pem" (key and
// certificate, root's alone) and "rootCert.pem" (the certificate the system
// trusts). The package makes the pair on each machine, outside the package's
// own files: for an executable installed in a "usr/bin" directory on this
// system (and no TARVO_RESOURCES), /etc/tarvo under the root; else the
// resources, where a build tree, the demo and the Mac keep them.
std::string certificateAuthorityDir();
// The "…/usr" an executable at `realExecutable` was installed into (a package
// unpacked into a made root keeps its layout): none for a build tree, for
// any other directory and in the Mac's table.
std::optional<std::string> installedPrefix(const std::string& realExecutable);

}  // namespace tarvo::Paths
