#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/LoginSessions.h"

namespace tarvo::platform {

// Sessions a test lays out per user; the rest have none.
class FakeLoginSessions : public LoginSessions {
  public:
    LoginSessionList sessionsOf(uid_t uid) override {
        ++reads_;
        auto it = users_.find(uid);
        return it == users_.end() ? LoginSessionList{} : it->second;
    }
    void set(uid_t uid, std::vector<LoginSession> sessions, std::string error = {}) {
        users_[uid] = {std::move(sessions), std::move(error)};
    }
    void end(uid_t uid) { users_.erase(uid); }
    int reads() const { return reads_; }

  private:
    std::map<uid_t, LoginSessionList> users_;
    int reads_ = 0;
};

}  // namespace tarvo::platform
