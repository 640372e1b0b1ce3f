#pragma once

// The boundary between the tarvo executable and the agent's windows
// (libtarvo_windows.so). The executable links Qt Core only, so the roles that
// show nothing (the daemon, the short commands) start without loading Qt
// Widgets, Qt Multimedia, X11 and the graphics stack; the agent role loads the
// library for a child's session and asks it for everything that reaches the
// display: the windows, the running applications and the idle time. This
// header holds no Qt or X11 type.

#include <memory>
#include <optional>
#include <string>

#include "agent/AgentViews.h"
#include "core/MainQueue.h"
#include "platform/UserSession.h"
#include "platform/Workspace.h"

class QCoreApplication;

namespace tarvo::ui {

// The file name of the library, looked for in Paths::libraryDir().
inline constexpr const char* kWindowsLibraryFile = "libtarvo_windows.so";
// The entry point's symbol: `WindowsLibrary* tarvo_windows_library(int revision)`.
inline constexpr const char* kWindowsEntryPoint = "tarvo_windows_library";
// Bumped whenever the class below changes shape.
inline constexpr int kWindowsInterfaceRevision = 2;

class WindowsLibrary {
  public:
    // Whether the X display named by DISPLAY accepts a connection now.
    virtual bool displayReachable() = 0;
    // The applications of the session's display.
    virtual std::shared_ptr<platform::Workspace> createWorkspace() = 0;
    // Seconds since the last input on the display; none when unknown.
    virtual std::optional<double> idleSeconds() = 0;
    // The agent's application object (a QApplication whose windows carry the
    // agent's WM_CLASS and which outlives its last closed window).
    virtual std::unique_ptr<QCoreApplication> createApplication() = 0;
    // The blocker, warning card, tray item and chat window of `session`'s
    // child; the chat finds its backdrop and sound in `resourcesDir`.
    // Destroy the views before the application object.
    virtual std::shared_ptr<AgentViews> createViews(MainQueue& queue,
                                                    std::shared_ptr<platform::UserSession> session,
                                                    const std::string& resourcesDir) = 0;

  protected:
    ~WindowsLibrary() = default;
};

}  // namespace tarvo::ui
