#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Subprocess.h"
#include "platform/linux/LinuxUserSession.h"
#include "support/TestSupport.h"

namespace tarvo::platform {
namespace {

// A stand-in loginctl: records its arguments, answers "show-user" and
// "show-session" from files, and exits with the status in "status".
class FakeLoginctl {
  public:
    FakeLoginctl(const std::optional<std::string>& user, const std::string& session, int status) {
        test::writeText(dir_ / "loginctl", R"(#!/bin/sh
dir=$(dirname "$0")
echo "$*" >> "$dir/calls"
case "$1" in
  show-user) cat "$dir/user" 2>/dev/null ;;
  show-session) cat "$dir/session" 2>/dev/null ;;
esac
exit $(cat "$dir/status")
)");
        chmod((dir_ / "loginctl").c_str(), 0755);
        if (user) test::writeText(dir_ / "user", *user);
        test::writeText(dir_ / "session", session);
        exitWith(status);
    }
    void exitWith(int status) { test::writeText(dir_ / "status", std::to_string(status)); }
    std::vector<std::string> calls() const { return test::readLines(dir_ / "calls"); }
    LinuxUserSession::Options options(std::optional<std::string> sessionId) const {
        LinuxUserSession::Options o;
        o.run = [](const std::string& p, const std::vector<std::string>& args) {
            auto r = runProcess(p, args, {.timeout = std::chrono::seconds(10)});
            return LinuxUserSession::CommandOutput{r.succeeded(), r.out};
        };
        o.loginctl = dir_ / "loginctl";
        o.sessionId = std::move(sessionId);
        o.useX11 = false;
        return o;
    }

  private:
    test::TempDir dir_;
};

TEST(LinuxUserSession, LockStateFromLogind) {
    struct Case {
        const char* why;
        std::optional<std::string> sessionId, userAnswer;
        std::string sessionAnswer;
        int status;
        std::optional<bool> locked;
        std::vector<std::string> calls;
    };
    const std::string uid = std::to_string(getuid());
    const std::vector<std::string> asked = {"show-session c3 -p LockedHint"};
    const Case cases[] = {
        {"locked", "c3", {}, "LockedHint=yes\n", 0, true, asked},
        {"unlocked", "c3", {}, "LockedHint=no\n", 0, false, asked},
        {"odd value", "c3", {}, "LockedHint=maybe\n", 0, std::nullopt, asked},
        {"tool fails", "c3", {}, "LockedHint=no\n", 1, std::nullopt, asked},
        {"display session found",
         {},
         "Display=7\n",
         "LockedHint=yes\n",
         0,
         true,
         {"show-user " + uid + " -p Display", "show-session 7 -p LockedHint"}},
        {"no display session",
         {},
         "Display=\n",
         "LockedHint=no\n",
         0,
         std::nullopt,
         {"show-user " + uid + " -p Display"}},
        {"unsafe id never reaches the tool",
         "1;reboot",
         {},
         "LockedHint=no\n",
         0,
         std::nullopt,
         {}},
    };
    test::EnvGuard noSession("XDG_SESSION_ID", std::nullopt);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        FakeLoginctl tool(c.userAnswer, c.sessionAnswer, c.status);
        EXPECT_EQ(LinuxUserSession(tool.options(c.sessionId)).screenLocked(), c.locked);
        EXPECT_EQ(tool.calls(), c.calls);
    }
}

TEST(LinuxUserSession, LogOutEndsTheSessionFromTheEnvironment) {
    test::EnvGuard env("XDG_SESSION_ID", "42");
    FakeLoginctl tool({}, "", 0);
    LinuxUserSession session(tool.options(std::nullopt));
    EXPECT_TRUE(session.logOut());
    tool.exitWith(1);
    EXPECT_FALSE(session.logOut());
    EXPECT_EQ(tool.calls(),
              (std::vector<std::string>{"terminate-session 42", "terminate-session 42"}));
    // Without a way to run tools nothing is known and nothing can be ended.
    LinuxUserSession bare(LinuxUserSession::Options{});
    EXPECT_EQ(bare.screenLocked(), std::nullopt);
    EXPECT_FALSE(bare.logOut());
}

TEST(LinuxUserSession, FullNameFromGecos) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"Emma Lind,,,", "Emma Lind"}, {"Emma Lind", "Emma Lind"}, {"& Smith,Room 4", "Emma Smith"},
        {",,,", std::nullopt},         {"", std::nullopt},         {"  ", std::nullopt},
    };
    for (const auto& [gecos, name] : cases)
        EXPECT_EQ(LinuxUserSession::fullNameFromGecos(gecos, "emma"), name) << gecos;
}

}  // namespace
}  // namespace tarvo::platform
