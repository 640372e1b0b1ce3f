#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "DaemonFixture.h"
#include "ProxyFixture.h"
#include "core/Paths.h"
#include "core/Subprocess.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Waits in real time for something another process does.
bool eventually(const std::function<bool()>& done, std::chrono::seconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(100ms);
    }
    return done();
}

std::optional<int> waitExit(pid_t pid, std::chrono::seconds limit = 30s) {
    std::optional<int> code;
    eventually(
        [&] {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) != pid) return false;
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        },
        limit);
    return code;
}

bool haveMitmdump() {
    return fs::exists("/usr/bin/mitmdump");
}

bool logMentions(const std::string& text) {
    for (const auto& line : logMessages(Paths::daemonLog()))
        if (line.find(text) != std::string::npos) return true;
    return false;
}

TEST(DaemonCommand, FreshFlagTurnsTheProxiesOnAndSigtermTurnsThemOff) {
    DaemonRoot root;
    SpawnOptions options;
    options.captureStdout = options.captureStderr = false;
    SpawnedProcess daemon = spawnProcess(tarvoBinary(), {"daemon"}, options);
    ASSERT_TRUE(eventually([&] {
        return countLinesStartingWith(logMessages(Paths::daemonLog()),
                                      "[daemon] INFO  no child user") == 1;
    }));
    writeText(root.flagDir() + "/501.flag", "");
    const std::vector<std::string> services = {"Ethernet", "Wi-Fi", "Thunderbolt Bridge"};
    EXPECT_TRUE(eventually([&] {
        for (const auto& s : services)
            if (root.proxyStates(s) != std::make_pair(true, true)) return false;
        return true;
    }));
    ASSERT_EQ(::kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(waitExit(daemon.pid), std::optional<int>(0));
    for (const auto& s : services)
        EXPECT_EQ(root.proxyStates(s), std::make_pair(false, false)) << s;
    EXPECT_TRUE(hasLine(logMessages(Paths::daemonLog()), "[daemon] INFO  shutdown complete"));
}

// The only test that uses the fixed port 8080, in a network of its own: the
// daemon runs the real proxy with the identity a child's agent left, whatever
// it looks like, and the proxy follows the rules file.
TEST(DaemonCommand, RunsTheRealProxyOnItsFixedPort) {
    if (!haveMitmdump())
        GTEST_SKIP() << "mitmdump is not installed; the filtering proxy cannot run";
    NetNamespace ns;
    if (!ns.entered()) GTEST_SKIP() << ns.error() << " (the proxy tests need root)";
    ASSERT_TRUE(ns.error().empty()) << ns.error();
    DaemonRoot root(DaemonRoot::Proxy::Real);
    WebSite first("127.0.0.2");
    WebSite second("127.0.0.3");
    const std::string one = "http://127.0.0.2:" + std::to_string(first.port()) + "/page";
    const std::string two = "http://127.0.0.3:" + std::to_string(second.port()) + "/page";
    fs::create_directories(root.dataDir());
    replaceFile(Paths::rulesFile(), R"({"whitelist": ["127.0.0.2"], "blacklist": []})");
    writeText(Paths::proxyConfigFile(), R"({"username": "-x", "device_id": "--port"})");
    SpawnOptions options;
    options.captureStdout = options.captureStderr = false;
    SpawnedProcess daemon = spawnProcess(tarvoBinary(), {"daemon"}, options);
    EXPECT_TRUE(waitUntil([&] { return curlVia(8080, {one}).status == 200; }, 60s));
    EXPECT_EQ(curlVia(8080, {two}).status, 403);
    EXPECT_EQ(curlVia(8080, {one, "-H", "Host: 127.0.0.3"}).status, 403);
    replaceFile(Paths::rulesFile(), R"({"whitelist": ["127.0.0.3"], "blacklist": []})");
    EXPECT_EQ(curlVia(8080, {two}).status, 200);
    EXPECT_EQ(curlVia(8080, {one}).status, 403);
    EXPECT_EQ(second.requests(), 1);
    EXPECT_TRUE(
        hasLine(logMessages(Paths::daemonLog()), "[daemon] INFO  staged CA for mitmproxy at " +
                                                     Paths::mitmproxyDir() + "/mitmproxy-ca.pem"));
    EXPECT_TRUE(waitUntil([] { return logMentions("[proxy] blocked 127.0.0.3 for -x"); }));
    ASSERT_EQ(::kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(waitExit(daemon.pid), std::optional<int>(0));
}

}  // namespace
}  // namespace tarvo::test
