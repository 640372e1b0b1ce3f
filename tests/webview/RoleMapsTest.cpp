// Only the manager maps Qt WebEngine: the other roles run without it.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "WebViewFixture.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "support/LocalServer.h"

namespace tarvo::test {
namespace {

TEST(RoleMaps, TheExecutableDoesNotLinkWebEngine) {
    ProcessResult r = runProcess("/usr/bin/ldd", {tarvoBinary()});
    ASSERT_TRUE(r.succeeded()) << r.err;
    EXPECT_EQ(r.out.find("WebEngine"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("libQt6Core"), std::string::npos) << r.out;
}

// Each role is caught while it runs: the daemon and the agent stay up; `tarvo
// status` waits for networksetup, a script that records its parent and waits
// to be released.
TEST(RoleMaps, RunningDaemonStatusAndAgentMapNoWebEngine) {
    for (const char* role : {"daemon", "status", "agent"}) {
        SCOPED_TRACE(role);
        SetupRoot root;
        LocalServer service;
        service.start();
        const std::string marks = root.path() + "/status-waits";
        writeText(Paths::networksetupTool(), "#!/bin/sh\necho $PPID > '" + marks + ".tmp'\nmv '" +
                                                 marks + ".tmp' '" + marks + "'\nwhile [ ! -e '" +
                                                 marks + ".go' ]; do sleep 0.02; done\nexit 1\n");
        ::chmod(Paths::networksetupTool().c_str(), 0755);
        writeText(Paths::configFile(), std::string(R"({"child_users": [")") +
                                           ::getpwuid(::geteuid())->pw_name + R"("], "api": ")" +
                                           service.url() + "/\"}");
        SpawnOptions options;
        options.captureStdout = options.captureStderr = false;
        options.discardUncaptured = true;
        const pid_t pid = spawnProcess(tarvoBinary(), {role}, options).pid;
        const std::string log =
            role == std::string("daemon") ? Paths::daemonLog() : Paths::agentLog();
        ASSERT_TRUE(eventually([&] {
            return role == std::string("status") ? exists(marks) : exists(log) || !running(pid);
        }));
        ASSERT_TRUE(running(pid)) << "ended with " << waitExit(pid, 1s).value_or(-1);
        const auto files = mappedFiles(pid);
        EXPECT_TRUE(std::any_of(files.begin(), files.end(), [](const std::string& f) {
            return f.find("libQt6Core") != std::string::npos;
        })) << "the maps were not read";
        EXPECT_EQ(webEngineMappings(pid), std::vector<std::string>{});
        writeText(marks + ".go", "");
        ::kill(pid, SIGTERM);
        EXPECT_TRUE(waitExit(pid).has_value());
    }
}

}  // namespace
}  // namespace tarvo::test
