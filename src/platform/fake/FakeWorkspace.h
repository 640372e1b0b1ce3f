#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "platform/Workspace.h"

namespace tarvo::platform {

// A workspace a test scripts: it launches applications, brings one to the
// front (telling the observers at once, on the calling thread) and decides
// which applications obey a quit request. Every terminate request is recorded.
class FakeWorkspace : public Workspace {
  public:
    // Adds a running application; `quitsWhenAsked` false makes it ignore the
    // polite request (only a forced termination ends it).
    void launch(const RunningApp& app, bool quitsWhenAsked = true) {
        apps_.push_back(app);
        obeys_[app.pid] = quitsWhenAsked;
        ended_.erase(app.pid);
    }
    // Makes `app` frontmost (none: nothing in front) and notifies the observers.
    void activate(const std::optional<RunningApp>& app) {
        front_ = app;
        auto observers = observers_;  // a handler may remove itself
        for (auto& [id, handler] : observers) handler(app);
    }
    // Sets the frontmost application without any notification.
    void setFrontmost(const std::optional<RunningApp>& app) { front_ = app; }
    // The application's process ends on its own.
    void quit(pid_t pid) { end(pid); }

    std::vector<RunningApp> runningApplications() override { return apps_; }
    std::optional<RunningApp> frontmostApplication() override { return front_; }
    ObserverId addActivationObserver(ActivationHandler handler) override {
        observers_[++lastObserver_] = std::move(handler);
        return lastObserver_;
    }
    void removeActivationObserver(ObserverId id) override { observers_.erase(id); }
    bool terminate(const RunningApp& app) override {
        terminateRequests_.push_back(app.pid);
        if (!running(app.pid)) return false;
        if (obeys_[app.pid]) end(app.pid);
        return true;
    }
    bool forceTerminate(const RunningApp& app) override {
        forceRequests_.push_back(app.pid);
        if (!running(app.pid)) return false;
        end(app.pid);
        return true;
    }
    bool isTerminated(const RunningApp& app) override { return !running(app.pid); }

    const std::vector<pid_t>& terminateRequests() const { return terminateRequests_; }
    const std::vector<pid_t>& forceRequests() const { return forceRequests_; }
    size_t observerCount() const { return observers_.size(); }
    bool running(pid_t pid) const { return !ended_.count(pid) && find(pid) != apps_.end(); }

  private:
    std::vector<RunningApp>::const_iterator find(pid_t pid) const {
        return std::find_if(apps_.begin(), apps_.end(),
                            [pid](const RunningApp& a) { return a.pid == pid; });
    }
    void end(pid_t pid) {
        ended_.insert(pid);
        apps_.erase(std::remove_if(apps_.begin(), apps_.end(),
                                   [pid](const RunningApp& a) { return a.pid == pid; }),
                    apps_.end());
        if (front_ && front_->pid == pid) front_.reset();
    }

    std::vector<RunningApp> apps_;
    std::map<pid_t, bool> obeys_;
    std::set<pid_t> ended_;
    std::optional<RunningApp> front_;
    std::map<ObserverId, ActivationHandler> observers_;
    ObserverId lastObserver_ = 0;
    std::vector<pid_t> terminateRequests_;
    std::vector<pid_t> forceRequests_;
};

}  // namespace tarvo::platform
