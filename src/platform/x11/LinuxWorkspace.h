#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/Workspace.h"

namespace tarvo::platform {

// Linux: the applications of the X11 session. The window manager's client
// list (_NET_CLIENT_LIST) names the running applications, each window's
// _NET_WM_PID its process and WM_CLASS its identifier and name; the active
// window (_NET_ACTIVE_WINDOW) is the frontmost application, and changes of it
// are activations. Quit requests are SIGTERM, forced terminations SIGKILL.
// Without a display nothing is known: no applications, nothing in front, no
// activations.
class LinuxWorkspace : public Workspace {
  public:
    struct Options {
        // The X display to use; none reads DISPLAY.
        std::optional<std::string> display;
        // Where the process table is read (tests point it elsewhere).
        std::string procRoot = "/proc";
    };

    // What the window system says about one top-level window.
    struct WindowInfo {
        std::optional<pid_t> pid;
        std::optional<std::string> instance;   // WM_CLASS, first part
        std::optional<std::string> className;  // WM_CLASS, second part
        // The _NET_WM_WINDOW_TYPE names without their prefix ("NORMAL", "DOCK").
        std::vector<std::string> types;
        bool skipTaskbar = false;
    };

    LinuxWorkspace();
    explicit LinuxWorkspace(Options options);
    ~LinuxWorkspace() override;
    LinuxWorkspace(const LinuxWorkspace&) = delete;
    LinuxWorkspace& operator=(const LinuxWorkspace&) = delete;

    std::vector<RunningApp> runningApplications() override;
    std::optional<RunningApp> frontmostApplication() override;
    ObserverId addActivationObserver(ActivationHandler handler) override;
    void removeActivationObserver(ObserverId id) override;
    bool terminate(const RunningApp& app) override;
    bool forceTerminate(const RunningApp& app) override;
    bool isTerminated(const RunningApp& app) override;

    // Whether a display was reached.
    bool connected() const;

    // --- The pieces that need no display ---

    // WM_CLASS's value: instance and class, each ended by a NUL (the last
    // NUL may be missing). None for anything else.
    static std::optional<std::pair<std::string, std::string>> parseWmClass(std::string_view raw);
    // Regular when a window is an ordinary one (normal or dialog type, or no
    // type) shown in the taskbar; accessory otherwise.
    static ActivationPolicy policyFor(const WindowInfo& window);
    // One application per process, in client-list order; the first window of
    // a process names it, any ordinary window makes it regular. Windows
    // without a process or a class are skipped.
    static std::vector<RunningApp> appsFromWindows(const std::vector<WindowInfo>& windows);
    // From the text of /proc/<pid>/stat: the state letter and the start time
    // (field 22). None when the text is not of that shape.
    struct ProcStat {
        char state = '?';
        std::uint64_t startTime = 0;
    };
    static std::optional<ProcStat> parseProcStat(std::string_view text);

  private:
    struct X11;  // the Xlib connection and atoms, kept out of this header
    std::optional<ProcStat> procStat(pid_t pid) const;
    // Whether `app` still names the process it named when it was listed.
    bool sameProcess(const RunningApp& app) const;
    RunningApp withStart(RunningApp app) const;
    void watch();
    void notify(const std::optional<RunningApp>& app);

    Options options_;
    std::string displayName_;
    mutable std::mutex queryMutex_;
    std::unique_ptr<X11> query_;

    std::recursive_mutex observersMutex_;
    std::map<ObserverId, ActivationHandler> observers_;
    ObserverId lastObserver_ = 0;
    std::thread watcher_;
    int wakePipe_[2] = {-1, -1};
};

}  // namespace tarvo::platform
