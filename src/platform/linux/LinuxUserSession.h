#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/UserSession.h"

namespace tarvo::platform {

// Linux: the passwd entry (GECOS full name), the idle counter of the session's
// display (handed in by whoever reaches the display: the window library), and
// logind (through loginctl) for the lock state and for ending the session.
class LinuxUserSession : public UserSession {
  public:
    struct CommandOutput {
        bool succeeded = false;  // started and exited with status 0
        std::string out;
    };
    // Runs an external tool (absolute path, argument vector) and waits for it.
    // The platform layer sits below the subprocess helper, so the caller hands
    // one in (the agent passes a wrapper around tarvo::runProcess).
    using CommandRunner =
        std::function<CommandOutput(const std::string& path, const std::vector<std::string>& args)>;
    // Seconds since the last input; none when unknown.
    using IdleSource = std::function<std::optional<double>()>;

    struct Options {
        CommandRunner run;  // none: no logind queries, lock state unknown
        std::string loginctl = "/usr/bin/loginctl";
        // The logind session; none reads XDG_SESSION_ID, else asks logind for
        // the user's display session.
        std::optional<std::string> sessionId;
        // Where idle time comes from; none: unknown.
        IdleSource idle;
    };

    explicit LinuxUserSession(Options options);

    std::string userName() const override;
    std::string fullName() const override;
    uid_t uid() const override;
    std::optional<double> idleSeconds() const override;
    std::optional<bool> screenLocked() const override;
    bool logOut() override;
    // Sets where idle time comes from; before the session is shared with
    // other threads.
    void setIdleSource(IdleSource idle) { options_.idle = std::move(idle); }

    // The full name from a GECOS field: the text before the first comma, with
    // "&" standing for the capitalised login name; none when that is empty.
    static std::optional<std::string> fullNameFromGecos(const std::string& gecos,
                                                        const std::string& login);
    // "LockedHint=yes" / "no" in loginctl's property output; none otherwise.
    static std::optional<bool> parseLockedHint(const std::string& output);

  private:
    std::optional<std::string> session() const;

    Options options_;
    uid_t uid_;
    std::string userName_;
    std::string fullName_;
};

}  // namespace tarvo::platform
