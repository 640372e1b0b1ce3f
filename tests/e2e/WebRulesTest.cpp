// Web filtering with the real binaries and this system's own mechanisms: the
// parent edits the lists on a real tarvo-service, the agent writes the rules,
// the daemon's proxy answers accordingly and a child's real browsers follow it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "E2eSupport.h"
#include "support/DaemonFixture.h"
#include "support/XServer.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// A child's Chromium and Firefox, started without any proxy option, follow
// the desktop's proxy settings the daemon locks (dconf) and trust the
// filter's authority where the daemon put it (the system store, Firefox's
// policies, the child's NSS database): the allowed site loads and its page
// reports back, the blocked one shows the block page; off the blacklist
// again, still on the whitelist, it comes through. Anything that goes around
// the proxy is refused for the child alone, except the service the agent
// talks to. No made root: the system's own paths and tools, with the host's
// /etc and /var seen through overlays and a network of its own.
TEST(WebRulesEndToEnd, AChildsRealBrowsersFollowTheLockedDesktopSettingsThroughTheFilter) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: namespaces, the daemon, other users";
    for (const char* tool :
         {"/usr/bin/chromium", "/usr/bin/firefox-esr", "/usr/bin/mitmdump", "/usr/bin/Xvfb",
          "/usr/sbin/nft", "/usr/bin/dconf", "/usr/bin/certutil",
          "/usr/sbin/update-ca-certificates", "/usr/bin/xdotool"})
        if (!std::filesystem::exists(tool)) GTEST_SKIP() << tool << " is not installed";
    // The host's files stay as they were: /etc and /var take changes on a
    // tmpfs; /run (logind's records among them) and the local authorities start empty.
    ASSERT_EQ(enterPrivateSystem({"/etc", "/var"}, {"/run", "/usr/local/share/ca-certificates"}),
              "");
    ASSERT_TRUE(enterPrivateNetwork());
    mustRun({"/usr/sbin/ip", "link", "add", "tarvo-a", "type", "veth", "peer", "name", "tarvo-b"});
    for (const char* address : {"10.88.0.1/24", "10.88.0.2/24", "10.88.0.3/24"})
        mustRun({"/usr/sbin/ip", "addr", "add", address, "dev", "tarvo-a"});
    for (const char* link : {"tarvo-a", "tarvo-b"})
        mustRun({"/usr/sbin/ip", "link", "set", link, "up"});
    const auto append = [](const std::string& path, const std::string& lines) {
        std::ofstream(path, std::ios::app) << lines;
    };
    append("/etc/hosts",
           "10.88.0.1 service.test\n10.88.0.2 allowed.test\n10.88.0.3 blocked.test\n");
    // The child: an account of its own, its home and runtime directory.
    const uid_t kid = 61234;
    const std::string kidName = "tarvokid";
    TempDir homes;
    ::chmod(homes.path().c_str(), 0755);
    const std::string home = homes / "kid", runtime = homes / "run";
    append("/etc/passwd", kidName + ":x:61234:61234::" + home + ":/bin/bash\n");
    append("/etc/group", kidName + ":x:61234:\n");
    std::filesystem::create_directories(home + "/firefox");
    append(home + "/firefox/user.js",  // first-run pages only; the proxy stays the system's
           "user_pref(\"browser.aboutwelcome.enabled\", false);\n"
           "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
           "user_pref(\"browser.startup.homepage_override.mstone\", \"ignore\");\n"
           "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n");
    std::filesystem::create_directories(runtime);
    mustRun({"/bin/chown", "-R", "61234:61234", home, runtime});
    ::chmod(runtime.c_str(), 0700);

    // No made root: the system's paths and tools; the bundle's resources beside.
    LayoutGuard noRoot("TARVO_ROOT", std::nullopt), noPlatform("TARVO_PLATFORM", std::nullopt);
    TempDir resources;
    ::chmod(resources.path().c_str(), 0755);
    DaemonRoot::layResources(resources.path(), true);
    LayoutGuard bundle("TARVO_RESOURCES", resources.path());

    // The service at a non-loopback address on port 443, over HTTPS; the sites.
    const TestPki& pki = testPki();
    std::optional<DemoFamily> family;
    {
        EnvGuard parentTrust("SSL_CERT_FILE", pki.rootCert);  // the parent's side only
        family.emplace("DEV-E2E-BROWSERS", kidName,
                       std::vector<std::string>{"--cert", pki.siteCert, "--key", pki.siteKey},
                       "service.test", 443);
    }
    auto save = [&](const json& white, const json& black) {
        EnvGuard parentTrust("SSL_CERT_FILE", pki.rootCert);
        family->parent.postOk(family->childApi + "/rules",
                              {{"whitelist", white},
                               {"blacklist", black},
                               {"accessWindows", family->child["accessWindows"]}});
    };
    save({"allowed.test"}, json::array());
    const std::string page = R"(<!doctype html><title>Allowed page</title><script>
const browser = new URLSearchParams(location.search).get("browser");
fetch("/seen?browser=" + encodeURIComponent(browser))
  .then(() => { location.href = "https://blocked.test/page"; });
</script>)";
    WebSite allowed("10.88.0.2", 443, page, true), blocked("10.88.0.3", 443, "", true);

    writeChildConfig(family->service.url(), "DEV-E2E-BROWSERS", kidName);
    Process daemon({.argv = {tarvoBinary(), "daemon"}, .capture = false});
    const std::vector<std::string> childEnv = {"HOME=" + home, "PATH=/usr/bin:/bin",
                                               "XDG_RUNTIME_DIR=" + runtime, "LANG=C.UTF-8"};
    auto withChild = [&](std::vector<std::string> more) {
        more.insert(more.begin(), childEnv.begin(), childEnv.end());
        return more;
    };
    Process agent(
        {.argv = {tarvoBinary(), "agent"},
         .env = withChild({"QT_QPA_PLATFORM=offscreen", "TARVO_RESOURCES=" + resources.path()}),
         .user = kid,
         .capture = false});
    const auto table = [] {
        return run({.argv = {"/usr/sbin/nft", "list", "table", "inet", "tarvo"}}).out;
    };
    ASSERT_TRUE(
        waitUntil([&] { return table().find("meta skuid 61234") != std::string::npos; }, 60s))
        << readText(Paths::daemonLog()) << readText(home + "/.local/state/tarvo/logs/agent.log");

    // Around the proxy: only the child is refused, and the service stays open to it.
    const auto direct = [&](std::optional<uid_t> user, const std::string& url) {
        return run({.argv = {"/usr/bin/curl", "-sS", "--noproxy", "*", "--max-time", "10",
                             "--cacert", pki.rootCert, "-o", "/dev/null", url},
                    .user = user})
            .succeeded();
    };
    const std::string allowedPage = "https://allowed.test/page";
    const std::vector<std::tuple<std::optional<uid_t>, std::string, bool>> reach = {
        {kid, allowedPage, false},
        {kNobody, allowedPage, true},
        {std::nullopt, allowedPage, true},
        {kid, family->service.url() + "Signin", true},
    };
    for (const auto& [user, url, reached] : reach)
        EXPECT_EQ(direct(user, url), reached) << (user ? std::to_string(*user) : "root") << url;
    // The agent still hears from the service: the parent's new block, on both
    // lists, reaches the proxy and the blacklist wins.
    const json both = {"allowed.test", "blocked.test"};
    save(both, {"blocked.test"});
    const std::string blockedPage = "https://blocked.test/page";
    CurlAnswer answer;
    EXPECT_TRUE(waitUntil([&] { return (answer = curlVia(8080, {blockedPage})).status == 403; }))
        << answer.status << answer.error << readText(home + "/.local/state/tarvo/logs/agent.log");
    EXPECT_TRUE(answer.blockedByTarvo) << answer.body;
    EXPECT_EQ(curlVia(8080, {allowedPage}).status, 200);

    XServer x;
    ASSERT_TRUE(x.running()) << x.error();
    x.run({"xhost", "+si:localuser:" + kidName});
    const std::string desktop = "DISPLAY=" + x.display();
    const std::vector<std::pair<std::string, std::vector<std::string>>> browsers = {
        {"chromium",
         {"/usr/bin/chromium", "--no-first-run", "--no-default-browser-check",
          "--password-store=basic", "--user-data-dir=" + home + "/chromium",
          allowedPage + "?browser=chromium"}},
        {"firefox",
         {"/usr/bin/firefox-esr", "--no-remote", "--profile", home + "/firefox",
          allowedPage + "?browser=firefox"}},
    };
    const auto blockPageShown = [&] {
        return !x.run({"xdotool", "search", "--name", "^Blocked by Tarvo"}).empty();
    };
    for (const auto& [name, argv] : browsers) {
        SCOPED_TRACE(name);
        // Its chatter is dropped: a pipe nobody reads would stop it.
        Process browser({.argv = argv,
                         .env = withChild({desktop, "XDG_CURRENT_DESKTOP=GNOME"}),
                         .user = kid,
                         .capture = false});
        EXPECT_TRUE(waitUntil(
            [&, name = name] { return std::ranges::count(allowed.seen(), name) > 0; }, 120s))
            << "the allowed page did not report back; windows:\n"
            << x.run({"xdotool", "search", "--name", ".", "getwindowname", "%@"})
            << readText(Paths::daemonLog());
        EXPECT_TRUE(waitUntil(blockPageShown, 60s))
            << x.run({"xdotool", "search", "--name", ".", "getwindowname", "%@"});
        EXPECT_EQ(blocked.requests(), 0);
        browser.kill(SIGTERM);
        browser.wait();
        ASSERT_TRUE(waitUntil([&] { return !blockPageShown(); }));
    }

    // Off the blacklist again, still on the whitelist: through.
    save(both, json::array());
    EXPECT_TRUE(waitUntil([&] { return (answer = curlVia(8080, {blockedPage})).status == 200; }));
    EXPECT_EQ(blocked.requests(), 1) << answer.body;

    // The daemon's end takes the table down at once.
    ASSERT_NE(table(), "");
    daemon.kill(SIGTERM);
    EXPECT_TRUE(waitUntil([&] { return table().empty(); }, 2s));
    EXPECT_EQ(daemon.wait(), 0);
}

}  // namespace
}  // namespace tarvo::test
