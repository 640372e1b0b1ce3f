// The whole system with the real binaries: a real tarvo-service's dashboard,
// the daemon with its proxy (through the daemon tests' fixture) and the agent.
// Screen time on a private two-screen X server; a user who is not a child left
// alone and a windowless child enforced until its flag goes stale; web rules
// followed by a child's real browsers through this system's own mechanisms.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "ServiceProcess.h"
#include "core/Paths.h"
#include "support/DaemonFixture.h"
#include "support/XServer.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::HasSubstr;

// The end-to-end tests' `tarvo` roles run for this user as the child.
std::string userName() {
    const passwd* pw = ::getpwuid(::getuid());
    return pw ? pw->pw_name : "";
}

std::string presenceFlag() {
    return Paths::activeChildrenDir() + "/" + std::to_string(::getuid()) + ".flag";
}

// The root's config.json naming `child` (this user) as the child of `device`, served by `api`.
void writeChildConfig(const std::string& api, const std::string& device,
                      const std::string& child = userName()) {
    writeText(Paths::configFile(),
              json{{"child_users", {child}}, {"api", api}, {"device_id", device}}.dump());
}

// The daemon's and the agent's logs, for a failure's message.
std::string logs() {
    return readText(Paths::daemonLog()) + readText(Paths::agentLog());
}

// Whether the window the X server sends the keys to is `size` ("1280x800") large. The window
// manager names the active window before its client takes the focus, so a key pressed on
// that word alone can still land on the previous window.
bool focusedWindowIs(const XServer& x, const std::string& size) {
    return x.run({"xdotool", "getwindowfocus", "-f", "getwindowgeometry"})
               .find("Geometry: " + size) != std::string::npos;
}

// The agent's viewable windows on either screen: id and size ("WxH").
std::multimap<std::string, std::string> agentWindowSizes(const XServer& x) {
    std::stringstream out(x.run({"xdotool", "search", "--onlyvisible", "--class", "app.tarvo.agent",
                                 "getwindowgeometry", "%@"}));
    std::multimap<std::string, std::string> windows;
    for (std::string word, id; out >> word;) {
        if (word == "Window") out >> id;
        if (word == "Geometry:" && out >> word) windows.emplace(id, word);
    }
    return windows;
}
std::multiset<std::string> agentWindows(const XServer& x) {
    std::multiset<std::string> sizes;
    for (const auto& [id, size] : agentWindowSizes(x)) sizes.insert(size);
    return sizes;
}
// The id of the agent's viewable window of `size`, or "".
std::string agentWindow(const XServer& x, const std::string& size) {
    for (const auto& [id, s] : agentWindowSizes(x))
        if (s == size) return id;
    return "";
}

// Whether the window `id` lies whole on the first screen. A toast still sliding in reaches
// past its right edge, and a click aimed at its Reply button lands where the pointer stops
// at the edge: on Dismiss, perhaps.
bool wholeOnScreen(const XServer& x, const std::string& id) {
    const std::string at = x.run({"xdotool", "getwindowgeometry", id});
    const size_t position = at.find("Position: "), geometry = at.find("Geometry: ");
    if (position == std::string::npos || geometry == std::string::npos) return false;
    const int left = std::atoi(at.c_str() + position + 10);
    const int width = std::atoi(at.c_str() + geometry + 10);
    return left >= 0 && left + width <= std::atoi(x.run({"xdotool", "getdisplaygeometry"}).c_str());
}

// The parent writes; the agent's toast shows it with the next poll, Reply opens the chat
// window, the child's answer reaches the dashboard; closed, the window leaves the screen.
void replyToTheParent(const XServer& x, DemoFamily& family) {
    ASSERT_TRUE(family.service.waitForLog("GET /api/GetChildChatMessages 200"));
    family.parent.postOk(family.childApi + "/chat", {{"text", "Dinner is ready"}});
    // The toast comes with the next poll (every 30 s) and slides in: once it is whole on the
    // screen, Reply, its right-hand button, is clicked until the chat window opens.
    std::string toast, chat;
    ASSERT_TRUE(waitUntil([&] { return !(toast = agentWindow(x, "360x150")).empty(); }, 45s))
        << readText(Paths::agentLog());
    ASSERT_TRUE(waitUntil([&] {
        if (!(chat = agentWindow(x, "440x620")).empty()) return true;
        if (agentWindow(x, "360x150") == toast && wholeOnScreen(x, toast))
            x.run({"xdotool", "mousemove", "--window", toast, "304", "120", "click", "1"});
        return false;
    })) << "the chat window did not open; the agent's windows: "
        << agentWindows(x).size() << logs();
    x.run({"xdotool", "windowactivate", "--sync", chat});
    x.run({"xdotool", "mousemove", "--window", chat, "190", "582", "click", "1"});
    x.run({"xdotool", "type", "--delay", "30", "Coming!"});
    x.run({"xdotool", "key", "Return"});
    // The answer reaches the dashboard. (Nothing is marked read: without a logind session
    // the screen's lock state is unknown, which counts as locked.)
    json conversation;
    EXPECT_TRUE(waitUntil([&] {
        conversation = family.parent.child()["chat"];
        return conversation.size() == 2 && conversation[1]["from"] == "child" &&
               conversation[1]["text"] == "Coming!";
    })) << conversation.dump();
    // Closed: nothing of the agent stays on the screen.
    x.run({"xdotool", "windowactivate", "--sync", chat, "key", "alt+F4"});
    EXPECT_TRUE(waitUntil([&] { return agentWindows(x).empty(); })) << agentWindows(x).size();
}

TEST(ScreenTimeEndToEnd, QuotaBlockerGrantChatScheduleBlockerAndSigtermWithTheDialogOpen) {
    XServer x({.screens = {"1280x800", "1024x768"}});
    ASSERT_TRUE(x.running() && x.error().empty()) << x.error();
    TempRoot root;
    DemoFamily family("DEV-E2E-TIME", userName());
    ParentSession& parent = family.parent;
    // Allowed all day (as seeded): only the quota stands in the way.
    parent.postOk(family.childApi + "/limits",
                  {{"dailyMinutes", 1}, {"warnMinutes", 0}, {"allowedApps", json::array()}});
    writeChildConfig(family.service.url(), "DEV-E2E-TIME");
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char today[16];
    std::strftime(today, sizeof today, "%Y-%m-%d", &local);
    writeText(
        Paths::perUserScreenTimeStateFile(),
        R"({"seconds":60,"quotaMinutes":1,"warnAtMinutesRemaining":0,"grantedBonusMinutes":0,)"
        R"("day":")" +
            std::string(today) + "\"}");
    Process agent({.argv = {tarvoBinary(), "agent"},
                   .env = environmentWith({"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb",
                                           "TARVO_RESOURCES=" + sourceDir() + "/resources"}),
                   .capture = false});
    const std::multiset<std::string> bothScreens{"1280x800", "1024x768"};
    // "" once the dialog is open, else what the X server showed instead.
    auto openDialog = [&]() -> std::string {
        const auto state = [&] {
            return "focus: " + x.run({"xdotool", "getwindowfocus", "-f", "getwindowgeometry"}) +
                   " active: " + x.run({"xdotool", "getactivewindow", "getwindowgeometry"}) +
                   " windows: " + std::to_string(agentWindows(x).size());
        };
        // The button has the keyboard; the dialog takes it.
        if (!waitUntil([&] { return focusedWindowIs(x, "1280x800"); }))
            return "the blocker never had the keyboard; " + state();
        x.run({"xdotool", "key", "space"});
        if (!waitUntil(
                [&] { return agentWindows(x).size() == 3 && !focusedWindowIs(x, "1280x800"); }))
            return "no dialog after the key; " + state();
        return "";
    };
    {
        SCOPED_TRACE("the used-up quota");
        ASSERT_TRUE(waitUntil([&] { return agentWindows(x) == bothScreens; })) << logs();
        // The chat window is made with the blocker's library, its backdrop found.
        EXPECT_THAT(readText(Paths::agentLog()), HasSubstr("backdrop=loaded"));
        ASSERT_EQ(openDialog(), "");
        x.run({"xdotool", "key", "--delay", "50", "ctrl+a", "4", "5", "Return"});
    }
    {
        SCOPED_TRACE("the request on the dashboard, granted");
        ASSERT_TRUE(waitUntil([&] { return !parent.child()["requests"].empty(); }))
            << family.service.stderrText();
        const json request = parent.child()["requests"][0];
        EXPECT_EQ(request["minutes"], 45);
        EXPECT_EQ(request["account"], userName());
        parent.postOk("/web/api/requests/" + request["id"].dump() + "/decide", {{"grant", true}});
        EXPECT_TRUE(waitUntil([&] { return agentWindows(x).empty(); })) << agentWindows(x).size();
    }
    {
        SCOPED_TRACE("a parent's message: the toast, Reply, the child's answer on the dashboard");
        replyToTheParent(x, family);
    }
    {
        SCOPED_TRACE("the schedule: one minute a day, ten hours from now");
        const int start = (local.tm_hour * 60 + local.tm_min + 600) % 1380;
        json elsewhere = json::array();
        for (int day = 0; day < 7; ++day)
            elsewhere.push_back({{"day", day}, {"start", start}, {"end", start + 1}});
        parent.postOk(family.childApi + "/rules", {{"whitelist", family.child["whitelist"]},
                                                   {"blacklist", family.child["blacklist"]},
                                                   {"accessWindows", elsewhere}});
        ASSERT_TRUE(waitUntil([&] { return agentWindows(x) == bothScreens; })) << logs();
        EXPECT_THAT(readText(Paths::agentLog()), HasSubstr("outside permitted usage window"));
    }
    ASSERT_EQ(openDialog(), "");
    agent.kill(SIGTERM);
    EXPECT_EQ(agent.wait(), 0);
    EXPECT_FALSE(exists(presenceFlag()));
    EXPECT_EQ(parent.child()["requests"].size(), 1u) << "nothing asked on the way out";
}

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
    ASSERT_TRUE(waitUntil([&] { return allProxies(root, true); })) << logs();
    ASSERT_TRUE(exists(presenceFlag()));
    EXPECT_THAT(readText(Paths::agentLog()),
                HasSubstr("cannot be shown; enforcing without windows"));

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
    // This system's layout: run-time state (the flags' parent, the lock) and
    // downloaded updates are root's alone; the flag directory is open to all.
    const std::string run = std::filesystem::path(Paths::activeChildrenDir()).parent_path();
    for (const std::string& path : {run, Paths::updateDir(), Paths::systemLogDir()})
        EXPECT_EQ(entryAt(path), "directory 0755 uid 0") << path;
    EXPECT_EQ(entryAt(Paths::activeChildrenDir()), "directory 1777 uid 0");
    EXPECT_EQ(std::filesystem::path(Paths::daemonLockFile()).parent_path().string(), run);
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

    // The next daemon takes its lock in the same run-time directory, never
    // replacing it (and the flags inside) with one of its own: the child's
    // flag closes the web again.
    struct stat before {};
    ASSERT_EQ(::lstat(run.c_str(), &before), 0);
    daemon_.emplace(Launch{.argv = {tarvoBinary(), "daemon"}, .capture = false});
    ASSERT_TRUE(waitUntil([] { return nftTable().find("meta skuid 61234") != std::string::npos; }))
        << logs();
    EXPECT_EQ(readText(Paths::daemonLockFile()), std::to_string(daemon_->pid()) + "\n");
    struct stat after {};
    ASSERT_EQ(::lstat(run.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

}  // namespace
}  // namespace tarvo::test
