// The real `tarvo manager` on a private X server, talking to a local service
// whose pages post over the bridge from the main frame and from an iframe; and
// how the executable leaves Qt WebEngine and Qt Widgets to its role libraries.
#include <dlfcn.h>

#include "ServiceProcess.h"
#include "launcher/RolesLibrary.h"
#include "manager/SetupFixture.h"
#include "support/FakeService.h"
#include "support/XServer.h"
#include "ui/AgentWindowsLibrary.h"
#include "webview/WebViewLibrary.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;

// Envelopes relayed from sub-frames never reach the page's own listeners, and
// the bridge leaves no names of its own on the page.
const char* const kSignInPage = R"(<!doctype html><iframe src="/frame"></iframe><script>
  var webview = window.chrome.webview;
  window.addEventListener('message', function (e) {
    webview.postMessage('leak|' + JSON.stringify(e.data));
  });
  var names = ['qt', 'QWebChannel', 'transport', 'send', 'nonce', 'stringify', 'report', 'calls'];
  var found = names.filter(function (n) { return n in window; });
  webview.postMessage('globals|' + (found.join(',') || 'none'));
  webview.postMessage({kind: 'not a string'});
</script>)";

// `tarvo manager`'s environment on `x` against the service at `baseUrl`, with `more`.
std::vector<std::string> managerEnvironment(const XServer& x, const std::string& baseUrl,
                                            std::vector<std::string> more = {}) {
    more.insert(more.end(),
                {"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb", "TARVO_BASE_URL=" + baseUrl});
#if defined(__SANITIZE_ADDRESS__)
    // Qt WebEngine (Chromium) keeps allocations to the end and frees some
    // objects with a sized delete of another size inside its own code: both
    // checks are off for the manager child, every other error stays fatal.
    const char* asan = std::getenv("ASAN_OPTIONS");
    more.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                   ":detect_leaks=0:new_delete_type_mismatch=0");
#endif
    return environmentWith(more);
}

// The parent's setup on the service's own pages, driven as a parent would through the web
// view's DevTools port: sign in; the manager sends this computer's accounts and opens the
// assignment page, which lists them; one goes to the demo child; config.json names it; Finish
// ends the manager, its "Setup complete" alert still up.
void setUpOnTheServicesPages(const XServer& x) {
    DemoFamily family("DEV-ELSEWHERE", "someone");  // this computer is new to the service
    const int devtools = deadPort();
    Process manager({.argv = {tarvoBinary(), "manager"},
                     .env = managerEnvironment(
                         x, family.service.url(),
                         {"QTWEBENGINE_REMOTE_DEBUGGING=127.0.0.1:" + std::to_string(devtools)})});
    std::string seen;  // what the last evaluation printed
    // The value of a JavaScript expression in the manager's page; none while there is no page
    // or it throws.
    auto eval = [&](const std::string& expression) -> std::optional<nlohmann::json> {
        const ProcessResult r = runProcess(
            "/usr/bin/python3",
            {sourceDir() + "/tests/webview/devtools.py", std::to_string(devtools), expression});
        seen = r.out + r.err;
        nlohmann::json value = nlohmann::json::parse(r.out, nullptr, false);
        if (!r.succeeded() || value.is_discarded()) return std::nullopt;
        return value;
    };
    auto becomes = [&](const std::string& expression, const nlohmann::json& expected) {
        return waitUntil([&] { return eval(expression) == expected; }, 60s);
    };
    ASSERT_TRUE(becomes("location.href.startsWith('" + family.service.url() +
                            "Signin?type=desktop&deviceId=') && document.readyState === "
                            "'complete' && document.getElementById('title').textContent",
                        "Sign in"))
        << seen << readText(Paths::managerLog());
    ASSERT_TRUE(
        eval("document.getElementById('email').value = 'demo@tarvo.local';"
             "document.getElementById('password').value = 'tarvo-demo';"
             "document.getElementById('submit').click(); true"));
    ASSERT_TRUE(
        becomes("location.pathname === '/AssignDesktopUsers' && [...document."
                "querySelectorAll('select[data-account]')].map(s => s.dataset.account)",
                {"emma", "parent"}))
        << seen << readText(Paths::managerLog());
    EXPECT_FALSE(exists(Paths::configFile())) << "nothing written before the parent saves";
    ASSERT_EQ(eval("(() => { const s = document.querySelector('select[data-account=\"emma\"]');"
                   "s.value = '" +
                   family.child["id"].dump() +
                   "';"
                   "document.getElementById('save').click(); return true; })()"),
              std::optional<nlohmann::json>(true))
        << seen;
    ASSERT_TRUE(becomes("document.getElementById('finish').hidden", false)) << seen;
    const auto config = nlohmann::json::parse(readText(Paths::configFile()), nullptr, false);
    ASSERT_TRUE(config.is_object()) << readText(Paths::managerLog());
    EXPECT_EQ(config["child_users"], nlohmann::json{"emma"});
    EXPECT_EQ(config["api"], family.service.url());
    EXPECT_FALSE(config.contains("device_id"));
    eval("document.getElementById('finish').click(); true");
    EXPECT_EQ(manager.wait(60s), std::optional<int>(0)) << readText(Paths::managerLog());
}

TEST(ManagerProcess, TheBridgeCarriesMessagesFromFramesAndTheServicesPagesSetUpTheComputer) {
    XServer x;
    ASSERT_TRUE(x.running()) << x.error();
    SetupRoot root;
    root.setAccounts({account("parent", 501), account("emma", 502)}, {"parent"});
    // The accounts' POST gets the fake service's "{}".
    FakeService service([](httplib::Server& s) {
        for (const auto& [path, html] :
             {std::pair{"/Signin", kSignInPage},
              {"/frame",
               "<script>window.chrome.webview.postMessage('updateData|tok&amp;123')</script>"},
              {"/AssignDesktopUsers",
               "<script>window.chrome.webview.postMessage('closeApp')</script>"}})
            s.Get(path, [html](const auto&, auto& res) { res.set_content(html, "text/html"); });
    });
    Process manager(
        {.argv = {tarvoBinary(), "manager"}, .env = managerEnvironment(x, service.url() + "/")});
    EXPECT_EQ(manager.wait(60s), std::optional<int>(0))
        << testing::PrintToString(logMessages(Paths::managerLog()));

    // The accounts went out once, with the token decoded.
    const auto sent = service.requests("/api/SetDesktopSettings");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(sent[0].body)["token"], "tok&123");
    const auto log = logMessages(Paths::managerLog());
    for (const std::string line :
         {"INFO  web → host: globals (12 characters)",
          "WARN  unrecognised bridge message: {\"kind\":\"not a string\"} (23 characters)",
          "INFO  web → host: updateData (18 characters)",
          "INFO  web → host: closeApp (8 characters)"})
        EXPECT_TRUE(hasLine(log, "[manager] " + line)) << line;
    for (const auto& line : log) {
        EXPECT_EQ(line.find("web → host: leak"), std::string::npos);
        EXPECT_EQ(line.find("tok"), std::string::npos) << "the token stays out of the log";
    }
    EXPECT_EQ(hasLine(log,
                      "[manager] WARN  running as root — the web view starts without its "
                      "sandbox"),
              ::geteuid() == 0);

    std::filesystem::remove(Paths::configFile());
    setUpOnTheServicesPages(x);
}

// (That the executable links neither library: see
// VersionAndHelpLoadNothingAndStatusNoWindowingLibraries.)
TEST(RoleLibraries, TheLibrariesAnswerOnlyTheirRevision) {
    const std::string dir = std::filesystem::path(tarvoBinary()).parent_path().string();
    const std::string roles = dir + "/" + launcher::kRolesLibraryFile;
    // A caller built against another shape of the interface gets nothing.
    const std::tuple<const char*, const char*, int> libraries[] = {
        {webview::kLibraryFile, webview::kEntryPoint, webview::kInterfaceRevision},
        {ui::kWindowsLibraryFile, ui::kWindowsEntryPoint, ui::kWindowsInterfaceRevision},
        {launcher::kRolesLibraryFile, launcher::kRolesEntryPoint,
         launcher::kRolesInterfaceRevision},
    };
    for (const auto& [file, entryName, revision] : libraries) {
        SCOPED_TRACE(file);
        void* handle = ::dlopen((dir + "/" + file).c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        ASSERT_NE(handle, nullptr) << ::dlerror();
        auto entry = reinterpret_cast<void* (*)(int)>(::dlsym(handle, entryName));
        ASSERT_NE(entry, nullptr);
        EXPECT_NE(entry(revision), nullptr);
        EXPECT_EQ(entry(revision + 1), nullptr);
        EXPECT_EQ(entry(0), nullptr);
    }

    // With a broken web view library beside it the setup window (opened with no
    // arguments) says so in one line, with no display needed.
    TempRoot root;
    TempDir install;
    const std::string bin = install / "tarvo";
    std::filesystem::copy_file(tarvoBinary(), bin);
    std::filesystem::copy_file(roles, install / launcher::kRolesLibraryFile);
    writeText(install / "libtarvo_webview.so", "garbage");
    ProcessResult r = runProcess(bin, {});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("tarvo: ") && r.err.find('\n') == r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find("could not be loaded: "), std::string::npos) << r.err;

    // Installed as …/usr/bin/tarvo on this system, the libraries are looked
    // for in …/usr/lib/tarvo, never beside the executable.
    LayoutGuard platform("TARVO_PLATFORM", std::nullopt);
    std::filesystem::create_directories(install / "usr/bin");
    std::filesystem::copy_file(bin, install / "usr/bin/tarvo");
    std::filesystem::create_directories(install / "usr/lib/tarvo");
    std::filesystem::copy_file(
        roles, install / (std::string("usr/lib/tarvo/") + launcher::kRolesLibraryFile));
    writeText(install / "usr/bin/libtarvo_webview.so", "garbage");
    r = runProcess(install / "usr/bin/tarvo", {});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "tarvo: the setup window needs libtarvo_webview.so, and there is none at " +
                         install / "usr/lib/tarvo/libtarvo_webview.so" + "\n");
}

}  // namespace
}  // namespace tarvo::test
