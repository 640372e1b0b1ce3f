// The daemon on virtual time with a scripted stand-in proxy that records its
// launches, the real `tarvo daemon`, and the keychain tool behind install-cert.

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
#include "daemon/Keychain.h"
#include "daemon/ProxyListener.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Only a regular file with one name, dated less than a minute back or a
// minute ahead at most (planted, or a clock set back), counts. Every other
// flag goes, whatever its name; other names neither count nor go.
TEST(Presence, FreshnessAndCleanupOfFlags) {
    const struct {
        std::vector<std::pair<std::string, std::chrono::seconds>> flags;  // name, age
        bool present;
        std::set<std::string> remaining;
    } cases[] = {
        {{{"501.flag", 59s}}, true, {"501.flag"}},
        {{{"501.flag", 60s}}, false, {}},
        {{{"501.flag.bak", 3600s}}, false, {"501.flag.bak"}},
        {{{"Ann's Mac.flag", 1s}, {"abc.flag", 61s}, {"-1.flag", 3600s}}, true, {"Ann's Mac.flag"}},
        {{{"501.flag", -60s}}, true, {"501.flag"}},
        {{{"501.flag", -61s}}, false, {}},
    };
    DaemonHarness h;
    h.daemon->start();
    const std::string dir = h.root.flagDir();
    auto left = [&] {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename());
        return names;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags[0].first + " " + std::to_string(c.flags[0].second.count()));
        // Emptied, not made again: a new directory in its place is not the daemon's.
        for (const auto& e : fs::directory_iterator(dir)) fs::remove(e.path());
        for (const auto& [name, age] : c.flags) h.writeFlag(name, age);
        EXPECT_EQ(h.daemon->anyChildLoggedIn(), c.present);
        EXPECT_EQ(left(), c.remaining);
    }
    // Neither a link nor a second name of a file someone keeps fresh.
    h.writeFlag("fresh.txt");
    fs::create_symlink(dir + "/fresh.txt", dir + "/501.flag");
    fs::create_hard_link(dir + "/fresh.txt", dir + "/502.flag");
    EXPECT_FALSE(h.daemon->anyChildLoggedIn());
    EXPECT_EQ(left(), std::set<std::string>{"fresh.txt"});
}

// Only transitions act; a new child bounces the proxy so that it picks up the
// identity. The settings calls (up to 30 s each) never hold the main thread:
// they run later, in the order asked, on enabled services only, and shutdown
// ends only after the last clear.
TEST(Presence, TransitionsChangeTheSettingsOffTheMainThreadInOrder) {
    auto settings = std::make_shared<ManualBackground>();
    DaemonHarness h(DaemonRoot::Proxy::Fake, {.background = settings});
    h.root.setServices(" Odd Name\n*Bluetooth PAN\n");
    writeText(Paths::rulesFile(), "{}");
    h.daemon->start();
    EXPECT_EQ(readText(Paths::rulesFile()), "{}") << "present rules are never reseeded";
    ASSERT_TRUE(h.waitForLaunches(1));
    const pid_t first = *h.daemon->proxyPid();
    h.queue.advance(0ms);  // the first tick comes at once
    EXPECT_TRUE(h.logged("[daemon] INFO  no child user \xE2\x80\x94 clearing system proxy"));

    h.writeFlag("501.flag");
    h.queue.advance(5s);
    EXPECT_TRUE(h.logged("[daemon] INFO  bouncing proxy (pid " + std::to_string(first) +
                         ") to pick up new child identity"));
    ASSERT_TRUE(h.waitFor([&] { return !h.daemon->proxyPid(); }));
    EXPECT_TRUE(h.logged("[daemon] WARN  proxy exited (code 15); restarting in 2s"));

    // One child leaves and another arrives between two ticks: no transition.
    fs::remove(h.root.flagDir() + "/501.flag");
    h.writeFlag("502.flag");
    h.queue.advance(10s);
    EXPECT_EQ(h.count("[daemon] INFO  bouncing proxy"), 1u);
    // Not refreshed, the flag goes stale and a clear is asked for.
    h.queue.advance(60s);
    EXPECT_EQ(h.count("[daemon] INFO  no child user"), 2u);
    EXPECT_TRUE(h.root.networksetupCalls().empty());
    EXPECT_EQ(settings->pending(), 1u);  // one serial drain holds the three changes

    settings->runAll();
    auto calls = h.root.networksetupCalls();
    std::erase_if(calls, [](const auto& call) { return call.size() < 2; });  // the listings
    const std::string s = " Odd Name", at = "127.0.0.1", port = "8080";
    const std::vector<std::vector<std::string>> expected = {
        {"-setwebproxystate", s, "off"}, {"-setsecurewebproxystate", s, "off"},
        {"-setwebproxy", s, at, port},   {"-setsecurewebproxy", s, at, port},
        {"-setwebproxystate", s, "on"},  {"-setsecurewebproxystate", s, "on"},
        {"-setwebproxystate", s, "off"}, {"-setsecurewebproxystate", s, "off"}};
    EXPECT_EQ(calls, expected);

    // Shutdown while an apply is pending: the process ends only after the
    // clear, which comes after the apply.
    h.writeFlag("503.flag");
    h.queue.advance(5s);
    ASSERT_TRUE(h.queue.deliverSignal(SIGTERM));
    h.queue.advance(30s);
    EXPECT_FALSE(h.exitCode);
    settings->runAll();
    h.queue.runPending();
    EXPECT_EQ(h.exitCode, std::optional<int>(0));
    EXPECT_EQ(h.root.proxyStates(s), std::make_pair(false, false));
}

// The proxy's arguments, environment and output; a missing proxy is retried
// every 5 s, an exited one restarted after 2 s, a stopped one not; the update
// checks come after the first delay, then at every interval.
TEST(Supervisor, LaunchesRetriesAndRestartsTheProxyButNotAfterShutdown) {
    int checks = 0;
    DaemonHarness h(DaemonRoot::Proxy::Missing,
                    {.startUpdateCheck = [&] { ++checks; }, .updateSchedule = {4s, 2500ms}});
    // Values that look like options stay values.
    writeText(Paths::proxyConfigFile(), R"({"username":"-x","device_id":"--port"})");
    h.daemon->start();
    EXPECT_EQ(readText(Paths::rulesFile()), readText(h.root.resources() + "/proxy_rules.json"));
    const std::string missing = "[daemon] ERROR proxy binary missing: ";
    h.queue.advance(4s - 1ms);
    EXPECT_EQ(checks, 0);
    h.queue.advance(900ms + 1ms);
    EXPECT_EQ(h.count(missing), 1u);
    h.queue.advance(100ms);
    EXPECT_EQ(h.count(missing), 2u);
    h.root.installFakeProxy();
    h.queue.advance(5s);
    EXPECT_EQ(checks, 3) << "at 4 s, 6.5 s and 9 s";
    ASSERT_TRUE(h.waitForLaunches(1));
    auto expected = [](const std::vector<std::string>& identity) {
        std::vector<std::string> lines = {"--port",    "8080",      "--host",
                                          "127.0.0.1", "--confdir", Paths::mitmproxyDir()};
        lines.insert(lines.end(), identity.begin(), identity.end());
        for (auto& arg : lines) arg = "arg:" + arg;
        lines.push_back("env:PROXY_RULES_FILE=" + Paths::rulesFile());
        lines.push_back("env:TARVO_DATA_DIR=" + Paths::systemLogDir());
        lines.push_back("env:TARVO_CONFIG_FILE=" + Paths::proxyConfigFile());
        return lines;
    };
    auto launches = fakeLaunches(h.root.records());
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].second, expected({"--username", "-x", "--device-id", "--port"}));
    EXPECT_EQ(launches[0].first, *h.daemon->proxyPid());
    ASSERT_TRUE(h.waitFor([&] {
        return h.logged("[daemon] INFO  [proxy] ready") &&
               h.logged("[daemon] WARN  [proxy] something odd");
    }));
    const std::string key = Paths::mitmproxyDir() + "/mitmproxy-ca.pem";
    EXPECT_EQ(fs::status(key).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    // Killed outright: code 9, a new process 2 seconds later, the CA staged
    // again, and a configuration that cannot be read gives no identity.
    writeText(key, "tampered");
    writeText(Paths::proxyConfigFile(), "{username");
    ASSERT_EQ(::kill(*h.daemon->proxyPid(), SIGKILL), 0);
    ASSERT_TRUE(h.waitFor([&] { return !h.daemon->proxyPid(); }));
    EXPECT_TRUE(h.logged("[daemon] WARN  proxy exited (code 9); restarting in 2s"));
    h.queue.advance(1900ms);
    EXPECT_FALSE(h.daemon->proxyPid());
    h.queue.advance(100ms);
    ASSERT_TRUE(h.waitForLaunches(2));
    EXPECT_EQ(readText(key), readText(h.root.resources() + "/mitmproxy-ca.pem"));
    launches = fakeLaunches(h.root.records());
    std::erase_if(launches, [&](const auto& l) { return l.first != *h.daemon->proxyPid(); });
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].second, expected({}));

    // After a shutdown the stopped proxy is not restarted.
    ASSERT_TRUE(h.queue.deliverSignal(SIGINT));
    h.queue.runPending();
    EXPECT_EQ(h.exitCode, std::optional<int>(0));
    h.queue.advance(30s);
    EXPECT_EQ(fakeLaunches(h.root.records()).size(), 2u);
}

// An ordinary user's program listening on 127.0.0.1:8080 before the proxy
// binds, or in the 2 seconds between an exit and the restart, is ended; the
// proxy's own listener (held by its child process) is left alone.
TEST(Supervisor, AForeignListenerOnTheProxyPortIsEndedAndTheProxyStartedAgain) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
    EnvGuard listen("TARVO_TEST_LISTEN", "1");
    DaemonHarness h;
    // Moves virtual time on in small steps while the real processes act.
    auto drive = [&](const std::function<bool()>& done) {
        for (int i = 0; i < 400 && !done(); ++i) {
            h.queue.advance(250ms);
            h.queue.runUntil(done, 50ms);
        }
        return done();
    };
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);  // before the first start, then between an exit and the restart
        Process squatter({.argv = {"/usr/bin/python3", "-c",
                                   "import socket, time\ns = socket.socket()\n"
                                   "s.bind(('127.0.0.1', 8080))\ns.listen()\n"
                                   "print('up', flush=True)\ntime.sleep(1000)\n"},
                          .user = kNobody});
        ASSERT_TRUE(squatter.waitForOutput("up"));
        if (round == 1) h.daemon->start();
        ASSERT_TRUE(drive([&] {
            return h.logged("[daemon] ERROR foreign listener on 127.0.0.1:8080 (uid 65534, pid " +
                            std::to_string(squatter.pid()) +
                            ") ended \xE2\x80\x94 restarting the proxy");
        }));
        EXPECT_EQ(squatter.wait(), std::optional<int>(128 + SIGKILL));
        ASSERT_TRUE(drive([&] { return h.count("[daemon] INFO  [proxy] listening") == round; }));
        if (round == 1) {
            ::kill(*h.daemon->proxyPid(), SIGTERM);
            ASSERT_TRUE(h.waitFor([&] { return !h.daemon->proxyPid(); }));
        }
    }
    h.queue.advance(30s);
    EXPECT_EQ(h.count("[daemon] ERROR foreign listener"), 2u) << "the proxy's own is left alone";
}

// Which listening sockets take connections meant for 127.0.0.1:port, as the
// kernel's socket diagnostics and the /proc tables they fall back on see them.
TEST(ProxyListener, LoopbackAndWildcardListenersOnThePortCount) {
    ASSERT_TRUE(enterPrivateNetwork() || ::geteuid() != 0);
    const struct {
        int family;
        const char* address;
        bool listen, counts;
        int portOffset = 0;  // bound to another port than the one asked about
    } cases[] = {
        {AF_INET, "127.0.0.1", true, true},   {AF_INET, "0.0.0.0", true, true},
        {AF_INET6, "::", true, true},         {AF_INET6, "::ffff:127.0.0.1", true, true},
        {AF_INET6, "::1", true, false},       {AF_INET, "127.0.0.2", true, false},
        {AF_INET, "127.0.0.1", false, false}, {AF_INET, "127.0.0.1", true, false, 1},
        {AF_INET6, "::", true, false, 1},
    };
    const int port = 18080 + static_cast<int>(::getpid() % 1000);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        const int fd = ::socket(c.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in in{.sin_family = AF_INET};
        sockaddr_in6 in6{.sin6_family = AF_INET6};
        in.sin_port = in6.sin6_port = htons(static_cast<uint16_t>(port + c.portOffset));
        int off = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        const bool v4 = c.family == AF_INET;
        ::inet_pton(c.family, c.address, v4 ? static_cast<void*>(&in.sin_addr) : &in6.sin6_addr);
        ASSERT_EQ(v4 ? ::bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in)
                     : ::bind(fd, reinterpret_cast<sockaddr*>(&in6), sizeof in6),
                  0);
        ASSERT_EQ(c.listen ? ::listen(fd, 1) : 0, 0);
        struct stat st {};
        ::fstat(fd, &st);
        for (const auto source : {listener::Source::diagnostics, listener::Source::procTables}) {
            bool found = false;
            for (const auto& s : listener::listenersFor(port, source))
                found = found || s.inode == st.st_ino;
            EXPECT_EQ(found, c.counts) << (source == listener::Source::procTables ? "/proc" : "");
        }
        EXPECT_EQ(listener::holdersOf(st.st_ino), std::set<pid_t>{::getpid()});
        EXPECT_TRUE(listener::socketsOf(listener::processTree(::getppid())).count(st.st_ino));
        ::close(fd);
    }
}

// The real `tarvo daemon`: one per machine, root only, and a second one
// refused without touching the first one's settings.
TEST(SingleDaemon, ASecondDaemonRefusesAndTheFirstKeepsItsSettings) {
    DaemonRoot root;
    Process first({.argv = {tarvoBinary(), "daemon"}, .capture = false});
    // The clear's last call made, nothing is still under way when counting.
    const std::vector<std::string> lastClear = {"-setsecurewebproxystate", "Thunderbolt Bridge",
                                                "off"};
    ASSERT_TRUE(waitUntil([&] {
        const auto calls = root.networksetupCalls();
        return !calls.empty() && calls.back() == lastClear;
    }));
    const size_t calls = root.networksetupCalls().size();
    const ProcessResult second = run({.argv = {tarvoBinary(), "daemon"}}, 30s);
    EXPECT_EQ(second.exitStatus, 1);
    EXPECT_EQ(second.err, "tarvo daemon: another daemon is already running (pid " +
                              std::to_string(first.pid()) + ")\n");
    EXPECT_EQ(
        countLinesStartingWith(logMessages(Paths::daemonLog()), "[daemon] INFO  daemon starting"),
        1u);
    EXPECT_EQ(root.networksetupCalls().size(), calls);

    // A lock only root can take: a root-only directory, a private file.
    const std::string lock = Paths::daemonLockFile();
    EXPECT_EQ(fs::symlink_status(fs::path(lock).parent_path()).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::symlink_status(lock).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    const ProcessResult user = run({.argv = {tarvoBinary(), "daemon"}, .user = kNobody}, 30s);
    EXPECT_EQ(user.exitStatus, 1);
    EXPECT_EQ(user.err, "daemon must run as root (it changes the system proxy settings)\n");
    first.kill(SIGKILL);
    for (const auto& launch : fakeLaunches(root.records())) ::kill(launch.first, SIGKILL);
}

// A private key, a missing file and an ordinary user are refused and nothing
// is trusted; then the bundled certificate is.
TEST(InstallCert, RefusesPrivateKeysMissingFilesAndOrdinaryUsers) {
    DaemonRoot root;
    const std::string cert = root.resources() + "/rootCert.pem";
    // The stand-in digests the certificate on its own; the two must agree.
    const std::string digest = Keychain::bundledCertFingerprint(cert).value_or("?");
    auto trusted = [&] {
        return readText(root.root() + "/.standins/security/keychain.json").find(digest) !=
               std::string::npos;
    };
    const std::string key = root.resources() + "/mitmproxy-ca.pem", missing = root.root() + "/x";
    const std::tuple<std::string, std::optional<uid_t>, std::string> refusals[] = {
        {key,
         {},
         "refusing to install " + key +
             ": it contains a PRIVATE KEY. Install the certificate-only PEM.\n"},
        {missing, {}, ""},
        {"", kNobody, ""},
    };
    for (const auto& [path, user, why] : refusals) {
        SCOPED_TRACE(path);
        Launch launch{.argv = {tarvoBinary(), "install-cert"}, .user = user};
        if (!path.empty()) launch.argv.push_back(path);
        const ProcessResult r = run(launch);
        EXPECT_EQ(r.exitStatus, 1);
        if (!user) EXPECT_EQ(r.err, why + "certificate not installed: " + path + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(trusted());
    }
    const ProcessResult r = run({.argv = {tarvoBinary(), "install-cert"}});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "certificate trusted: " + cert + "\n");
    EXPECT_TRUE(trusted());
}

}  // namespace
}  // namespace tarvo::test
