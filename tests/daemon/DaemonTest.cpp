// The daemon on virtual time: presence flags, the system proxy settings and
// the supervision of the proxy (a scripted stand-in that records its launches).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "DaemonFixture.h"
#include "core/Paths.h"
#include "daemon/ProxyListener.h"
#include "support/VirtualTime.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kNoChild = "[daemon] INFO  no child user \xE2\x80\x94 clearing system proxy";

std::set<std::string> flagsLeft(const DaemonRoot& root) {
    std::set<std::string> left;
    for (const auto& e : fs::directory_iterator(root.flagDir()))
        left.insert(e.path().filename().string());
    return left;
}

TEST(Presence, FreshnessAndCleanupOfFlags) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::chrono::seconds>> flags;  // name, age
        bool present;
        std::set<std::string> remaining;
    };
    const std::vector<Case> cases = {
        {"59 seconds old counts", {{"501.flag", 59s}}, true, {"501.flag"}},
        {"exactly 60 seconds old is stale and deleted", {{"501.flag", 60s}}, false, {}},
        {"other names are neither counted nor deleted",
         {{"notes.txt", 10s}, {"501.flag.bak", 3600s}},
         false,
         {"notes.txt", "501.flag.bak"}},
        {"stale flags are deleted whatever their names",
         {{"abc.flag", 600s}, {".flag", 61s}, {"a b\xE2\x80\x94.flag", 3600s}, {"-1.flag", 90s}},
         false,
         {}},
        {"every stale flag is cleaned even after a fresh one",
         {{"Ann's Mac.flag", 1s}, {"502.flag", 61s}, {"503.flag", 3600s}},
         true,
         {"Ann's Mac.flag"}},
        // Dated ahead of the clock (planted, or a clock set back): a minute at most.
        {"60 seconds in the future counts", {{"501.flag", -60s}}, true, {"501.flag"}},
        {"61 seconds in the future is stale and deleted", {{"501.flag", -61s}}, false, {}},
    };
    DaemonHarness h;
    h.daemon->start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(h.root.flagDir());
        fs::create_directory(h.root.flagDir());
        for (const auto& [name, age] : c.flags) h.root.writeFlag(name, h.clock->now(), age);
        EXPECT_EQ(h.daemon->anyChildLoggedIn(), c.present);
        EXPECT_EQ(flagsLeft(h.root), c.remaining);
    }
    // Only a regular file with one name counts: not a link, nor a second name
    // of a file someone keeps fresh. Both are removed.
    h.root.writeFlag("fresh.txt", h.clock->now(), 0s);
    fs::create_symlink(h.root.flagDir() + "/fresh.txt", h.root.flagDir() + "/501.flag");
    fs::create_hard_link(h.root.flagDir() + "/fresh.txt", h.root.flagDir() + "/502.flag");
    EXPECT_FALSE(h.daemon->anyChildLoggedIn());
    EXPECT_EQ(flagsLeft(h.root), std::set<std::string>{"fresh.txt"});
    fs::remove_all(h.root.flagDir());
    EXPECT_FALSE(h.daemon->anyChildLoggedIn());
}

// Only transitions act; a new child bounces the proxy so that it picks up the
// identity. The settings calls (up to 30 s each) never hold the main thread:
// they run later, in the order asked, and shutdown ends only after the last clear.
TEST(Presence, TransitionsChangeTheSettingsOffTheMainThreadInOrder) {
    auto settings = std::make_shared<ManualBackground>();
    DaemonHarness h(DaemonRoot::Proxy::Fake, settings);
    h.root.setServices({"Wi-Fi"});
    h.daemon->start();
    ASSERT_TRUE(h.waitForLaunches(1));
    const pid_t first = *h.daemon->proxyPid();
    h.queue.advance(0ms);  // the first tick comes at once
    EXPECT_TRUE(h.logged(kNoChild));

    h.root.writeFlag("501.flag", h.clock->now(), 0s);
    h.queue.advance(5s);
    EXPECT_TRUE(h.logged("[daemon] INFO  bouncing proxy (pid " + std::to_string(first) +
                         ") to pick up new child identity"));
    ASSERT_TRUE(h.waitFor([&] { return !h.daemon->proxyPid(); }));
    EXPECT_TRUE(h.logged("[daemon] WARN  proxy exited (code 15); restarting in 2s"));
    h.queue.advance(2s);
    ASSERT_TRUE(h.waitForLaunches(2));

    // One child leaves and another arrives between two ticks: no transition.
    fs::remove(h.root.flagDir() + "/501.flag");
    h.root.writeFlag("502.flag", h.clock->now(), 0s);
    h.queue.advance(10s);
    EXPECT_EQ(h.count("[daemon] INFO  bouncing proxy"), 1u);
    // Not refreshed, the flag goes stale: deleted, and a clear is asked for.
    h.queue.advance(60s);
    EXPECT_FALSE(fs::exists(h.root.flagDir() + "/502.flag"));
    EXPECT_EQ(h.count("[daemon] INFO  no child user"), 2u);
    EXPECT_TRUE(h.root.networksetupCalls().empty());
    EXPECT_EQ(settings->pending(), 1u);  // one serial drain holds the three changes

    settings->runAll();
    std::vector<std::string> verbs;
    for (const auto& call : h.root.networksetupCalls())
        if (call.size() >= 3) verbs.push_back(call[0] + " " + call.back());
    const std::vector<std::string> expected = {
        "-setwebproxystate off",   "-setsecurewebproxystate off", "-setwebproxy 8080",
        "-setsecurewebproxy 8080", "-setwebproxystate on",        "-setsecurewebproxystate on",
        "-setwebproxystate off",   "-setsecurewebproxystate off"};
    EXPECT_EQ(verbs, expected);

    // Shutdown while an apply is pending: the process ends only after the
    // clear, which comes after the apply.
    h.root.writeFlag("503.flag", h.clock->now(), 0s);
    h.queue.advance(5s);
    ASSERT_TRUE(h.queue.deliverSignal(SIGTERM));
    h.queue.advance(30s);
    EXPECT_FALSE(h.exitCode);
    settings->runAll();
    h.queue.runPending();
    EXPECT_EQ(h.exitCode, std::optional<int>(0));
    EXPECT_EQ(h.root.proxyStates("Wi-Fi"), std::make_pair(false, false));
    const auto log = h.log();
    const auto asked = std::find(log.begin(), log.end(), "[daemon] INFO  shutdown requested");
    EXPECT_NE(std::find(asked, log.end(), "[daemon] INFO  shutdown complete"), log.end());
}

TEST(Supervisor, LaunchArgumentsEnvironmentAndOutput) {
    const std::vector<std::pair<std::optional<std::string>, std::vector<std::string>>> cases = {
        {std::nullopt, {}},
        {R"({"username":"","device_id":"abc"})", {"--device-id", "abc"}},
        {R"({"username":"emma","device_id":"D-1"})", {"--username", "emma", "--device-id", "D-1"}},
        // Values that look like options stay values.
        {R"({"username":"-x","device_id":"--port"})",
         {"--username", "-x", "--device-id", "--port"}},
        {R"(["emma","D-1"])", {}},
        {R"({"username":5,"device_id":null})", {}},
        {"{username", {}},
    };
    for (const auto& [config, identity] : cases) {
        SCOPED_TRACE(config.value_or("no file"));
        DaemonHarness h;
        if (config) writeText(Paths::proxyConfigFile(), *config);
        h.daemon->start();
        ASSERT_TRUE(h.waitForLaunches(1));
        auto launches = fakeLaunches(h.root.records());
        ASSERT_EQ(launches.size(), 1u);
        std::vector<std::string> expected = {"--port",    "8080",      "--host",
                                             "127.0.0.1", "--confdir", Paths::mitmproxyDir()};
        expected.insert(expected.end(), identity.begin(), identity.end());
        EXPECT_EQ(launches[0].args, expected);
        EXPECT_EQ(launches[0].pid, *h.daemon->proxyPid());
        EXPECT_EQ(launches[0].env["PROXY_RULES_FILE"], Paths::rulesFile());
        EXPECT_EQ(launches[0].env["TARVO_DATA_DIR"], Paths::systemLogDir());
        EXPECT_EQ(launches[0].env["TARVO_CONFIG_FILE"], Paths::proxyConfigFile());
        ASSERT_TRUE(h.waitFor([&] {
            return h.logged("[daemon] INFO  [proxy] ready") &&
                   h.logged("[daemon] WARN  [proxy] something odd");
        }));
    }
}

TEST(Supervisor, RestartsAfterAnExitButNotAfterShutdown) {
    DaemonHarness h;
    writeText(Paths::rulesFile(), R"({"whitelist":["kid.example"]})");
    h.daemon->start();
    EXPECT_EQ(readText(Paths::rulesFile()), R"({"whitelist":["kid.example"]})");
    EXPECT_EQ(h.count("[daemon] INFO  seeded"), 0u);
    ASSERT_TRUE(h.waitForLaunches(1));
    const std::string key = Paths::mitmproxyDir() + "/mitmproxy-ca.pem";
    EXPECT_EQ(fs::status(key).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(h.logged("[daemon] INFO  staged CA for mitmproxy at " + key));

    // Killed outright: code 9, a new process 2 seconds later, the CA re-staged.
    writeText(key, "tampered");
    const pid_t first = *h.daemon->proxyPid();
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    ASSERT_TRUE(h.waitFor([&] { return !h.daemon->proxyPid(); }));
    EXPECT_TRUE(h.logged("[daemon] WARN  proxy exited (code 9); restarting in 2s"));
    h.queue.advance(1900ms);
    EXPECT_FALSE(h.daemon->proxyPid());
    h.queue.advance(100ms);
    ASSERT_TRUE(h.waitForLaunches(2));
    EXPECT_EQ(readText(key), readText(h.root.resources() + "/mitmproxy-ca.pem"));

    // Shutdown: proxy asked to stop, settings cleared, exit 0, no restart.
    h.root.writeFlag("501.flag", h.clock->now(), 0s);
    h.queue.advance(3s);  // to the next tick only: the bounced proxy is not restarted yet
    ASSERT_TRUE(h.waitFor([&] { return !h.daemon->proxyPid(); }));  // bounced
    ASSERT_EQ(h.root.proxyStates("Ethernet"), std::make_pair(true, true));
    ASSERT_TRUE(h.queue.deliverSignal(SIGINT));
    h.queue.runPending();
    EXPECT_EQ(h.exitCode, std::optional<int>(0));
    for (const char* service : {"Ethernet", "Wi-Fi", "Thunderbolt Bridge"})
        EXPECT_EQ(h.root.proxyStates(service), std::make_pair(false, false)) << service;
    h.queue.advance(30s);
    EXPECT_EQ(fakeLaunches(h.root.records()).size(), 2u);
}

TEST(Supervisor, SeedsRulesAndRetriesEveryFiveSecondsWhileTheProxyIsMissing) {
    DaemonHarness h(DaemonRoot::Proxy::Missing);
    h.daemon->start();
    EXPECT_EQ(readText(Paths::rulesFile()), readText(h.root.resources() + "/proxy_rules.json"));
    EXPECT_TRUE(h.logged("[daemon] INFO  seeded default rules at " + Paths::rulesFile()));
    const std::string missing =
        "[daemon] ERROR proxy binary missing: " + h.root.resources() + "/proxy/TarvoProxy";
    EXPECT_EQ(h.count(missing), 1u);
    h.queue.advance(4900ms);
    EXPECT_EQ(h.count(missing), 1u);
    h.queue.advance(100ms);
    EXPECT_EQ(h.count(missing), 2u);
    h.root.installFakeProxy();
    h.queue.advance(5s);
    ASSERT_TRUE(h.waitForLaunches(1));
    EXPECT_EQ(h.count(missing), 2u);
}

// An ordinary user's program listening on 127.0.0.1:8080 before the proxy
// binds, or in the 2 seconds between an exit and the restart, is ended; the
// proxy's own listener (held by its child process) is left alone.
TEST(Supervisor, AForeignListenerOnTheProxyPortIsEndedAndTheProxyStartedAgain) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
    EnvGuard listen("TARVO_TEST_LISTEN", "1");
    DaemonHarness h;
    ASSERT_TRUE(enterPrivateNetwork());
    auto squat = [] {
        auto p = std::make_unique<Process>(Launch{
            .argv = {"/usr/bin/python3", "-c",
                     "import socket, time\ns = socket.socket()\ns.bind(('127.0.0.1', 8080))\n"
                     "s.listen()\nprint('up', flush=True)\ntime.sleep(1000)\n"},
            .user = kNobody});
        EXPECT_TRUE(p->waitForOutput("up"));
        return p;
    };
    // Moves virtual time on in small steps while the real processes act.
    auto drive = [&](const std::function<bool()>& done) {
        for (int i = 0; i < 400 && !done(); ++i) {
            h.queue.advance(250ms);
            h.queue.runUntil(done, 50ms);
        }
        return done();
    };
    auto ended = [&](const Process& s) {
        return "[daemon] ERROR foreign listener on 127.0.0.1:8080 (uid 65534, pid " +
               std::to_string(s.pid()) + ") ended \xE2\x80\x94 restarting the proxy";
    };
    const std::string listening = "[daemon] INFO  [proxy] listening";

    auto early = squat();
    h.daemon->start();
    ASSERT_TRUE(drive([&] { return h.logged(ended(*early)); }));
    EXPECT_EQ(early->wait(), std::optional<int>(128 + SIGKILL));
    ASSERT_TRUE(drive([&] { return h.count(listening) == 1; }));

    const pid_t first = *h.daemon->proxyPid();
    ::kill(first, SIGTERM);
    ASSERT_TRUE(h.waitFor([&] { return !h.daemon->proxyPid(); }));
    auto inTheGap = squat();
    ASSERT_TRUE(drive([&] { return h.logged(ended(*inTheGap)); }));
    EXPECT_EQ(inTheGap->wait(), std::optional<int>(128 + SIGKILL));
    ASSERT_TRUE(drive([&] { return h.count(listening) == 2; }));

    h.queue.advance(30s);
    EXPECT_EQ(h.count("[daemon] ERROR foreign listener"), 2u);
    EXPECT_NE(*h.daemon->proxyPid(), first);
}

// Which listening sockets take connections meant for 127.0.0.1:port.
TEST(ProxyListener, LoopbackAndWildcardListenersCount) {
    ASSERT_TRUE(enterPrivateNetwork() || ::geteuid() != 0);
    const struct {
        int family;
        const char* address;
        bool listen, counts;
        bool otherPort = false;  // bound to the next port, not the one asked about
    } cases[] = {
        {AF_INET, "127.0.0.1", true, true},
        {AF_INET, "0.0.0.0", true, true},
        {AF_INET6, "::", true, true},
        {AF_INET6, "::ffff:127.0.0.1", true, true},
        {AF_INET6, "::ffff:0.0.0.0", true, true},
        {AF_INET6, "::1", true, false},
        {AF_INET, "127.0.0.2", true, false},
        {AF_INET, "127.0.0.1", false, false},
        {AF_INET, "127.0.0.1", true, false, true},
        {AF_INET6, "::", true, false, true},
    };
    const int port = 18080 + static_cast<int>(::getpid() % 1000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        const int fd = ::socket(c.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in in{};
        sockaddr_in6 in6{};
        in.sin_family = AF_INET;
        in6.sin6_family = AF_INET6;
        in.sin_port = in6.sin6_port = htons(static_cast<uint16_t>(port + (c.otherPort ? 1 : 0)));
        int off = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        const bool v4 = c.family == AF_INET;
        ::inet_pton(c.family, c.address, v4 ? static_cast<void*>(&in.sin_addr) : &in6.sin6_addr);
        ASSERT_EQ(v4 ? ::bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in)
                     : ::bind(fd, reinterpret_cast<sockaddr*>(&in6), sizeof in6),
                  0);
        if (c.listen) {
            ASSERT_EQ(::listen(fd, 1), 0);
        }
        struct stat st {};
        ::fstat(fd, &st);
        bool found = false;
        for (const auto& s : listener::listenersFor(port)) found = found || s.inode == st.st_ino;
        EXPECT_EQ(found, c.counts);
        EXPECT_EQ(listener::holdersOf(st.st_ino), std::set<pid_t>{::getpid()});
        EXPECT_TRUE(listener::socketsOf(listener::processTree(::getppid())).count(st.st_ino));
        ::close(fd);
    }
}

}  // namespace
}  // namespace tarvo::test

namespace tarvo::test {
namespace {

// The update checks come after the schedule's first delay and then at every
// interval, and the log says when, in the largest unit that is exact. (The
// default schedule's half hours are only read back from the log: hours of
// virtual time cost seconds of presence polls.)
TEST(UpdateTimer, ChecksComeOnScheduleAndTheLogSaysWhen) {
    struct Case {
        UpdateSchedule schedule;
        std::string line;
        bool timed;
    };
    const std::vector<Case> cases = {
        {{}, "[daemon] INFO  update checks scheduled (first in 2m, then every 30m)", false},
        {{20s, 2500ms},
         "[daemon] INFO  update checks scheduled (first in 20s, then every 2500ms)",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        // No proxy to supervise: virtual time passes without processes.
        DaemonRoot root(DaemonRoot::Proxy::Missing);
        auto clock = std::make_shared<VirtualClock>();
        VirtualMainQueue queue{clock};
        int checks = 0;
        Daemon::Options options;
        options.startUpdateCheck = [&] { ++checks; };
        options.updateSchedule = c.schedule;
        options.exitProcess = [](int) {};
        options.background = std::make_shared<InlineBackground>();
        auto daemon = Daemon::create(queue, clock, options);
        daemon->start();
        EXPECT_TRUE(hasLine(logMessages(Paths::daemonLog()), c.line));
        if (!c.timed) continue;

        queue.advance(c.schedule.first - 1ms);
        EXPECT_EQ(checks, 0);
        queue.advance(1ms);
        EXPECT_EQ(checks, 1);
        queue.advance(c.schedule.interval * 3);
        EXPECT_EQ(checks, 4);
    }
}

}  // namespace
}  // namespace tarvo::test
