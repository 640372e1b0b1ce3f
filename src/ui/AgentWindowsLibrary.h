#pragma once

// The boundary between the tarvo executable and the agent's windows
// (libtarvo_windows.so). The executable links Qt Core only, so the roles that
// show nothing (the daemon, the short commands) start without loading Qt
// Widgets, Qt Multimedia and the graphics stack; the agent role loads the
// library when a child's session has a display. This header holds no Qt type.

#include <memory>
#include <string>

#include "agent/AgentViews.h"
#include "core/MainQueue.h"
#include "platform/UserSession.h"

class QCoreApplication;

namespace tarvo::ui {

// The file name of the library, looked for beside the executable.
inline constexpr const char* kWindowsLibraryFile = "libtarvo_windows.so";
// The entry point's symbol: `WindowsLibrary* tarvo_windows_library(int revision)`.
inline constexpr const char* kWindowsEntryPoint = "tarvo_windows_library";
// Bumped whenever the class below changes shape.
inline constexpr int kWindowsInterfaceRevision = 1;

class WindowsLibrary {
  public:
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
