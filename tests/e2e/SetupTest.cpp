// The parent's setup with the real binaries: `tarvo manager` under a private
// X server opens the real tarvo-service's sign-in page; the test drives that
// page like a parent would (through the web view's DevTools port): it signs
// in, the manager sends this computer's accounts, the assignment page lists
// them, the parent gives one to the demo child and saves, the manager writes
// config.json naming that account, and Finish ends the manager with status 0.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include <nlohmann/json.hpp>

#include "DaemonFixture.h"
#include "E2eSupport.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "support/LocalServer.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

TEST(SetupEndToEnd, ParentSignsInOnTheRealPagesAssignsAnAccountAndTheConfigNamesTheChild) {
    DaemonRoot root;  // stand-in tools, and a network of this test's own
    const std::string home = root.root() + "/Users/parent";
    std::filesystem::create_directories(home);
    EnvGuard homeGuard("HOME", home);
    XServer x;
    ASSERT_TRUE(x.running() && x.error().empty()) << x.error();
    // The computer's accounts as the directory service lists them.
    writeText(
        root.root() + "/.standins/dscl/fixture.json",
        json{{"users",
              {{{"name", "emma"}, {"UniqueID", "501"}, {"NFSHomeDirectory", "/Users/emma"}},
               {{"name", "parent"}, {"UniqueID", "502"}, {"NFSHomeDirectory", "/Users/parent"}}}},
             {"groups", {{"admin", {"parent"}}}}}
            .dump());
    // The demo family's child already has an account on another computer;
    // this one is new to the service.
    DemoFamily family("DEV-E2E-ELSEWHERE", "someone");

    const int devtools = deadPort();
    std::vector<std::string> env = {
        "DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb", "TARVO_BASE_URL=" + family.service.url(),
        "QTWEBENGINE_REMOTE_DEBUGGING=127.0.0.1:" + std::to_string(devtools)};
#if defined(__SANITIZE_ADDRESS__)
    // Chromium inside WebEngine keeps allocations to the end and frees some
    // objects with a sized delete of another size: both checks are off for
    // the manager, every other error stays fatal.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") +
                  ":detect_leaks=0:new_delete_type_mismatch=0");
#endif
    TarvoProcess manager("manager", environmentWith(env));
    // The page in the manager's web view: the value of a JavaScript
    // expression; none while there is no page or it throws.
    std::string seen;  // what the last evaluation printed
    auto eval = [&](const std::string& expression) -> std::optional<json> {
        const ProcessResult r = runProcess(
            "/usr/bin/python3",
            {sourceDir() + "/tests/e2e/devtools.py", std::to_string(devtools), expression});
        seen = r.out + r.err;
        json value = json::parse(r.out, nullptr, false);
        if (!r.succeeded() || value.is_discarded()) return std::nullopt;
        return value;
    };
    auto becomes = [&](const std::string& expression, const json& expected,
                       std::chrono::milliseconds limit = 30s) {
        return waitUntil([&] { return eval(expression) == expected; }, limit);
    };
    auto childUsers = [] {
        const json config = json::parse(readText(Paths::configFile()), nullptr, false);
        return config.is_object() ? config.value("child_users", json()) : json();
    };

    // The service's own sign-in page, asked for this computer.
    ASSERT_TRUE(
        becomes("location.href.startsWith('" + family.service.url() +
                    "Signin?type=desktop&deviceId=') && document.readyState === 'complete' && "
                    "document.getElementById('title').textContent + '|' + "
                    "document.getElementById('desktop-note').hidden",
                "Sign in|false", 60s))
        << seen << "\n"
        << readText(Paths::managerLog());

    ASSERT_TRUE(
        eval("document.getElementById('email').value = 'demo@tarvo.local';"
             "document.getElementById('password').value = 'tarvo-demo';"
             "document.getElementById('submit').click(); true"));

    // Signing in hands the token to the manager, which sends the accounts and
    // opens the assignment page: it lists exactly those accounts.
    const std::string accounts =
        "location.pathname === '/AssignDesktopUsers' && "
        "[...document.querySelectorAll('select[data-account]')].map(s => s.dataset.account)";
    ASSERT_TRUE(becomes(accounts, json{"emma", "parent"})) << seen << "\n"
                                                           << readText(Paths::managerLog());
    EXPECT_TRUE(childUsers().is_null()) << "nothing written before the parent saves";

    // emma is the demo child; parent stays a parent.
    ASSERT_EQ(eval("(() => {"
                   "  const s = document.querySelector('select[data-account=\"emma\"]');"
                   "  const o = [...s.options].find(o => o.textContent === 'Demo Child');"
                   "  if (!o) return false;"
                   "  s.value = o.value; s.dispatchEvent(new Event('change'));"
                   "  document.getElementById('save').click();"
                   "  return true; })()"),
              std::optional<json>(true))
        << seen;

    ASSERT_TRUE(waitUntil([&] { return childUsers() == json{"emma"}; }))
        << readText(Paths::managerLog());
    const json config = json::parse(readText(Paths::configFile()));
    EXPECT_EQ(config.value("api", ""), family.service.url());
    EXPECT_FALSE(config.contains("device_id"));
    // The service keeps the assignment too: emma to the demo child, parent to nobody.
    std::map<std::string, json> assigned;
    const json overview = family.parent.overview();
    for (const auto& d : overview["devices"])
        for (const auto& a : d["accounts"]) assigned[a["account"]] = a["childId"];
    EXPECT_EQ(assigned["emma"], family.child["id"]);
    EXPECT_TRUE(assigned["parent"].is_null());

    // Finish asks the manager to close, an open "Setup complete" alert notwithstanding.
    ASSERT_TRUE(becomes("document.getElementById('finish').hidden", false)) << seen;
    eval("document.getElementById('finish').click(); true");
    EXPECT_EQ(manager.wait(), std::optional<int>(0)) << readText(Paths::managerLog());
    EXPECT_TRUE(hasLine(logMessages(Paths::managerLog()),
                        "[manager] INFO  wrote config.json with child_users=[\"emma\"]"));
}

}  // namespace
}  // namespace tarvo::test
