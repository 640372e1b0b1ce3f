#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "SetupFixture.h"
#include "core/Paths.h"

namespace tarvo {
namespace {

using nlohmann::json;
using Style = ManagerView::AlertStyle;
using Alert = test::RecordingView::Alert;

json account(const std::string& name, int uid) {
    return {
        {"name", name}, {"UniqueID", std::to_string(uid)}, {"NFSHomeDirectory", "/Users/" + name}};
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class ManagerControllerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        h.start();
        h.root.setAccounts(
            json::array({account("parent", 501), account("emma", 502), account("max", 503)}),
            json::array({"parent"}));
    }
    std::vector<std::string> log() const { return h.root.managerLog(); }
    json config() const { return json::parse(test::readText(Paths::configFile())); }

    test::SetupHarness h;
};

TEST_F(ManagerControllerTest, SignInPage) {
    h.controller->loadSignIn();
    const std::string want = h.service.url() + "/Signin?type=desktop&deviceId=" + test::kTestDevice;
    EXPECT_EQ(h.view->loads, std::vector<std::string>{want});
    EXPECT_TRUE(contains(log(), std::string("[manager] INFO  Opening sign-in for device ") +
                                    test::kTestDevice + "…"));
    h.controller->pageFinished(want);
    h.controller->navigationFailed("The request timed out.");
    h.controller->provisionalNavigationFailed("Could not connect to the server.");
    const auto lines = log();
    EXPECT_TRUE(contains(lines, "[manager] INFO  " + want));
    EXPECT_TRUE(contains(lines, "[manager] INFO  Load failed: The request timed out."));
    EXPECT_TRUE(contains(
        lines, "[manager] INFO  Couldn't reach 127.0.0.1: Could not connect to the server."));
}

TEST_F(ManagerControllerTest, BridgeMessages) {
    const std::string long200(200, 'q');
    struct Case {
        const char* name;
        std::optional<std::string> body;
        std::vector<std::string> wantLines;  // after the "web → host" line, in order
        std::optional<std::string> wantToken;
        size_t wantSends;
        size_t wantUserQueries;
        int wantTerminations;
    } cases[] = {
        {"not a string", std::nullopt, {}, std::nullopt, 0, 0, 0},
        {"token", "updateData|abc", {}, "abc", 1, 0, 0},
        {"escaped token",
         "updateData|a&amp;b",
         {"[manager] INFO  bridge payload contained HTML entities — decoded before use"},
         "a&b",
         1,
         0,
         0},
        {"numeric escapes", "updateData|&#x41;&#66;", {}, "AB", 1, 0, 0},
        {"user created", "userCreated|whatever", {}, std::nullopt, 0, 1, 0},
        {"close", "closeApp", {}, std::nullopt, 0, 0, 1},
        {"close with suffix", "closeApp|now", {}, std::nullopt, 0, 0, 1},
        {"close glued", "closeAppNow", {}, std::nullopt, 0, 0, 1},
        {"no argument",
         "updateData|",
         {"[manager] WARN  unrecognised bridge message: updateData|"},
         std::nullopt,
         0,
         0,
         0},
        {"no bar",
         "hello",
         {"[manager] WARN  unrecognised bridge message: hello"},
         std::nullopt,
         0,
         0,
         0},
        {"unknown verb",
         "refresh|1",
         {"[manager] WARN  unknown verb 'refresh'"},
         std::nullopt,
         0,
         0,
         0},
        {"verb is case-sensitive",
         "UpdateData|x",
         {"[manager] WARN  unknown verb 'UpdateData'"},
         std::nullopt,
         0,
         0,
         0},
        {"long",
         long200,
         {"[manager] WARN  unrecognised bridge message: " + long200.substr(0, 120)},
         std::nullopt,
         0,
         0,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::SetupHarness run;  // a fresh root, service and controller for each message
        run.start();
        run.root.setAccounts(json::array({account("emma", 502)}), json::array());
        run.controller->handleMessage(c.body);
        run.settle();

        const auto lines = run.root.managerLog();
        const auto hostLine = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
            return l.rfind("[manager] INFO  web → host: ", 0) == 0;
        });
        if (!c.body) {
            EXPECT_EQ(hostLine, lines.end());
        } else {
            ASSERT_NE(hostLine, lines.end());
            if (c.body->size() > 80) {
                EXPECT_EQ(*hostLine, "[manager] INFO  web → host: " + c.body->substr(0, 80));
            }
        }
        for (const std::string& want : c.wantLines) {
            const auto at = std::find(lines.begin(), lines.end(), want);
            ASSERT_NE(at, lines.end()) << want;
            // The entity note comes before the "web → host" line, warnings after it.
            if (want.find("] INFO") != std::string::npos) {
                EXPECT_LT(at, hostLine);
            } else {
                EXPECT_GT(at, hostLine);
            }
        }
        EXPECT_EQ(run.controller->token(), c.wantToken);
        const auto sent = run.desktopSettingsSent();
        EXPECT_EQ(sent.size(), c.wantSends);
        if (c.wantSends && !sent.empty()) {
            EXPECT_EQ(sent[0]["token"], *c.wantToken);
        }
        EXPECT_EQ(run.requests("/api/GetUsersForDeviceId").size(), c.wantUserQueries);
        EXPECT_EQ(run.view->terminations, c.wantTerminations);
    }
}

TEST_F(ManagerControllerTest, AccountsAreSentAndTheAssignmentPageOpens) {
    h.controller->handleMessage("updateData|tok-1");
    h.settle();
    const auto sent = h.desktopSettingsSent();
    ASSERT_EQ(sent.size(), 1u);
    const json& body = sent[0];
    EXPECT_EQ(body["users"], json::array({"emma", "max", "parent"}));
    EXPECT_EQ(body["token"], "tok-1");
    EXPECT_EQ(body["device_id"], test::kTestDevice);
    EXPECT_EQ(h.view->loads,
              std::vector<std::string>{h.service.url() + "/AssignDesktopUsers?from=desktop"});
    EXPECT_TRUE(h.view->alerts.empty());
    const auto lines = log();
    EXPECT_TRUE(contains(lines, "[manager] INFO  local accounts: emma, max, parent"));
    EXPECT_TRUE(contains(lines, "[manager] INFO  Sending 3 local account(s) to 127.0.0.1…"));
    EXPECT_TRUE(contains(lines, "[manager] INFO  Accounts sent. Opening assignment page…"));
}

TEST_F(ManagerControllerTest, AccountAlerts) {
    struct Case {
        const char* name;
        json accounts;
        json admins;
        int status;
        std::vector<Alert> wantAlerts;
        std::vector<std::string> wantUsersSent;  // empty: nothing sent
        bool wantLoad;
    } cases[] = {
        {"no usable accounts",
         json::array({json{{"name", "_www"}, {"UniqueID", "70"}}}),
         json::array(),
         200,
         {{"No usable accounts found",
           "Tarvo couldn't find a standard user account on this Mac. Create a "
           "non-administrator account for your child in System Settings → Users & Groups, then "
           "run Tarvo setup again.",
           Style::Critical}},
         {},
         false},
        {"all administrators",
         json::array({account("c", 503), account("a", 501), account("b", 502)}),
         json::array({"A", "b", "c"}),
         200,
         {{"All accounts are administrators",
           "Every account on this Mac is an administrator, and an administrator can turn Tarvo "
           "off. Create a standard (non-administrator) account for your child, then assign it "
           "here.",
           Style::Warning}},
         {"a", "b", "c"},
         true},
        {"service refuses",
         json::array({account("emma", 502)}),
         json::array(),
         500,
         {{"Couldn't send accounts",
           "Tarvo couldn't reach the server to register this Mac's user accounts.\n\nHTTP 500",
           Style::Critical}},
         {"emma"},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        h.view->alerts.clear();
        h.view->loads.clear();
        const size_t before = h.desktopSettingsSent().size();
        // Nothing goes out while an alert waits for the parent.
        std::vector<size_t> sentWhileAlertUp;
        h.view->onAlert = [&] { sentWhileAlertUp.push_back(h.desktopSettingsSent().size()); };
        h.root.setAccounts(c.accounts, c.admins);
        h.desktopSettings.status = c.status;
        h.controller->handleMessage("updateData|t");
        h.settle();
        EXPECT_EQ(h.view->alerts, c.wantAlerts);
        if (c.wantAlerts.size() == 1 && c.wantAlerts[0].style == Style::Warning) {
            EXPECT_EQ(sentWhileAlertUp, std::vector<size_t>{before});
        }
        const auto sent = h.desktopSettingsSent();
        if (c.wantUsersSent.empty()) {
            EXPECT_EQ(sent.size(), before);
        } else {
            ASSERT_EQ(sent.size(), before + 1);
            EXPECT_EQ(sent.back()["users"], json(c.wantUsersSent));
        }
        EXPECT_EQ(h.view->loads.size(), c.wantLoad ? 1u : 0u);
    }
    EXPECT_TRUE(contains(log(), "[manager] ERROR SetDesktopSettings failed: HTTP 500"));
}

TEST_F(ManagerControllerTest, AssignmentsAreSaved) {
    test::writeText(
        Paths::configFile(),
        R"({"api":"https://kept.example/","device_id":"OLD","update_url":"u","child_users":["old"]})");
    h.clock->setWall(fromUnixSeconds(1'767'225'600 + 3661.75));
    h.controller->handleMessage("userCreated|x");
    h.settle();
    const json want = {{"api", "https://kept.example/"},
                       {"update_url", "u"},
                       {"child_users", {"emma"}},
                       {"updated_at", "2026-01-01T01:01:01Z"}};
    EXPECT_EQ(config(), want);
    struct stat st {};
    ASSERT_EQ(::stat(Paths::configFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(h.view->alerts,
              (std::vector<Alert>{{"Setup complete",
                                   "Tarvo is now monitoring: emma\n\nFiltering starts the next "
                                   "time they log in. If one of them is already logged in, log "
                                   "them out and back in to activate it.",
                                   Style::Informational}}));
    const auto lines = log();
    EXPECT_TRUE(contains(lines, "[manager] INFO  Saving assignments…"));
    EXPECT_TRUE(contains(lines, "[manager] INFO  GetUsersForDeviceId → [\"emma\"]"));
    EXPECT_TRUE(contains(lines, "[manager] INFO  wrote config.json with child_users=[\"emma\"]"));
    EXPECT_TRUE(contains(lines, "[manager] INFO  Saved. Monitoring: emma"));
    const auto asked = h.requests("/api/GetUsersForDeviceId");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].target,
              std::string("/api/GetUsersForDeviceId?deviceId=") + test::kTestDevice);
    // No temporary file is left behind.
    for (const auto& e : std::filesystem::directory_iterator(Paths::dataDir()))
        EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos);
}

TEST_F(ManagerControllerTest, AssignmentFallbacks) {
    struct Case {
        const char* name;
        std::optional<std::string> token;
        int usersStatus;
        std::string usersBody;
        int devicesStatus;
        std::optional<json> wantChildren;  // none: nothing written, the "no children" alert
        size_t wantDeviceQueries;
    } cases[] = {
        {"first query answers", "tok", 200, R"(["a","b"])", 200, json{"a", "b"}, 0},
        {"first query empty", "tok", 200, "[]", 200, std::nullopt, 0},
        {"fallback with token", "tok", 500, "", 200, json{"emma", "max"}, 1},
        {"first query malformed", "tok", 200, R"({"nope":1})", 200, json{"emma", "max"}, 1},
        {"no token", std::nullopt, 500, "", 200, std::nullopt, 0},
        {"fallback fails too", "tok", 500, "", 503, std::nullopt, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::SetupHarness run;
        run.usersForDevice = {c.usersStatus, c.usersBody};
        run.childAccountDevices.status = c.devicesStatus;
        run.start();
        run.root.setAccounts(json::array({account("emma", 502)}), json::array());
        if (c.token) run.controller->handleMessage("updateData|" + *c.token);
        run.settle();
        run.view->alerts.clear();
        run.controller->handleMessage("userCreated|1");
        run.settle();

        const auto devices = run.requests("/api/GetChildAccountDevices");
        EXPECT_EQ(devices.size(), c.wantDeviceQueries);
        if (!devices.empty()) {
            EXPECT_EQ(devices[0].target, "/api/GetChildAccountDevices?token=tok");
        }
        const auto lines = run.root.managerLog();
        if (c.usersStatus != 200 || c.wantDeviceQueries) {
            EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
                return l.rfind("[manager] WARN  GetUsersForDeviceId failed (", 0) == 0 &&
                       l.find("); trying GetChildAccountDevices") != std::string::npos;
            }));
        }
        if (c.wantChildren) {
            EXPECT_EQ(json::parse(test::readText(Paths::configFile()))["child_users"],
                      *c.wantChildren);
            ASSERT_EQ(run.view->alerts.size(), 1u);
            EXPECT_EQ(run.view->alerts[0].title, "Setup complete");
            if (c.wantDeviceQueries) {
                EXPECT_TRUE(contains(
                    lines, "[manager] INFO  GetChildAccountDevices → [\"emma\", \"max\"]"));
            }
        } else {
            EXPECT_FALSE(test::exists(Paths::configFile()));
            EXPECT_EQ(run.view->alerts,
                      (std::vector<Alert>{{"No children assigned yet",
                                           "Tarvo didn't get any monitored accounts back from the "
                                           "server. Assign at least one child to a Mac account on "
                                           "the web page, then try again.",
                                           Style::Warning}}));
            EXPECT_TRUE(contains(lines, "[manager] INFO  No assignments returned."));
        }
    }
}

TEST_F(ManagerControllerTest, ConfigMerging) {
    struct Case {
        const char* name;
        std::optional<std::string> existing;
        json want;  // updated_at left out
    } cases[] = {
        {"no file", std::nullopt, {{"child_users", {"a"}}, {"api", "API"}}},
        {"unparsable", "{not json", {{"child_users", {"a"}}, {"api", "API"}}},
        {"not an object", R"(["x"])", {{"child_users", {"a"}}, {"api", "API"}}},
        {"keeps api and other keys, drops device_id",
         R"({"api":"https://mine/","device_id":"D","extra":{"k":[1,2]}})",
         {{"child_users", {"a"}}, {"api", "https://mine/"}, {"extra", {{"k", {1, 2}}}}}},
        {"api of another type stays", R"({"api":5})", {{"child_users", {"a"}}, {"api", 5}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(Paths::configFile());
        if (c.existing) test::writeText(Paths::configFile(), *c.existing);
        h.controller->writeConfig({"a"});
        json got = config();
        ASSERT_TRUE(got.contains("updated_at"));
        EXPECT_EQ(got["updated_at"], "2026-01-01T00:00:00Z");
        got.erase("updated_at");
        json want = c.want;
        if (want["api"] == "API") want["api"] = h.server->api();
        EXPECT_EQ(got, want);
    }
}

TEST_F(ManagerControllerTest, WriteFailuresLeaveTheOldStateAndExplain) {
    // config.json is a directory that holds something: the rename cannot replace it.
    std::filesystem::create_directories(Paths::configFile() + "/inside");
    try {
        h.controller->writeConfig({"a"});
        ADD_FAILURE() << "no error";
    } catch (const ConfigWriteError& e) {
        EXPECT_STREQ(e.domain(), "tarvo.manager");
        EXPECT_EQ(e.code(), EISDIR);
        EXPECT_EQ(std::string(e.what()), "Couldn't replace " + Paths::configFile() + " (errno " +
                                             std::to_string(EISDIR) + ").");
    }

    // Through the flow: the error is logged and explained.
    h.controller->handleMessage("userCreated|1");
    h.settle();
    const std::string description =
        "Couldn't replace " + Paths::configFile() + " (errno " + std::to_string(EISDIR) + ").";
    ASSERT_EQ(h.view->alerts.size(), 1u);
    EXPECT_EQ(h.view->alerts[0],
              (Alert{"Couldn't save settings",
                     "Tarvo couldn't write its configuration file.\n\n" + description +
                         "\n\nMake sure Tarvo is installed (the installer creates the folder "
                         "this app writes to).",
                     Style::Critical}));
    EXPECT_TRUE(contains(log(), "[manager] ERROR config write failed: " + description));
    EXPECT_TRUE(std::filesystem::is_directory(Paths::configFile() + "/inside"));

    // The data folder cannot be made: the temporary file, named for this
    // process, cannot be written.
    std::filesystem::remove_all(Paths::dataDir());
    test::writeText(Paths::dataDir(), "a file where the folder belongs");
    try {
        h.controller->writeConfig({"a"});
        ADD_FAILURE() << "no error";
    } catch (const ConfigWriteError& e) {
        EXPECT_EQ(e.code(), ENOTDIR);
        EXPECT_EQ(std::string(e.what()), "Couldn't write " + Paths::configFile() + ".tmp." +
                                             std::to_string(::getpid()) + " (errno " +
                                             std::to_string(ENOTDIR) + ").");
    }
    EXPECT_EQ(test::readText(Paths::dataDir()), "a file where the folder belongs");
}

}  // namespace
}  // namespace tarvo
