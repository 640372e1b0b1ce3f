// The setup window's controller against a local service: the bridge's
// messages, sending the accounts, saving the assignments, and config.json.
#include <sys/stat.h>
#include <unistd.h>

#include "SetupFixture.h"
#include "core/Background.h"
#include "manager/ManagerController.h"
#include "platform/fake/FakeSystemLog.h"
#include "support/LocalServer.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

using nlohmann::json;
using test::account;
using test::hasLine;
using Style = ManagerView::AlertStyle;
constexpr const char* kDevice = "0A1B2C3D-0000-4000-8000-00000000ABCD";

struct Alert {
    std::string title, text;
    Style style;
    bool operator==(const Alert&) const = default;
};

// What the window was asked to do, in order.
struct RecordingView : ManagerView {
    void presentAlert(const std::string& title, const std::string& text, Style style) override {
        alerts.push_back({title, text, style});
        if (onAlert) onAlert();  // while the alert is up
    }
    void load(const std::string& url) override { loads.push_back(url); }
    void terminate() override { ++terminations; }
    std::vector<Alert> alerts;
    std::function<void()> onAlert;
    std::vector<std::string> loads;
    int terminations = 0;
};

// The controller for user "parent", its conversations run on the test thread,
// against a service whose three calls answer with the status and body set here.
class ManagerControllerTest : public ::testing::Test {
  protected:
    struct Answer {
        int status = 200;
        std::string body;
    };
    ManagerControllerTest() {
        auto answer = [](const Answer* a) {
            return [a](const httplib::Request&, httplib::Response& res) {
                res.status = a->status;
                res.set_content(a->body, "application/json");
            };
        };
        service.server.Post("/api/SetDesktopSettings", answer(&desktopSettings));
        service.server.Get("/api/GetUsersForDeviceId", answer(&usersForDevice));
        service.server.Get("/api/GetChildAccountDevices", answer(&childAccountDevices));
        service.start();
        ServerClient::Options options;
        options.defaultBaseUrl = service.url() + "/";
        options.hardware = std::make_shared<platform::FakeHardwareIdentity>(kDevice);
        options.host = std::make_shared<platform::FakeHostInfo>("parents-mac.local");
        options.clock = clock;
        options.requestTimeout = std::chrono::seconds(2);
        server = ServerClient::create(options);
        root.setAccounts(
            json::array({account("parent", 501), account("emma", 502), account("max", 503)}),
            json::array({"parent"}));
        restart();
    }
    void restart() {  // a new run of the setup window
        view = std::make_shared<RecordingView>();
        controller = ManagerController::create(server, queue, background, clock, "parent");
        controller->attachView(view);
    }
    void send(const std::optional<std::string>& body) {
        controller->handleMessage(body);
        queue.runPending();
    }
    size_t requests(const std::string& path) const {
        const auto all = service.received();
        return std::count_if(all.begin(), all.end(), [&](const auto& r) { return r.path == path; });
    }
    std::vector<json> sent() const {
        std::vector<json> out;
        for (auto& r : service.received())
            if (r.path == "/api/SetDesktopSettings") out.push_back(json::parse(r.body));
        return out;
    }
    static json config() { return json::parse(test::readText(Paths::configFile())); }

    Answer desktopSettings{200, "{}"};
    Answer usersForDevice{200, R"(["emma"])"};
    Answer childAccountDevices{200, R"({"max":"d1","emma":"d2"})"};
    test::SetupRoot root;
    test::LocalServer service;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    InlineBackground background;
    std::shared_ptr<ServerClient> server;
    std::shared_ptr<ManagerController> controller;
    std::shared_ptr<RecordingView> view;
};

TEST_F(ManagerControllerTest, SignInSendsTheAccountsAndSavesTheAssignments) {
    controller->loadSignIn();
    EXPECT_EQ(view->loads,
              std::vector<std::string>{service.url() + "/Signin?type=desktop&deviceId=" + kDevice});
    controller->navigationFailed("The request timed out.");
    controller->provisionalNavigationFailed("Could not connect to the server.");

    send("updateData|tok-1");
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(sent()[0]["users"], json({"emma", "max", "parent"}));
    EXPECT_EQ(view->loads.back(), service.url() + "/AssignDesktopUsers?from=desktop");

    // Saving keeps the other settings, drops the old device id, stamps the time.
    test::writeText(
        Paths::configFile(),
        R"({"api":"https://kept.example/","device_id":"OLD","extra":{"k":[1]},"child_users":["old"]})");
    clock->setWall(fromUnixSeconds(1'767'225'600 + 3661.75));
    send("userCreated|x");
    EXPECT_EQ(config(), json({{"api", "https://kept.example/"},
                              {"extra", {{"k", {1}}}},
                              {"child_users", {"emma"}},
                              {"updated_at", "2026-01-01T01:01:01Z"}}));
    struct stat st {};
    ASSERT_EQ(::stat(Paths::configFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(view->alerts.size(), 1u);
    EXPECT_EQ(view->alerts[0].title, "Setup complete");
    EXPECT_EQ(view->alerts[0].text.rfind("Tarvo is now monitoring: emma\n\n", 0), 0u);
    for (const char* line : {"INFO  Load failed: The request timed out.",
                             "INFO  Couldn't reach 127.0.0.1: Could not connect to the server.",
                             "INFO  Sending 3 local account(s) to 127.0.0.1…",
                             "INFO  wrote config.json with child_users=[\"emma\"]"})
        EXPECT_TRUE(hasLine(test::logMessages(), std::string("[manager] ") + line)) << line;

    // A file that is not a JSON object is replaced whole.
    for (const char* existing : {"{not json", R"(["x"])"}) {
        test::writeText(Paths::configFile(), existing);
        controller->writeConfig({"a"});
        EXPECT_EQ(config(), json({{"api", server->api()},
                                  {"child_users", {"a"}},
                                  {"updated_at", "2026-01-01T01:01:01Z"}}));
    }
}

TEST_F(ManagerControllerTest, BridgeMessages) {
    const std::string long200(200, 'q');
    const struct {
        std::optional<std::string> body;
        std::string line;
        std::optional<std::string> token;
        size_t userQueries;
        int terminations;
    } cases[] = {
        {std::nullopt, "", std::nullopt, 0, 0},
        {"updateData|a&amp;b",
         "[manager] INFO  bridge payload contained HTML entities — decoded before use", "a&b", 0,
         0},
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
        restart();
        const size_t sentBefore = sent().size();
        const size_t queriesBefore = requests("/api/GetUsersForDeviceId");
        const size_t linesBefore = test::logMessages().size();
        send(c.body);
        const auto all = test::logMessages();
        const std::vector<std::string> lines(all.begin() + long(linesBefore), all.end());
        EXPECT_TRUE(c.line.empty() || hasLine(lines, c.line)) << testing::PrintToString(lines);
        EXPECT_EQ(controller->token(), c.token);
        EXPECT_EQ(sent().size() - sentBefore, c.token ? 1u : 0u);
        if (c.token) {
            EXPECT_EQ(sent().back()["token"], *c.token);
        }
        EXPECT_EQ(requests("/api/GetUsersForDeviceId") - queriesBefore, c.userQueries);
        EXPECT_EQ(view->terminations, c.terminations);
    }
}

TEST_F(ManagerControllerTest, AccountAlertsWaitForTheParent) {
    // Nothing goes out while an alert is up.
    std::vector<size_t> sentWhileUp;
    view->onAlert = [&] { sentWhileUp.push_back(sent().size()); };
    root.setAccounts(json::array({account("_www", 70)}), json::array());
    send("updateData|t");
    root.setAccounts(json::array({account("b", 502), account("a", 501)}), json::array({"A", "b"}));
    send("updateData|t");
    root.setAccounts(json::array({account("emma", 502)}), json::array());
    desktopSettings.status = 500;
    send("updateData|t");
    EXPECT_EQ(
        view->alerts,
        (std::vector<Alert>{
            {"No usable accounts found",
             "Tarvo couldn't find a standard user account on this Mac. Create a non-administrator "
             "account for your child in System Settings → Users & Groups, then run Tarvo setup "
             "again.",
             Style::Critical},
            {"All accounts are administrators",
             "Every account on this Mac is an administrator, and an administrator can turn Tarvo "
             "off. Create a standard (non-administrator) account for your child, then assign it "
             "here.",
             Style::Warning},
            {"Couldn't send accounts",
             "Tarvo couldn't reach the server to register this Mac's user accounts.\n\nHTTP 500",
             Style::Critical}}));
    EXPECT_EQ(sentWhileUp, (std::vector<size_t>{0, 0, 2}));
    ASSERT_EQ(sent().size(), 2u);
    EXPECT_EQ(sent()[0]["users"], json({"a", "b"}));
    EXPECT_EQ(sent()[1]["users"], json({"emma"}));
    EXPECT_EQ(view->loads.size(), 1u) << "only an accepted list opens the assignment page";
}

TEST_F(ManagerControllerTest, AssignmentsFallBackToTheTokensDevicesOrExplain) {
    usersForDevice = {500, ""};
    send("userCreated|1");  // no token yet: nothing to fall back on
    send("updateData|tok");
    send("userCreated|1");
    EXPECT_EQ(config()["child_users"], json({"emma", "max"}));
    std::filesystem::remove(Paths::configFile());
    childAccountDevices.status = 503;
    send("userCreated|1");
    EXPECT_EQ(requests("/api/GetChildAccountDevices"), 2u);
    EXPECT_EQ(service.received().back().target, "/api/GetChildAccountDevices?token=tok");
    EXPECT_FALSE(test::exists(Paths::configFile()));
    const Alert none{"No children assigned yet",
                     "Tarvo didn't get any monitored accounts back from the server. Assign at "
                     "least one child to a Mac account on the web page, then try again.",
                     Style::Warning};
    ASSERT_EQ(view->alerts.size(), 3u);
    EXPECT_EQ(view->alerts[0], none);
    EXPECT_EQ(view->alerts[1].title, "Setup complete");
    EXPECT_EQ(view->alerts[2], none);
}

TEST_F(ManagerControllerTest, WriteFailuresLeaveTheOldStateAndExplain) {
    // config.json is a directory that holds something: the rename cannot replace it.
    std::filesystem::create_directories(Paths::configFile() + "/inside");
    const std::string description =
        "Couldn't replace " + Paths::configFile() + " (errno " + std::to_string(EISDIR) + ").";
    send("userCreated|1");
    const Alert want{"Couldn't save settings",
                     "Tarvo couldn't write its configuration file.\n\n" + description +
                         "\n\nMake sure Tarvo is installed (the installer creates the folder "
                         "this app writes to).",
                     Style::Critical};
    EXPECT_EQ(view->alerts, std::vector<Alert>{want});
    EXPECT_TRUE(
        hasLine(test::logMessages(), "[manager] ERROR config write failed: " + description));
    EXPECT_TRUE(std::filesystem::is_directory(Paths::configFile() + "/inside"));
}

}  // namespace
}  // namespace tarvo
