// The real `tarvo manager` on a private X server, talking to a local service
// whose pages post over the bridge from the main frame and from iframes.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "WebViewFixture.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "support/LocalServer.h"
#include "support/XServer.h"

namespace tarvo::test {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const char* const kSignInPage = R"(<!doctype html>
<html><body style="background:#2a6fdb;color:#fff;font:16px sans-serif">
<h1>Sign in to Tarvo</h1><iframe src="/frame"></iframe>
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

const char* const kSignInFrame = R"(<!doctype html><html><body>frame<script>
window.chrome.webview.postMessage('updateData|tok&amp;123');
</script></body></html>)";

const char* const kAssignPage = R"(<!doctype html>
<html><body style="background:#2a6fdb;color:#fff"><h1>Assign</h1>
<iframe src="/assign-frame"></iframe>
<script>
(function () {
  function poll() {
    fetch('/go').then(function (r) { return r.text(); }).then(function (t) {
      if (t === 'yes') window.chrome.webview.postMessage('closeApp');
      else setTimeout(poll, 50);
    }, function () { setTimeout(poll, 50); });
  }
  poll();
})();
</script></body></html>)";

const char* const kAssignFrame = R"(<!doctype html><html><body><script>
window.chrome.webview.postMessage('userCreated|x');
</script></body></html>)";

// The service: its two pages (each with an iframe) and the calls.
struct SetupService {
    SetupService() {
        auto reply = [](std::function<std::string()> body, const char* type) {
            return [body, type](const httplib::Request&, httplib::Response& res) {
                res.set_content(body(), type);
            };
        };
        for (auto [path, html] : {std::pair{"/Signin", kSignInPage},
                                  {"/frame", kSignInFrame},
                                  {"/AssignDesktopUsers", kAssignPage},
                                  {"/assign-frame", kAssignFrame}})
            server.server.Get(path, reply([html] { return std::string(html); }, "text/html"));
        server.server.Get("/go", reply([this] { return go ? "yes" : "no"; }, "text/plain"));
        server.server.Post("/api/SetDesktopSettings",
                           reply([] { return "{}"; }, "application/json"));
        server.server.Get("/api/GetUsersForDeviceId",
                          reply([] { return R"(["emma"])"; }, "application/json"));
        server.start();
    }
    std::vector<LocalServer::Received> requests(const std::string& path) const {
        std::vector<LocalServer::Received> out;
        for (auto& r : server.received())
            if (r.path == path) out.push_back(r);
        return out;
    }
    std::string base() const { return server.url() + "/"; }

    LocalServer server;
    std::atomic<bool> go{false};
};

// A `tarvo` child, killed at the end of the test if it is still running.
struct Child {
    explicit Child(const std::vector<std::string>& args, const std::vector<std::string>& env) {
        SpawnOptions options;
        options.captureStdout = options.captureStderr = false;
        options.discardUncaptured = true;
        std::vector<std::string> extra = env;
#if defined(__SANITIZE_ADDRESS__)
        // Qt WebEngine (Chromium) keeps allocations to the end, which
        // LeakSanitizer reports as leaks, and frees some objects with a sized
        // delete of another size inside its own code. Both checks are off for
        // the manager child; every other address and undefined-behaviour
        // error stays fatal.
        const char* asan = std::getenv("ASAN_OPTIONS");
        extra.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                        ":detect_leaks=0:new_delete_type_mismatch=0");
#endif
        options.environment = environmentWith(extra);
        pid = spawnProcess(tarvoBinary(), args, options).pid;
    }
    ~Child() {
        if (pid > 0 && running(pid)) {
            ::kill(pid, SIGKILL);
            waitExit(pid, 10s);
        }
    }
    pid_t pid = -1;
};

const std::string kRootWarning =
    "[manager] WARN  running as root — the web view starts without its sandbox";

TEST(ManagerProcess, SignInSendsAccountsWritesConfigAndClosesOnRequest) {
    XServer x;
    ASSERT_TRUE(x.running()) << x.error();
    SetupRoot root;
    root.setAccounts({account("parent", 501), account("emma", 502), account("max", 503)},
                     {"parent"});
    SetupService service;
    Child manager({"manager"}, {"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb",
                                "TARVO_BASE_URL=" + service.base()});
    ASSERT_GT(manager.pid, 0);

    auto childUsers = [] {
        if (!exists(Paths::configFile())) return json();
        return json::parse(readText(Paths::configFile()), nullptr, false)
            .value("child_users", json());
    };
    ASSERT_TRUE(eventually([&] { return childUsers() == json{"emma"}; }, 60s))
        << testing::PrintToString(logMessages());
    EXPECT_TRUE(running(manager.pid));
    service.go = true;
    EXPECT_EQ(waitExit(manager.pid), std::optional<int>(0));

    // What the service received: the accounts with the decoded token, once.
    const auto sent = service.requests("/api/SetDesktopSettings");
    ASSERT_EQ(sent.size(), 1u);
    const json body = json::parse(sent[0].body, nullptr, false);
    EXPECT_EQ(body.value("token", ""), "tok&123");
    EXPECT_EQ(body.value("users", json()), (json{"emma", "max", "parent"}));
    EXPECT_EQ(service.requests("/api/GetUsersForDeviceId").size(), 1u);

    EXPECT_EQ(json::parse(readText(Paths::configFile())).value("api", ""), service.base());

    const auto log = logMessages();
    for (const std::string& line : {
             std::string("[manager] INFO  web → host: globals|none"),
             std::string(
                 "[manager] WARN  unrecognised bridge message: {\"kind\":\"not a string\"}"),
             std::string("[manager] INFO  web → host: updateData|tok&123"),
             "[manager] INFO  " + service.base() + "AssignDesktopUsers?from=desktop",
             std::string("[manager] INFO  web → host: userCreated|x"),
             std::string("[manager] INFO  web → host: closeApp"),
         })
        EXPECT_TRUE(hasLine(log, line)) << line;
    for (const auto& line : log) EXPECT_EQ(line.find("web → host: leak|"), std::string::npos);
    EXPECT_EQ(std::count(log.begin(), log.end(), kRootWarning), ::geteuid() == 0 ? 1 : 0);
}

TEST(ManagerProcess, UnreachableServiceKeepsTheWindowAndClosingItEndsTheProcess) {
    XServer x;
    ASSERT_TRUE(x.running()) << x.error();
    SetupRoot root;
    Child manager({}, {"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb",
                       "TARVO_BASE_URL=http://127.0.0.1:" + std::to_string(deadPort()) + "/"});
    ASSERT_TRUE(eventually(
        [] {
            return hasLine(logMessages(),
                           "[manager] INFO  Couldn't reach 127.0.0.1: Could not connect to the "
                           "server.");
        },
        60s))
        << testing::PrintToString(logMessages());
    std::string window;
    ASSERT_TRUE(eventually([&] {
        window = x.run({"xdotool", "search", "--onlyvisible", "--name", "^Tarvo Manager$"});
        return !window.empty();
    }));
    EXPECT_TRUE(running(manager.pid));
    window = window.substr(0, window.find('\n'));
    // The window manager's close request, as the title bar's close button sends it.
    x.run({"xdotool", "windowactivate", "--sync", window, "key", "--clearmodifiers", "alt+F4"});
    EXPECT_EQ(waitExit(manager.pid), std::optional<int>(0));
}

// No display is needed to find out that the web view cannot be loaded.
TEST(ManagerProcess, MissingOrBrokenWebViewLibraryIsOneLineAndStatusOne) {
    TempRoot root;
    TempDir install;
    const std::string bin = install / "tarvo";
    fs::copy_file(tarvoBinary(), bin);
    fs::permissions(bin, fs::perms::owner_all);
    struct Case {
        const char* name;
        std::optional<std::string> library;  // the file beside the binary
        std::string wantInError;
    } cases[] = {
        {"missing", std::nullopt, "libtarvo_webview.so beside the executable"},
        {"not a library", "garbage", "could not be loaded: "},
    };
    // Every way of asking for the setup window ends the same way.
    const std::vector<std::vector<std::string>> invocations = {
        {"manager"}, {"setup"}, {}, {"-psn_0_4711"}};
    for (const auto& c : cases) {
        if (c.library) writeText(install / "libtarvo_webview.so", *c.library);
        for (const auto& args : invocations) {
            SCOPED_TRACE(std::string(c.name) + ": " + testing::PrintToString(args));
            ProcessResult r = runProcess(bin, args);
            ASSERT_TRUE(r.launched) << r.launchError;
            EXPECT_EQ(r.exitStatus, 1);
            EXPECT_EQ(r.out, "");
            ASSERT_FALSE(r.err.empty());
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
            EXPECT_EQ(r.err.rfind("tarvo: ", 0), 0u) << r.err;
            EXPECT_NE(r.err.find(c.wantInError), std::string::npos) << r.err;
        }
    }
}

}  // namespace
}  // namespace tarvo::test
