#pragma once

#include <string>
#include <string_view>

namespace tarvo::Paths {

// Every fixed location of the system is resolved here. On Linux builds a
// non-empty TARVO_ROOT relocates each absolute system path under that
// directory, so tests and demos run the real binary without touching the
// machine. Per-user paths live under the home of the user running the process.

// The relocation root ("" when paths are used as they stand).
std::string root();
// `absolutePath` placed under root(); unchanged when there is no root.
std::string resolve(std::string_view absolutePath);
// The home directory of the user running the process: $HOME when it is a
// directory owned by that user, else the passwd entry's.
std::string home();
// Turns a relative TARVO_ROOT into an absolute one in the environment (so
// children inherit it too). Called once by main() before anything resolves.
void makeRootAbsolute();

// Executable path as the process was started (argv[0]); set once by main().
void setExecutablePath(std::string argv0);
std::string executablePath();

// System-wide data.
std::string dataDir();            // /Library/Application Support/Tarvo
std::string configFile();         // …/config.json
std::string rulesFile();          // …/proxy_rules.json
std::string proxyConfigFile();    // …/proxy_config.json
std::string activeChildrenDir();  // …/active-children
std::string deviceIdFile();       // …/device_id.json
std::string mitmproxyDir();       // …/mitmproxy

// System-wide logs.
std::string systemLogDir();         // /Library/Logs/Tarvo
std::string daemonLog();            // …/daemon.log
std::string updaterLog();           // …/updater.log
std::string updateScript();         // …/tarvo-apply-update.sh
std::string updatePackagePrefix();  // …/Tarvo-Update-
std::string updateDeferralFile();   // …/update-deferred-since.txt
// One daemon per machine: the lock file in a directory only root can write.
std::string daemonLockFile();  // /var/run/app.tarvo.daemon/daemon.lock

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

// Per-user data and logs ("~" expanded for the running process).
std::string userDataDir();                 // ~/Library/Application Support/Tarvo
std::string perUserScreenTimeStateFile();  // …/screen_time_state.json
std::string cachedSettingsFile();          // …/cached_settings.json
std::string userDeviceIdFile();            // …/device_id.json
std::string chatHistoryFile();             // …/Chat/messages.json
std::string userLogDir();                  // ~/Library/Logs/Tarvo
std::string agentLog();                    // …/agent.log
std::string managerLog();                  // …/manager.log

// The resources directory: TARVO_RESOURCES unchanged when set, else the
// "Resources" folder two levels above the real (symlink-resolved) executable.
std::string bundleResources();

}  // namespace tarvo::Paths
