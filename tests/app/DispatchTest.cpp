#include <gtest/gtest.h>

#include <sstream>

#include "app/Dispatch.h"
#include "app/Usage.h"
#include "core/Subprocess.h"
#include "support/TestSupport.h"

namespace tarvo::app {
namespace {

const std::string kUsage =
    "tarvo 0.2.15\n"
    "usage: tarvo <subcommand> [args]\n"
    "  manager         parent setup GUI \xE2\x80\x94 sign in and assign child accounts (default)\n"
    "  daemon          run the privileged supervisor (LaunchDaemon entry point)\n"
    "  agent           run the per-user agent (LaunchAgent entry point)\n"
    "  install-cert    add the bundled root cert to the System keychain (root)\n"
    "  uninstall       stop launchd jobs, clear proxy, remove cert + state (root)\n"
    "  status          print runtime status\n"
    "  check-update    check for and install an update now (root)\n"
    "  version         print version";

// A table whose every entry records what it was called with.
struct Recorder {
    std::vector<std::string> calls;
    std::vector<std::vector<std::string>> args;
    std::vector<Command> table() {
        std::vector<Command> t;
        for (std::string name : {"manager", "setup", "status", "install-cert", "check-update"}) {
            t.push_back({name,
                         [this, name](const Invocation& inv) {
                             calls.push_back(name);
                             args.push_back(inv.args);
                             return name == "install-cert" ? 1 : 0;
                         },
                         name == "check-update"
                             ? "check-update must run as root (installing a .pkg needs it)"
                             : ""});
        }
        return t;
    }
};

TEST(Dispatch, UsageTextIsExact) {
    EXPECT_EQ(usage(), kUsage);
    // Names stand after two blanks in a 16-character field.
    EXPECT_EQ(usage().find("\n  check-update    check"), usage().find("\n  check-update"));
}

TEST(Dispatch, ChoosesTheSubcommandAfterDroppingProcessSerialNumbers) {
    struct Case {
        std::vector<std::string> raw;
        std::string called;  // empty: unknown subcommand
        int status;
    };
    const Case cases[] = {
        {{}, "manager", 0},
        {{"-psn_0_12345"}, "manager", 0},
        {{"-psn_0_1", "status"}, "status", 0},
        {{"status", "-psn_0_1", "extra"}, "status", 0},
        {{"setup"}, "setup", 0},
        {{"install-cert", "/tmp/x.pem"}, "install-cert", 1},
        {{"Status"}, "", 64},
        {{"STATUS"}, "", 64},
        {{"bogus"}, "", 64},
        {{""}, "", 64},
        {{"-psn"}, "", 64},  // only the "-psn_" prefix is dropped
    };
    for (const auto& c : cases) {
        Recorder rec;
        std::ostringstream out, err;
        int status = dispatch(c.raw, rec.table(), out, err, 0);
        EXPECT_EQ(status, c.status);
        if (c.called.empty()) {
            EXPECT_TRUE(rec.calls.empty());
            EXPECT_EQ(err.str(), kUsage + "\n");
            EXPECT_EQ(out.str(), "");
        } else {
            ASSERT_EQ(rec.calls.size(), 1u);
            EXPECT_EQ(rec.calls[0], c.called);
            for (const auto& a : rec.args[0]) EXPECT_NE(a.rfind("-psn_", 0), 0u) << a;
        }
    }
}

TEST(Dispatch, ArgumentsReachTheCommandInOrder) {
    Recorder rec;
    std::ostringstream out, err;
    dispatch({"install-cert", "-psn_9", "relative/cert.pem", "ignored"}, rec.table(), out, err, 0);
    ASSERT_EQ(rec.args.size(), 1u);
    EXPECT_EQ(rec.args[0],
              (std::vector<std::string>{"install-cert", "relative/cert.pem", "ignored"}));
}

TEST(Dispatch, RootOnlyCommandsRefuseOthersBeforeAnyWork) {
    Recorder rec;
    std::ostringstream out, err;
    EXPECT_EQ(dispatch({"check-update"}, rec.table(), out, err, 501), 1);
    EXPECT_TRUE(rec.calls.empty());
    EXPECT_EQ(err.str(), "check-update must run as root (installing a .pkg needs it)\n");
    EXPECT_EQ(dispatch({"check-update"}, rec.table(), out, err, 0), 0);
    EXPECT_EQ(rec.calls, std::vector<std::string>{"check-update"});
}

// An ordinary user starting the daemon gets one line, not a silent crash loop.
TEST(TarvoBinary, DaemonRefusesOrdinaryUsers) {
    auto r = runProcess("/usr/bin/setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                             test::tarvoBinary(), "daemon"});
    ASSERT_TRUE(r.launched) << r.launchError;
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "daemon must run as root (it changes the system proxy settings)\n");
}

// The real executable, byte for byte.
TEST(TarvoBinary, VersionHelpAndUnknownSubcommands) {
    const std::string bin = test::tarvoBinary();
    ASSERT_FALSE(bin.empty());
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    };
    const Case cases[] = {
        {{"version"}, 0, "tarvo 0.2.15\n", ""},
        {{"-psn_0_42", "version"}, 0, "tarvo 0.2.15\n", ""},
        {{"help"}, 0, kUsage + "\n", ""},
        {{"-h"}, 0, kUsage + "\n", ""},
        {{"--help"}, 0, kUsage + "\n", ""},
        // A subcommand asked for help explains and runs nothing (no data
        // directory deleted, no daemon started, "--help" no certificate path).
        {{"uninstall", "--help"}, 0, kUsage + "\n", ""},
        {{"daemon", "-h"}, 0, kUsage + "\n", ""},
        {{"install-cert", "--help"}, 0, kUsage + "\n", ""},
        {{"check-update", "x", "-h"}, 0, kUsage + "\n", ""},
        {{"Version"}, 64, "", kUsage + "\n"},
        {{"frobnicate", "now"}, 64, "", kUsage + "\n"},
    };
    for (const auto& c : cases) {
        auto r = runProcess(bin, c.args);
        ASSERT_TRUE(r.launched) << r.launchError;
        EXPECT_EQ(r.exitStatus, c.status) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err, c.err) << c.args[0];
    }
}

}  // namespace
}  // namespace tarvo::app
