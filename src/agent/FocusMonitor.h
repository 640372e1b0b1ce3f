#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/Clock.h"
#include "core/MainQueue.h"
#include "core/TarvoLog.h"
#include "platform/UserSession.h"
#include "platform/Workspace.h"

namespace tarvo {

// One stretch of foreground time of one application.
struct FocusSample {
    std::optional<std::string> bundleId;  // none for applications without one
    std::string appName;                  // "(unknown)" when the application has no name
    std::int64_t elapsedSeconds = 0;      // at least 1, truncated
    WallTime timestamp;                   // the end of the stretch

    bool operator==(const FocusSample&) const = default;
};

// Watches which application is frontmost and turns each stretch of foreground
// time into a FocusSample: at every switch, and every 30 seconds while the
// user is active. Main thread only; activation notifications are brought to
// the main queue before they are handled.
class FocusMonitor : public std::enable_shared_from_this<FocusMonitor> {
  public:
    using SampleHandler = std::function<void(const FocusSample&)>;

    static constexpr std::chrono::seconds kPollInterval{30};
    static constexpr double kIdleThresholdSeconds = 60.0;

    static std::shared_ptr<FocusMonitor> create(
        MainQueue& queue, std::shared_ptr<const Clock> clock,
        std::shared_ptr<platform::Workspace> workspace,
        std::shared_ptr<const platform::UserSession> session, SampleHandler onSample);
    ~FocusMonitor();

    // Times the frontmost application, listens for switches and starts the poll.
    void start();
    // Stops listening and polling and emits the stretch in progress.
    void stop();

    const std::optional<platform::RunningApp>& currentApp() const { return currentApp_; }

    FocusMonitor(MainQueue& queue, std::shared_ptr<const Clock> clock,
                 std::shared_ptr<platform::Workspace> workspace,
                 std::shared_ptr<const platform::UserSession> session, SampleHandler onSample);

  private:
    void handleSwitch(const std::optional<platform::RunningApp>& app);
    void poll();
    void flush();
    void removeObserver();

    MainQueue& queue_;
    std::shared_ptr<const Clock> clock_;
    std::shared_ptr<platform::Workspace> workspace_;
    std::shared_ptr<const platform::UserSession> session_;
    std::optional<platform::Workspace::ObserverId> observer_;
    ScopedTimer timer_;
    std::optional<platform::RunningApp> currentApp_;
    MonoTime currentStarted_;
    SampleHandler onSample_;
    bool running_ = false;
    TarvoLog log_;
};

}  // namespace tarvo
