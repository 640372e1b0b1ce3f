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
    test::TempDir dir;
    const LinuxHardwareIdentity identity(dir / "product_uuid", dir / "machine-id");
    test::writeText(dir / "machine-id", "0123456789abcdef0123456789abcdef\n");
    test::writeText(dir / "product_uuid",
                    "00000000-0000-0000-0000-000000000000\n");  // a placeholder
    EXPECT_EQ(identity.platformUuid(), "01234567-89AB-CDEF-0123-456789ABCDEF");
    test::writeText(dir / "product_uuid", "4c4c4544-0042-3510-8052-b4c04f4e4e32\n");
    EXPECT_EQ(identity.platformUuid(), "4C4C4544-0042-3510-8052-B4C04F4E4E32");
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
        return o;
    }
};

TEST(LinuxUserSession, LockStateAndLogOutAskLogindOnlyAboutAPlausibleSession) {
    const std::string c3 = "show-session c3 -p LockedHint;", s7 = "show-session 7 -p LockedHint;";
    const std::string display = "show-user " + std::to_string(getuid()) + " -p Display;";
    // The session (none: the user's display session), loginctl's answers, lock state, calls.
    const std::vector<
        std::tuple<std::optional<std::string>, FakeLoginctl, std::optional<bool>, std::string>>
        cases = {
            {"c3", {"", "LockedHint=yes\n"}, true, c3},
            {"c3", {"", "LockedHint=no\n", false}, std::nullopt, c3},
            {std::nullopt, {"Display=7\n", "LockedHint=no\n"}, false, display + s7},
            {std::nullopt, {"Display=\n", "LockedHint=no\n"}, std::nullopt, display},
            {"1;reboot", {"", "LockedHint=no\n"}, std::nullopt, ""},  // never reaches the tool
        };
    test::EnvGuard noSession("XDG_SESSION_ID", std::nullopt);
    for (auto [id, loginctl, locked, calls] : cases) {
        SCOPED_TRACE(calls);
        EXPECT_EQ(LinuxUserSession(loginctl.options(id)).screenLocked(), locked);
        EXPECT_EQ(loginctl.calls, calls);
    }
    test::EnvGuard env("XDG_SESSION_ID", "42");
    FakeLoginctl loginctl;
    EXPECT_TRUE(LinuxUserSession(loginctl.options(std::nullopt)).logOut());
    EXPECT_EQ(loginctl.calls, "terminate-session 42;");
}

TEST(QtMainQueue, TimersRepeatCancelAndNeverFireEarly) {
    int argc = 1;
    char* argv[] = {const_cast<char*>("test"), nullptr};
    QCoreApplication app(argc, argv);
    QtMainQueue q;
    int repeats = 0;
    auto rep = q.startRepeating(
        10ms, [&] { ++repeats; }, 0ms);
    q.cancel(q.postDelayed(20ms, [] { ADD_FAILURE() << "cancelled, and still run"; }));
    // Never early, though Qt's coarse timers may fire 5 % ahead.
    const auto start = std::chrono::steady_clock::now();
    for (const auto delay : {5ms, 40ms, 90ms})
        q.postDelayed(delay, [=] { EXPECT_GE(std::chrono::steady_clock::now() - start, delay); });
    q.postDelayed(120ms, [&] {
        q.cancel(rep);
        q.quit(3);
    });
    EXPECT_EQ(q.run(), 3);
    EXPECT_GE(repeats, 3);
}

}  // namespace
}  // namespace tarvo::platform
