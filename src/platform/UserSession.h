#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tarvo::platform {

// The login session of the user this process runs as: who it is, how long the
// person at the keyboard has been away, whether the screen is locked, and a
// way to end the session.
class UserSession {
  public:
    virtual ~UserSession() = default;

    // The account's short name ("emma").
    virtual std::string userName() const = 0;
    // The account's full name ("Emma Lind"); the short name when none is recorded.
    virtual std::string fullName() const = 0;
    virtual uid_t uid() const = 0;
    // Seconds since the last keyboard or mouse input; none when the system
    // cannot tell (no display, no idle counter).
    virtual std::optional<double> idleSeconds() const = 0;
    // Whether the session's screen is locked; none when the lock state cannot
    // be read. Callers that must not act behind a locked screen treat none as locked.
    virtual std::optional<bool> screenLocked() const = 0;
    // Asks the system to end this login session; false when the request could
    // not be made or was refused.
    virtual bool logOut() = 0;
};

}  // namespace tarvo::platform
