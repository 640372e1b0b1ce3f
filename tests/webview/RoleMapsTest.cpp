// Only the manager maps Qt WebEngine: the other roles run without it.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "WebViewFixture.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "support/LocalServer.h"

namespace tarvo::test {
namespace {

SpawnedProcess spawnTarvo(const std::vector<std::string>& args, bool captureStdout = false) {
    SpawnOptions options;
    options.captureStdout = captureStdout;
    options.captureStderr = false;
    options.discardUncaptured = true;
    return spawnProcess(tarvoBinary(), args, options);
}

// The executable itself does not link it either (what ldd would show).
TEST(RoleMaps, TheExecutableDoesNotLinkWebEngine) {
    ProcessResult r = runProcess("/usr/bin/ldd", {tarvoBinary()});
    ASSERT_TRUE(r.succeeded()) << r.err;
    EXPECT_EQ(r.out.find("WebEngine"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("libQt6Core"), std::string::npos) << r.out;
}

TEST(RoleMaps, RunningDaemonMapsNoWebEngine) {
    ManagerRoot root;
    SpawnedProcess daemon = spawnTarvo({"daemon"});
    ASSERT_TRUE(eventually([] { return !logMessages(Paths::daemonLog()).empty(); }))
        << "the daemon wrote nothing to " << Paths::daemonLog();
    ASSERT_TRUE(running(daemon.pid));
    const auto files = mappedFiles(daemon.pid);
    EXPECT_TRUE(std::any_of(files.begin(), files.end(), [](const std::string& f) {
        return f.find("libQt6Core") != std::string::npos;
    })) << "the maps were not read";
    EXPECT_EQ(webEngineMappings(daemon.pid), std::vector<std::string>{});
    ::kill(daemon.pid, SIGTERM);
    EXPECT_TRUE(waitExit(daemon.pid).has_value());
}

// `tarvo status` is caught while it waits for networksetup, which is
// replaced by a script that records its parent and waits to be released.
TEST(RoleMaps, RunningStatusMapsNoWebEngine) {
    ManagerRoot root;
    const std::string tool = Paths::networksetupTool();
    const std::string marks = root.path() + "/status-waits";
    writeText(tool + ".tmp", "#!/bin/sh\necho $PPID > '" + marks + ".tmp'\nmv '" + marks +
                                 ".tmp' '" + marks + "'\nwhile [ ! -e '" + marks +
                                 ".go' ]; do sleep 0.02; done\nexit 1\n");
    ::chmod((tool + ".tmp").c_str(), 0755);
    ::rename((tool + ".tmp").c_str(), tool.c_str());
    SpawnedProcess status = spawnTarvo({"status"});
    ASSERT_TRUE(eventually([&] { return exists(marks); }));
    ASSERT_EQ(readText(marks), std::to_string(status.pid) + "\n");
    EXPECT_FALSE(mappedFiles(status.pid).empty());
    EXPECT_EQ(webEngineMappings(status.pid), std::vector<std::string>{});
    writeText(marks + ".go", "");
    EXPECT_EQ(waitExit(status.pid), std::optional<int>(0));
}

// The agent for a child account: it stays up, so its maps can be read.
TEST(RoleMaps, RunningAgentMapsNoWebEngine) {
    ManagerRoot root;
    LocalServer service;
    service.start();
    const passwd* me = ::getpwuid(::geteuid());
    ASSERT_NE(me, nullptr);
    writeText(Paths::configFile(), std::string(R"({"child_users": [")") + me->pw_name +
                                       R"("], "api": ")" + service.url() + "/\"}");
    SpawnedProcess agent = spawnTarvo({"agent"});
    ASSERT_TRUE(eventually([&] { return !running(agent.pid) || exists(Paths::agentLog()); }));
    if (!running(agent.pid)) {
        const auto status = waitExit(agent.pid, std::chrono::seconds(1));
        if (status == std::optional<int>(64)) GTEST_SKIP() << "this build has no agent role";
        FAIL() << "the agent ended with status " << status.value_or(-1);
    }
    EXPECT_FALSE(mappedFiles(agent.pid).empty());
    EXPECT_EQ(webEngineMappings(agent.pid), std::vector<std::string>{});
    ::kill(agent.pid, SIGTERM);
    EXPECT_TRUE(waitExit(agent.pid).has_value());
}

}  // namespace
}  // namespace tarvo::test
