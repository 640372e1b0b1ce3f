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
    struct Case {
        std::vector<std::string> raw;
        std::optional<std::vector<std::string>> called;  // the command's own arguments
        int status;
        uid_t uid = 0;
    };
    const std::string refusal = "check-update must run as root (installing a .pkg needs it)";
    const Case cases[] = {
        {{}, Args{}, 0},
        {{"-psn_0_1", "status"}, Args{"status"}, 0},
        {{"install-cert", "-psn_9", "relative/cert.pem", "x"},
         Args{"install-cert", "relative/cert.pem", "x"},
         1},
        {{"check-update"}, std::nullopt, 1, 501},  // root-only: refused before any work
        {{"Status"}, std::nullopt, 64},
        {{"-psn"}, std::nullopt, 64},  // only the "-psn_" prefix is dropped
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw.empty() ? "none" : c.raw[0]);
        std::vector<std::vector<std::string>> calls;
        std::vector<Command> table;
        for (std::string name : {"manager", "status", "install-cert", "check-update"})
            table.push_back({name,
                             [&calls, name](const Invocation& inv) {
                                 calls.push_back(inv.args);
                                 return name == "install-cert" ? 1 : 0;
                             },
                             name == "check-update" ? refusal : ""});
        std::ostringstream out, err;
        EXPECT_EQ(dispatch(c.raw, table, out, err, c.uid), c.status);
        if (!c.called) {
            EXPECT_TRUE(calls.empty());
            EXPECT_EQ(err.str(), c.uid ? refusal + "\n" : usage() + "\n");
        } else {
            EXPECT_EQ(calls, std::vector<std::vector<std::string>>{*c.called});
        }
    }
}

// The real executable, byte for byte. A subcommand asked for help explains
// and runs nothing (no data deleted, no daemon started, "--help" no path).
TEST(TarvoBinary, VersionHelpAndUnknownSubcommands) {
    const std::string usageText = usage() + "\n";
    EXPECT_EQ(usageText.substr(0, usageText.find('\n', 13)),
              "tarvo 0.2.15\nusage: tarvo <subcommand> [args]");
    const std::tuple<std::vector<std::string>, int, std::string, std::string> cases[] = {
        {{"version"}, 0, "tarvo 0.2.15\n", ""},
        {{"-psn_0_42", "version"}, 0, "tarvo 0.2.15\n", ""},
        {{"-h"}, 0, usageText, ""},
        {{"uninstall", "--help"}, 0, usageText, ""},
        {{"daemon", "-h"}, 0, usageText, ""},
        {{"install-cert", "--help"}, 0, usageText, ""},
        {{"check-update", "x", "-h"}, 0, usageText, ""},  // "-h" anywhere after
        {{"frobnicate", "now"}, 64, "", usageText},
    };
    for (const auto& [args, status, out, err] : cases) {
        std::vector<std::string> argv = {test::tarvoBinary()};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = test::run({.argv = argv});
        EXPECT_EQ(r.exitStatus, status) << args[0];
        EXPECT_EQ(r.out, out) << args[0];
        EXPECT_EQ(r.err, err) << args[0];
    }
    // Root-only commands refuse anyone else before doing any work.
    const auto refused =
        test::run({.argv = {test::tarvoBinary(), "check-update"}, .user = test::kNobody});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_EQ(refused.err, "check-update must run as root (installing a .pkg needs it)\n");
}

}  // namespace
}  // namespace tarvo::app
