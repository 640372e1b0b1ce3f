#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::platform {

// How an application presents itself: a regular application has a Dock icon
// (a taskbar entry); accessory applications live in the menu bar or in panels;
// prohibited ones are background processes without any user interface.
enum class ActivationPolicy { regular, accessory, prohibited };

// One running application as the session's window system sees it. A plain
// value: copies refer to the same process.
struct RunningApp {
    pid_t pid = 0;  // 0 when the window system does not know the process
    std::optional<std::string> bundleId;
    std::optional<std::string> name;  // the localised name shown to the user
    ActivationPolicy policy = ActivationPolicy::regular;
    // Tells this process apart from a later one that reuses its pid; 0 when
    // unknown. Terminate calls never signal a process whose marker differs.
    std::uint64_t processStart = 0;

    bool operator==(const RunningApp&) const = default;
};

// The applications of the user's session: which run, which one is in front,
// and a way to ask one to quit or to end it.
class Workspace {
  public:
    using ObserverId = std::uint64_t;
    // Receives the application that has just become frontmost (none when the
    // system cannot tell which). May run on any thread: owners hop to their
    // main thread themselves.
    using ActivationHandler = std::function<void(const std::optional<RunningApp>&)>;

    virtual ~Workspace() = default;

    // The running applications, in the system's order.
    virtual std::vector<RunningApp> runningApplications() = 0;
    // The application whose window has the focus; none when there is none or
    // nothing is known (no display).
    virtual std::optional<RunningApp> frontmostApplication() = 0;

    // Calls `handler` every time another application becomes frontmost.
    // Once removeActivationObserver returns, the handler is not called again.
    virtual ObserverId addActivationObserver(ActivationHandler handler) = 0;
    virtual void removeActivationObserver(ObserverId id) = 0;

    // Asks the application to quit, as the user would; false when the request
    // could not be delivered.
    virtual bool terminate(const RunningApp& app) = 0;
    // Ends the application at once; false when that could not be done.
    virtual bool forceTerminate(const RunningApp& app) = 0;
    // Whether the application's process has ended.
    virtual bool isTerminated(const RunningApp& app) = 0;
};

}  // namespace tarvo::platform
