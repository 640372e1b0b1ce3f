// The real `tarvo manager` on a private X server, talking to a local service
// whose pages post over the bridge from the main frame and from an iframe.
#include <unistd.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "manager/SetupFixture.h"
#include "support/LocalServer.h"
#include "support/Processes.h"
#include "support/XServer.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;

const char* const kSignInPage = R"(<!doctype html>
<html><body><h1>Sign in to Tarvo</h1><iframe src="/frame"></iframe>
<script>
(function () {
  var webview = window.chrome.webview;
  // Envelopes relayed from sub-frames never reach the page's own listeners.
  window.addEventListener('message', function (e) {
    webview.postMessage('leak|' + JSON.stringify(e.data));
  });
  var names = ['qt', 'QWebChannel', 'transport', 'send', 'nonce', 'stringify', 'report', 'calls'];
  var found = names.filter(function (n) { return n in window; });
  webview.postMessage('globals|' + (found.join(',') || 'none'));
  webview.postMessage({kind: 'not a string'});
})();
</script></body></html>)";

TEST(ManagerProcess, TheBridgeCarriesMessagesFromFramesAndCloseAppEndsTheProcess) {
    XServer x;
    ASSERT_TRUE(x.running()) << x.error();
    SetupRoot root;
    root.setAccounts({account("parent", 501), account("emma", 502)}, {"parent"});
    LocalServer service;
    auto page = [](const char* html) {
        return [html](const httplib::Request&, httplib::Response& res) {
            res.set_content(html, "text/html");
        };
    };
    service.server.Get("/Signin", page(kSignInPage));
    service.server.Get("/frame", page("<script>window.chrome.webview.postMessage("
                                      "'updateData|tok&amp;123');</script>"));
    service.server.Get("/AssignDesktopUsers",
                       page("<script>window.chrome.webview.postMessage('closeApp');</script>"));
    service.server.Post("/api/SetDesktopSettings",
                        [](const httplib::Request&, httplib::Response& res) {
                            res.set_content("{}", "application/json");
                        });
    service.start();
    std::vector<std::string> env{"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb",
                                 "TARVO_BASE_URL=" + service.url() + "/"};
#if defined(__SANITIZE_ADDRESS__)
    // Qt WebEngine (Chromium) keeps allocations to the end and frees some
    // objects with a sized delete of another size inside its own code: both
    // checks are off for the manager child, every other error stays fatal.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                  ":detect_leaks=0:new_delete_type_mismatch=0");
#endif
    Process manager({.argv = {tarvoBinary(), "manager"}, .env = environmentWith(env)});
    EXPECT_EQ(manager.wait(60s), std::optional<int>(0)) << testing::PrintToString(logMessages());

    // The accounts went out once, with the token decoded.
    std::vector<nlohmann::json> sent;
    for (const auto& r : service.received())
        if (r.path == "/api/SetDesktopSettings") sent.push_back(nlohmann::json::parse(r.body));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].value("token", ""), "tok&123");
    const auto log = logMessages();
    for (const std::string& line : {
             std::string("[manager] INFO  web → host: globals|none"),
             std::string(
                 "[manager] WARN  unrecognised bridge message: {\"kind\":\"not a string\"}"),
             std::string("[manager] INFO  web → host: updateData|tok&123"),
             std::string("[manager] INFO  web → host: closeApp"),
         })
        EXPECT_TRUE(hasLine(log, line)) << line;
    for (const auto& line : log) EXPECT_EQ(line.find("web → host: leak|"), std::string::npos);
    EXPECT_EQ(hasLine(log,
                      "[manager] WARN  running as root — the web view starts without its "
                      "sandbox"),
              ::geteuid() == 0);
}

// No display is needed to find out that the web view cannot be loaded.
TEST(ManagerProcess, MissingOrBrokenWebViewLibraryIsOneLineAndStatusOne) {
    TempRoot root;
    TempDir install;
    const std::string bin = install / "tarvo";
    std::filesystem::copy_file(tarvoBinary(), bin);
    std::filesystem::permissions(bin, std::filesystem::perms::owner_all);
    // With no arguments the executable opens the setup window too.
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"manager"}, "libtarvo_webview.so beside the executable"},
        {{}, "could not be loaded: "},  // the file beside it is garbage
    };
    for (const auto& [args, wantInError] : cases) {
        SCOPED_TRACE(wantInError);
        if (args.empty()) writeText(install / "libtarvo_webview.so", "garbage");
        ProcessResult r = runProcess(bin, args);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_EQ(r.err.rfind("tarvo: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(wantInError), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace tarvo::test
