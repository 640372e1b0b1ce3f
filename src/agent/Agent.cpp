#include "agent/Agent.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

#include "chat/ChatService.h"
#include "core/AtomicFile.h"
#include "core/Json.h"
#include "core/Paths.h"
#include "core/SystemConfig.h"
#include "core/TimeFormat.h"
#include "core/Weak.h"

namespace tarvo {

namespace {

constexpr MonoTime::rep kDistantPast = std::numeric_limits<MonoTime::rep>::min() / 2;

}  // namespace

std::shared_ptr<Agent> Agent::create(Dependencies deps) {
    return std::shared_ptr<Agent>(new Agent(std::move(deps)));
}

Agent::Agent(Dependencies deps)
    : queue_(*deps.queue),
      background_(*deps.background),
      clock_(deps.clock ? std::move(deps.clock) : systemClock()),
      session_(std::move(deps.session)),
      workspace_(std::move(deps.workspace)),
      views_(std::move(deps.views)),
      rulesRename_(std::move(deps.rulesRename)),
      presenceOnOwnThread_(deps.presenceOnOwnThread),
      log_("agent", Paths::agentLog()),
      username_(session_->userName()),
      uid_(session_->uid()),
      server_(std::move(deps.server)),
      lastSSEActivity_(kDistantPast),
      mainThread_(std::this_thread::get_id()) {
    if (!server_) {
        ServerClient::Options options;
        options.username = username_;
        options.clock = clock_;
        server_ = ServerClient::create(std::move(options));
    }
}

Agent::~Agent() {
    if (sse_) sse_->cancel();
    if (std::this_thread::get_id() == mainThread_) return;
    // A worker thread held the last reference (a fetch that ended after the
    // agent's owner let go): the windows behind the views are the main
    // thread's and go there, never on this thread.
    struct Windows {
        std::shared_ptr<AgentViews> views;
        std::shared_ptr<ChatView> chatView;
        std::unique_ptr<BlockerView> blocker;
        std::unique_ptr<TimeWarningView> warning;
    };
    auto windows = std::make_shared<Windows>(
        Windows{std::move(views_), std::move(chatView_), std::move(blocker_), std::move(warning_)});
    queue_.post([windows] {
        windows->blocker.reset();
        windows->warning.reset();
        windows->chatView.reset();
        windows->views.reset();
    });
}

MonoTime::rep Agent::nowTicks() const {
    return clock_->monotonic().time_since_epoch().count();
}

std::string Agent::presenceFlagPath() const {
    return Paths::activeChildrenDir() + "/" + std::to_string(uid_) + ".flag";
}

void Agent::onMain(std::function<void(Agent&)> task) {
    queue_.post(weakCallback(shared_from_this(), [task = std::move(task)](Agent& self) {
        if (!self.shutDown_) task(self);
    }));
}

// --- Start-up ---------------------------------------------------------------

int Agent::run() {
    if (!start()) return 0;
    queue_.run();
    // Whatever ended the loop, the process ends with status 0.
    return 0;
}

namespace {
// How often a write is retried that is refused until the daemon hands this
// child the proxy's files.
constexpr std::chrono::seconds kRefusedWriteRetry{1};
}  // namespace

bool Agent::start() {
    if (started_) return !shutDown_;
    started_ = true;
    log_.info("agent starting for user='" + username_ + "' uid=" + std::to_string(uid_) +
              " pid=" + std::to_string(getpid()));
    if (!isChildUser()) {
        log_.info("user '" + username_ + "' is not flagged as a child — exiting cheaply");
        shutDown_ = true;
        return false;
    }
    log_.info("user '" + username_ + "' IS a child — registering presence + monitoring");
    views_->becomeMenuBarOnly();

    RulesFile::Options rulesOptions;
    rulesOptions.username = username_;
    rulesOptions.uid = uid_;
    rulesOptions.deviceId = server_->deviceId();
    rulesOptions.clock = clock_;
    rulesOptions.rename = rulesRename_;
    rulesOptions.retryInASecond = [weak = weak_from_this()](std::function<void()> task) {
        if (auto self = weak.lock()) self->queue_.postDelayed(kRefusedWriteRetry, task);
    };
    rulesFile_ = RulesFile::create(std::move(rulesOptions), log_, background_);
    schedule_ = ScheduleEnforcer::create(queue_, clock_, weak_from_this(), log_);
    usage_ = std::make_unique<UsageReporter>(clock_, background_, server_);

    rulesFile_->neutralizeStaleRulesIfNotMine();
    // Before the flag exists: a SIGTERM from here on (a log-out right after
    // log-in) still shuts down cleanly and takes the flag away.
    installSignalHandlers();
    presence_ = std::make_shared<PresenceFlag>(presenceFlagPath(), log_);
    presence_->write();
    rulesFile_->writeProxyConfig();
    startPresenceHeartbeat();
    background_.run([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->bootstrap();
    });
    return true;
}

std::optional<bool> Agent::childBy(const SystemConfig& config, const std::string& username,
                                   uid_t uid) {
    if (config.childUsers) {
        for (const auto& name : *config.childUsers)
            if (name == username) return true;
        return false;
    }
    // Only someone else's config.json is there: no administrator wrote it, so
    // it is a child's, and it must not switch supervision off. Everyone but
    // root and the administrators stays supervised until a trusted file is back.
    if (config.untrustedOwner && !isTrustedConfigOwner(uid)) return true;
    return std::nullopt;
}

std::optional<bool> Agent::configListsChild(const std::string& username, uid_t uid) {
    SystemConfigReader reader(TarvoLog("agent"));
    return childBy(reader.read(), username, uid);
}

bool Agent::isChildUser() const {
    SystemConfigReader reader(log_);
    const SystemConfig config = reader.read();
    if (auto child = childBy(config, username_, uid_)) {
        if (!config.childUsers)
            log_.warn("treating '" + username_ + "' as a child: " + reader.path() +
                      " is owned by uid " + std::to_string(*config.untrustedOwner) +
                      ", not by root or an administrator");
        return *child;
    }
    log_.warn("no " + Paths::configFile() + " found — defaulting NOT a child");
    return false;
}

// --- Presence -----------------------------------------------------------------

void Agent::startPresenceHeartbeat() {
    if (presenceOnOwnThread_) {
        // The thread holds only the flag: it needs nothing of the agent, and
        // is joined before the flag is removed at shutdown.
        presenceThread_ = std::make_unique<TimerThread>(
            kPresenceInterval, [presence = presence_] { presence->write(); });
        return;
    }
    presenceTimer_ = ScopedTimer(
        queue_,
        queue_.startRepeating(kPresenceInterval, weakCallback(shared_from_this(), [](Agent& self) {
                                  self.presence_->write();
                              })));
}

void Agent::clearPresent() const {
    std::error_code ec;
    std::filesystem::remove(presenceFlagPath(), ec);
}

void Agent::installSignalHandlers() {
    for (int signo : {SIGTERM, SIGINT}) {
        queue_.onSignal(signo,
                        weakCallback(shared_from_this(), [](Agent& self) { self.shutdown(); }));
    }
}

// --- Bootstrap (Background) ----------------------------------------------------

void Agent::bootstrap() {
    server_->checkInCurrentUser();

    if (auto rules = server_->fetchRulesWithRetryAndCache(kInitialFetchAttempts,
                                                          kInitialFetchDelaySeconds)) {
        // Nothing else writes the rules file yet (the stream and the timers
        // start after this), so the write runs here, in order.
        try {
            rulesFile_->writeNow(*rules);
            const std::string line = "initial rules: " + std::to_string(rules->whitelist.size()) +
                                     " wl, " + std::to_string(rules->blacklist.size()) + " bl, " +
                                     std::to_string(rules->accessWindows.size()) +
                                     " access window(s)";
            onMain([windows = rules->accessWindows, line](Agent& self) {
                self.updateAccessWindows(windows);
                self.log_.info(line);
            });
        } catch (const std::exception& e) {
            log_.error(std::string("couldn't write initial rules: ") + e.what());
        }
    } else {
        log_.error("no settings and no cache — proxy keeps whatever rules are on disk");
    }

    ServerClient::AppLimits limits;
    const std::string day = localDayKey(clock_->now());
    try {
        limits = server_->fetchAppLimits();
        log_.info("initial app limits: " + std::to_string(limits.allowedBundleIds.size()) +
                  " apps, quota=" + std::to_string(limits.dailyMinutes) + "m");
    } catch (const std::exception& e) {
        // The last limits fetched still hold: a lost network must not end them.
        if (auto cached = server_->cachedAppLimits()) {
            limits = std::move(*cached);
            log_.warn(std::string("initial app-limits fetch failed (") + e.what() +
                      ") — enforcing the cached limits: " +
                      std::to_string(limits.allowedBundleIds.size()) +
                      " apps, quota=" + std::to_string(limits.dailyMinutes) + "m");
        } else {
            limits = {};
            log_.warn(std::string("initial app-limits fetch failed (") + e.what() +
                      ") — permissive until next tick");
        }
    }
    onMain([limits = std::move(limits), day](Agent& self) mutable {
        self.finishBootstrap(std::move(limits), day);
    });
}

void Agent::finishBootstrap(ServerClient::AppLimits limits, std::string day) {
    startScreenTimeTracker(limits, day);
    appLimits_ = AppLimitEnforcer::create(queue_, clock_, background_, workspace_, server_,
                                          std::move(limits.allowedBundleIds));
    appLimits_->start();
    startFocusMonitor();
    schedule_->start();
    schedule_->evaluateAccessWindow();
    startSSE();
    startChat();
    startPeriodicTimers();
    bootstrapped_ = true;
}

void Agent::startScreenTimeTracker(const ServerClient::AppLimits& limits, const std::string& day) {
    std::weak_ptr<Agent> weak = weak_from_this();
    screenTime_ = ScreenTimeTracker::create(
        queue_, clock_, session_, limits.dailyMinutes, limits.warnAtMinutesRemaining,
        [weak](const ScreenTimeTracker::ThresholdEvent& event) {
            if (auto self = weak.lock())
                self->onMain([event](Agent& agent) { agent.onTrackerEvent(event); });
        });
    // Before the first tick, so that a state file the child rewrote is
    // judged against the service's figures at once.
    screenTime_->applyServiceTotals(day, limits.grantedMinutesToday, limits.usedSecondsToday);
    screenTime_->start();
}

void Agent::onTrackerEvent(const ScreenTimeTracker::ThresholdEvent& event) {
    using Kind = ScreenTimeTracker::ThresholdEvent::Kind;
    switch (event.kind) {
        case Kind::warning:
            log_.info("warning fired — " + std::to_string(event.minutes) + "m left");
            if (!warning_) warning_ = views_->makeTimeWarning();
            if (warning_) warning_->show(event.minutes);
            break;
        case Kind::quotaExtended:
            log_.info("quota extended — " + std::to_string(event.minutes) +
                      "m remaining, dismissing blocker if up");
            // A grant is the parent's explicit choice: it takes the blocker
            // down whatever raised it (the schedule's next check may raise it
            // again outside the usage window).
            if (event.minutes >= 1) dismissBlocker();
            break;
        case Kind::quotaExhausted:
            log_.info("quota exhausted — showing blocker");
            showBlocker();
            break;
    }
}

void Agent::startFocusMonitor() {
    focus_ = FocusMonitor::create(
        queue_, clock_, workspace_, session_,
        weakCallback(shared_from_this(), [](Agent& self, const FocusSample& s) {
            if (self.usage_) self.usage_->recordSample(s);
        }));
    focus_->start();
}

void Agent::startChat() {
    auto service = std::make_shared<ChatService>(server_->api(), server_->deviceId(), username_);
    chat_ = ChatController::create(service, username_, queue_, background_, clock_, session_);
    chatView_ = views_->makeChatView();
    if (chatView_) chat_->attachView(chatView_);
    chat_->startPolling();
    chat_->startReadWatcher();
    views_->installChatMenuItem(
        weakCallback(shared_from_this(), [](Agent& self) { self.openChat(); }));
    log_.info("chat started (menu-bar item + " +
              std::to_string(
                  std::chrono::duration_cast<std::chrono::seconds>(ChatController::pollInterval)
                      .count()) +
              "s poll)");
}

void Agent::openChat() {
    log_.info("menu-bar chat icon clicked — opening window");
    if (chat_) chat_->openChat();
}

// --- Blocker and more time ----------------------------------------------------

void Agent::showBlocker() {
    if (blocker_ || shutDown_) return;
    std::string childName = session_->fullName();
    if (childName.empty()) childName = username_;
    const std::int64_t minutesUsed = screenTime_ ? screenTime_->state().seconds / 60 : 0;
    blocker_ = views_->makeBlocker(
        childName, minutesUsed, weakCallback(shared_from_this(), [](Agent& self, std::int64_t m) {
            self.requestMoreTimeFromBlocker(m);
        }));
    if (blocker_) blocker_->show();
}

bool Agent::quotaHoldsBlocker() const {
    if (!screenTime_) return false;
    const auto& s = screenTime_->state();
    return ScheduleEnforcer::quotaUsedUp(s.quotaMinutes, s.grantedBonusMinutes, s.seconds);
}

void Agent::dismissBlocker() {
    if (!blocker_) return;
    blocker_->dismiss();
    blocker_.reset();
}

void Agent::requestMoreTimeFromBlocker(std::int64_t minutes) {
    background_.run([weak = weak_from_this(), minutes] {
        auto self = weak.lock();
        if (!self) return;
        try {
            self->server_->requestMoreTime(minutes, kMoreTimeReason);
            self->log_.info("more-time request POSTed");
        } catch (const std::exception& e) {
            self->log_.warn(std::string("more-time POST failed: ") + e.what());
        }
    });
}

void Agent::extendQuota(std::int64_t minutes, std::optional<std::int64_t> requestId) {
    if (screenTime_ && screenTime_->extendQuota(minutes, requestId)) ++grantsCounted_;
}

void Agent::updateAccessWindows(std::vector<AccessWindow> windows) {
    if (schedule_) schedule_->updateAccessWindows(std::move(windows));
}

// --- Event stream -------------------------------------------------------------

void Agent::startSSE() {
    lastSSEActivity_.store(nowTicks());
    std::weak_ptr<Agent> weak = weak_from_this();
    sse_ = server_->subscribeEvents(
        [weak] {
            if (auto self = weak.lock()) self->lastSSEActivity_.store(self->nowTicks());
        },
        [weak](const ServerClient::SSEEvent& event) {
            if (auto self = weak.lock()) self->handleEvent(event);
        });
}

// Runs on the stream's thread: only the log, the atomic, the rules file's
// queue and posts to the main queue are touched here.
void Agent::handleEvent(const ServerClient::SSEEvent& event) {
    using Kind = ServerClient::SSEEvent::Kind;
    std::weak_ptr<Agent> weak = weak_from_this();
    switch (event.kind) {
        case Kind::rulesUpdated:
            rulesFile_->writeRulesFile(event.rules, [weak, windows = event.rules.accessWindows](
                                                        const RulesFile::WriteResult& r) {
                auto self = weak.lock();
                if (!self) return;
                if (!r.ok()) {
                    self->log_.error("SSE rules write failed: " + r.error);
                    return;
                }
                self->onMain([windows](Agent& agent) { agent.updateAccessWindows(windows); });
                self->log_.info("rules updated via SSE");
            });
            break;
        case Kind::moreTimeApproved:
            log_.info("SSE: parent granted +" + std::to_string(event.minutes) + "m");
            onMain([m = event.minutes, id = event.requestId](Agent& self) {
                self.extendQuota(m, id);
            });
            break;
        case Kind::forceUpdate:
            log_.info("SSE force_update — pulling fresh settings");
            background_.run([weak] {
                auto self = weak.lock();
                if (!self) return;
                try {
                    // The access windows stay as they are on this path.
                    self->rulesFile_->writeRulesFile(self->server_->fetchRules());
                } catch (const std::exception& e) {
                    self->log_.warn(std::string("force_update rules fetch failed: ") + e.what());
                }
                try {
                    const FetchStart start = self->fetchStart();
                    auto limits = self->server_->fetchAppLimits();
                    self->onMain(
                        [limits, start](Agent& agent) { agent.applyAppLimits(limits, start); });
                } catch (const std::exception& e) {
                    self->log_.warn(std::string("force_update app-limits fetch failed: ") +
                                    e.what());
                }
            });
            break;
    }
}

// --- Refresh timers -----------------------------------------------------------

bool Agent::streamSilent() const {
    const auto silence = nowTicks() - lastSSEActivity_.load();
    return silence >= std::chrono::duration_cast<MonoTime::duration>(kStreamSilence).count();
}

void Agent::startPeriodicTimers() {
    auto every = [this](std::chrono::seconds interval, void (*tick)(Agent&)) {
        return ScopedTimer(queue_,
                           queue_.startRepeating(interval, weakCallback(shared_from_this(), tick)));
    };
    checkinTimer_ = every(kCheckinInterval, [](Agent& self) {
        self.background_.run([weak = self.weak_from_this()] {
            if (auto s = weak.lock()) s->server_->checkInCurrentUser();
        });
    });
    rulesTimer_ = every(kRulesPollInterval, [](Agent& self) {
        if (!self.streamSilent()) return;
        self.log_.debug("SSE stale — polling rules");
        self.refreshRules();
    });
    safetyRefreshTimer_ = every(kSafetyRefreshInterval, [](Agent& self) {
        self.log_.debug("safety refresh (" + std::to_string(kSafetyRefreshInterval.count()) +
                        "s, unconditional)");
        self.refreshRules();
    });
    sseHealthTimer_ = every(kStreamHealthInterval, [](Agent& self) {
        if (!self.streamSilent()) return;
        self.log_.warn("SSE silent for >" + std::to_string(kStreamSilence.count()) +
                       "s — reconnecting");
        if (self.sse_) self.sse_->cancel();
        self.sse_.reset();
        self.startSSE();
    });
    limitsTimer_ = every(kLimitsInterval, [](Agent& self) {
        self.background_.run([weak = self.weak_from_this()] {
            auto s = weak.lock();
            if (!s) return;
            try {
                const FetchStart start = s->fetchStart();
                auto limits = s->server_->fetchAppLimits();
                s->limitsFailing_ = false;
                s->onMain([limits, start](Agent& agent) { agent.applyAppLimits(limits, start); });
            } catch (const std::exception& e) {
                s->noteFetchFailure(s->limitsFailing_, "app-limits refresh", e.what());
            }
        });
    });
    moreTimeTimer_ = every(kMoreTimeInterval, [](Agent& self) {
        self.background_.run([weak = self.weak_from_this()] {
            auto s = weak.lock();
            if (!s) return;
            for (const auto& grant : s->server_->checkMoreTimeGrants())
                s->onMain(
                    [grant](Agent& agent) { agent.extendQuota(grant.minutes, grant.requestId); });
        });
    });
    usageTimer_ = every(kUsageInterval, [](Agent& self) { self.usage_->flushUsage(); });
}

void Agent::refreshRules() {
    background_.run([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        ServerClient::Rules rules;
        try {
            rules = self->server_->fetchRules();
            self->rulesFailing_ = false;
        } catch (const std::exception& e) {
            self->noteFetchFailure(self->rulesFailing_, "rules refresh", e.what());
            self->rulesFile_->recoverFromCacheIfClamped(
                [server = self->server_] { return server->cachedRules(); },
                [weak](std::vector<AccessWindow> windows) {
                    if (auto s = weak.lock())
                        s->onMain([windows = std::move(windows)](Agent& agent) mutable {
                            agent.updateAccessWindows(std::move(windows));
                        });
                });
            return;
        }
        // The fetched schedule applies even when the write fails.
        self->rulesFile_->writeRulesFile(
            rules, [weak, windows = rules.accessWindows](const RulesFile::WriteResult&) {
                if (auto s = weak.lock())
                    s->onMain([windows](Agent& agent) { agent.updateAccessWindows(windows); });
            });
    });
}

void Agent::noteFetchFailure(std::atomic<bool>& failing, const std::string& what,
                             const std::string& error) {
    if (!failing.exchange(true))
        log_.warn(what + " failed: " + error + " \xE2\x80\x94 keeping what is in force");
}

Agent::FetchStart Agent::fetchStart() const {
    return {grantsCounted_.load(), localDayKey(clock_->now())};
}

void Agent::applyAppLimits(const ServerClient::AppLimits& limits, const FetchStart& start) {
    if (appLimits_) appLimits_->updateAllowlist(limits.allowedBundleIds);
    if (!screenTime_) return;
    // Unchanged limits leave the fired flags alone; new ones let the warning
    // and the exhaustion fire again.
    screenTime_->applyLimits(limits.dailyMinutes, limits.warnAtMinutesRemaining);
    const bool grantSince = grantsCounted_.load() != start.grantsSeen;
    screenTime_->applyServiceTotals(
        start.day, grantSince ? std::nullopt : limits.grantedMinutesToday, limits.usedSecondsToday);
}

// --- Shutdown -----------------------------------------------------------------

void Agent::shutdown() {
    if (shutDown_) return;
    log_.info("agent shutdown");
    if (usage_) usage_->flushUsage();
    checkinTimer_.reset();
    rulesTimer_.reset();
    limitsTimer_.reset();
    moreTimeTimer_.reset();
    usageTimer_.reset();
    safetyRefreshTimer_.reset();
    sseHealthTimer_.reset();
    if (schedule_) schedule_->stop();
    presenceTimer_.reset();
    presenceThread_.reset();
    if (sse_) sse_->cancel();
    sse_.reset();
    if (focus_) {
        focus_->stop();
        // Stopping emits the stretch in progress; report it too rather than lose it.
        if (usage_) usage_->flushUsage();
    }
    if (screenTime_) screenTime_->stop();
    if (appLimits_) appLimits_->stop();
    if (blocker_) blocker_->dismiss();
    blocker_.reset();
    if (warning_) warning_->close();
    shutDown_ = true;
    clearPresent();
    queue_.quit(0);
}

int Agent::activeTimers() const {
    int n = 0;
    for (const ScopedTimer* t :
         {&presenceTimer_, &checkinTimer_, &rulesTimer_, &safetyRefreshTimer_, &sseHealthTimer_,
          &limitsTimer_, &moreTimeTimer_, &usageTimer_})
        n += t->active() ? 1 : 0;
    if (schedule_ && schedule_->running()) ++n;
    if (presenceThread_) ++n;
    return n;
}

}  // namespace tarvo
