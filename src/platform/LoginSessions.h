#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tarvo::platform {

// One login session as the system's login manager records it.
struct LoginSession {
    std::string id;
    // "active" (the session in front on its seat), "online" (logged in,
    // behind another session: a switched-away user), "closing" (logged out,
    // processes left behind).
    std::string state;
};

// What the login manager knows of a user's sessions; `error` says why a
// record could not be read (the sessions listed are those read).
struct LoginSessionList {
    std::vector<LoginSession> sessions;
    std::string error;
};

// Who is logged in, in the login manager's own words. Reads are cheap and
// start no program: the daemon asks on every presence tick.
class LoginSessions {
  public:
    virtual ~LoginSessions() = default;
    // The sessions of `uid`; none when the user has none or the login
    // manager keeps no records on this system.
    virtual LoginSessionList sessionsOf(uid_t uid) = 0;
};

}  // namespace tarvo::platform
