#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/Background.h"
#include "core/Clock.h"
#include "core/MainQueue.h"
#include "core/TarvoLog.h"
#include "manager/ManagerView.h"
#include "platform/AccountDirectory.h"
#include "server/ServerClient.h"

namespace tarvo {

// A failure to write config.json. what() is the description shown to the parent.
class ConfigWriteError : public std::runtime_error {
  public:
    static constexpr const char* kDomain = "tarvo.manager";
    ConfigWriteError(int code, const std::string& description)
        : std::runtime_error(description), code_(code) {}
    const char* domain() const { return kDomain; }
    // The operating system's error number.
    int code() const { return code_; }

  private:
    int code_;
};

// The logic behind the setup window: the sign-in page, the messages the page
// posts over the bridge, sending this Mac's accounts to the service, fetching
// which of them are children and writing config.json. The window itself (a
// web view and alerts) is reached through ManagerView, held weakly.
//
// Everything public is called on the main queue. The two service
// conversations run on the Background; their alerts, page loads and the
// configuration write come back to the main queue, so two writes never overlap.
class ManagerController : public std::enable_shared_from_this<ManagerController> {
  public:
    static std::shared_ptr<ManagerController> create(
        std::shared_ptr<ServerClient> server, MainQueue& queue, Background& background,
        std::shared_ptr<const Clock> clock, std::string currentUser,
        std::shared_ptr<platform::AccountDirectory> accounts);
    // The user running the process and the system clock.
    static std::shared_ptr<ManagerController> create(
        std::shared_ptr<ServerClient> server, MainQueue& queue, Background& background,
        std::shared_ptr<platform::AccountDirectory> accounts);
    // The short name of the user running this process.
    static std::string currentUserName();

    void attachView(const std::shared_ptr<ManagerView>& view) { view_ = view; }

    // "<api>/Signin?type=desktop&deviceId=<id>"
    std::string signInUrl() const;
    // "<api>/AssignDesktopUsers?from=desktop"
    std::string assignmentUrl() const;
    void loadSignIn();

    // Navigation callbacks of the web view (logging only).
    void pageFinished(const std::string& url);
    void navigationFailed(const std::string& description);
    void provisionalNavigationFailed(const std::string& description);

    // One message from the page at `pageUrl`; none when its body is not a
    // string. Acted on only when that page is of the service's origin
    // (scheme, host and port of the base URL).
    void handleMessage(const std::optional<std::string>& body, const std::string& pageUrl);

    // Sends the local account names with `token`, then opens the assignment page.
    void pushLocalAccounts(const std::string& token);
    // Fetches the child accounts and writes config.json.
    void pullAssignments();
    // Merges `childUsers` into config.json and replaces it atomically.
    // Throws ConfigWriteError.
    void writeConfig(const std::vector<std::string>& childUsers);

    // The session token the page delivered last.
    const std::optional<std::string>& token() const { return token_; }
    const TarvoLog& log() const { return log_; }

    // ["a", "b"]: names in double quotes, a comma and a blank between them.
    static std::string listNotation(const std::vector<std::string>& names);
    // The message split at its first "|" with empty pieces dropped: exactly
    // two pieces make a verb and its argument.
    static std::vector<std::string> splitMessage(std::string_view text);
    // What the log shows of a bridge message: the text before its first "|"
    // (at most 80 characters), then the whole message's length in characters,
    // "updateData (15 characters)". The token after the bar is never shown.
    static std::string bridgeSummary(std::string_view text);

  private:
    ManagerController(std::shared_ptr<ServerClient> server, MainQueue& queue,
                      Background& background, std::shared_ptr<const Clock> clock,
                      std::string currentUser,
                      std::shared_ptr<platform::AccountDirectory> accounts);

    // Bodies of the two conversations, run on the Background.
    void sendAccounts(const std::string& token);
    void sendNames(const std::string& token, const std::vector<std::string>& names);
    void fetchAssignments(const std::optional<std::string>& token);
    // Main-queue steps.
    void saveAssignments(const std::vector<std::string>& childUsers);
    void postAlert(std::string title, std::string text, ManagerView::AlertStyle style);
    void alert(const std::string& title, const std::string& text, ManagerView::AlertStyle style,
               std::function<void()> dismissed = {});

    std::shared_ptr<ServerClient> server_;
    MainQueue& queue_;
    Background& background_;
    std::shared_ptr<const Clock> clock_;
    std::string currentUser_;
    std::shared_ptr<platform::AccountDirectory> accounts_;
    TarvoLog log_;
    std::optional<std::string> token_;
    std::weak_ptr<ManagerView> view_;
};

}  // namespace tarvo
