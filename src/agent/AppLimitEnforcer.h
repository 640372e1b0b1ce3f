#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/Background.h"
#include "core/Clock.h"
#include "core/MainQueue.h"
#include "core/TarvoLog.h"
#include "platform/Workspace.h"
#include "server/ServerClient.h"

namespace tarvo {

// Closes every ordinary application whose bundle identifier is neither on the
// parent's allowlist nor the system's or this product's own, every 5 seconds;
// one that has not quit 3 seconds after the request is ended by force. Each
// closing is reported to the service, at most once per application every
// 5 minutes. An empty allowlist enforces nothing. Main thread only; reports
// run on the Background.
class AppLimitEnforcer : public std::enable_shared_from_this<AppLimitEnforcer> {
  public:
    // Sends one report; blocking, never throws (ServerClient::reportAppLimitReached).
    using Report = std::function<void(const std::string& bundleId, const std::string& appName)>;

    static constexpr std::chrono::seconds kSweepInterval{5};
    static constexpr std::chrono::seconds kForceAfter{3};
    static constexpr std::chrono::seconds kReportCooldown{300};
    // Never closed: the operating system's applications and this product's own.
    static const std::vector<std::string>& systemPrefixes();

    static std::shared_ptr<AppLimitEnforcer> create(MainQueue& queue,
                                                    std::shared_ptr<const Clock> clock,
                                                    Background& background,
                                                    std::shared_ptr<platform::Workspace> workspace,
                                                    std::shared_ptr<ServerClient> server,
                                                    std::set<std::string> initialAllowed);
    // For owners that deliver reports some other way.
    static std::shared_ptr<AppLimitEnforcer> create(MainQueue& queue,
                                                    std::shared_ptr<const Clock> clock,
                                                    Background& background,
                                                    std::shared_ptr<platform::Workspace> workspace,
                                                    Report report,
                                                    std::set<std::string> initialAllowed);

    // Sweeps every 5 seconds, the first time 5 seconds from now.
    void start();
    void stop();
    // Replaces the allowlist (compared in lower case).
    void updateAllowlist(std::set<std::string> allowed);

    const std::set<std::string>& allowed() const { return allowed_; }

    AppLimitEnforcer(MainQueue& queue, std::shared_ptr<const Clock> clock, Background& background,
                     std::shared_ptr<platform::Workspace> workspace, Report report,
                     std::set<std::string> initialAllowed);

  private:
    void sweep();
    void terminate(const platform::RunningApp& app, const std::string& bundleId);
    void reportIfNeeded(const std::string& bundleId, const std::string& name);

    MainQueue& queue_;
    std::shared_ptr<const Clock> clock_;
    Background& background_;
    std::shared_ptr<platform::Workspace> workspace_;
    Report report_;
    std::set<std::string> allowed_;
    // Measured on the monotonic clock, so a clock change neither repeats nor
    // silences reports.
    std::map<std::string, MonoTime> reportedRecently_;
    ScopedTimer timer_;
    TarvoLog log_;
};

}  // namespace tarvo
