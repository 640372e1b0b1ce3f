#pragma once

#include <optional>
#include <string>

#include "platform/UserSession.h"

namespace tarvo::platform {

// A session whose every answer a test sets; log-out requests are counted.
class FakeUserSession : public UserSession {
  public:
    std::string userName() const override { return userName_; }
    std::string fullName() const override { return fullName_.empty() ? userName_ : fullName_; }
    uid_t uid() const override { return uid_; }
    std::optional<double> idleSeconds() const override { return idle_; }
    std::optional<bool> screenLocked() const override { return locked_; }
    bool logOut() override {
        ++logOutRequests_;
        return logOutSucceeds_;
    }

    void setUserName(std::string name) { userName_ = std::move(name); }
    void setFullName(std::string name) { fullName_ = std::move(name); }
    void setUid(uid_t uid) { uid_ = uid; }
    void setIdleSeconds(std::optional<double> seconds) { idle_ = seconds; }
    void setScreenLocked(std::optional<bool> locked) { locked_ = locked; }
    void setLogOutSucceeds(bool succeeds) { logOutSucceeds_ = succeeds; }
    int logOutRequests() const { return logOutRequests_; }

  private:
    std::string userName_ = "child";
    std::string fullName_;
    uid_t uid_ = 501;
    std::optional<double> idle_ = 0.0;
    std::optional<bool> locked_ = false;
    bool logOutSucceeds_ = true;
    int logOutRequests_ = 0;
};

}  // namespace tarvo::platform
