#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Subprocess.h"
#include "platform/fake/FakeUserSession.h"
#include "platform/linux/LinuxUserSession.h"
#include "support/TestSupport.h"

namespace tarvo::platform {
namespace {

// A stand-in loginctl: records its arguments, answers "show-user" and
// "show-session" from files, and exits with the status in "status".
class FakeLoginctl {
  public:
    FakeLoginctl() {
        test::writeText(path(), R"(#!/bin/sh
dir=$(dirname "$0")
echo "$*" >> "$dir/calls"
case "$1" in
  show-user) cat "$dir/user" 2>/dev/null ;;
  show-session) cat "$dir/session" 2>/dev/null ;;
esac
exit $(cat "$dir/status" 2>/dev/null || echo 0)
)");
        chmod(path().c_str(), 0755);
    }
    std::string path() const { return dir_ / "loginctl"; }
    void answerUser(const std::string& text) { test::writeText(dir_ / "user", text); }
    void answerSession(const std::string& text) { test::writeText(dir_ / "session", text); }
    void exitWith(int status) { test::writeText(dir_ / "status", std::to_string(status)); }
    std::vector<std::string> calls() const { return test::readLines(dir_ / "calls"); }

    LinuxUserSession::Options options(std::optional<std::string> sessionId) const {
        LinuxUserSession::Options o;
        o.run = [](const std::string& p, const std::vector<std::string>& args) {
            auto r = runProcess(p, args, {.timeout = std::chrono::seconds(10)});
            return LinuxUserSession::CommandOutput{r.succeeded(), r.out};
        };
        o.loginctl = path();
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
        std::optional<std::string> sessionId;
        std::optional<std::string> userAnswer;
        std::string sessionAnswer;
        int status;
        std::optional<bool> locked;
        std::vector<std::string> calls;
    };
    const std::string uid = std::to_string(getuid());
    const Case cases[] = {
        {"locked",
         "c3",
         std::nullopt,
         "LockedHint=yes\n",
         0,
         true,
         {"show-session c3 -p LockedHint"}},
        {"unlocked",
         "c3",
         std::nullopt,
         "LockedHint=no\n",
         0,
         false,
         {"show-session c3 -p LockedHint"}},
        {"odd value",
         "c3",
         std::nullopt,
         "LockedHint=maybe\n",
         0,
         std::nullopt,
         {"show-session c3 -p LockedHint"}},
        {"tool fails",
         "c3",
         std::nullopt,
         "LockedHint=no\n",
         1,
         std::nullopt,
         {"show-session c3 -p LockedHint"}},
        {"display session found",
         std::nullopt,
         "Display=7\n",
         "LockedHint=yes\n",
         0,
         true,
         {"show-user " + uid + " -p Display", "show-session 7 -p LockedHint"}},
        {"no display session",
         std::nullopt,
         "Display=\n",
         "LockedHint=no\n",
         0,
         std::nullopt,
         {"show-user " + uid + " -p Display"}},
        {"unsafe id never reaches the tool",
         "1;reboot",
         std::nullopt,
         "LockedHint=no\n",
         0,
         std::nullopt,
         {}},
    };
    test::EnvGuard noSession("XDG_SESSION_ID", std::nullopt);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        FakeLoginctl tool;
        if (c.userAnswer) tool.answerUser(*c.userAnswer);
        tool.answerSession(c.sessionAnswer);
        tool.exitWith(c.status);
        LinuxUserSession session(tool.options(c.sessionId));
        EXPECT_EQ(session.screenLocked(), c.locked);
        EXPECT_EQ(tool.calls(), c.calls);
    }
}

TEST(LinuxUserSession, SessionIdFromTheEnvironmentAndLogOut) {
    test::EnvGuard env("XDG_SESSION_ID", "42");
    FakeLoginctl tool;
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

TEST(LinuxUserSession, AccountFromThePasswdEntry) {
    LinuxUserSession session(LinuxUserSession::Options{.useX11 = false});
    EXPECT_EQ(session.uid(), getuid());
    if (struct passwd* pw = getpwuid(getuid())) {
        EXPECT_EQ(session.userName(), pw->pw_name);
        EXPECT_EQ(session.fullName(),
                  LinuxUserSession::fullNameFromGecos(pw->pw_gecos ? pw->pw_gecos : "", pw->pw_name)
                      .value_or(pw->pw_name));
    }
    EXPECT_FALSE(session.fullName().empty());
    EXPECT_EQ(session.idleSeconds(), std::nullopt);
    test::EnvGuard noDisplay("DISPLAY", std::nullopt);
    LinuxUserSession withX(LinuxUserSession::Options{});
    EXPECT_EQ(withX.idleSeconds(), std::nullopt);
}

TEST(LinuxUserSession, FullNameFromGecos) {
    struct Case {
        const char* gecos;
        std::optional<std::string> name;
    };
    const Case cases[] = {
        {"Emma Lind,,,", "Emma Lind"}, {"Emma Lind", "Emma Lind"}, {"& Smith,Room 4", "Emma Smith"},
        {",,,", std::nullopt},         {"", std::nullopt},         {"  ", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LinuxUserSession::fullNameFromGecos(c.gecos, "emma"), c.name) << c.gecos;
}

TEST(FakeUserSession, AnswersWhatTheTestSets) {
    FakeUserSession s;
    s.setUserName("emma");
    EXPECT_EQ(s.fullName(), "emma");
    s.setFullName("Emma Lind");
    s.setScreenLocked(std::nullopt);
    s.setIdleSeconds(75.5);
    s.setLogOutSucceeds(false);
    EXPECT_EQ(s.fullName(), "Emma Lind");
    EXPECT_EQ(s.screenLocked(), std::nullopt);
    EXPECT_EQ(s.idleSeconds(), 75.5);
    EXPECT_FALSE(s.logOut());
    EXPECT_EQ(s.logOutRequests(), 1);
}

}  // namespace
}  // namespace tarvo::platform
