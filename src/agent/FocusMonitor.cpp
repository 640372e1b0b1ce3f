#include "agent/FocusMonitor.h"

#include "core/Paths.h"
#include "core/Weak.h"

namespace tarvo {

std::shared_ptr<FocusMonitor> FocusMonitor::create(
    MainQueue& queue, std::shared_ptr<const Clock> clock,
    std::shared_ptr<platform::Workspace> workspace,
    std::shared_ptr<const platform::UserSession> session, SampleHandler onSample) {
    return std::make_shared<FocusMonitor>(queue, std::move(clock), std::move(workspace),
                                          std::move(session), std::move(onSample));
}

FocusMonitor::FocusMonitor(MainQueue& queue, std::shared_ptr<const Clock> clock,
                           std::shared_ptr<platform::Workspace> workspace,
                           std::shared_ptr<const platform::UserSession> session,
                           SampleHandler onSample)
    : queue_(queue),
      clock_(std::move(clock)),
      workspace_(std::move(workspace)),
      session_(std::move(session)),
      currentStarted_(clock_->monotonic()),
      onSample_(std::move(onSample)),
      log_("focus", Paths::agentLog()) {}

FocusMonitor::~FocusMonitor() {
    removeObserver();
}

void FocusMonitor::start() {
    if (running_) return;
    running_ = true;
    currentApp_ = workspace_ ? workspace_->frontmostApplication() : std::nullopt;
    currentStarted_ = clock_->monotonic();

    if (workspace_) {
        // Notifications may arrive on another thread; the switch is handled
        // on the main queue, and only while this monitor still exists.
        std::weak_ptr<FocusMonitor> weak = shared_from_this();
        MainQueue* queue = &queue_;
        observer_ = workspace_->addActivationObserver(
            [weak, queue](const std::optional<platform::RunningApp>& app) {
                queue->post([weak, app] {
                    if (auto self = weak.lock()) self->handleSwitch(app);
                });
            });
    }
    timer_ = ScopedTimer(
        queue_,
        queue_.startRepeating(std::chrono::duration_cast<Millis>(kPollInterval),
                              weakCallback(shared_from_this(), [](FocusMonitor& m) { m.poll(); })));
}

void FocusMonitor::stop() {
    if (!running_) return;
    running_ = false;
    removeObserver();
    timer_.reset();
    flush();
    currentStarted_ = clock_->monotonic();
}

void FocusMonitor::removeObserver() {
    if (observer_ && workspace_) workspace_->removeActivationObserver(*observer_);
    observer_.reset();
}

void FocusMonitor::poll() {
    if (!currentApp_) return;
    const auto idle = session_ ? session_->idleSeconds() : std::nullopt;
    if (idle && *idle > kIdleThresholdSeconds) {
        log_.debug("user idle — skipping sample");
    } else {
        flush();
    }
    currentStarted_ = clock_->monotonic();
}

void FocusMonitor::handleSwitch(const std::optional<platform::RunningApp>& app) {
    // A notification queued before stop() must not start a stretch nobody closes.
    if (!running_) return;
    flush();
    currentApp_ = app;
    currentStarted_ = clock_->monotonic();
}

void FocusMonitor::flush() {
    if (!currentApp_) return;
    // Stretches are measured on the monotonic clock, which stops while the
    // machine sleeps and ignores clock changes.
    const WallTime now = clock_->now();
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(clock_->monotonic() - currentStarted_);
    if (elapsed.count() < 1) return;
    FocusSample sample;
    if (currentApp_->bundleId) sample.bundleId = currentApp_->bundleId;
    sample.appName =
        currentApp_->name && !currentApp_->name->empty() ? *currentApp_->name : "(unknown)";
    sample.elapsedSeconds = elapsed.count();
    sample.timestamp = now;
    if (onSample_) onSample_(sample);
}

}  // namespace tarvo
