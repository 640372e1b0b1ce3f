// Web filtering with the real binaries: a user who is not a child is left
// alone; a child's agent without its window library still enforces through its
// presence flag, which a SIGKILL leaves behind until it goes stale and the
// daemon clears the proxy. With this system's own mechanisms the parent edits
// the lists on a real tarvo-service, the agent writes the rules, the daemon's
// proxy answers accordingly and a child's real browsers follow it.
#include <signal.h>

#include <fstream>

#include "E2eSupport.h"
#include "support/DaemonFixture.h"
#include "support/XServer.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

bool allProxies(const DaemonRoot& root, bool on) {
    for (const auto& s : {"Ethernet", "Wi-Fi", "Thunderbolt Bridge"})
        if (root.proxyStates(s) != std::make_pair(on, on)) return false;
    return true;
}

TEST(FailOpenEndToEnd, NotAChildIsLeftAloneAWindowlessChildIsEnforcedUntilItsFlagGoesStale) {
    DaemonRoot root;
    std::filesystem::create_directories(root.root() + "/Users/child");  // else HOME is ignored
    LayoutGuard home("HOME", root.root() + "/Users/child");
    DemoFamily family("DEV-E2E-FAILOPEN", userName());
    const auto env = environmentWith({"QT_QPA_PLATFORM=offscreen"});
    writeChildConfig(family.service.url(), "DEV-E2E-FAILOPEN", "someone-else");
    EXPECT_EQ(run({.argv = {tarvoBinary(), "agent"}, .env = env}).exitStatus, 0) << "not a child";
    EXPECT_FALSE(exists(presenceFlag()));
    EXPECT_FALSE(exists(Paths::proxyConfigFile()));

    writeChildConfig(family.service.url(), "DEV-E2E-FAILOPEN");
    Process daemon({.argv = {tarvoBinary(), "daemon"}, .capture = false});
    // An installation whose window library is missing: the executable and its roles only.
    const std::string lone = root.root() + "/bin/tarvo";
    std::filesystem::create_directories(root.root() + "/bin");
    std::filesystem::copy_file(tarvoBinary(), lone);
    std::filesystem::copy_file(
        std::filesystem::path(tarvoBinary()).replace_filename("libtarvo_roles.so"),
        root.root() + "/bin/libtarvo_roles.so");
    Process agent({.argv = {lone, "agent"}, .env = env, .capture = false});
    ASSERT_TRUE(waitUntil([&] { return allProxies(root, true); }))
        << readText(Paths::daemonLog()) << readText(Paths::agentLog());
    ASSERT_TRUE(exists(presenceFlag()));
    EXPECT_NE(readText(Paths::agentLog()).find("cannot be shown; enforcing without windows"),
              std::string::npos);

    // SIGKILL: no shutdown, the flag stays where it was.
    agent.kill(SIGKILL);
    EXPECT_EQ(agent.wait(), 128 + SIGKILL);
    EXPECT_TRUE(exists(presenceFlag()));
    EXPECT_TRUE(allProxies(root, true)) << "cleared while the flag is still fresh";

    // Nobody refreshes the flag any more: make it a presence window (60 s) and a second old.
    const auto flagTime = std::filesystem::last_write_time(presenceFlag());
    std::filesystem::last_write_time(presenceFlag(), flagTime - std::chrono::seconds(61));
    ASSERT_TRUE(waitUntil([&] { return allProxies(root, false); })) << readText(Paths::daemonLog());
    daemon.kill(SIGTERM);
    EXPECT_EQ(daemon.wait(), 0);
}

// The child of the browsers' system, an account of its own, and its pages.
constexpr uid_t kKid = 61234;
constexpr const char* kKidName = "tarvokid";
const std::string kAllowedPage = "https://allowed.test/page";
const std::string kBlockedPage = "https://blocked.test/page";

// A child's Chromium and Firefox, started without any proxy option, follow
// the desktop's proxy settings the daemon locks (dconf) and trust the
// filter's authority where the daemon put it (the system store, Firefox's
// policies, the child's NSS database): the allowed site loads and its page
// reports back, the blocked one shows the block page; off the blacklist
// again, still on the whitelist, it comes through. Anything that goes around
// the proxy is refused for the child alone, except the service the agent
// talks to. No made root: the system's own paths and tools, with the host's
// /etc and /var seen through overlays and a network of its own.
class WebRulesEndToEnd : public testing::Test {
  protected:
    // The private system, network and child; the service and the sites; the
    // daemon and the child's agent, up once the web is closed to the child.
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root: namespaces, the daemon, other users";
        for (const char* tool :
             {"/usr/bin/chromium", "/usr/bin/firefox-esr", "/usr/bin/mitmdump", "/usr/bin/Xvfb",
              "/usr/sbin/nft", "/usr/bin/dconf", "/usr/bin/certutil",
              "/usr/sbin/update-ca-certificates", "/usr/bin/xdotool"})
            if (!std::filesystem::exists(tool)) GTEST_SKIP() << tool << " is not installed";
        // The host's files stay as they were: /etc and /var take changes on a
        // tmpfs; /run (logind's records among them) and the local authorities start empty.
        ASSERT_EQ(
            enterPrivateSystem({"/etc", "/var"}, {"/run", "/usr/local/share/ca-certificates"}), "");
        ASSERT_TRUE(enterPrivateNetwork());
        mustRun(
            {"/usr/sbin/ip", "link", "add", "tarvo-a", "type", "veth", "peer", "name", "tarvo-b"});
        for (const char* address : {"10.88.0.1/24", "10.88.0.2/24", "10.88.0.3/24"})
            mustRun({"/usr/sbin/ip", "addr", "add", address, "dev", "tarvo-a"});
        for (const char* link : {"tarvo-a", "tarvo-b"})
            mustRun({"/usr/sbin/ip", "link", "set", link, "up"});
        append("/etc/hosts",
               "10.88.0.1 service.test\n10.88.0.2 allowed.test\n10.88.0.3 blocked.test\n");
        // The child: an account of its own, its home and runtime directory.
        ::chmod(homes_.path().c_str(), 0755);
        append("/etc/passwd", std::string(kKidName) + ":x:61234:61234::" + home_ + ":/bin/bash\n");
        append("/etc/group", std::string(kKidName) + ":x:61234:\n");
        std::filesystem::create_directories(home_ + "/firefox");
        append(home_ + "/firefox/user.js",  // first-run pages only; the proxy stays the system's
               "user_pref(\"browser.aboutwelcome.enabled\", false);\n"
               "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
               "user_pref(\"browser.startup.homepage_override.mstone\", \"ignore\");\n"
               "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n");
        std::filesystem::create_directories(runtime_);
        mustRun({"/bin/chown", "-R", "61234:61234", home_, runtime_});
        ::chmod(runtime_.c_str(), 0700);
        ::chmod(resources_.path().c_str(), 0755);
        DaemonRoot::layResources(resources_.path(), true);

        // The service at a non-loopback address on port 443, over HTTPS; the sites.
        const TestPki& pki = testPki();
        {
            EnvGuard parentTrust("SSL_CERT_FILE", pki.rootCert);  // the parent's side only
            family_.emplace("DEV-E2E-BROWSERS", kKidName,
                            std::vector<std::string>{"--cert", pki.siteCert, "--key", pki.siteKey},
                            "service.test", 443);
        }
        save({"allowed.test"}, json::array());
        const std::string page = R"(<!doctype html><title>Allowed page</title><script>
const browser = new URLSearchParams(location.search).get("browser");
fetch("/seen?browser=" + encodeURIComponent(browser))
  .then(() => { location.href = "https://blocked.test/page"; });
</script>)";
        allowed_.emplace("10.88.0.2", 443, page, true);
        blocked_.emplace("10.88.0.3", 443, "", true);

        writeChildConfig(family_->service.url(), "DEV-E2E-BROWSERS", kKidName);
        daemon_.emplace(Launch{.argv = {tarvoBinary(), "daemon"}, .capture = false});
        agent_.emplace(Launch{
            .argv = {tarvoBinary(), "agent"},
            .env = withChild({"QT_QPA_PLATFORM=offscreen", "TARVO_RESOURCES=" + resources_.path()}),
            .user = kKid,
            .capture = false});
        ASSERT_TRUE(
            waitUntil([] { return nftTable().find("meta skuid 61234") != std::string::npos; }, 60s))
            << logs();
    }

    static void append(const std::string& path, const std::string& lines) {
        std::ofstream(path, std::ios::app) << lines;
    }
    // The parent saves the lists on the dashboard.
    void save(const json& white, const json& black) {
        EnvGuard parentTrust("SSL_CERT_FILE", testPki().rootCert);
        family_->parent.postOk(family_->childApi + "/rules",
                               {{"whitelist", white},
                                {"blacklist", black},
                                {"accessWindows", family_->child["accessWindows"]}});
    }
    // The child's environment, and `more`.
    std::vector<std::string> withChild(std::vector<std::string> more) const {
        const std::vector<std::string> child = {"HOME=" + home_, "PATH=/usr/bin:/bin",
                                                "XDG_RUNTIME_DIR=" + runtime_, "LANG=C.UTF-8"};
        more.insert(more.begin(), child.begin(), child.end());
        return more;
    }
    std::string logs() const {
        return readText(Paths::daemonLog()) +
               readText(home_ + "/.local/state/tarvo/logs/agent.log");
    }
    void browsersFollowTheFilter();

    TempDir homes_;
    const std::string home_ = homes_ / "kid", runtime_ = homes_ / "run";
    // No made root: the system's paths and tools; the bundle's resources beside.
    LayoutGuard noRoot_{"TARVO_ROOT", std::nullopt}, noPlatform_{"TARVO_PLATFORM", std::nullopt};
    TempDir resources_;
    LayoutGuard bundle_{"TARVO_RESOURCES", resources_.path()};
    std::optional<DemoFamily> family_;
    std::optional<WebSite> allowed_, blocked_;
    std::optional<Process> daemon_, agent_;
};

// Each browser loads the allowed page, which reports back and goes on to the
// blocked one: the block page shows and the blocked site hears nothing.
void WebRulesEndToEnd::browsersFollowTheFilter() {
    XServer x;
    ASSERT_TRUE(x.running()) << x.error();
    x.run({"xhost", "+si:localuser:" + std::string(kKidName)});
    const std::string desktop = "DISPLAY=" + x.display();
    const std::vector<std::pair<std::string, std::vector<std::string>>> browsers = {
        {"chromium",
         {"/usr/bin/chromium", "--no-first-run", "--no-default-browser-check",
          "--password-store=basic", "--user-data-dir=" + home_ + "/chromium",
          kAllowedPage + "?browser=chromium"}},
        {"firefox",
         {"/usr/bin/firefox-esr", "--no-remote", "--profile", home_ + "/firefox",
          kAllowedPage + "?browser=firefox"}},
    };
    const auto blockPageShown = [&] {
        return !x.run({"xdotool", "search", "--name", "^Blocked by Tarvo"}).empty();
    };
    const auto windows = [&] {
        return x.run({"xdotool", "search", "--name", ".", "getwindowname", "%@"});
    };
    for (const auto& [name, argv] : browsers) {
        SCOPED_TRACE(name);
        // Its chatter is dropped: a pipe nobody reads would stop it.
        Process browser({.argv = argv,
                         .env = withChild({desktop, "XDG_CURRENT_DESKTOP=GNOME"}),
                         .user = kKid,
                         .capture = false});
        EXPECT_TRUE(waitUntil(
            [&, name = name] { return std::ranges::count(allowed_->seen(), name) > 0; }, 120s))
            << "the allowed page did not report back; windows:\n"
            << windows() << readText(Paths::daemonLog());
        EXPECT_TRUE(waitUntil(blockPageShown, 60s)) << windows();
        EXPECT_EQ(blocked_->requests(), 0);
        browser.kill(SIGTERM);
        browser.wait();
        ASSERT_TRUE(waitUntil([&] { return !blockPageShown(); }));
    }
}

TEST_F(WebRulesEndToEnd, AChildsRealBrowsersFollowTheLockedDesktopSettingsThroughTheFilter) {
    // Around the proxy: only the child is refused, and the service stays open to it.
    expectReach({{kKid, kAllowedPage, false},
                 {kNobody, kAllowedPage, true},
                 {std::nullopt, kAllowedPage, true},
                 {kKid, family_->service.url() + "Signin", true}});
    // The agent still hears from the service: the parent's new block, on both
    // lists, reaches the proxy and the blacklist wins.
    const json both = {"allowed.test", "blocked.test"};
    save(both, {"blocked.test"});
    CurlAnswer answer;
    EXPECT_TRUE(waitUntil([&] { return (answer = curlVia(8080, {kBlockedPage})).status == 403; }))
        << answer.status << answer.error << logs();
    EXPECT_TRUE(answer.blockedByTarvo) << answer.body;
    EXPECT_EQ(curlVia(8080, {kAllowedPage}).status, 200);

    ASSERT_NO_FATAL_FAILURE(browsersFollowTheFilter());

    // Off the blacklist again, still on the whitelist: through.
    save(both, json::array());
    EXPECT_TRUE(waitUntil([&] { return (answer = curlVia(8080, {kBlockedPage})).status == 200; }));
    EXPECT_EQ(blocked_->requests(), 1) << answer.body;

    // The daemon's end takes the table down at once.
    ASSERT_NE(nftTable(), "");
    daemon_->kill(SIGTERM);
    EXPECT_TRUE(waitUntil([] { return nftTable().empty(); }, 2s));
    EXPECT_EQ(daemon_->wait(), 0);
}

}  // namespace
}  // namespace tarvo::test
