// One daemon per machine, shown with the real `tarvo daemon`.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "DaemonFixture.h"
#include "core/Paths.h"
#include "core/Subprocess.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool eventually(const std::function<bool()>& done, std::chrono::seconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

std::optional<int> waitExit(pid_t pid) {
    std::optional<int> code;
    eventually([&] {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) != pid) return false;
        code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    });
    return code;
}

size_t starts() {
    return countLinesStartingWith(logMessages(Paths::daemonLog()),
                                  "[daemon] INFO  daemon starting");
}

SpawnedProcess startDaemon() {
    SpawnOptions options;
    options.captureStdout = options.captureStderr = false;
    return spawnProcess(tarvoBinary(), {"daemon"}, options);
}

TEST(DaemonCommand, ASecondDaemonRefusesAndTheFirstKeepsItsSettings) {
    DaemonRoot root;
    SpawnedProcess first = startDaemon();
    ASSERT_TRUE(eventually([&] { return !fakeLaunches(root.records()).empty(); }));
    root.writeFlag("501.flag", std::chrono::system_clock::now(), 0s);
    // The settings are made off the daemon's main thread: wait for the
    // apply's last call, so that nothing is still under way when counting.
    const std::vector<std::string> lastApply = {"-setsecurewebproxystate", "Thunderbolt Bridge",
                                                "on"};
    ASSERT_TRUE(eventually([&] {
        const auto calls = root.networksetupCalls();
        return !calls.empty() && calls.back() == lastApply;
    }));
    const size_t calls = root.networksetupCalls().size();

    ProcessOptions limited;
    limited.timeout = 30s;
    const ProcessResult second = runProcess(tarvoBinary(), {"daemon"}, limited);
    EXPECT_EQ(second.exitStatus, 1);
    EXPECT_EQ(second.err, "tarvo daemon: another daemon is already running (pid " +
                              std::to_string(first.pid) + ")\n");
    EXPECT_EQ(starts(), 1u);
    EXPECT_EQ(root.networksetupCalls().size(), calls);
    EXPECT_EQ(root.proxyStates("Wi-Fi"), std::make_pair(true, true));

    // A lock only root can take: a root-only directory, a private file.
    const std::string lock = Paths::daemonLockFile();
    struct stat st {};
    ASSERT_EQ(::lstat(fs::path(lock).parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, 0u);
    ASSERT_EQ(::lstat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    if (fs::exists("/usr/bin/setpriv")) {
        const ProcessResult user = runProcess(
            "/usr/bin/setpriv",
            {"--reuid=65534", "--regid=65534", "--clear-groups", tarvoBinary(), "daemon"}, limited);
        EXPECT_EQ(user.exitStatus, 1);
        // Refused before it ever reaches the lock.
        EXPECT_EQ(user.err, "daemon must run as root (it changes the system proxy settings)\n");
    }

    // Killed outright, the first daemon leaves no lock behind.
    ASSERT_EQ(::kill(first.pid, SIGKILL), 0);
    EXPECT_EQ(waitExit(first.pid), std::optional<int>(128 + SIGKILL));
    for (const auto& launch : fakeLaunches(root.records())) ::kill(launch.pid, SIGKILL);
    auto proxyStarts = [] {
        return countLinesStartingWith(logMessages(Paths::daemonLog()),
                                      "[daemon] INFO  proxy started");
    };
    const size_t proxyStartsBefore = proxyStarts();
    SpawnedProcess third = startDaemon();
    // Its signal handlers are in place once it starts its proxy.
    EXPECT_TRUE(eventually([&] { return proxyStarts() > proxyStartsBefore; }));
    EXPECT_EQ(starts(), 2u);
    ASSERT_EQ(::kill(third.pid, SIGTERM), 0);
    EXPECT_EQ(waitExit(third.pid), std::optional<int>(0));
}

}  // namespace
}  // namespace tarvo::test
