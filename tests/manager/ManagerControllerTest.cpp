// The setup window's controller against a local service: the bridge's
// messages, sending the accounts, saving the assignments, and config.json.
#include <sys/stat.h>
#include <unistd.h>

#include "SetupFixture.h"

namespace tarvo {
namespace {

using nlohmann::json;
using test::account;
using test::hasLine;
using Style = ManagerView::AlertStyle;
using Alert = test::RecordingView::Alert;

class ManagerControllerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        h.root.setAccounts(
            json::array({account("parent", 501), account("emma", 502), account("max", 503)}),
            json::array({"parent"}));
    }
    static json config() { return json::parse(test::readText(Paths::configFile())); }
    test::SetupHarness h;
};

TEST_F(ManagerControllerTest, SignInPageAndLoadFailuresAreLogged) {
    h.controller->loadSignIn();
    const std::string want = h.service.url() + "/Signin?type=desktop&deviceId=" + test::kTestDevice;
    EXPECT_EQ(h.view->loads, std::vector<std::string>{want});
    h.controller->navigationFailed("The request timed out.");
    h.controller->provisionalNavigationFailed("Could not connect to the server.");
    const auto lines = test::logMessages();
    EXPECT_TRUE(hasLine(lines, "[manager] INFO  Load failed: The request timed out."));
    EXPECT_TRUE(hasLine(
        lines, "[manager] INFO  Couldn't reach 127.0.0.1: Could not connect to the server."));
}

TEST_F(ManagerControllerTest, BridgeMessages) {
    h.root.setAccounts(json::array({account("emma", 502)}), json::array());
    const std::string long200(200, 'q');
    const struct {
        std::optional<std::string> body;
        std::string line;  // besides "web → host"
        std::optional<std::string> token;
        size_t userQueries;
        int terminations;
    } cases[] = {
        {std::nullopt, "", std::nullopt, 0, 0},
        {"updateData|abc", "", "abc", 0, 0},
        {"updateData|a&amp;b",
         "[manager] INFO  bridge payload contained HTML entities — decoded before use", "a&b", 0,
         0},
        {"updateData|&#x41;&#66;", "", "AB", 0, 0},
        {"userCreated|whatever", "", std::nullopt, 1, 0},
        {"closeApp|now", "", std::nullopt, 0, 1},
        {"closeAppNow", "", std::nullopt, 0, 1},
        {"updateData|", "[manager] WARN  unrecognised bridge message: updateData|", std::nullopt, 0,
         0},
        {"UpdateData|x", "[manager] WARN  unknown verb 'UpdateData'", std::nullopt, 0, 0},
        {long200, "[manager] WARN  unrecognised bridge message: " + long200.substr(0, 120),
         std::nullopt, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.value_or("(not a string)"));
        h.restart();
        const size_t sentBefore = h.sent().size();
        const size_t queriesBefore = h.requests("/api/GetUsersForDeviceId").size();
        const size_t linesBefore = test::logMessages().size();
        h.controller->handleMessage(c.body);
        h.settle();
        auto lines = test::logMessages();
        lines.erase(lines.begin(), lines.begin() + long(linesBefore));
        const std::string hostLine = "[manager] INFO  web → host: ";
        const auto host = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.rfind(hostLine, 0) == 0;
        });
        ASSERT_EQ(host != lines.end(), c.body.has_value());
        if (c.body && c.body->size() > 80) {
            EXPECT_EQ(*host, hostLine + c.body->substr(0, 80));
        }
        if (!c.line.empty()) {
            EXPECT_TRUE(hasLine(lines, c.line)) << testing::PrintToString(lines);
        }
        EXPECT_EQ(h.controller->token(), c.token);
        EXPECT_EQ(h.sent().size() - sentBefore, c.token ? 1u : 0u);
        if (c.token) {
            EXPECT_EQ(h.sent().back()["token"], *c.token);
        }
        EXPECT_EQ(h.requests("/api/GetUsersForDeviceId").size() - queriesBefore, c.userQueries);
        EXPECT_EQ(h.view->terminations, c.terminations);
    }
}

TEST_F(ManagerControllerTest, AccountsAreSentAndTheAssignmentPageOpens) {
    h.controller->handleMessage("updateData|tok-1");
    h.settle();
    ASSERT_EQ(h.sent().size(), 1u);
    const json body = h.sent()[0];
    EXPECT_EQ(body["users"], json({"emma", "max", "parent"}));
    EXPECT_EQ(body["token"], "tok-1");
    EXPECT_EQ(body["device_id"], test::kTestDevice);
    EXPECT_EQ(h.view->loads,
              std::vector<std::string>{h.service.url() + "/AssignDesktopUsers?from=desktop"});
    EXPECT_TRUE(h.view->alerts.empty());
    EXPECT_TRUE(
        hasLine(test::logMessages(), "[manager] INFO  Sending 3 local account(s) to 127.0.0.1…"));
}

TEST_F(ManagerControllerTest, AccountAlerts) {
    const struct {
        const char* name;
        json accounts, admins;
        int status;
        Alert alert;
        std::vector<std::string> sent;  // empty: nothing sent
    } cases[] = {
        {"no usable accounts",
         json::array({account("_www", 70)}),
         json::array(),
         200,
         {"No usable accounts found",
          "Tarvo couldn't find a standard user account on this Mac. Create a non-administrator "
          "account for your child in System Settings → Users & Groups, then run Tarvo setup "
          "again.",
          Style::Critical},
         {}},
        {"all administrators",
         json::array({account("b", 502), account("a", 501)}),
         json::array({"A", "b"}),
         200,
         {"All accounts are administrators",
          "Every account on this Mac is an administrator, and an administrator can turn Tarvo "
          "off. Create a standard (non-administrator) account for your child, then assign it "
          "here.",
          Style::Warning},
         {"a", "b"}},
        {"service refuses",
         json::array({account("emma", 502)}),
         json::array(),
         500,
         {"Couldn't send accounts",
          "Tarvo couldn't reach the server to register this Mac's user accounts.\n\nHTTP 500",
          Style::Critical},
         {"emma"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        h.restart();
        const size_t before = h.sent().size();
        // Nothing goes out while an alert waits for the parent.
        std::vector<size_t> sentWhileUp;
        h.view->onAlert = [&] { sentWhileUp.push_back(h.sent().size()); };
        h.root.setAccounts(c.accounts, c.admins);
        h.desktopSettings.status = c.status;
        h.controller->handleMessage("updateData|t");
        h.settle();
        EXPECT_EQ(h.view->alerts, (std::vector<Alert>{c.alert}));
        if (c.alert.style == Style::Warning) {
            EXPECT_EQ(sentWhileUp, std::vector<size_t>{before});
        }
        EXPECT_EQ(h.sent().size(), before + !c.sent.empty());
        if (!c.sent.empty()) {
            EXPECT_EQ(h.sent().back()["users"], json(c.sent));
        }
        EXPECT_EQ(h.view->loads.size(), c.status == 200 && !c.sent.empty() ? 1u : 0u);
    }
}

TEST_F(ManagerControllerTest, AssignmentsAreSavedKeepingTheOtherSettings) {
    test::writeText(
        Paths::configFile(),
        R"({"api":"https://kept.example/","device_id":"OLD","extra":{"k":[1]},"child_users":["old"]})");
    h.clock->setWall(fromUnixSeconds(1'767'225'600 + 3661.75));
    h.controller->handleMessage("userCreated|x");
    h.settle();
    EXPECT_EQ(config(), json({{"api", "https://kept.example/"},
                              {"extra", {{"k", {1}}}},
                              {"child_users", {"emma"}},
                              {"updated_at", "2026-01-01T01:01:01Z"}}));
    struct stat st {};
    ASSERT_EQ(::stat(Paths::configFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(h.view->alerts.size(), 1u);
    EXPECT_EQ(h.view->alerts[0].title, "Setup complete");
    EXPECT_EQ(h.view->alerts[0].text.rfind("Tarvo is now monitoring: emma\n\n", 0), 0u);
    EXPECT_EQ(h.requests("/api/GetUsersForDeviceId").at(0).target,
              std::string("/api/GetUsersForDeviceId?deviceId=") + test::kTestDevice);
    for (const auto& e : std::filesystem::directory_iterator(Paths::dataDir()))
        EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos);

    for (const char* existing : {"{not json", R"(["x"])"}) {
        test::writeText(Paths::configFile(), existing);
        h.controller->writeConfig({"a"});
        EXPECT_EQ(config()["api"], h.server->api()) << existing;
        EXPECT_EQ(config()["child_users"], json{"a"}) << existing;
    }
}

TEST_F(ManagerControllerTest, AssignmentFallbacks) {
    h.root.setAccounts(json::array({account("emma", 502)}), json::array());
    const struct {
        const char* name;
        bool token;
        test::SetupHarness::Answer users;
        int devicesStatus;
        std::optional<json> children;  // none: nothing written, the "no children" alert
        size_t deviceQueries;
    } cases[] = {
        {"first query answers", true, {200, R"(["a","b"])"}, 200, json{"a", "b"}, 0},
        {"first query empty", true, {200, "[]"}, 200, std::nullopt, 0},
        {"fallback with token", true, {500, ""}, 200, json{"emma", "max"}, 1},
        {"first query malformed", true, {200, R"({"nope":1})"}, 200, json{"emma", "max"}, 1},
        {"no token", false, {500, ""}, 200, std::nullopt, 0},
        {"fallback fails too", true, {500, ""}, 503, std::nullopt, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        h.restart();
        std::filesystem::remove(Paths::configFile());
        h.usersForDevice = c.users;
        h.childAccountDevices.status = c.devicesStatus;
        const size_t before = h.requests("/api/GetChildAccountDevices").size();
        if (c.token) h.controller->handleMessage("updateData|tok");
        h.settle();
        h.view->alerts.clear();
        h.controller->handleMessage("userCreated|1");
        h.settle();
        const auto devices = h.requests("/api/GetChildAccountDevices");
        ASSERT_EQ(devices.size() - before, c.deviceQueries);
        if (c.deviceQueries) {
            EXPECT_EQ(devices.back().target, "/api/GetChildAccountDevices?token=tok");
        }
        if (c.children) {
            EXPECT_EQ(config()["child_users"], *c.children);
            ASSERT_EQ(h.view->alerts.size(), 1u);
            EXPECT_EQ(h.view->alerts[0].title, "Setup complete");
        } else {
            EXPECT_FALSE(test::exists(Paths::configFile()));
            ASSERT_EQ(h.view->alerts.size(), 1u);
            EXPECT_EQ(h.view->alerts[0],
                      (Alert{"No children assigned yet",
                             "Tarvo didn't get any monitored accounts back from the server. Assign "
                             "at least one child to a Mac account on the web page, then try again.",
                             Style::Warning}));
        }
    }
}

TEST_F(ManagerControllerTest, WriteFailuresLeaveTheOldStateAndExplain) {
    // config.json is a directory that holds something: the rename cannot replace it.
    std::filesystem::create_directories(Paths::configFile() + "/inside");
    const std::string description =
        "Couldn't replace " + Paths::configFile() + " (errno " + std::to_string(EISDIR) + ").";
    h.controller->handleMessage("userCreated|1");
    h.settle();
    const Alert want{"Couldn't save settings",
                     "Tarvo couldn't write its configuration file.\n\n" + description +
                         "\n\nMake sure Tarvo is installed (the installer creates the folder "
                         "this app writes to).",
                     Style::Critical};
    EXPECT_EQ(h.view->alerts, std::vector<Alert>{want});
    EXPECT_TRUE(
        hasLine(test::logMessages(), "[manager] ERROR config write failed: " + description));
    EXPECT_TRUE(std::filesystem::is_directory(Paths::configFile() + "/inside"));

    // The data folder cannot be made: the temporary file cannot be written.
    std::filesystem::remove_all(Paths::dataDir());
    test::writeText(Paths::dataDir(), "a file where the folder belongs");
    try {
        h.controller->writeConfig({"a"});
        ADD_FAILURE() << "no error";
    } catch (const ConfigWriteError& e) {
        EXPECT_EQ(std::string(e.what()), "Couldn't write " + Paths::configFile() + ".tmp." +
                                             std::to_string(::getpid()) + " (errno " +
                                             std::to_string(ENOTDIR) + ").");
    }
    EXPECT_EQ(test::readText(Paths::dataDir()), "a file where the folder belongs");
}

}  // namespace
}  // namespace tarvo
