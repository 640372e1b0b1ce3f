// The real `tarvo daemon`: one per machine.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "DaemonFixture.h"
#include "core/Paths.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

size_t logCount(const std::string& prefix) {
    return countLinesStartingWith(logMessages(Paths::daemonLog()), prefix);
}

Launch daemonLaunch() {
    return {.argv = {tarvoBinary(), "daemon"}, .capture = false};
}

TEST(SingleDaemon, ASecondDaemonRefusesAndTheFirstKeepsItsSettings) {
    DaemonRoot root;
    Process first(daemonLaunch());
    ASSERT_TRUE(waitUntil([&] { return logCount("[daemon] INFO  no child user") == 1; }));
    root.writeFlag("501.flag", std::chrono::system_clock::now(), 0s);
    // Settings are made off the daemon's main thread: wait for the apply's
    // last call, so that nothing is still under way when counting.
    const std::vector<std::string> lastApply = {"-setsecurewebproxystate", "Thunderbolt Bridge",
                                                "on"};
    ASSERT_TRUE(waitUntil([&] {
        const auto calls = root.networksetupCalls();
        return !calls.empty() && calls.back() == lastApply;
    }));
    for (const char* s : {"Ethernet", "Wi-Fi", "Thunderbolt Bridge"})
        EXPECT_EQ(root.proxyStates(s), std::make_pair(true, true)) << s;
    const size_t calls = root.networksetupCalls().size();

    const ProcessResult second = run({.argv = {tarvoBinary(), "daemon"}}, 30s);
    EXPECT_EQ(second.exitStatus, 1);
    EXPECT_EQ(second.err, "tarvo daemon: another daemon is already running (pid " +
                              std::to_string(first.pid()) + ")\n");
    EXPECT_EQ(logCount("[daemon] INFO  daemon starting"), 1u);
    EXPECT_EQ(root.networksetupCalls().size(), calls);

    // A lock only root can take: a root-only directory, a private file.
    const std::string lock = Paths::daemonLockFile();
    struct stat st {};
    ASSERT_EQ(::lstat(fs::path(lock).parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(st.st_uid, 0u);
    ASSERT_EQ(::lstat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    const ProcessResult user = run({.argv = {tarvoBinary(), "daemon"}, .user = kNobody}, 30s);
    EXPECT_EQ(user.exitStatus, 1);
    EXPECT_EQ(user.err, "daemon must run as root (it changes the system proxy settings)\n");

    // Killed outright, the first daemon leaves no lock behind.
    first.kill(SIGKILL);
    EXPECT_EQ(first.wait(), std::optional<int>(128 + SIGKILL));
    for (const auto& launch : fakeLaunches(root.records())) ::kill(launch.pid, SIGKILL);
    const size_t proxyStarts = logCount("[daemon] INFO  proxy started");
    Process third(daemonLaunch());
    // Its signal handlers are in place once it starts its proxy.
    EXPECT_TRUE(waitUntil([&] { return logCount("[daemon] INFO  proxy started") > proxyStarts; }));
    EXPECT_EQ(logCount("[daemon] INFO  daemon starting"), 2u);
    third.kill(SIGTERM);
    EXPECT_EQ(third.wait(), std::optional<int>(0));
    for (const char* s : {"Ethernet", "Wi-Fi", "Thunderbolt Bridge"})
        EXPECT_EQ(root.proxyStates(s), std::make_pair(false, false)) << s;
    EXPECT_TRUE(hasLine(logMessages(Paths::daemonLog()), "[daemon] INFO  shutdown complete"));
}

}  // namespace
}  // namespace tarvo::test
