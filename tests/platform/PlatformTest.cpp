// The Linux machine's identity and session, and the Qt main queue.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>

#include "platform/linux/LinuxHardwareIdentity.h"
#include "platform/linux/LinuxUserSession.h"
#include "platform/qt/QtMainQueue.h"
#include "support/TestSupport.h"

namespace tarvo::platform {
namespace {

using namespace std::chrono_literals;

TEST(LinuxHardwareIdentity, ProductUuidFirstThenMachineIdShapedAsUuid) {
    const std::string machine = "0123456789abcdef0123456789abcdef\n";
    const std::string shaped = "01234567-89AB-CDEF-0123-456789ABCDEF";
    using Maybe = std::optional<std::string>;
    const std::tuple<Maybe, std::string, Maybe> cases[] = {
        {"4c4c4544-0042-3510-8052-b4c04f4e4e32\n", machine, "4C4C4544-0042-3510-8052-B4C04F4E4E32"},
        // Unset or placeholder product ids fall through to the machine id.
        {"00000000-0000-0000-0000-000000000000\n", machine, shaped},
        {std::nullopt, "short", std::nullopt},
    };
    for (const auto& [product, machineId, want] : cases) {
        test::TempDir dir;
        if (product) test::writeText(dir / "product_uuid", *product);
        test::writeText(dir / "machine-id", machineId);
        EXPECT_EQ(LinuxHardwareIdentity(dir / "product_uuid", dir / "machine-id").platformUuid(),
                  want);
    }
}

// loginctl stood in for: records its calls, answers "show-user" and
// "show-session" with the texts given, and succeeds when `ok`.
struct FakeLoginctl {
    std::string user, session;
    bool ok = true;
    std::string calls;

    LinuxUserSession::Options options(std::optional<std::string> sessionId) {
        LinuxUserSession::Options o;
        o.run = [this](const std::string&, const std::vector<std::string>& args) {
            for (const auto& a : args) calls += a + (&a == &args.back() ? ";" : " ");
            return LinuxUserSession::CommandOutput{ok, args[0] == "show-user" ? user : session};
        };
        o.sessionId = std::move(sessionId);
        o.useX11 = false;
        return o;
    }
};

TEST(LinuxUserSession, LockStateAndLogOutAskLogindOnlyAboutAPlausibleSession) {
    const std::string c3 = "show-session c3 -p LockedHint;";
    const std::string display = "show-user " + std::to_string(getuid()) + " -p Display;";
    struct Case {
        std::optional<std::string> id;  // none: the user's display session
        FakeLoginctl loginctl;
        std::optional<bool> locked;
        std::string calls;
    };
    const std::vector<Case> cases = {
        {"c3", {"", "LockedHint=yes\n"}, true, c3},
        {"c3", {"", "LockedHint=maybe\n"}, std::nullopt, c3},
        {"c3", {"", "LockedHint=no\n", false}, std::nullopt, c3},
        {std::nullopt,
         {"Display=7\n", "LockedHint=no"},
         false,
         display + "show-session 7 -p LockedHint;"},
        {std::nullopt, {"Display=\n", "LockedHint=no\n"}, std::nullopt, display},
        {"1;reboot", {"", "LockedHint=no\n"}, std::nullopt, ""},  // never reaches the tool
    };
    test::EnvGuard noSession("XDG_SESSION_ID", std::nullopt);
    for (auto c : cases) {
        SCOPED_TRACE(c.calls);
        EXPECT_EQ(LinuxUserSession(c.loginctl.options(c.id)).screenLocked(), c.locked);
        EXPECT_EQ(c.loginctl.calls, c.calls);
    }

    test::EnvGuard env("XDG_SESSION_ID", "42");
    FakeLoginctl loginctl;
    LinuxUserSession session(loginctl.options(std::nullopt));
    EXPECT_TRUE(session.logOut());
    loginctl.ok = false;
    EXPECT_FALSE(session.logOut());
    EXPECT_EQ(loginctl.calls, "terminate-session 42;terminate-session 42;");
}

TEST(QtMainQueue, TimersRepeatFireOnceAndCancelAndNeverEarly) {
    int argc = 1;
    char name[] = "test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    QtMainQueue q;
    int repeats = 0, once = 0, cancelled = 0;
    auto rep = q.startRepeating(
        10ms, [&] { ++repeats; }, 0ms);
    q.postDelayed(5ms, [&] { ++once; });
    q.cancel(q.postDelayed(20ms, [&] { ++cancelled; }));
    // Never early, though Qt's coarse timers may fire 5 % ahead.
    const auto start = std::chrono::steady_clock::now();
    for (const auto delay : {40ms, 60ms, 90ms})
        q.postDelayed(delay, [=] { EXPECT_GE(std::chrono::steady_clock::now() - start, delay); });
    q.postDelayed(120ms, [&] {
        q.cancel(rep);
        q.quit(3);
    });
    EXPECT_EQ(q.run(), 3);
    EXPECT_EQ(once, 1);
    EXPECT_EQ(cancelled, 0);
    EXPECT_GE(repeats, 3);
}

}  // namespace
}  // namespace tarvo::platform
