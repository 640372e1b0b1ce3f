#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Subprocess.h"
#include "platform/linux/LinuxUserSession.h"
#include "support/TestSupport.h"

namespace tarvo::platform {
namespace {

// A stand-in loginctl in `dir`: records its arguments, answers "show-user"
// and "show-session" from files, and exits with the status in "status".
LinuxUserSession::Options fakeLoginctl(const test::TempDir& dir,
                                       std::optional<std::string> sessionId) {
    test::writeText(dir / "loginctl", R"(#!/bin/sh
dir=$(dirname "$0")
echo "$*" >> "$dir/calls"
case "$1" in
  show-user) cat "$dir/user" 2>/dev/null ;;
  show-session) cat "$dir/session" 2>/dev/null ;;
esac
exit $(cat "$dir/status")
)");
    chmod((dir / "loginctl").c_str(), 0755);
    LinuxUserSession::Options o;
    o.run = [](const std::string& p, const std::vector<std::string>& args) {
        auto r = runProcess(p, args, {.timeout = std::chrono::seconds(10)});
        return LinuxUserSession::CommandOutput{r.succeeded(), r.out};
    };
    o.loginctl = dir / "loginctl";
    o.sessionId = std::move(sessionId);
    o.useX11 = false;
    return o;
}

TEST(LinuxUserSession, LockStateFromLogind) {
    const std::string uid = std::to_string(getuid());
    const std::vector<std::string> asked = {"show-session c3 -p LockedHint"};
    const std::vector<std::string> display = {"show-user " + uid + " -p Display"};
    // session id (none: the user's display session), show-user answer,
    // show-session answer, exit status, locked, calls made
    const std::tuple<std::optional<std::string>, std::string, std::string, int, std::optional<bool>,
                     std::vector<std::string>>
        cases[] = {
            {"c3", "", "LockedHint=yes\n", 0, true, asked},
            {"c3", "", "LockedHint=no\n", 0, false, asked},
            {"c3", "", "LockedHint=maybe\n", 0, std::nullopt, asked},
            {"c3", "", "LockedHint=no\n", 1, std::nullopt, asked},
            {std::nullopt,
             "Display=7\n",
             "LockedHint=yes\n",
             0,
             true,
             {display[0], "show-session 7 -p LockedHint"}},
            {std::nullopt, "Display=\n", "LockedHint=no\n", 0, std::nullopt, display},
            {"1;reboot", "", "LockedHint=no\n", 0, std::nullopt, {}},  // never reaches the tool
        };
    test::EnvGuard noSession("XDG_SESSION_ID", std::nullopt);
    for (const auto& [id, user, session, status, locked, calls] : cases) {
        SCOPED_TRACE(session + id.value_or("-"));
        test::TempDir dir;
        test::writeText(dir / "user", user);
        test::writeText(dir / "session", session);
        test::writeText(dir / "status", std::to_string(status));
        EXPECT_EQ(LinuxUserSession(fakeLoginctl(dir, id)).screenLocked(), locked);
        EXPECT_EQ(test::readLines(dir / "calls"), calls);
    }
}

TEST(LinuxUserSession, LogOutEndsTheSessionFromTheEnvironment) {
    test::EnvGuard env("XDG_SESSION_ID", "42");
    test::TempDir dir;
    test::writeText(dir / "status", "0");
    LinuxUserSession session(fakeLoginctl(dir, std::nullopt));
    EXPECT_TRUE(session.logOut());
    test::writeText(dir / "status", "1");
    EXPECT_FALSE(session.logOut());
    EXPECT_EQ(test::readLines(dir / "calls"),
              (std::vector<std::string>{"terminate-session 42", "terminate-session 42"}));
}

}  // namespace
}  // namespace tarvo::platform
