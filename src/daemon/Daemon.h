#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/Background.h"
#include "core/Clock.h"
#include "core/MainQueue.h"
#include "core/SerialQueue.h"
#include "core/TarvoLog.h"
#include "daemon/ChildHandover.h"
#include "daemon/FlagEntries.h"
#include "daemon/ProxyProcess.h"
#include "daemon/ProxySocket.h"
#include "daemon/RootFiles.h"
#include "platform/CertificateTrust.h"
#include "platform/LoginSessions.h"
#include "platform/SystemProxy.h"

namespace tarvo {

// The proxy's arguments naming the child, from proxy_config.json's text (which
// the child's agent writes): "--username" and "--device-id", each followed by
// a non-empty value, for what the file names.
std::vector<std::string> proxyIdentityArguments(std::string_view proxyConfig);

// When the daemon's update checks run.
struct UpdateSchedule {
    Millis first = std::chrono::minutes(2);
    Millis interval = std::chrono::minutes(30);
};

// The privileged supervisor: keeps the filtering proxy running, trusts its
// root certificate, points the system web proxies at it while a child is
// logged in, and drives the update checks. Everything it owns — the proxy
// handle, the run flag, the presence decision — lives on the main queue; the
// proxy's helper threads only post to it.
class Daemon : public std::enable_shared_from_this<Daemon> {
  public:
    static constexpr const char* kProxyHost = "127.0.0.1";
    static constexpr int kProxyPort = 8080;

    struct Options {
        // Starts one update check and returns at once; called on the main
        // thread as `updateSchedule` says. Empty: no update timer.
        std::function<void()> startUpdateCheck;
        UpdateSchedule updateSchedule;
        // Ends the process after shutdown (default: exit status 0 at once,
        // without waiting for the proxy).
        std::function<void(int)> exitProcess;
        std::shared_ptr<platform::SystemLog> systemLog;
        // Where the system proxy settings calls run (each may take up to 30
        // s). Empty: a worker thread of the daemon's own.
        std::shared_ptr<Background> background;
        // The system's web proxy settings and the root certificate's trust.
        std::shared_ptr<platform::SystemProxy> systemProxy;
        std::shared_ptr<platform::CertificateTrust> certificateTrust;
        // The login manager's sessions: a child whose agent fell silent stays
        // present while the session it was seen in lives on. Empty: the
        // flags alone decide.
        std::shared_ptr<platform::LoginSessions> loginSessions;
    };

    // The session states in which a user counts as logged in: in front
    // ("active", locked screen included) or switched away ("online").
    static bool sessionCounts(const std::string& state);

    static std::shared_ptr<Daemon> create(MainQueue& queue, std::shared_ptr<Clock> clock,
                                          Options options = {});
    ~Daemon();

    // Start-up, then the main loop; returns only if the loop ever ends.
    int run();
    // Start-up alone: directories, default rules, certificate, signals,
    // proxy, presence poll, update timer.
    void start();

    // True when a presence flag was refreshed within the last 60 seconds,
    // or when a child whose flag was fresh during a login session is still
    // in that session; stale flags are deleted on the way.
    bool anyChildLoggedIn();

    const TarvoLog& log() const { return log_; }
    // For observation on the main thread.
    std::optional<pid_t> proxyPid() const;
    bool shouldRun() const { return shouldRun_; }
    std::optional<bool> lastChildPresent() const { return lastChildPresent_; }

  private:
    Daemon(MainQueue& queue, std::shared_ptr<Clock> clock, Options options);

    void prepareLogDirectory();
    void ensureDirectories();
    void ensureDefaultRules();
    void installCertIfNeeded();
    void installSignalHandlers();
    void startPresencePoll();
    void presenceTick();
    // The flag walk alone: fills freshOwners_.
    bool walkFlags();
    // Children kept present by a live session their flag vouched for (heldUids_).
    bool heldBySessions();
    // The children to filter: fresh flags' owners and those held by a session.
    std::vector<uid_t> presentChildren() const;
    void bounceProxyForNewChild();
    // Gives the rules file and the proxy configuration to each child whose
    // flag is fresh now and was not at the last tick.
    void handOverToNewcomers();
    void watchFlagDirectory(int dirFd, const rootfiles::DirIdentity& identity);
    void startUpdatePoll();
    void startProxy();
    std::optional<std::string> stageProxyConfdir();
    std::vector<std::string> proxyArguments(const std::optional<std::string>& confdir);
    void scheduleStart(Millis delay);
    void onProxyExit(pid_t pid, int status);
    void watchListener();
    void checkListener();
    void guardListener();
    void shutdown();
    // Applies (true) or clears (false) the system proxy settings off the
    // main thread, after every change asked for before; `then` runs on the
    // main queue once the tool calls are done.
    void changeSystemProxy(bool on, std::function<void(Daemon&)> then = {});

    MainQueue& queue_;
    std::shared_ptr<Clock> clock_;
    Options options_;
    TarvoLog log_;
    std::shared_ptr<Background> background_;
    // One change at a time, in the order asked: a clear never overtakes the
    // apply before it.
    std::unique_ptr<SerialQueue> settings_;
    rootfiles::Fd dataDir_;
    // The directory holding the flag directory where that is not the data
    // directory (run-time state, which only root writes).
    rootfiles::Fd flagParent_;
    bool flagsInDataDir_ = true;
    int flagParentFd() const { return flagsInDataDir_ ? dataDir_.get() : flagParent_.get(); }
    // The flag and configuration directories this process made or checked;
    // only these are ever trusted under those names again.
    std::optional<rootfiles::DirIdentity> flagDirId_;
    std::optional<rootfiles::DirIdentity> confDirId_;
    flagdir::Reports unremovableFlags_;
    // Held from the first start on, and handed to every proxy.
    ProxySocket proxySocket_;
    std::unique_ptr<ProxyProcess> proxy_;
    bool shouldRun_ = true;
    std::optional<bool> lastChildPresent_;
    ScopedTimer presenceTimer_;
    // After each start the listener on the proxy's port is checked until it
    // is the proxy's own; later ticks only compare the listening sockets.
    ScopedTimer listenerTimer_;
    int listenerChecks_ = 0;
    std::vector<ino_t> verifiedListeners_;
    std::set<ino_t> unheldListeners_;
    ScopedTimer updateTimer_;
    std::string logCleanup_;  // what prepareLogDirectory() removed, logged once the log is safe
    // Owners of the fresh flags at the last look, and at the tick before.
    std::set<uid_t> freshOwners_;
    std::set<uid_t> childrenSeen_;
    // Children whose flag went stale while a session it vouched for lives on.
    std::set<uid_t> heldUids_;
    // Per child, the live sessions seen while its flag was fresh.
    std::map<uid_t, std::set<std::string>> vouchedSessions_;
    // Children held present by a session with a silent agent (logged once),
    // and the last read failure of the session records per user.
    std::set<std::pair<uid_t, std::string>> silentAgents_;
    std::map<uid_t, std::string> sessionErrors_;
    std::optional<rootfiles::DirIdentity> watchedFlagDir_;
    // Last: its thread, which posts to the queue, ends before anything else goes.
    std::unique_ptr<handover::DirectoryWatcher> flagWatcher_;
};

}  // namespace tarvo
