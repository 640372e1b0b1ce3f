#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "agent/AgentViews.h"
#include "agent/AppLimitEnforcer.h"
#include "agent/FocusMonitor.h"
#include "agent/PresenceFlag.h"
#include "agent/RulesFile.h"
#include "agent/ScheduleEnforcer.h"
#include "agent/ScreenTimeTracker.h"
#include "agent/UsageReporter.h"
#include "chat/ChatController.h"
#include "core/Background.h"
#include "core/Clock.h"
#include "core/MainQueue.h"
#include "core/SystemConfig.h"
#include "core/TarvoLog.h"
#include "core/TimerThread.h"
#include "platform/UserSession.h"
#include "platform/Workspace.h"
#include "server/ServerClient.h"

namespace tarvo {

// The agent of one login session. For a user that config.json does not list
// as a child it does nothing and the process exits at once. For a child it
// registers presence for the daemon, hands the parent's web rules to the
// proxy, enforces the schedule, the daily quota and the application
// allowlist, reports usage, keeps the event stream open (polling when it
// falls silent), and offers the chat, until SIGTERM or SIGINT.
//
// Threads: everything that touches timers, windows, the tracker, the
// enforcer or the schedule runs on the MainQueue; network calls run on the
// Background and bring their effects back to the MainQueue; rules-file writes
// go through the RulesFile's serial queue. Create with create(); callbacks
// hold the agent weakly.
class Agent : public ScheduleBlocker, public std::enable_shared_from_this<Agent> {
  public:
    struct Dependencies {
        MainQueue* queue = nullptr;                      // the role's main loop; required
        Background* background = nullptr;                // required
        std::shared_ptr<const Clock> clock;              // null: the system clock
        std::shared_ptr<platform::UserSession> session;  // required
        std::shared_ptr<platform::Workspace> workspace;  // required
        std::shared_ptr<AgentViews> views;               // required
        // Null: a client for the session's user with production settings.
        std::shared_ptr<ServerClient> server;
        // Writes the presence flag off the main thread, so a stalled main
        // loop never lets it go stale. False: on the main queue's timers
        // (virtual-time tests).
        bool presenceOnOwnThread = true;
        // Tests only: replaces rename(2) for the rules file.
        std::function<int(const char*, const char*)> rulesRename;
    };

    static constexpr std::chrono::seconds kPresenceInterval{15};
    static constexpr std::chrono::seconds kCheckinInterval{300};
    static constexpr std::chrono::seconds kRulesPollInterval{60};
    static constexpr std::chrono::seconds kSafetyRefreshInterval{600};
    static constexpr std::chrono::seconds kStreamHealthInterval{30};
    static constexpr std::chrono::seconds kLimitsInterval{300};
    static constexpr std::chrono::seconds kMoreTimeInterval{30};
    static constexpr std::chrono::seconds kUsageInterval{60};
    // Event-stream silence after which the rules are polled and the stream rebuilt.
    static constexpr std::chrono::seconds kStreamSilence{90};
    static constexpr int kInitialFetchAttempts = 3;
    static constexpr std::uint64_t kInitialFetchDelaySeconds = 2;
    static constexpr const char* kMoreTimeReason = "from blocker";

    static std::shared_ptr<Agent> create(Dependencies deps);
    // Whether `username` (of `uid`) is a child by config.json: listed in a
    // trusted file's "child_users"; true for anyone but root and the
    // administrators when only an untrusted file is there; none when there is
    // no usable file. Writes nothing to the agent's log: the role asks this
    // before it touches any window system.
    static std::optional<bool> configListsChild(const std::string& username, uid_t uid);
    static std::optional<bool> childBy(const SystemConfig& config, const std::string& username,
                                       uid_t uid);
    ~Agent() override;

    // Start-up up to the event loop: the child check (false for anyone else:
    // nothing written, nothing sent; the process should exit with 0), then the
    // rules clamp, the presence flag, the proxy configuration, the heartbeat,
    // the bootstrap on the Background and the signal handlers.
    bool start();
    // The role's whole life: start(), then the main loop until shutdown();
    // returns the exit status (0).
    int run();
    // The menu-bar chat button.
    void openChat();
    // SIGTERM/SIGINT: tears everything down, removes the presence flag and
    // ends the main loop with status 0.
    void shutdown();

    // ScheduleBlocker
    void showBlocker() override;
    bool quotaHoldsBlocker() const override;
    void dismissBlocker() override;

    // What the blocker calls with the minutes the child chose.
    void requestMoreTimeFromBlocker(std::int64_t minutes);

    // --- Observers (main thread) ---
    const std::string& username() const { return username_; }
    uid_t uid() const { return uid_; }
    std::string presenceFlagPath() const;
    bool bootstrapped() const { return bootstrapped_; }
    bool isShutDown() const { return shutDown_; }
    const std::shared_ptr<ServerClient>& server() const { return server_; }
    const std::shared_ptr<RulesFile>& rulesFile() const { return rulesFile_; }
    const std::shared_ptr<ScreenTimeTracker>& screenTime() const { return screenTime_; }
    const std::shared_ptr<AppLimitEnforcer>& appLimits() const { return appLimits_; }
    const std::shared_ptr<ScheduleEnforcer>& schedule() const { return schedule_; }
    const std::shared_ptr<ChatController>& chat() const { return chat_; }
    const UsageReporter* usage() const { return usage_.get(); }
    bool blockerShown() const { return blocker_ != nullptr; }
    bool streamOpen() const { return sse_ != nullptr; }
    // The monotonic time of the event stream's last sign of life.
    MonoTime lastStreamActivity() const {
        return MonoTime(MonoTime::duration(lastSSEActivity_.load()));
    }
    // Timers that run now (presence, schedule check and the seven refresh timers).
    int activeTimers() const;

  private:
    explicit Agent(Dependencies deps);

    bool isChildUser() const;
    void startPresenceHeartbeat();
    void clearPresent() const;
    void installSignalHandlers();
    void bootstrap();
    void finishBootstrap(ServerClient::AppLimits limits, std::string day);
    void startScreenTimeTracker(const ServerClient::AppLimits& limits, const std::string& day);
    void onTrackerEvent(const ScreenTimeTracker::ThresholdEvent& event);
    void startFocusMonitor();
    void startChat();
    void startSSE();
    void handleEvent(const ServerClient::SSEEvent& event);
    void startPeriodicTimers();
    bool streamSilent() const;
    void refreshRules();
    // When the limits' fetch began: the grants counted so far and the local
    // day, which the service's figures in them are for.
    struct FetchStart {
        std::uint64_t grantsSeen = 0;
        std::string day;
    };
    FetchStart fetchStart() const;
    // A grant counted since `start` may be missing from the service's
    // figure, which then caps nothing.
    void applyAppLimits(const ServerClient::AppLimits& limits, const FetchStart& start);
    void extendQuota(std::int64_t minutes, std::optional<std::int64_t> requestId);
    void updateAccessWindows(std::vector<AccessWindow> windows);
    // Runs `task` on the main queue while the agent lives and is not shut down.
    void onMain(std::function<void(Agent&)> task);
    MonoTime::rep nowTicks() const;

    MainQueue& queue_;
    Background& background_;
    std::shared_ptr<const Clock> clock_;
    std::shared_ptr<platform::UserSession> session_;
    std::shared_ptr<platform::Workspace> workspace_;
    std::shared_ptr<AgentViews> views_;
    std::function<int(const char*, const char*)> rulesRename_;
    bool presenceOnOwnThread_ = true;

    TarvoLog log_;
    std::string username_;
    uid_t uid_;
    std::shared_ptr<ServerClient> server_;
    std::shared_ptr<RulesFile> rulesFile_;
    std::shared_ptr<ChatController> chat_;
    std::shared_ptr<ChatView> chatView_;
    std::shared_ptr<PresenceFlag> presence_;
    ScopedTimer presenceTimer_;
    std::unique_ptr<TimerThread> presenceThread_;
    std::shared_ptr<FocusMonitor> focus_;
    std::shared_ptr<SSESession> sse_;
    std::shared_ptr<ScreenTimeTracker> screenTime_;
    std::shared_ptr<AppLimitEnforcer> appLimits_;
    std::unique_ptr<BlockerView> blocker_;
    std::unique_ptr<TimeWarningView> warning_;
    std::unique_ptr<UsageReporter> usage_;
    // Monotonic ticks of the event stream's last sign of life: written on the
    // stream's thread, read by the main thread's timers.
    std::atomic<MonoTime::rep> lastSSEActivity_;
    // Grants the tracker counted: bumped on the main thread, read by fetches
    // on any thread.
    std::atomic<std::uint64_t> grantsCounted_{0};
    // Whether the last periodic fetch of each kind failed: a run of failures
    // (the network out for an hour) is logged once, when it starts.
    std::atomic<bool> limitsFailing_{false};
    std::atomic<bool> rulesFailing_{false};
    // Logs `what` + " failed: " + `error` at WARN when `failing` was clear.
    void noteFetchFailure(std::atomic<bool>& failing, const std::string& what,
                          const std::string& error);
    ScopedTimer safetyRefreshTimer_;
    ScopedTimer sseHealthTimer_;
    // The schedule: access windows, blockedBySchedule and the 60-second check.
    std::shared_ptr<ScheduleEnforcer> schedule_;
    ScopedTimer checkinTimer_;
    ScopedTimer rulesTimer_;
    ScopedTimer limitsTimer_;
    ScopedTimer moreTimeTimer_;
    ScopedTimer usageTimer_;
    bool started_ = false;
    bool bootstrapped_ = false;
    bool shutDown_ = false;
    // The thread that made the agent: the main thread, which owns the views.
    std::thread::id mainThread_;
};

}  // namespace tarvo
