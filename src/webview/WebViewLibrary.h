#pragma once

// The boundary between the tarvo executable and the web view library
// (libtarvo_webview.so). The executable never links Qt WebEngine: the manager
// role loads the library at run time, looks up one C-linkage entry point and
// talks to the window through the abstract classes below. This header holds
// no Qt type, so the executable can include it freely.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "manager/ManagerView.h"

class QCoreApplication;

namespace tarvo::webview {

// The file name of the library, looked for in Paths::libraryDir().
inline constexpr const char* kLibraryFile = "libtarvo_webview.so";
// The entry point's symbol: `Library* tarvo_webview_library(int revision)`.
inline constexpr const char* kEntryPoint = "tarvo_webview_library";
// Bumped whenever a class below changes shape: a library from another build
// answers a different revision with null instead of crashing.
inline constexpr int kInterfaceRevision = 2;

// What the window reports to its owner, on the main thread.
class WindowDelegate {
  public:
    virtual ~WindowDelegate() = default;
    // A page finished loading; its address ("" when the view has none).
    virtual void pageFinished(const std::string& url) = 0;
    // A page that had started to show failed to load.
    virtual void navigationFailed(const std::string& description) = 0;
    // A page could not be reached at all (refused, no such host, timed out).
    virtual void provisionalNavigationFailed(const std::string& description) = 0;
    // A message the page at `pageUrl` posted; none when its body was not a
    // string. `pageUrl` is the address of the page shown in the window when
    // the message arrived ("" when it has none).
    virtual void messageReceived(const std::optional<std::string>& body,
                                 const std::string& pageUrl) = 0;
    // The user closed the window.
    virtual void windowClosed() = 0;
};

// The setup window: the web view as its whole content, and alerts.
class ManagerWindow : public ManagerView {
  public:
    struct Options {
        // Idle time-out of every page load: no progress for this long fails it.
        std::chrono::milliseconds loadTimeout{60000};
    };
    // Creates the window, centres it, shows it in front and gives it focus.
    virtual void buildWindow() = 0;
};

class Library {
  public:
    // The application object for the window (a QApplication, with what Qt
    // WebEngine needs set before it exists). Created here so that the
    // executable itself links Qt Core only. `argc` and `argv` must outlive it.
    virtual std::unique_ptr<QCoreApplication> createApplication(int& argc, char** argv) = 0;
    // A window reporting to `delegate`, which must outlive it. Destroy the
    // window before the application object.
    virtual std::shared_ptr<ManagerWindow> createWindow(WindowDelegate& delegate,
                                                        const ManagerWindow::Options& options) = 0;

  protected:
    ~Library() = default;
};

}  // namespace tarvo::webview
