// The daemon on virtual time with a stand-in proxy, the real binary, and the
// filtering proxy; the shared data directory as children meet it; this
// system's web proxy mechanisms and logind's records.

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <regex>
#include <set>

#include "core/Paths.h"
#include "core/TarvoLog.h"
#include "daemon/ChildHandover.h"
#include "daemon/ProxyListener.h"
#include "platform/fake/FakeLoginSessions.h"
#include "platform/mac/Keychain.h"
#include "platform/system/LinuxSystemProxy.h"
#include "platform/system/SdLoginSessions.h"
#include "support/Accounts.h"
#include "support/DaemonFixture.h"
#include "support/FakeService.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::AllOf, testing::HasSubstr, testing::Not;

// Only a regular file with one name dated less than a minute back, or a
// minute ahead at most, counts; every other flag goes. Only transitions act;
// a new child bounces the proxy for its identity. The settings calls (up to
// 30 s each) run off the main thread, in order, on enabled services only, and
// shutdown ends after the last clear.
TEST(Presence, FreshFlagsOnlyAndTransitionsChangeTheSettingsOffTheMainThreadInOrder) {
    auto settings = std::make_shared<ManualBackground>();
    DaemonHarness h(DaemonRoot::Proxy::Fake, {.background = settings});
    h.root.setServices(" Odd Name\n*Bluetooth PAN\n");
    writeText(Paths::rulesFile(), "{}");
    h.daemon->start();
    EXPECT_EQ(readText(Paths::rulesFile()), "{}") << "present rules are never reseeded";
    ASSERT_TRUE(h.waitForLaunches(1));
    using Flags = std::vector<std::pair<std::string, std::chrono::seconds>>;  // name, age
    const std::tuple<Flags, bool, std::set<std::string>> cases[] = {
        {{{"501.flag", 59s}}, true, {"501.flag"}},
        {{{"501.flag", 60s}}, false, {}},
        {{{"501.flag.bak", 3600s}}, false, {"501.flag.bak"}},
        {{{"Ann's Mac.flag", 1s}, {"abc.flag", 61s}, {"-1.flag", 3600s}}, true, {"Ann's Mac.flag"}},
        {{{"501.flag", -60s}}, true, {"501.flag"}},
        {{{"501.flag", -61s}}, false, {}},
    };
    const std::string dir = Paths::activeChildrenDir();
    auto left = [&] {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename());
        return names;
    };
    for (const auto& [flags, present, remaining] : cases) {
        SCOPED_TRACE(flags[0].first + " " + std::to_string(flags[0].second.count()));
        // Emptied, not made again: a new directory in its place is not the daemon's.
        for (const auto& e : fs::directory_iterator(dir)) fs::remove(e.path());
        for (const auto& [name, age] : flags) h.writeFlag(name, age);
        EXPECT_EQ(h.daemon->anyChildLoggedIn(), present);
        EXPECT_EQ(left(), remaining);
    }
    // Neither a link nor a second name of a file someone keeps fresh.
    h.writeFlag("fresh.txt");
    fs::create_symlink(dir + "/fresh.txt", dir + "/501.flag");
    fs::create_hard_link(dir + "/fresh.txt", dir + "/502.flag");
    EXPECT_FALSE(h.daemon->anyChildLoggedIn());
    EXPECT_EQ(left(), std::set<std::string>{"fresh.txt"});
    fs::remove(dir + "/fresh.txt");
    // Directories a child makes under flag names: removed when empty, else
    // reported at error once while that one stays; other names are left alone.
    const std::string stuck = "[daemon] ERROR cannot remove " + dir + "/601.flag (directory): ";
    const std::string plant = "cd '" + dir + "'; mkdir 600.flag 601.flag notes; touch 601.flag/x";
    ASSERT_TRUE(asNobody(plant));
    for (int tick = 0; tick < 3; ++tick) EXPECT_FALSE(h.daemon->anyChildLoggedIn());
    EXPECT_EQ(left(), (std::set<std::string>{"601.flag", "notes"}));
    EXPECT_EQ(h.count(stuck), 1u);
    fs::remove(dir + "/601.flag/x");
    EXPECT_FALSE(h.daemon->anyChildLoggedIn());
    EXPECT_EQ(left(), std::set<std::string>{"notes"});
    ASSERT_TRUE(asNobody("cd '" + dir + "'; rmdir notes; mkdir 601.flag; touch 601.flag/x"));
    EXPECT_FALSE(h.daemon->anyChildLoggedIn());
    EXPECT_EQ(h.count(stuck), 2u) << "one that went and came back is reported again";
    fs::remove_all(dir + "/601.flag");
    const pid_t first = *h.daemon->proxyPid();
    h.queue.advance(0ms);  // the first tick comes at once
    EXPECT_TRUE(h.logged("[daemon] INFO  no child user \xE2\x80\x94 clearing system proxy"));

    h.writeFlag("501.flag");
    h.queue.advance(5s);
    EXPECT_TRUE(h.logged("[daemon] INFO  bouncing proxy (pid " + std::to_string(first) +
                         ") to pick up new child identity"));
    // The watcher may act on the flag before the poll: the restart 2 s later can
    // fall within the same 5 s, so the first proxy is gone, not necessarily all.
    ASSERT_TRUE(h.waitFor([&] { return h.daemon->proxyPid() != first; }));

    h.queue.advance(60s);  // not refreshed, the flag goes stale
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

// What the system proxy is told: each call with the children it names (in
// the order of their uids, not of the flags found). A keep for the set
// already in force says nothing new: the flag directory's watcher adds ticks
// whenever a flag is written.
struct RecordingSystemProxy : platform::SystemProxy {
    void record(const std::string& kind, const std::string& set, std::vector<uid_t> c) {
        std::sort(c.begin(), c.end());
        std::string who = set;
        for (uid_t uid : c) who += " " + std::to_string(uid);
        if (kind != "keep" || calls.empty() || !calls.back().ends_with(who))
            calls.push_back(kind + who);
        children = c;
    }
    void apply(const platform::ProxyEndpoint& p, const std::vector<uid_t>& c) override {
        record("apply", " " + p.host + ":" + std::to_string(p.port), c);
    }
    void keep(const platform::ProxyEndpoint& p, const std::vector<uid_t>& c) override {
        record("keep", " " + p.host + ":" + std::to_string(p.port), c);
    }
    void clear() override { record("clear", "", {}); }
    platform::ProxyReport report() override { return {}; }
    std::vector<std::string> calls;
    std::vector<uid_t> children;
};

// A child's first flag is acted on at once: the daemon watches the flag
// directory, so the hand-over of the proxy's files does not wait for the next
// 5 s poll (time stands still there; only the watcher can make it happen).
// The system proxy hears which children are present (the owners of the fresh
// flags, never root) and, on every tick while they stay, is asked to keep its
// settings in force. A child whose agent falls silent stays present while
// logind still has the session its flag was fresh in (in front, or switched
// away); it goes when that session ends or closes. A session begun after the
// flag went stale, and root's sessions, never count.
TEST(Presence, TheChildrenPresentAndTheSessionsTheirFlagsWereFreshInReachTheSystemProxy) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to other owners";
    auto proxy = std::make_shared<RecordingSystemProxy>();
    auto sessions = std::make_shared<platform::FakeLoginSessions>();
    DaemonHarness h(DaemonRoot::Proxy::Fake, {.systemProxy = proxy, .loginSessions = sessions});
    h.daemon->start();
    h.queue.advance(0ms);  // the first poll: nobody there
    ASSERT_EQ(h.daemon->lastChildPresent(), false);
    const uid_t kid = kNobody;
    writeText(Paths::proxyConfigFile(), "{}");
    h.writeFlag("a.flag", {}, kid);
    EXPECT_TRUE(h.queue.runUntil([&] {
        return entryAt(Paths::rulesFile()).ends_with(" uid 65534") &&
               entryAt(Paths::proxyConfigFile()).ends_with(" uid 65534");
    }));
    EXPECT_EQ(h.daemon->lastChildPresent(), true);
    EXPECT_TRUE(h.logged("[daemon] INFO  handed proxy_rules.json to uid 65534"));
    h.writeFlag("r.flag", {}, 0);
    h.queue.advance(5s);
    h.writeFlag("b.flag", {}, kid - 1);
    h.queue.advance(5s);
    for (const char* name : {"a.flag", "b.flag", "r.flag"})
        fs::remove(Paths::activeChildrenDir() + "/" + name);
    h.queue.advance(5s);
    EXPECT_EQ(proxy->calls, (std::vector<std::string>{"clear", "apply 127.0.0.1:8080 65534",
                                                      "keep 127.0.0.1:8080 65533 65534", "clear"}));

    const std::string flag = Paths::activeChildrenDir() + "/" + std::to_string(kid) + ".flag";
    auto freshFlag = [&](uid_t owner) { h.writeFlag(fs::path(flag).filename(), {}, owner); };
    // A flag seen fresh at a tick, then stale: nobody refreshes it.
    auto freshThenStale = [&](uid_t owner) {
        freshFlag(owner);
        h.queue.advance(70s);
    };
    auto present = [&] { return h.daemon->lastChildPresent(); };
    const std::string silent =
        "[daemon] WARN  agent of uid " + std::to_string(kid) + " is silent but its session ";
    // The flag is fresh while session 3 is in front; the agent then dies.
    sessions->set(kid, {{"3", "active"}, {"c1", "closing"}});
    freshFlag(kid);
    h.queue.advance(5s);
    EXPECT_EQ(present(), std::optional<bool>(true));
    EXPECT_EQ(h.count(silent), 0u) << "not while the flag is fresh";
    h.queue.advance(65s);
    EXPECT_FALSE(exists(flag)) << "the stale flag still goes";
    EXPECT_EQ(present(), std::optional<bool>(true));
    EXPECT_EQ(proxy->children, std::vector<uid_t>{kid}) << "its connections stay filtered too";
    EXPECT_EQ(h.count(silent + "3 is still logged in"), 1u) << "logged once, not every tick";
    // Switched away from (online) it still counts; logged out (closing) it
    // does not. Once gone, the same session coming back is not vouched for
    // any more, nor is a new session begun while the flag is stale.
    const std::tuple<std::vector<platform::LoginSession>, bool> states[] = {
        {{{"3", "online"}}, true},
        {{{"3", "closing"}}, false},
        {{{"3", "active"}, {"4", "active"}}, false}};
    for (const auto& [list, stays] : states) {
        SCOPED_TRACE(list.back().state);
        sessions->set(kid, list);
        h.queue.advance(5s);
        EXPECT_EQ(present(), std::optional<bool>(stays));
    }

    // A fresh flag during session 4 alone; a second login while the agent is
    // silent holds nothing once session 4 ends.
    sessions->set(kid, {{"4", "active"}});
    freshThenStale(kid);
    EXPECT_EQ(present(), std::optional<bool>(true));
    EXPECT_EQ(h.count(silent + "4 is still logged in"), 1u);
    sessions->set(kid, {{"4", "active"}, {"9", "active"}});
    h.queue.advance(5s);
    EXPECT_EQ(present(), std::optional<bool>(true));
    sessions->set(kid, {{"9", "active"}});
    h.queue.advance(5s);
    EXPECT_EQ(present(), std::optional<bool>(false));

    // Root's flag and sessions never hold the filter on.
    sessions->set(0, {{"1", "active"}});
    freshThenStale(0);
    EXPECT_EQ(present(), std::optional<bool>(false));

    // An unreadable record is reported once while it stays, and the user's
    // readable sessions still count; logind forgetting the user ends it.
    sessions->set(kid, {{"7", "active"}}, "/run/systemd/sessions/8: Permission denied");
    freshThenStale(kid);
    h.queue.advance(5s);
    EXPECT_EQ(present(), std::optional<bool>(true));
    EXPECT_EQ(h.count("[daemon] WARN  login sessions of uid " + std::to_string(kid) +
                      " unreadable: /run/systemd/sessions/8: Permission denied"),
              1u);
    sessions->end(kid);
    h.queue.advance(5s);
    EXPECT_EQ(present(), std::optional<bool>(false));
}

// The proxy's arguments, environment and output; a missing proxy is retried
// every 5 s, an exited one restarted after 2 s, a stopped one not; update
// checks come after the first delay, then at every interval.
TEST(Supervisor, LaunchesRetriesAndRestartsTheProxyButNotAfterShutdown) {
    int checks = 0;
    DaemonHarness h(DaemonRoot::Proxy::Missing,
                    {.startUpdateCheck = [&] { ++checks; }, .updateSchedule = {4s, 2500ms}});
    // Values that look like options stay values.
    writeText(Paths::proxyConfigFile(), R"({"username":"-x","device_id":"--port"})");
    h.daemon->start();
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
    const std::vector<std::pair<pid_t, std::vector<std::string>>> launched = {
        {*h.daemon->proxyPid(),
         {"arg:--port", "arg:8080", "arg:--host", "arg:127.0.0.1", "arg:--confdir",
          "arg:" + Paths::mitmproxyDir(), "arg:--username", "arg:-x", "arg:--device-id",
          "arg:--port", "env:PROXY_RULES_FILE=" + Paths::rulesFile(),
          "env:TARVO_DATA_DIR=" + Paths::systemLogDir(),
          "env:TARVO_CONFIG_FILE=" + Paths::proxyConfigFile()}}};
    EXPECT_EQ(fakeLaunches(h.root.records()), launched);
    ASSERT_TRUE(h.waitFor([&] { return h.logged("[daemon] WARN  [proxy] something odd"); }));

    // Killed outright: code 9, a new process 2 seconds later.
    ASSERT_EQ(::kill(*h.daemon->proxyPid(), SIGKILL), 0);
    ASSERT_TRUE(h.waitFor([&] { return !h.daemon->proxyPid(); }));
    EXPECT_TRUE(h.logged("[daemon] WARN  proxy exited (code 9); restarting in 2s"));
    h.queue.advance(1900ms);
    EXPECT_FALSE(h.daemon->proxyPid());
    h.queue.advance(100ms);
    ASSERT_TRUE(h.waitForLaunches(2));

    ASSERT_TRUE(h.queue.deliverSignal(SIGINT));
    h.queue.runPending();
    EXPECT_EQ(h.exitCode, std::optional<int>(0));
    h.queue.advance(30s);
    EXPECT_EQ(fakeLaunches(h.root.records()).size(), 2u);
}

// A child's loop trying to take port 8080 on every address that receives
// connections meant for 127.0.0.1:8080, with and without address and port
// reuse: says "bound …" for each success, and how many tries it made when
// told to stop.
const char* const kPortTaker = R"(import itertools, signal, socket, sys
tries = 0
def stop(*_):
    print("tries", tries, flush=True)
    sys.exit(0)
signal.signal(signal.SIGTERM, stop)
print("trying", flush=True)
places = ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET, "0.0.0.0"),
          (socket.AF_INET6, "::"), (socket.AF_INET6, "::ffff:127.0.0.1"))
R, P = socket.SO_REUSEADDR, socket.SO_REUSEPORT
while True:
    for (family, host), options in itertools.product(places, ((), (R,), (P,), (R, P))):
        tries += 1
        with socket.socket(family, socket.SOCK_STREAM) as s:
            if family == socket.AF_INET6:
                s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
            for o in options:
                s.setsockopt(socket.SOL_SOCKET, o, 1)
            try:
                s.bind((host, 8080))
                s.listen(16)
                print("bound", host, options, flush=True)
            except OSError:
                pass)";

// An ordinary user's program listening on 127.0.0.1:8080 before the daemon
// could bind it is ended, and the daemon binds it then. The daemon keeps the
// proxy's listening socket and hands it to every proxy: across forced restarts
// (killed, or bounced by a flapping presence flag) the port is never free for
// a child to take, the proxy's own listener (the daemon's socket, held by its
// child process) is never taken for a foreign one, and a request made at any
// time waits for the next proxy and is served. Many restarts of the stand-in,
// a few of the real proxy (which takes seconds to start).
TEST(Supervisor, AForeignListenerIsEndedAndTheProxyPortIsNeverFreeAcrossRestarts) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the child's loop as another user";
    NetNamespace ns;  // port 8080 of its own, whatever else runs on the machine
    ASSERT_TRUE(ns.entered()) << ns.error();
    EnvGuard listen("TARVO_TEST_LISTEN", "1");
    for (const auto& [kind, restarts] :
         {std::pair{DaemonRoot::Proxy::Fake, 50}, std::pair{DaemonRoot::Proxy::Real, 4}}) {
        const bool real = kind == DaemonRoot::Proxy::Real;
        SCOPED_TRACE(real ? "real proxy" : "stand-in");
        DaemonHarness h(kind);
        h.root.setServices("");
        writeText(Paths::rulesFile(), R"({"whitelist": ["127.0.0.2"], "blacklist": []})");
        WebSite site("127.0.0.2");
        const std::string page = "http://127.0.0.2:" + std::to_string(site.port()) + "/page";
        // Moves virtual time on in small steps while the real processes act.
        auto drive = [&](const std::function<bool()>& done) {
            for (int i = 0; i < 400 && !done(); ++i) {
                h.queue.advance(250ms);
                h.queue.runUntil(done, 50ms);
            }
            return done();
        };
        std::optional<Process> squatter;
        if (!real) {
            squatter.emplace(Launch{.argv = {"/usr/bin/python3", "-c",
                                             "import socket, time; s = socket.create_server(("
                                             "'127.0.0.1', 8080)); print('up', flush=True); "
                                             "time.sleep(1000)"},
                                    .user = kNobody});
            ASSERT_TRUE(squatter->waitForOutput("up"));
        }
        h.daemon->start();
        if (squatter) {
            ASSERT_TRUE(drive([&] {
                return h.logged(
                    "[daemon] ERROR foreign listener on 127.0.0.1:8080 (uid 65534, pid " +
                    std::to_string(squatter->pid()) + ") ended \xE2\x80\x94 restarting the proxy");
            }));
            EXPECT_TRUE(h.logged(
                "[daemon] ERROR couldn't listen on 127.0.0.1:8080: Address already in use"));
            EXPECT_EQ(squatter->wait(), std::optional<int>(128 + SIGKILL));
            ASSERT_TRUE(drive([&] { return h.count("[daemon] INFO  [proxy] listening") == 1; }));
        }
        h.queue.advance(0ms);
        Process taker({.argv = {"/usr/bin/python3", "-c", kPortTaker}, .user = kNobody});
        ASSERT_TRUE(taker.waitForOutput("trying"));
        for (int restart = 0; restart <= restarts; ++restart) {
            SCOPED_TRACE(restart);
            ASSERT_TRUE(h.waitFor([&] { return h.daemon->proxyPid().has_value(); })) << taker.out();
            // Made while the proxy may still be starting: it waits in the queue.
            const CurlAnswer answer = curlVia(8080, {page});
            ASSERT_EQ(answer.status, 200) << answer.error << taker.out();
            EXPECT_EQ(answer.body, real ? "hello from the server" : "faked");
            if (restart == restarts) break;
            const pid_t before = *h.daemon->proxyPid();
            const std::set<pid_t> tree = listener::processTree(before);
            if (restart % 2 == 0) {  // killed outright, with whatever it started
                for (pid_t pid : tree) ::kill(pid, SIGKILL);
            } else {  // the flag taken away and put back: a new child, a bounce
                fs::remove(Paths::activeChildrenDir() + "/501.flag");
                h.queue.advance(5s);
                h.writeFlag("501.flag");
                h.queue.advance(5s);
            }
            ASSERT_TRUE(h.waitFor([&] { return h.daemon->proxyPid() != before; }));
            // The old proxy's children gone too: one still exiting could take
            // the next request with it, which a real proxy exiting would not.
            ASSERT_TRUE(waitUntil([&] { return listener::socketsOf(tree).empty(); }));
            h.queue.advance(2s);
        }
        EXPECT_EQ(site.requests(), real ? restarts + 1 : 0);
        // No proxy for a while (its executable gone): the daemon's own socket,
        // which it alone holds then, is never taken for a foreign listener.
        fs::remove(h.root.resources() + "/proxy/TarvoProxy");
        const pid_t last = *h.daemon->proxyPid();
        for (pid_t pid : listener::processTree(last)) ::kill(pid, SIGKILL);
        ASSERT_TRUE(h.waitFor([&] { return h.daemon->proxyPid() != last; }));
        h.queue.advance(20s);
        EXPECT_EQ(h.count("[daemon] ERROR proxy binary missing"), 4u);
        EXPECT_EQ(h.count("[daemon] ERROR foreign listener"), real ? 0u : 1u);
        taker.kill(SIGTERM);
        taker.wait();
        const std::string out = taker.out();
        EXPECT_THAT(out, Not(HasSubstr("bound")));
        std::smatch tries;
        ASSERT_TRUE(std::regex_search(out, tries, std::regex("tries ([0-9]+)"))) << out;
        EXPECT_GT(std::stoi(tries[1]), 1000) << "the loop kept trying";
        h.daemon.reset();  // nothing of this round holds the port into the next
        EXPECT_TRUE(waitUntil([] { return listener::listenersFor(8080).empty(); }));
    }
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
        const addrinfo hints{.ai_flags = AI_NUMERICHOST, .ai_family = c.family};
        addrinfo* at = nullptr;
        ASSERT_EQ(
            ::getaddrinfo(c.address, std::to_string(port + c.portOffset).c_str(), &hints, &at), 0);
        const int fd = ::socket(c.family, SOCK_STREAM | SOCK_CLOEXEC, 0), off = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        ASSERT_EQ(::bind(fd, at->ai_addr, at->ai_addrlen), 0);
        ::freeaddrinfo(at);
        ASSERT_EQ(c.listen ? ::listen(fd, 1) : 0, 0);
        struct stat st {};
        ::fstat(fd, &st);
        for (const auto source : {listener::Source::diagnostics, listener::Source::procTables}) {
            const bool found =
                std::ranges::any_of(listener::listenersFor(port, source),
                                    [&](const auto& s) { return s.inode == st.st_ino; });
            EXPECT_EQ(found, c.counts) << (source == listener::Source::procTables ? "/proc" : "");
        }
        ::close(fd);
    }
}

// The real binary: one `tarvo daemon` per machine, root only; install-cert
// refuses a file holding a private key and ordinary users.
// What is refused changes nothing: no second start, no settings call, no trust.
TEST(RealBinary, OneRootDaemonPerMachineAndInstallCertRefusesPrivateKeys) {
    DaemonRoot root;
    Process first({.argv = {tarvoBinary(), "daemon"}, .capture = false});
    // The clear's last call made, nothing is still under way when counting.
    ASSERT_TRUE(waitUntil([&] {
        const auto calls = root.networksetupCalls();
        return !calls.empty() && calls.back()[0] == "-setsecurewebproxystate" &&
               calls.back()[1] == "Thunderbolt Bridge";
    }));
    const size_t calls = root.networksetupCalls().size();
    // A lock only root can take: a root-only directory, a private file.
    const std::string lock = Paths::daemonLockFile();
    EXPECT_EQ(entryAt(fs::path(lock).parent_path()), "directory 0700 uid 0");
    EXPECT_EQ(entryAt(lock), "regular file 0600 uid 0");
    // The daemon trusted the certificate; taken away, what follows must not trust it.
    ASSERT_TRUE(Keychain::removeRootCert());
    const std::string cert = root.resources() + "/rootCert.pem";
    const std::string key = root.resources() + "/mitmproxy-ca.pem", tarvo = tarvoBinary();
    const std::string no = "certificate not installed: ", denied = "SecKeychainItemImport: write";
    const std::string second = "tarvo daemon: another daemon is already running (pid " +
                               std::to_string(first.pid()) + ")\n";
    const std::string hasKey = "refusing to install " + key +
                               ": it contains a PRIVATE KEY. Install the certificate-only PEM.\n";
    const std::tuple<std::vector<std::string>, std::optional<uid_t>, std::string> refusals[] = {
        {{tarvo, "daemon"}, {}, second},
        {{tarvo, "daemon"},
         kNobody,
         "daemon must run as root (it changes the system proxy settings)\n"},
        {{tarvo, "install-cert", key}, {}, hasKey + no + key + "\n"},
        {{tarvo, "install-cert"}, kNobody, denied + " permissions error.\n" + no + cert + "\n"},
    };
    for (const auto& [argv, who, err] : refusals) {
        SCOPED_TRACE(argv.back());
        const ProcessResult r = run({.argv = argv, .user = who}, 30s);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(Keychain::isRootCertInstalled());
    }
    EXPECT_EQ(daemonLogCount("[daemon] INFO  daemon starting"), 1u);
    EXPECT_EQ(root.networksetupCalls().size(), calls);
    first.kill(SIGKILL);
    for (const auto& launch : fakeLaunches(root.records())) ::kill(launch.first, SIGKILL);
    const ProcessResult r = run({.argv = {tarvo, "install-cert"}});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "certificate trusted: " + cert + "\n");
    EXPECT_TRUE(Keychain::isRootCertInstalled());
}

// Everything under `dir`: type, permissions, owner, links, size and time written.
std::string snapshot(const std::string& dir) {
    return run({.argv = {"/usr/bin/find", dir, "-printf", "%p %M %U %n %s %T@\n"}}).out;
}

// What a child (nobody) plants in the shared folders, before the daemon starts or while it runs.
struct PlantedCase {
    const char* what;
    std::string before;         // planted before the daemon starts
    std::string after;          // planted while it runs; a proxy restart and a tick follow
    std::string warning, gone;  // gone: under the data directory
    bool byRoot = false;        // planted by root (an earlier build, or root's own)
};
// $D: the data directory, $L: the log directory, $O: a folder of the child's outside the root
// where planted links may point.
std::vector<PlantedCase> plantedCases() {
    const std::string ignoring = "ignoring $D/proxy_config.json";
    return {
        {"dangling link at the rules file", R"(ln -s "$O/created-by-root" "$D/proxy_rules.json")"},
        {"hard link at the log", R"(ln "$O/victim.txt" "$L/daemon.log")"},
        // Left in a log directory of root's: a second name of root's file, a log the child owns.
        {"hard link at the log in root's log directory",
         R"(chmod 755 "$L"; echo x > "$D/../rootlog"; ln "$D/../rootlog" "$L/daemon.log")", "",
         "removed untrusted daemon.log (hard link)", "", true},
        {"the child's log in root's log directory",
         R"(chmod 755 "$L"; touch "$L/daemon.log"; chown 65534 "$L/daemon.log")", "",
         "removed untrusted daemon.log (file owned by uid 65534)", "", true},
        {"FIFO at proxy_config.json", R"(mkfifo "$D/proxy_config.json")", "", ignoring + " (FIFO)"},
        {"someone else's directory at the confdir",
         R"(mkdir -m 0700 "$D/mitmproxy"; touch "$D/mitmproxy/mine")", "", "", "mitmproxy/mine"},
        // Renaming root's entries in the shared folders takes root since their
        // sticky bit; the daemon still copes with it.
        {"confdir moved away, a link in its place", "",
         R"(mv "$D/mitmproxy" "$D/moved"; ln -s "$O/userdir" "$D/mitmproxy")", "", "", true},
        {"flag directory a link to one of root's", R"(ln -s "$O/rootflags" "$D/active-children")"},
        {"root's confdir renamed to the flag directory's name", "",
         R"(mv "$D/active-children" "$D/old"; mv "$D/mitmproxy" "$D/active-children")",
         "replaced untrusted $D/active-children (directory that is not ours)", "", true},
        {"link at updater.log in a log directory others could write",
         R"(ln -s "$O/victim.txt" "$L/updater.log"; echo planted > "$L/planted")", "",
         "replaced untrusted log directory (directory with mode 0777)"},
        {"symbolic link at proxy_config.json to a root-only file",
         R"(ln -s "$O/root-secret.json" "$D/proxy_config.json")", "",
         ignoring + " (symbolic link)"},
        {"hard link at proxy_config.json to a root-only file",
         R"(umask 077; echo '{"username":"root-secret"}' > "$D/../secret"; ln "$D/../secret" "$D/proxy_config.json")",
         "", ignoring + " (hard link)", "", true},
        {"root's confdir open to others",
         R"(mkdir -m 755 "$D/mitmproxy"; ln -s "$O/victim.txt" "$D/mitmproxy/planted")", "",
         "replaced untrusted $D/mitmproxy (directory with mode 0755)", "mitmproxy/planted", true},
    };
}

// A child (nobody) plants links, FIFOs and directories in the shared folders;
// root's daemon never writes, reads or opens up anything through them.
TEST(Hardening, PlantedEntriesNeverLeadOutsideTheRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant entries as an ordinary user";
    for (const auto& c : plantedCases()) {
        SCOPED_TRACE(c.what);
        DaemonHarness h;
        h.root.setServices("");  // the ticks here are about files, not settings
        TempDir out;
        auto sh = [&](const std::string& script, bool byRoot) {
            return asNobody(
                script, {"D=" + Paths::dataDir(), "L=" + Paths::systemLogDir(), "O=" + out.path()},
                byRoot ? std::nullopt : std::optional<uid_t>(kNobody));
        };
        // Shared directories an earlier version left open to everyone.
        ASSERT_TRUE(sh(R"(cd "$O"; echo untouched > victim.txt; mkdir rootflags userdir
touch -d 2000-01-01 rootflags/124.flag; chmod 777 rootflags
chown 65534:65534 . victim.txt userdir; chmod 755 .
(umask 077; echo '{"username":"root-secret"}' > root-secret.json)
mkdir -p "$D" "$L"; chmod 777 "$D" "$L")",
                       true));
        const std::string conf = Paths::mitmproxyDir();
        const auto before = snapshot(out.path());
        ASSERT_TRUE(c.before.empty() || sh(c.before, c.byRoot));
        h.daemon->start();
        ASSERT_TRUE(h.queue.runUntil([&] { return h.daemon->proxyPid().has_value(); }, 15s));
        h.queue.advance(0ms);
        const int held = ::open(conf.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (!c.after.empty()) {
            ASSERT_TRUE(sh(c.after, c.byRoot));
            ::kill(*h.daemon->proxyPid(), SIGKILL);  // and the daemon starts another
            ASSERT_TRUE(h.waitFor([&] { return !h.daemon->proxyPid(); }));
            h.queue.advance(2s);
            ASSERT_TRUE(h.waitFor([&] { return h.daemon->proxyPid().has_value(); }));
            h.queue.advance(5s);
        }
        EXPECT_EQ(snapshot(out.path()), before);
        // Root's configuration directory as it was is never opened up, and
        // the one in use is real, private and holds the staged key.
        struct stat st {};
        EXPECT_EQ(::fstat(held, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        ::close(held);
        EXPECT_EQ(readText(conf + "/mitmproxy-ca.pem"),
                  readText(h.root.resources() + "/mitmproxy-ca.pem"));
        const std::pair<std::string, std::string> entries[] = {
            {conf, "directory 0700 uid 0"},
            {Paths::systemLogDir(), "directory 0755 uid 0"},
            {Paths::activeChildrenDir(), "directory 1777 uid 0"},
            {Paths::daemonLog(), "regular file 0644 uid 0"},
            {Paths::rulesFile(), "regular file 0666 uid 0"},
            {Paths::dataDir() + "/" + c.gone, c.gone.empty() ? "directory 1777 uid 0" : "missing"}};
        for (const auto& [path, entry] : entries) EXPECT_EQ(entryAt(path), entry) << path;
        EXPECT_EQ(h.count("[daemon] INFO  daemon starting"), 1u);
        EXPECT_EQ(readText(Paths::rulesFile()), readText(h.root.resources() + "/proxy_rules.json"));
        for (const auto& launch : fakeLaunches(h.root.records()))
            EXPECT_EQ(launch.second.size(), 9u) << "no identity read through a planted file";
        const std::string warning =
            std::regex_replace(c.warning, std::regex("\\$D"), Paths::dataDir());
        EXPECT_TRUE(warning.empty() || h.logged("[daemon] WARN  " + warning)) << warning;
    }
}

// The shared data directory as children meet it: each child's agent gets its
// rules to the proxy, and what a child plants is never followed.

// A child's home: owned by it, so the agent keeps its log and state there.
struct ChildHome {
    explicit ChildHome(uid_t uid) : uid(uid) { ::chown(dir.path().c_str(), uid, uid); }
    std::string agentLog() const { return dir.path() + "/Library/Logs/Tarvo/agent.log"; }
    bool logged(const std::string& text) const {
        return readText(agentLog()).find(text) != std::string::npos;
    }
    // `tarvo agent` in this home's session of the child, without a display.
    Launch agent(std::optional<std::string> accounts = {}) const {
        return {.argv = {tarvoBinary(), "agent"},
                .env = environmentWith(
                    {"HOME=" + dir.path(), "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="}),
                .user = uid,
                .accounts = std::move(accounts)};
    }
    uid_t uid;
    TempDir dir;
};

// Two children take turns at the computer. The data directory lets only a
// file's owner replace it, so the daemon hands the rules file and the proxy
// configuration to each child whose flag appears; each child's rules are in
// the rules file, owned by that child, within 5 s of its agent's start.
TEST(SharedDirectory, ChildrenTakingTurnsEachGetTheirRulesToTheProxy) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run agents as other users";
    DaemonRoot root;
    root.setServices("");
    FakeService service([](httplib::Server& server) {
        server.Get("/api/GetUserSettingsByDeviceId",
                   [](const httplib::Request& req, httplib::Response& res) {
                       const std::string user = req.get_param_value("username");
                       res.set_content(nlohmann::json{{"whitelist", {user + ".example"}}}.dump(),
                                       "application/json");
                   });
    });
    writeText(Paths::configFile(),
              nlohmann::json{{"child_users", {"kid1", "kid2"}}, {"api", service.url()}}.dump());
    TempDir accounts;
    writeAccountFiles(accounts.path(),
                      {{"kid1", 2001, 2001, "/nonexistent"}, {"kid2", 2002, 2002, "/nonexistent"}},
                      {});
    std::optional<Process> daemon;
    auto startDaemon = [&] {
        const size_t before = daemonLogCount("[daemon] INFO  proxy started");
        daemon.emplace(Launch{.argv = {tarvoBinary(), "daemon"}});
        return polling::waitUntil(
            [&] { return daemonLogCount("[daemon] INFO  proxy started") > before; });
    };
    ASSERT_TRUE(startDaemon());

    // The last turn begins while the daemon is down (restarting): the agent's
    // writes are refused until the daemon is back and hands the files over.
    // After the first turn the files were the other child's: refused until
    // handed over, said once, however many retries it took.
    const std::tuple<std::string, uid_t, bool, bool> turns[] = {
        {"kid1", 2001, false, false}, {"kid2", 2002, false, true}, {"kid1", 2001, true, true}};
    for (const auto& [name, uid, daemonDown, refusedOnce] : turns) {
        SCOPED_TRACE(name);
        ChildHome home(uid);
        if (daemonDown) daemon.reset();  // SIGTERM, and waited for
        Process agent(home.agent(accounts.path()));
        const std::string refused = "not allowed to replace the proxy's files yet";
        if (daemonDown) {
            ASSERT_TRUE(polling::waitUntil([&] { return home.logged(refused); }))
                << readText(home.agentLog());
            ASSERT_TRUE(startDaemon());
        }
        // Both files the child's own and naming it; its rules in the rules file.
        auto childs = [&](const std::string& path) {
            const bool owned = entryAt(path).ends_with(" uid " + std::to_string(uid));
            const auto json = nlohmann::json::parse(readText(path), nullptr, false);
            const bool named = json.is_object() && json.value("username", "") == name;
            return owned && named ? json : nlohmann::json();
        };
        EXPECT_TRUE(polling::waitUntil(
            [&] {
                return childs(Paths::proxyConfigFile()).is_object() &&
                       childs(Paths::rulesFile())["whitelist"] == nlohmann::json{name + ".example"};
            },
            5s))
            << readText(Paths::rulesFile()) << readText(home.agentLog());
        const std::string log = readText(home.agentLog());
        const size_t said = log.find(refused);
        EXPECT_EQ(said != std::string::npos && said == log.rfind(refused), refusedOnce) << log;
        agent.kill(SIGTERM);
        EXPECT_EQ(agent.wait(), 0);
    }
}

// The child who owns the rules file may put anything in its place before the
// daemon hands it to the next child: a link to a file of root's, a hard link
// to one, a FIFO. The hand-over changes only a regular file with one link,
// never what a link leads to, and never blocks.
TEST(SharedDirectory, HandingTheFilesOverNeverFollowsWhatAChildPlanted) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant entries as an ordinary user";
    const uid_t next = 2002;
    struct Case {
        const char* plant;  // run as the child in $D, beside root's $V
        std::string refusal;
        std::string after;  // what stands at the name then
    };
    const Case cases[] = {
        {R"(echo '{}' > "$D/rules")", "", "regular file 0644 uid 2002"},
        {"true", "", "missing"},
        {R"(ln -s "$V" "$D/rules")", "symbolic link", "symbolic link 0777 uid 65534"},
        // (a hard link to root's own files the kernel refuses the child)
        {R"(echo x > "$D/mine"; ln "$D/mine" "$D/rules")", "hard link",
         "regular file 0644 links 2 uid 65534"},
        {R"(mkfifo "$D/rules")", "FIFO", "FIFO 0644 uid 65534"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plant);
        TempDir top;
        const std::string dir = top.path() + "/data", victim = dir + "/victim";
        ::chmod(top.path().c_str(), 0755);
        fs::create_directory(dir);
        ::chmod(dir.c_str(), 01777);
        writeText(victim, "root's\n");
        ::chmod(victim.c_str(), 0644);
        ASSERT_TRUE(asNobody(c.plant, {"D=" + dir, "V=" + victim}));
        rootfiles::Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        EXPECT_EQ(handover::giveFileTo(dirFd.get(), "rules", next), c.refusal);
        EXPECT_EQ(entryAt(victim), "regular file 0644 uid 0");
        EXPECT_EQ(entryAt(dir + "/rules"), c.after);
    }
}

// This system's web proxy mechanisms against the real tools: nftables in a
// private network namespace, dconf and gsettings with the made /etc/dconf
// bind-mounted over the real one in a private mount namespace; logind's
// records read through sd-login from files laid out over /run/systemd.

using platform::LinuxSystemProxy;

const platform::ProxyEndpoint kFilter{"127.0.0.1", 8080};
const char* const kLocked =
    "desktop proxy settings: 127.0.0.1:8080, locked (dconf system-db:tarvo)";

// A made root in a network namespace of its own (the firewall table set is
// never the host's), a log, and the tools wrapped so that their runs are counted.
struct LinuxProxyRoot {
    LinuxProxyRoot() {
        ::chmod(dir.path().c_str(), 0755);  // reachable by the child's runs
        for (const std::string real : {"/usr/sbin/nft", "/usr/bin/dconf"}) {
            const std::string tool = dir / fs::path(real).filename();
            writeText(tool, "#!/bin/bash\necho \"$*\" >> '" + tool + ".calls'\nexec " + real +
                                " \"$@\"\n");
            ::chmod(tool.c_str(), 0755);
        }
    }
    size_t calls(const std::string& tool) const {
        return readLines(dir / (tool + ".calls")).size();
    }
    size_t logged(const std::string& prefix) const {
        return daemonLogCount(prefix, dir / "daemon.log");
    }
    LinuxSystemProxy::Options options() const {
        return {std::make_shared<TarvoLog>("daemon", dir / "daemon.log"), dir / "nft",
                dir / "dconf"};
    }

    NetNamespace ns;
    TempDir dir;
    LayoutGuard root{"TARVO_ROOT", dir.path()};
};

// While a child is present its uid opens web connections only to the proxy
// (and to the service the agent talks to); root and other users are not
// touched. What is changed by hand is put back on the next tick, and only
// then is a tool run. A tool that fails is logged once however often the
// ticks retry, and its return once.
TEST(LinuxSystemProxy, ChildReachesTheWebOnlyThroughTheProxyAndHandMadeChangesArePutBack) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
    LinuxProxyRoot root;
    ASSERT_TRUE(root.ns.entered()) << root.ns.error();
    // Addresses of their own for the sites, not in 127.0.0.0/8.
    for (const char* address : {"10.77.0.1/32", "10.77.0.2/32"})
        mustRun({"/usr/sbin/ip", "addr", "add", address, "dev", "lo"});
    LinuxSystemProxy proxy(root.options());
    WebSite service("10.77.0.1", 80), site("10.77.0.2", 80), filter("127.0.0.1", 8080);
    const std::string toService = "http://10.77.0.1/page", toSite = "http://10.77.0.2/page",
                      toFilter = "http://127.0.0.1:8080/page";

    // The child goes around the proxy as long as nothing stops it.
    expectReach({{kNobody, toSite, true}});
    proxy.apply(kFilter, {kNobody});
    EXPECT_THAT(nftTable(),
                AllOf(HasSubstr("meta skuid 65534 tcp dport { 80, 443 } reject with tcp reset"),
                      HasSubstr("meta skuid 65534 udp dport 443 reject")));
    expectReach({{kNobody, toSite, false},
                 {kNobody, toService, false},  // no config.json: no service to let through
                 {kNobody, toFilter, true},
                 {std::nullopt, toSite, true},
                 {kNobody - 1, toSite, true}});
    EXPECT_EQ(proxy.report().items.at(1), "firewall: web only through the proxy for uid 65534");
    EXPECT_EQ(root.calls("nft"), 1u);
    proxy.keep(kFilter, {kNobody});
    EXPECT_EQ(root.calls("nft"), 1u) << "nothing changed, nothing run";

    // Changed by hand, the table is put back on the next tick, and said so once.
    for (const char* change : {"flush chain inet tarvo output", "delete table inet tarvo"}) {
        SCOPED_TRACE(change);
        mustRun({"/usr/sbin/nft", change});
        expectReach({{kNobody, toSite, true}});
        const size_t before = root.calls("nft");
        proxy.keep(kFilter, {kNobody});
        EXPECT_EQ(root.calls("nft"), before + 1);
        expectReach({{kNobody, toSite, false}});
        proxy.keep(kFilter, {kNobody});
        EXPECT_EQ(root.calls("nft"), before + 1);
    }
    EXPECT_EQ(root.logged("[daemon] WARN  firewall table inet tarvo changed"), 2u);

    // The service the agent talks to is let through, and only it; a new
    // child joins the table.
    writeText(Paths::configFile(), R"({"api": "http://10.77.0.1/"})");
    proxy.keep(kFilter, {kNobody - 1, kNobody});
    expectReach({{kNobody, toService, true},
                 {kNobody, toSite, false},
                 {kNobody - 1, toService, true},
                 {kNobody - 1, toSite, false}});
    EXPECT_EQ(proxy.report().items.at(1),
              "firewall: web only through the proxy for uid 65533, 65534");
    const size_t set = root.calls("nft");
    proxy.keep(kFilter, {kNobody, kNobody - 1});
    EXPECT_EQ(root.calls("nft"), set) << "the same children, found in another order";

    proxy.clear();
    EXPECT_EQ(nftTable(), "");
    expectReach({{kNobody, toSite, true}});
    EXPECT_EQ(proxy.report().items.at(1), "firewall: off");
    const size_t cleared = root.calls("nft");
    proxy.clear();
    EXPECT_EQ(root.calls("nft"), cleared) << "no table, nothing to take back";
    EXPECT_EQ(root.logged("[daemon] ERROR"), 0u);

    // The tool missing: one error line however often the ticks retry, the
    // desktop settings still made, and a line when it works again.
    fs::rename(root.dir / "nft", root.dir / "nft.off");
    for (int tick = 0; tick < 3; ++tick) proxy.keep(kFilter, {kNobody});
    EXPECT_EQ(root.logged("[daemon] ERROR firewall: cannot run " + (root.dir / "nft")), 1u);
    EXPECT_EQ(root.logged("[daemon] ERROR"), 1u);
    EXPECT_EQ(proxy.report().items, (std::vector<std::string>{kLocked, "firewall: off"}));
    fs::rename(root.dir / "nft.off", root.dir / "nft");
    proxy.keep(kFilter, {kNobody});
    EXPECT_EQ(root.logged("[daemon] INFO  firewall in force again"), 1u);
    EXPECT_THAT(nftTable(), HasSubstr("meta skuid 65534"));
}

// The desktop's proxy settings: the child's own database says "none", the
// locked system database wins while a child is present, and the child's
// value is back once it is cleared. The profile is extended, never replaced.
TEST(LinuxSystemProxy, LockedDesktopSettingsOutrankTheChildsOwnAndExtendTheProfile) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for mount and network namespaces";
    LinuxProxyRoot root;
    ASSERT_TRUE(root.ns.entered()) << root.ns.error();
    const std::string home = root.dir / "home", runtime = root.dir / "run";
    mustRun({"/bin/bash", "-ec", "mkdir \"$0\" \"$1\"; chown 65534:65534 \"$0\" \"$1\"", home,
             runtime});
    ASSERT_TRUE(
        asNobody("mkdir -p \"$HOME/keys\" \"$HOME/.config/dconf\"\n"
                 "printf \"[system/proxy]\\nmode='none'\\n\" > \"$HOME/keys/own\"\n"
                 "dconf compile \"$HOME/.config/dconf/user\" \"$HOME/keys\"",
                 {"HOME=" + home}));
    // A site database the profile already names.
    const std::string site = Paths::resolve("/etc/dconf/db/site");
    writeText(site + ".d/00-site", "[org/example]\nx=1\n");
    mustRun({"/usr/bin/dconf", "compile", site, site + ".d"});
    const std::string profile = LinuxSystemProxy::profilePath();
    writeText(profile, "user-db:user\nsystem-db:site\n");
    // The child's gsettings, seeing the made /etc/dconf.
    const std::string asChild =
        "mount --bind \"$0\" /etc/dconf\nexec setpriv --reuid=65534 --regid=65534 --clear-groups "
        "env -i PATH=/usr/bin:/bin HOME=" +
        home + " XDG_CONFIG_HOME=" + home + "/.config XDG_RUNTIME_DIR=" + runtime +
        " GSETTINGS_BACKEND=dconf gsettings \"$@\"";
    auto gsettings = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv = {
            "/usr/bin/unshare", "-m", "/bin/sh", "-ec", asChild, Paths::resolve("/etc/dconf")};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProcessResult r = run({.argv = argv});
        EXPECT_TRUE(r.succeeded()) << r.err;
        return std::string(r.out.substr(0, r.out.find('\n')));
    };
    using Expect = std::pair<std::vector<std::string>, std::string>;
    auto expectSettings = [&](const std::vector<Expect>& cases) {
        for (const auto& [args, want] : cases) EXPECT_EQ(gsettings(args), want) << args[1];
    };
    const std::string schema = "org.gnome.system.proxy";
    const std::vector<Expect> childsOwn = {{{"get", schema, "mode"}, "'none'"},
                                           {{"writable", schema, "mode"}, "true"}};
    expectSettings(childsOwn);

    LinuxSystemProxy proxy(root.options());
    proxy.apply(kFilter, {kNobody});
    EXPECT_EQ(readText(profile), "user-db:user\nsystem-db:site\nsystem-db:tarvo\n");
    const std::vector<Expect> locked = {
        {{"get", schema, "mode"}, "'manual'"},
        {{"writable", schema, "mode"}, "false"},
        {{"get", schema + ".http", "host"}, "'127.0.0.1'"},
        {{"get", schema + ".https", "port"}, "8080"},
        {{"writable", schema + ".https", "host"}, "false"},
        {{"get", schema, "ignore-hosts"}, "['localhost', '127.0.0.0/8', '::1']"},
        {{"writable", schema, "ignore-hosts"}, "false"},
    };
    expectSettings(locked);
    EXPECT_EQ(proxy.report().items.at(0), kLocked);
    const size_t compiled = root.calls("dconf");
    proxy.keep(kFilter, {kNobody});
    EXPECT_EQ(root.calls("dconf"), compiled) << "nothing changed, nothing run";

    // The locks removed by hand and the database compiled again: the child
    // could change the mode, until the next tick.
    fs::remove(LinuxSystemProxy::locksPath());
    const std::string db = LinuxSystemProxy::databasePath();
    mustRun({"/usr/bin/dconf", "compile", db, db + ".d"});
    expectSettings({{{"writable", schema, "mode"}, "true"}});
    struct stat before {
    }, after{};
    ::stat(profile.c_str(), &before);
    proxy.keep(kFilter, {kNobody});
    expectSettings(locked);
    ::stat(profile.c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino) << "a profile that names the database is left alone";
    EXPECT_EQ(root.logged("[daemon] WARN  desktop proxy settings changed"), 1u);

    proxy.clear();
    expectSettings(childsOwn);
    EXPECT_FALSE(exists(LinuxSystemProxy::keyfilePath()));
    EXPECT_EQ(readText(profile), "user-db:user\nsystem-db:site\nsystem-db:tarvo\n");
    EXPECT_EQ(proxy.report().items.at(0), "desktop proxy settings: off");
    EXPECT_EQ(root.logged("[daemon] ERROR"), 0u);
}

TEST(LinuxSystemProxy, ProfileIsExtendedOnlyWhereItDoesNotNameTheDatabase) {
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, "user-db:user\nsystem-db:tarvo\n"},
        {"user-db:user\nsystem-db:tarvo\n", "user-db:user\nsystem-db:tarvo\n"},
        {"user-db:user\n  system-db:tarvo  \n", "user-db:user\n  system-db:tarvo  \n"},
        {"user-db:user", "user-db:user\nsystem-db:tarvo\n"},
        {"user-db:user\nsystem-db:tarvo2\n", "user-db:user\nsystem-db:tarvo2\nsystem-db:tarvo\n"},
        {"", "system-db:tarvo\n"},
    };
    for (const auto& [existing, want] : cases)
        EXPECT_EQ(LinuxSystemProxy::extendedProfile(existing), want) << existing.value_or("(none)");
}

struct Layout {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // under /run/systemd
    std::string sessions;                                    // "id:state …"
    std::string error;                                       // what the error starts with
};

TEST(SdLoginSessions, ReadsEachSessionOfTheUserWithItsState) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
    if (!fs::is_directory("/run/systemd")) GTEST_SKIP() << "no /run/systemd to mount over";
    const std::string user = "users/1001";
    const Layout cases[] = {
        {"in front and logged out",
         {{user, "NAME=kid\nSESSIONS=3 c1\nACTIVE_SESSIONS=3\nONLINE_SESSIONS=3\n"},
          {"sessions/3", "UID=1001\nUSER=kid\nACTIVE=1\nSTATE=active\n"},
          {"sessions/c1", "UID=1001\nUSER=kid\nACTIVE=0\nSTATE=closing\n"}},
         "3:active c1:closing",
         ""},
        {"switched away",
         {{user, "SESSIONS=5\n"}, {"sessions/5", "UID=1001\nSTATE=online\n"}},
         "5:online",
         ""},
        {"never logged in", {{"users/1002", "SESSIONS=9\n"}}, "", ""},
        {"session gone since it was listed", {{user, "SESSIONS=6\n"}}, "", ""},
        {"someone else's session listed",
         {{user, "SESSIONS=7 8\n"},
          {"sessions/7", "UID=1002\nSTATE=active\n"},
          {"sessions/8", "UID=1001\nSTATE=active\n"}},
         "8:active",
         "/run/systemd/sessions/7: belongs to uid 1002, listed in /run/systemd/users/1001"},
        {"a record that cannot be read",
         {{user, "SESSIONS=9 3\n"}, {"sessions/3", "UID=1001\nSTATE=online\n"}},
         "3:online",
         "/run/systemd/sessions/9: Is a directory"},
    };
    for (const Layout& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir run;
        fs::create_directories(run.path() + "/users");
        fs::create_directories(run.path() + "/sessions/9");
        for (const auto& [name, text] : c.files) writeText(run.path() + "/" + name, text);
        const std::string got = inPrivateMounts({{run.path(), "/run/systemd"}}, [] {
            const platform::LoginSessionList list = platform::SdLoginSessions().sessionsOf(1001);
            std::string out;
            for (const auto& s : list.sessions)
                out += (out.empty() ? "" : " ") + s.id + ":" + s.state;
            return out + "|" + list.error;
        });
        EXPECT_EQ(got, c.sessions + "|" + c.error);
    }
}

}  // namespace
}  // namespace tarvo::test
