#include <gtest/gtest.h>

#include "app/Usage.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo::app {
namespace {

using Args = std::vector<std::string>;

// The real executable, byte for byte: process serial numbers ("-psn_…") the
// Finder adds are dropped wherever they stand; a subcommand asked for help
// explains and runs nothing (no data deleted).
TEST(TarvoBinary, VersionHelpUnknownSubcommandsAndRootOnlyOnes) {
    const std::string usageText = usage() + "\n";
    const std::string refusal = "check-update must run as root (installing a .pkg needs it)\n";
    const std::tuple<Args, int, std::string, std::string, std::optional<uid_t>> cases[] = {
        {{"version"}, 0, "tarvo 0.2.15\n", "", {}},
        {{"-psn_0_1", "version", "-psn_2"}, 0, "tarvo 0.2.15\n", "", {}},
        {{"-h"}, 0, usageText, "", {}},
        {{"uninstall", "--help"}, 0, usageText, "", {}},
        {{"check-update", "x", "-h"}, 0, usageText, "", {}},  // "-h" anywhere after
        {{"frobnicate", "now"}, 64, "", usageText, {}},
        {{"Status"}, 64, "", usageText, {}},
        {{"-psn"}, 64, "", usageText, {}},                  // only the "-psn_" prefix is dropped
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
        const auto r = test::run({.argv = {test::tarvoBinary(), command},
                                  .env = test::environmentWith({"LD_DEBUG=files"})});
        EXPECT_NE(r.err.find("libQt6Core.so"), std::string::npos) << command;
        for (const char* library : {"libQt6Gui", "libQt6Widgets", "libX11", "libxcb", "libXss"})
            EXPECT_EQ(r.err.find(library), std::string::npos) << command << " loads " << library;
    }
}

}  // namespace
}  // namespace tarvo::app
