// How `tarvo agent` starts at log-in: a user who is not a child is left
// alone, and a child is enforced even when the windows cannot be loaded.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "DaemonFixture.h"
#include "E2eSupport.h"
#include "support/LocalServer.h"

namespace tarvo::test {
namespace {

TEST(AgentStart, NotAChildExitsAtOnceAndAChildWithoutTheWindowLibraryIsStillEnforced) {
    TempRoot root;
    const std::string api = "http://127.0.0.1:" + std::to_string(deadPort()) + "/";
    const auto env = environmentWith({"QT_QPA_PLATFORM=offscreen"});

    writeText(Paths::configFile(), R"({"child_users": ["someone-else"], "api": ")" + api + "\"}");
    const ProcessResult notAChild = run({.argv = {tarvoBinary(), "agent"}, .env = env});
    EXPECT_EQ(notAChild.exitStatus, 0) << notAChild.err;
    EXPECT_FALSE(exists(presenceFlag()));
    EXPECT_FALSE(exists(Paths::proxyConfigFile()));

    // An installation whose window library is missing: only the executable.
    writeChildConfig(api, "DEV-E2E-START");
    const std::string lone = root.path() + "/bin/tarvo";
    std::filesystem::create_directories(root.path() + "/bin");
    std::filesystem::copy_file(tarvoBinary(), lone);
    Process agent({.argv = {lone, "agent"}, .env = env, .capture = false});
    ASSERT_TRUE(polling::waitUntil([&] { return exists(presenceFlag()); }));
    EXPECT_TRUE(hasLine(logMessages(Paths::agentLog()),
                        "[agent] ERROR the agent needs libtarvo_windows.so beside the executable, "
                        "and there is none at " +
                            root.path() +
                            "/bin/libtarvo_windows.so \xE2\x80\x94 the blocker cannot be shown; "
                            "enforcing without windows"));
    agent.kill(SIGTERM);
    EXPECT_EQ(agent.wait(), 0);
    EXPECT_FALSE(exists(presenceFlag()));
}

}  // namespace
}  // namespace tarvo::test
