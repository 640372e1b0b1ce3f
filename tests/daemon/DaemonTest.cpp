#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "DaemonFixture.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "daemon/ProxyListener.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A daemon on virtual time in a fresh root; shutdown records the exit code
// instead of ending the test process.
struct DaemonHarness {
    // The settings calls run inline unless a test holds them back.
    explicit DaemonHarness(DaemonRoot::Proxy proxy = DaemonRoot::Proxy::Fake,
                           std::shared_ptr<Background> settings = nullptr)
        : root(proxy) {
        Daemon::Options options;
        options.exitProcess = [this](int code) { exitCode = code; };
        options.background = settings ? settings : std::make_shared<InlineBackground>();
        daemon = Daemon::create(queue, clock, options);
    }
    ~DaemonHarness() {
        if (::testing::Test::HasFailure())
            for (const auto& l : log()) std::fprintf(stderr, "%s\n", l.c_str());
        daemon.reset();
    }

    std::vector<std::string> log() const { return logMessages(Paths::daemonLog()); }
    bool logged(const std::string& message) const { return hasLine(log(), message); }
    // Waits in real time for the proxy's helper threads to report.
    bool waitFor(const std::function<bool()>& done) { return queue.runUntil(done, 30s); }
    bool waitForLaunches(size_t n) {
        return waitFor(
            [&] { return fakeLaunches(root.records()).size() >= n && daemon->proxyPid(); });
    }

    DaemonRoot root;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    std::shared_ptr<Daemon> daemon;
    std::optional<int> exitCode;
};

TEST(Presence, FreshnessAndCleanupOfFlags) {
    struct Flag {
        std::string name;
        std::chrono::seconds age;
    };
    struct Case {
        const char* what;
        std::vector<Flag> flags;
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
         {{"abc.flag", 600s},
          {".flag", 61s},
          {"a b\xE2\x80\x94"
           "c.flag",
           3600s},
          {"-1.flag", 90s}},
         false,
         {}},
        {"a fresh flag with any name counts", {{"Ann's Mac.flag", 5s}}, true, {"Ann's Mac.flag"}},
        {"every stale flag is cleaned even after a fresh one",
         {{"501.flag", 1s}, {"502.flag", 61s}, {"503.flag", 3600s}},
         true,
         {"501.flag"}},
        {"empty directory", {}, false, {}},
        // Dated ahead of the clock (planted, or a clock set back): a minute at most.
        {"60 seconds in the future counts", {{"501.flag", -60s}}, true, {"501.flag"}},
        {"61 seconds in the future is stale and deleted", {{"501.flag", -61s}}, false, {}},
    };
    DaemonHarness h;
    h.daemon->start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& e : fs::directory_iterator(h.root.flagDir())) fs::remove(e.path());
        for (const auto& f : c.flags) h.root.writeFlag(f.name, h.clock->now(), f.age);
        EXPECT_EQ(h.daemon->anyChildLoggedIn(), c.present);
        std::set<std::string> left;
        for (const auto& e : fs::directory_iterator(h.root.flagDir()))
            left.insert(e.path().filename().string());
        EXPECT_EQ(left, c.remaining);
    }
    // Only a regular file with one name counts: not a link, nor a second name
    // of a file someone keeps fresh.
    for (const auto& e : fs::directory_iterator(h.root.flagDir())) fs::remove(e.path());
    h.root.writeFlag("fresh.txt", h.clock->now(), 0s);
    fs::create_symlink(h.root.flagDir() + "/fresh.txt", h.root.flagDir() + "/501.flag");
    fs::create_hard_link(h.root.flagDir() + "/fresh.txt", h.root.flagDir() + "/502.flag");
    EXPECT_FALSE(h.daemon->anyChildLoggedIn());
    EXPECT_TRUE(fs::exists(h.root.flagDir() + "/fresh.txt"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(h.root.flagDir() + "/501.flag")));
    EXPECT_FALSE(fs::exists(h.root.flagDir() + "/502.flag"));
}

TEST(Presence, MissingFlagDirectoryCountsAsNoChild) {
    DaemonHarness h;
    h.daemon->start();
    fs::remove_all(h.root.flagDir());
    EXPECT_FALSE(h.daemon->anyChildLoggedIn());
}

TEST(Presence, OnlyTransitionsActAndANewChildBouncesTheProxy) {
    DaemonHarness h;
    h.root.setServices({"Wi-Fi", "USB 10/100 LAN"});
    h.daemon->start();
    ASSERT_TRUE(h.waitForLaunches(1));
    const pid_t first = *h.daemon->proxyPid();

    h.queue.advance(0ms);  // the first tick comes at once
    EXPECT_TRUE(h.logged("[daemon] INFO  no child user \xE2\x80\x94 clearing system proxy"));
    EXPECT_EQ(h.daemon->lastChildPresent(), std::optional<bool>(false));

    h.root.writeFlag("501.flag", h.clock->now(), 0s);
    h.queue.advance(5s);
    EXPECT_EQ(h.root.proxyStates("Wi-Fi"), std::make_pair(true, true));
    EXPECT_EQ(h.root.proxyStates("USB 10/100 LAN"), std::make_pair(true, true));
    EXPECT_TRUE(h.logged("[daemon] INFO  bouncing proxy (pid " + std::to_string(first) +
                         ") to pick up new child identity"));
    ASSERT_TRUE(h.waitFor([&] { return !h.daemon->proxyPid(); }));
    EXPECT_TRUE(h.logged("[daemon] WARN  proxy exited (code 15); restarting in 2s"));
    h.queue.advance(2s);
    ASSERT_TRUE(h.waitForLaunches(2));
    EXPECT_NE(*h.daemon->proxyPid(), first);

    // One child leaves and another arrives between two ticks: no transition.
    const size_t callsBefore = h.root.networksetupCalls().size();
    fs::remove(h.root.flagDir() + "/501.flag");
    h.root.writeFlag("502.flag", h.clock->now(), 0s);
    h.queue.advance(5s);
    h.queue.advance(5s);
    EXPECT_EQ(h.root.networksetupCalls().size(), callsBefore);
    EXPECT_EQ(countLinesStartingWith(h.log(), "[daemon] INFO  bouncing proxy"), 1u);

    // The flag is not refreshed: once 60 seconds old it is stale, deleted, and
    // the settings are cleared.
    h.queue.advance(60s);
    EXPECT_EQ(h.root.proxyStates("Wi-Fi"), std::make_pair(false, false));
    EXPECT_FALSE(fs::exists(h.root.flagDir() + "/502.flag"));
    EXPECT_EQ(countLinesStartingWith(h.log(), "[daemon] INFO  no child user"), 2u);
    EXPECT_EQ(countLinesStartingWith(h.log(), "[daemon] INFO  child user active"), 1u);
}

// The tool calls behind the system proxy settings (up to 30 s each) never
// hold the main thread: ticks and proxy restarts go on while they are under
// way, and every change, the clear at shutdown last, is made in the order asked.
TEST(Presence, SettingsChangesRunOffTheMainThreadInOrder) {
    auto settings = std::make_shared<ManualBackground>();
    DaemonHarness h(DaemonRoot::Proxy::Fake, settings);
    h.root.setServices({"Wi-Fi"});
    h.daemon->start();
    ASSERT_TRUE(h.waitForLaunches(1));
    const pid_t first = *h.daemon->proxyPid();
    h.queue.advance(0ms);
    EXPECT_TRUE(h.logged("[daemon] INFO  no child user \xE2\x80\x94 clearing system proxy"));

    // A child arrives while the first clear is still pending: the apply is
    // asked for, and the proxy is bounced and started again all the same.
    h.root.writeFlag("501.flag", h.clock->now(), 0s);
    h.queue.advance(5s);
    EXPECT_TRUE(h.logged("[daemon] INFO  bouncing proxy (pid " + std::to_string(first) +
                         ") to pick up new child identity"));
    ASSERT_TRUE(h.waitFor([&] { return !h.daemon->proxyPid(); }));
    h.queue.advance(2s);
    ASSERT_TRUE(h.waitForLaunches(2));
    // The child leaves: the next tick still runs and asks for a clear.
    fs::remove(h.root.flagDir() + "/501.flag");
    h.queue.advance(3s);
    EXPECT_EQ(countLinesStartingWith(h.log(), "[daemon] INFO  no child user"), 2u);
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
    EXPECT_EQ(h.root.proxyStates("Wi-Fi"), std::make_pair(false, false));

    // Shutdown while an apply is pending: the process ends only after the
    // clear, which comes after the apply.
    h.root.writeFlag("502.flag", h.clock->now(), 0s);
    h.queue.advance(5s);
    ASSERT_TRUE(h.queue.deliverSignal(SIGTERM));
    h.queue.advance(30s);
    EXPECT_FALSE(h.exitCode);
    EXPECT_FALSE(h.logged("[daemon] INFO  shutdown complete"));
    settings->runAll();
    h.queue.runPending();
    EXPECT_EQ(h.exitCode, std::optional<int>(0));
    EXPECT_EQ(h.root.proxyStates("Wi-Fi"), std::make_pair(false, false));
    const auto log = h.log();
    const auto requested = std::find(log.begin(), log.end(), "[daemon] INFO  shutdown requested");
    EXPECT_NE(std::find(requested, log.end(), "[daemon] INFO  shutdown complete"), log.end());
}

TEST(Supervisor, LaunchArgumentsEnvironmentAndOutput) {
    struct Case {
        const char* what;
        std::optional<std::string> proxyConfig;
        std::vector<std::string> identityArgs;
    };
    const std::vector<Case> cases = {
        {"no file", std::nullopt, {}},
        {"empty user name, device id given",
         R"({"username":"","device_id":"abc"})",
         {"--device-id", "abc"}},
        {"both",
         R"({"username":"emma","device_id":"D-1"})",
         {"--username", "emma", "--device-id", "D-1"}},
        {"array", R"(["emma","D-1"])", {}},
        {"wrong types", R"({"username":5,"device_id":null})", {}},
        {"not JSON", "{username", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DaemonHarness h;
        if (c.proxyConfig) writeText(h.root.dataDir() + "/proxy_config.json", *c.proxyConfig);
        h.daemon->start();
        ASSERT_TRUE(h.waitForLaunches(1));
        auto launches = fakeLaunches(h.root.records());
        ASSERT_EQ(launches.size(), 1u);
        std::vector<std::string> expected = {"--port",    "8080",      "--host",
                                             "127.0.0.1", "--confdir", Paths::mitmproxyDir()};
        expected.insert(expected.end(), c.identityArgs.begin(), c.identityArgs.end());
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

TEST(Supervisor, RestartsAfterEveryExitButNotAfterShutdown) {
    DaemonHarness h;
    h.daemon->start();
    ASSERT_TRUE(h.waitForLaunches(1));
    const std::string key = h.root.dataDir() + "/mitmproxy/mitmproxy-ca.pem";
    EXPECT_EQ(fs::status(key).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(h.root.dataDir() + "/mitmproxy").permissions(), fs::perms::owner_all);
    EXPECT_EQ(readText(key), readText(h.root.resources() + "/mitmproxy-ca.pem"));

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
    EXPECT_NE(*h.daemon->proxyPid(), first);
    EXPECT_EQ(readText(key), readText(h.root.resources() + "/mitmproxy-ca.pem"));

    // Shutdown: proxy asked to stop, settings cleared, exit 0, no restart.
    // Up to the next tick (at 5 s) only, so the bounced proxy's restart 2 s
    // later cannot come due within the same advance.
    h.root.writeFlag("501.flag", h.clock->now(), 0s);
    h.queue.advance(3s);
    ASSERT_TRUE(h.waitFor([&] { return !h.daemon->proxyPid(); }));
    h.queue.advance(2s);
    ASSERT_TRUE(h.waitForLaunches(3));
    EXPECT_EQ(h.root.proxyStates("Wi-Fi"), std::make_pair(true, true));
    ASSERT_TRUE(h.queue.deliverSignal(SIGINT));
    h.queue.runPending();
    EXPECT_EQ(h.exitCode, std::optional<int>(0));
    EXPECT_FALSE(h.daemon->shouldRun());
    for (const char* service : {"Ethernet", "Wi-Fi", "Thunderbolt Bridge"})
        EXPECT_EQ(h.root.proxyStates(service), std::make_pair(false, false)) << service;
    ASSERT_TRUE(h.waitFor([&] { return !h.daemon->proxyPid(); }));
    h.queue.advance(30s);
    EXPECT_EQ(fakeLaunches(h.root.records()).size(), 3u);
    const auto log = h.log();
    EXPECT_TRUE(hasLine(log, "[daemon] INFO  shutdown requested"));
    EXPECT_TRUE(hasLine(log, "[daemon] INFO  shutdown complete"));
}

TEST(Supervisor, RestartsAProxyThatEndsOnItsOwn) {
    EnvGuard exitAtOnce("TARVO_TEST_EXIT_AT_ONCE", "1");
    DaemonHarness h;
    h.daemon->start();
    for (size_t round = 1; round <= 3; ++round) {
        ASSERT_TRUE(h.waitFor([&] {
            return countLinesStartingWith(h.log(), "[daemon] WARN  proxy exited (code 3)") ==
                       round &&
                   !h.daemon->proxyPid();
        })) << round;
        h.queue.advance(2s);
    }
    EXPECT_GE(fakeLaunches(h.root.records()).size(), 3u);
}

TEST(Supervisor, RetriesEveryFiveSecondsWhileTheExecutableIsMissing) {
    DaemonHarness h(DaemonRoot::Proxy::Missing);
    h.daemon->start();
    const std::string missing =
        "[daemon] ERROR proxy binary missing: " + h.root.resources() + "/proxy/TarvoProxy";
    EXPECT_EQ(countLinesStartingWith(h.log(), missing), 1u);
    h.queue.advance(4900ms);
    EXPECT_EQ(countLinesStartingWith(h.log(), missing), 1u);
    h.queue.advance(100ms);
    EXPECT_EQ(countLinesStartingWith(h.log(), missing), 2u);
    h.root.installFakeProxy();
    h.queue.advance(5s);
    ASSERT_TRUE(h.waitForLaunches(1));
    EXPECT_EQ(countLinesStartingWith(h.log(), missing), 2u);
}

TEST(Supervisor, SeedsDefaultRulesOnlyWhenAbsent) {
    {
        DaemonHarness h;
        h.daemon->start();
        const std::string rules = h.root.dataDir() + "/proxy_rules.json";
        EXPECT_EQ(readText(rules), readText(h.root.resources() + "/proxy_rules.json"));
        EXPECT_EQ(fs::status(rules).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                      fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);
        EXPECT_TRUE(h.logged("[daemon] INFO  seeded default rules at " + Paths::rulesFile()));
    }
    {
        DaemonHarness h;
        writeText(h.root.dataDir() + "/proxy_rules.json", R"({"whitelist":["kid.example"]})");
        h.daemon->start();
        EXPECT_EQ(readText(h.root.dataDir() + "/proxy_rules.json"),
                  R"({"whitelist":["kid.example"]})");
        EXPECT_EQ(countLinesStartingWith(h.log(), "[daemon] INFO  seeded"), 0u);
    }
}

}  // namespace
}  // namespace tarvo::test

namespace tarvo::test {
namespace {

// An ordinary user's program listening on 127.0.0.1:8080, in the test's
// private network namespace.
class Squatter {
  public:
    Squatter() {
        proc_ = spawnProcess("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534",
                                                  "--clear-groups", "/usr/bin/python3", "-c",
                                                  "import socket, time\n"
                                                  "s = socket.socket()\n"
                                                  "s.bind(('127.0.0.1', 8080))\n"
                                                  "s.listen()\n"
                                                  "print('up', flush=True)\n"
                                                  "time.sleep(1000)\n"});
        char buf[16] = {};
        const ssize_t n = ::read(proc_.stdoutFd, buf, sizeof buf - 1);
        up_ = n > 0 && std::string(buf).find("up") != std::string::npos;
    }
    ~Squatter() {
        if (!reaped_) {
            ::kill(proc_.pid, SIGKILL);
            ::waitpid(proc_.pid, nullptr, 0);
        }
        ::close(proc_.stdoutFd);
        ::close(proc_.stderrFd);
    }
    bool up() const { return up_; }
    pid_t pid() const { return proc_.pid; }
    // The signal that ended it, once it has ended.
    std::optional<int> endedBy() {
        int status = 0;
        if (!reaped_ && ::waitpid(proc_.pid, &status, WNOHANG) == proc_.pid) {
            reaped_ = true;
            signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        }
        return reaped_ ? std::optional<int>(signal_) : std::nullopt;
    }

  private:
    SpawnedProcess proc_;
    bool up_ = false;
    bool reaped_ = false;
    int signal_ = 0;
};

TEST(Supervisor, AForeignListenerOnTheProxyPortIsEndedAndTheProxyStartedAgain) {
    if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv"))
        GTEST_SKIP() << "needs root to listen as another user in a private network";
    EnvGuard listen("TARVO_TEST_LISTEN", "1");
    DaemonHarness h;
    ASSERT_TRUE(enterPrivateNetwork());
    // Moves virtual time on in small steps while the real processes act.
    auto drive = [&](const std::function<bool()>& done) {
        for (int i = 0; i < 400 && !done(); ++i) {
            h.queue.advance(250ms);
            h.queue.runUntil(done, 50ms);
        }
        return done();
    };
    auto ended = [&](const Squatter& s) {
        return "[daemon] ERROR foreign listener on 127.0.0.1:8080 (uid 65534, pid " +
               std::to_string(s.pid()) + ") ended \xE2\x80\x94 restarting the proxy";
    };
    auto listening = [&] {
        return countLinesStartingWith(h.log(), "[daemon] INFO  [proxy] listening");
    };

    // Bound before the daemon starts: its proxy cannot bind.
    Squatter early;
    ASSERT_TRUE(early.up());
    h.daemon->start();
    ASSERT_TRUE(drive([&] { return h.logged(ended(early)); }));
    EXPECT_TRUE(drive([&] { return early.endedBy().has_value(); }));
    EXPECT_EQ(early.endedBy(), std::optional<int>(SIGKILL));
    ASSERT_TRUE(drive([&] { return listening() == 1; }));

    // Bound in the 2 seconds between an exit and the restart.
    const pid_t first = *h.daemon->proxyPid();
    ::kill(first, SIGTERM);
    ASSERT_TRUE(h.waitFor([&] { return !h.daemon->proxyPid(); }));
    Squatter inTheGap;
    ASSERT_TRUE(inTheGap.up());
    ASSERT_TRUE(drive([&] { return h.logged(ended(inTheGap)); }));
    EXPECT_TRUE(drive([&] { return inTheGap.endedBy().has_value(); }));
    ASSERT_TRUE(drive([&] { return listening() == 2; }));

    // The proxy's own listener, held by its child process, is left alone.
    h.queue.advance(30s);
    EXPECT_EQ(countLinesStartingWith(h.log(), "[daemon] ERROR foreign listener"), 2u);
    EXPECT_NE(*h.daemon->proxyPid(), first);
}

}  // namespace
}  // namespace tarvo::test

namespace tarvo::test {
namespace {

// Which listening sockets take connections meant for 127.0.0.1:port.
TEST(ProxyListener, LoopbackAndWildcardListenersCount) {
    ASSERT_TRUE(enterPrivateNetwork() || ::geteuid() != 0);
    struct Case {
        int family;
        const char* address;
        bool listen;
        bool counts;
    };
    const Case cases[] = {
        {AF_INET, "127.0.0.1", true, true},   {AF_INET, "0.0.0.0", true, true},
        {AF_INET6, "::", true, true},         {AF_INET6, "::ffff:127.0.0.1", true, true},
        {AF_INET6, "::1", true, false},       {AF_INET, "127.0.0.2", true, false},
        {AF_INET, "127.0.0.1", false, false},
    };
    const int port = 18080 + static_cast<int>(::getpid() % 1000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        const int fd = ::socket(c.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sockaddr_storage addr{};
        socklen_t len;
        if (c.family == AF_INET) {
            auto* in = reinterpret_cast<sockaddr_in*>(&addr);
            in->sin_family = AF_INET;
            in->sin_port = htons(static_cast<uint16_t>(port));
            ::inet_pton(AF_INET, c.address, &in->sin_addr);
            len = sizeof *in;
        } else {
            int off = 0;
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&addr);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(static_cast<uint16_t>(port));
            ::inet_pton(AF_INET6, c.address, &in6->sin6_addr);
            len = sizeof *in6;
        }
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), len), 0) << std::strerror(errno);
        if (c.listen) {
            ASSERT_EQ(::listen(fd, 1), 0);
        }
        struct stat st {};
        ::fstat(fd, &st);
        bool found = false;
        for (const auto& s : listener::listenersFor(port)) {
            found = found || s.inode == st.st_ino;
            EXPECT_EQ(s.uid, ::geteuid());
        }
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
