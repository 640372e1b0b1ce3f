#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "app/Roles.h"
#include "launcher/Dispatch.h"
#include "launcher/Usage.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo::app {
namespace {

using Args = std::vector<std::string>;
using launcher::dispatch;
using launcher::usage;

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
        EXPECT_NE(r.err.find("libstdc++.so"), std::string::npos);  // the account is read
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
