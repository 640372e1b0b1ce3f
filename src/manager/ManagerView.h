#pragma once

#include <functional>
#include <string>

namespace tarvo {

// The setup window as its logic sees it: a web view, modal alerts and the
// application. ManagerController calls these on the main thread only.
class ManagerView {
  public:
    enum class AlertStyle { Warning, Informational, Critical };

    virtual ~ManagerView() = default;

    // A modal alert: `title` as the message, `text` as the informative text,
    // one "OK" button. Returns at once, without an event loop of its own (so
    // no timer, grant or signal runs inside a half-finished call); `dismissed`
    // runs on the main thread once the user has pressed "OK".
    virtual void presentAlert(const std::string& title, const std::string& text, AlertStyle style,
                              std::function<void()> dismissed = {}) = 0;
    // Loads `url` in the web view (default cache policy, 60-second time-out).
    virtual void load(const std::string& url) = 0;
    // Ends the application.
    virtual void terminate() = 0;
};

}  // namespace tarvo
