#include <gtest/gtest.h>

#include <sstream>

#include "app/Dispatch.h"
#include "app/Usage.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo::app {
namespace {

using Args = std::vector<std::string>;

TEST(Dispatch, ChoosesTheSubcommandAfterDroppingProcessSerialNumbers) {
    // The arguments, those the command is called with (none: not called), the status.
    const std::tuple<Args, std::optional<Args>, int> cases[] = {
        {{}, Args{}, 0},
        {{"-psn_0_1", "status"}, Args{"status"}, 0},
        {{"install-cert", "-psn_9", "relative/cert.pem", "x"},
         Args{"install-cert", "relative/cert.pem", "x"},
         1},
        {{"Status"}, std::nullopt, 64},
        {{"-psn"}, std::nullopt, 64},  // only the "-psn_" prefix is dropped
    };
    for (const auto& [raw, called, status] : cases) {
        SCOPED_TRACE(raw.empty() ? "none" : raw[0]);
        std::vector<Args> calls;
        std::vector<Command> table;
        for (std::string name : {"manager", "status", "install-cert"})
            table.push_back({name, [&calls, name](const Invocation& inv) {
                                 calls.push_back(inv.args);
                                 return name == "install-cert" ? 1 : 0;
                             }});
        std::ostringstream out, err;
        EXPECT_EQ(dispatch(raw, table, out, err, 0), status);
        EXPECT_EQ(calls, called ? std::vector<Args>{*called} : std::vector<Args>{});
        if (!called) {
            EXPECT_EQ(err.str(), usage() + "\n");
        }
    }
}

// The real executable, byte for byte. A subcommand asked for help explains
// and runs nothing (no data deleted).
TEST(TarvoBinary, VersionHelpUnknownSubcommandsAndRootOnlyOnes) {
    const std::string usageText = usage() + "\n";
    const std::string refusal = "check-update must run as root (installing a .pkg needs it)\n";
    const std::tuple<Args, int, std::string, std::string, std::optional<uid_t>> cases[] = {
        {{"version"}, 0, "tarvo 0.2.15\n", "", {}},
        {{"-h"}, 0, usageText, "", {}},
        {{"uninstall", "--help"}, 0, usageText, "", {}},
        {{"check-update", "x", "-h"}, 0, usageText, "", {}},  // "-h" anywhere after
        {{"frobnicate", "now"}, 64, "", usageText, {}},
        {{"check-update"}, 1, "", refusal, test::kNobody},  // before doing any work
    };
    for (const auto& [args, status, out, err, user] : cases) {
        Args argv = {test::tarvoBinary()};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = test::run({.argv = argv, .user = user});
        EXPECT_EQ(std::tie(r.exitStatus, r.out, r.err), std::tie(status, out, err)) << args[0];
    }
}

// The short commands start without the windowing stack: the dynamic loader's
// own account of every library it opened names no Qt Gui, Qt Widgets, X11 or
// xcb (while it does name Qt Core, so the account is really read).
TEST(TarvoBinary, ShortCommandsLoadNoWindowingLibraries) {
    test::TempRoot root;
    for (const char* command : {"version", "help", "status"}) {
        const Args args = {command};
        Args argv = {test::tarvoBinary()};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = test::run({.argv = argv, .env = test::environmentWith({"LD_DEBUG=files"})});
        EXPECT_NE(r.err.find("libQt6Core.so"), std::string::npos) << args[0];
        for (const char* library : {"libQt6Gui", "libQt6Widgets", "libX11", "libxcb", "libXss"})
            EXPECT_EQ(r.err.find(library), std::string::npos) << args[0] << " loads " << library;
    }
}

}  // namespace
}  // namespace tarvo::app
