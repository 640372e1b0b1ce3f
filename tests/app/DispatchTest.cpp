#include <gtest/gtest.h>

#include "launcher/Usage.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo::app {
namespace {

using Args = std::vector<std::string>;
using launcher::usage;

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

// Version and help start with nothing but the C++ runtime, and answer where
// the roles library is missing; every other subcommand loads that library,
// and the short ones no windowing stack with it. The dynamic loader's own
// account of every library it opened tells.
TEST(TarvoBinary, VersionAndHelpLoadNothingAndStatusNoWindowingLibraries) {
    test::TempRoot root;
    test::TempDir lone;
    const std::string loneBinary = lone.path() + "/tarvo";
    std::filesystem::copy_file(test::tarvoBinary(), loneBinary);
    const std::string missing = "tarvo: tarvo needs libtarvo_roles.so, and there is none at " +
                                lone.path() + "/libtarvo_roles.so\n";
    // The binary, the command, its status and whether it loads the roles.
    const std::tuple<std::string, const char*, int, bool> cases[] = {
        {test::tarvoBinary(), "version", 0, false}, {test::tarvoBinary(), "help", 0, false},
        {test::tarvoBinary(), "status", 0, true},   {loneBinary, "version", 0, false},
        {loneBinary, "--help", 0, false},
    };
    for (const auto& [binary, command, status, roles] : cases) {
        SCOPED_TRACE(binary + " " + command);
        const auto r = test::run(
            {.argv = {binary, command}, .env = test::environmentWith({"LD_DEBUG=files"})});
        EXPECT_EQ(r.exitStatus, status);
        EXPECT_EQ(r.err.find("libtarvo_roles.so") != std::string::npos, roles);
        EXPECT_EQ(r.err.find("libQt6Core.so") != std::string::npos, roles);
        for (const char* library : {"libQt6Gui", "libQt6Widgets", "libX11", "libxcb", "libXss"})
            EXPECT_EQ(r.err.find(library), std::string::npos) << "loads " << library;
    }
    const auto r = test::run({.argv = {loneBinary, "status"}});
    EXPECT_EQ(std::tie(r.exitStatus, r.out, r.err), std::make_tuple(70, std::string(), missing));
}

}  // namespace
}  // namespace tarvo::app
