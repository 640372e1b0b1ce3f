#include "agent/AppLimitEnforcer.h"

#include <algorithm>
#include <cctype>

#include "core/Paths.h"
#include "core/Weak.h"

namespace tarvo {

namespace {

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::set<std::string> lowerCased(const std::set<std::string>& ids) {
    std::set<std::string> out;
    for (const auto& id : ids) out.insert(lowerCase(id));
    return out;
}

}  // namespace

const std::vector<std::string>& AppLimitEnforcer::systemPrefixes() {
    static const std::vector<std::string> prefixes = {"com.apple.", "app.tarvo.", "com.tarvo."};
    return prefixes;
}

std::shared_ptr<AppLimitEnforcer> AppLimitEnforcer::create(
    MainQueue& queue, std::shared_ptr<const Clock> clock, Background& background,
    std::shared_ptr<platform::Workspace> workspace, std::shared_ptr<ServerClient> server,
    std::set<std::string> initialAllowed) {
    Report report = [server = std::move(server)](const std::string& id, const std::string& name) {
        if (server) server->reportAppLimitReached(id, name);
    };
    return create(queue, std::move(clock), background, std::move(workspace), std::move(report),
                  std::move(initialAllowed));
}

std::shared_ptr<AppLimitEnforcer> AppLimitEnforcer::create(
    MainQueue& queue, std::shared_ptr<const Clock> clock, Background& background,
    std::shared_ptr<platform::Workspace> workspace, Report report,
    std::set<std::string> initialAllowed) {
    return std::make_shared<AppLimitEnforcer>(queue, std::move(clock), background,
                                              std::move(workspace), std::move(report),
                                              std::move(initialAllowed));
}

AppLimitEnforcer::AppLimitEnforcer(MainQueue& queue, std::shared_ptr<const Clock> clock,
                                   Background& background,
                                   std::shared_ptr<platform::Workspace> workspace, Report report,
                                   std::set<std::string> initialAllowed)
    : queue_(queue),
      clock_(std::move(clock)),
      background_(background),
      workspace_(std::move(workspace)),
      report_(std::move(report)),
      allowed_(lowerCased(initialAllowed)),
      log_("apps", Paths::agentLog()) {}

void AppLimitEnforcer::start() {
    timer_ = ScopedTimer(
        queue_, queue_.startRepeating(
                    std::chrono::duration_cast<Millis>(kSweepInterval),
                    weakCallback(shared_from_this(), [](AppLimitEnforcer& e) { e.sweep(); })));
}

void AppLimitEnforcer::stop() {
    timer_.reset();
}

void AppLimitEnforcer::updateAllowlist(std::set<std::string> allowed) {
    allowed_ = lowerCased(allowed);
    log_.info("allowlist updated: " + std::to_string(allowed_.size()) + " apps");
}

void AppLimitEnforcer::sweep() {
    // An empty allowlist means everything is allowed: the agent runs
    // permissive until it has fetched limits.
    if (allowed_.empty() || !workspace_) return;
    for (const auto& app : workspace_->runningApplications()) {
        if (!app.bundleId) continue;
        const std::string id = lowerCase(*app.bundleId);
        if (id.empty()) continue;
        const auto& prefixes = systemPrefixes();
        if (std::any_of(prefixes.begin(), prefixes.end(),
                        [&](const std::string& p) { return id.starts_with(p); }))
            continue;
        if (allowed_.count(id)) continue;
        if (app.policy != platform::ActivationPolicy::regular) continue;
        terminate(app, id);
    }
}

void AppLimitEnforcer::terminate(const platform::RunningApp& app, const std::string& bundleId) {
    const std::string name = app.name && !app.name->empty() ? *app.name : bundleId;
    log_.info("closing unauthorized app: " + name + " (" + bundleId + ")");
    reportIfNeeded(bundleId, name);
    workspace_->terminate(app);
    queue_.postDelayed(std::chrono::duration_cast<Millis>(kForceAfter),
                       weakCallback(shared_from_this(), [app, name](AppLimitEnforcer& self) {
                           if (self.workspace_->isTerminated(app)) return;
                           self.log_.warn("force-killing unresponsive: " + name);
                           self.workspace_->forceTerminate(app);
                       }));
}

void AppLimitEnforcer::reportIfNeeded(const std::string& bundleId, const std::string& name) {
    const MonoTime now = clock_->monotonic();
    auto it = reportedRecently_.find(bundleId);
    if (it != reportedRecently_.end() && now - it->second < kReportCooldown) return;
    // Recorded before the report goes out, so a failed report also waits.
    reportedRecently_[bundleId] = now;
    background_.run([report = report_, bundleId, name] {
        if (report) report(bundleId, name);
    });
}

}  // namespace tarvo
