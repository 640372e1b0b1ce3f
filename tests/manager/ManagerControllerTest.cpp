// The setup window's logic: the page's text (entities, bridge messages, hosts,
// list notation), this computer's accounts (through the dscl stand-in, and from
// made passwd and group files bind-mounted in a private mount namespace), and the
// controller against a local service (sending the accounts, saving the
// assignments, config.json).
#include <sys/stat.h>

#include "SetupFixture.h"
#include "manager/HtmlEntities.h"
#include "manager/ManagerController.h"
#include "platform/mac/LocalAccounts.h"
#include "platform/mac/MacServices.h"
#include "platform/system/LinuxAccountDirectory.h"
#include "support/FakeService.h"
#include "support/Processes.h"

namespace tarvo {
namespace {

using nlohmann::json;
using test::account;
using test::hasLine;
using Style = ManagerView::AlertStyle;

TEST(BridgeText, HtmlEntitiesDecodeLikeThePageEscapes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"&#x41;&#65;&#&#66;", "AA&#B"},
        {"&#X41;", "&#X41;"},          // only a lower-case x marks hexadecimal
        {"&#xD800;", "&#xD800;"},      // surrogates stay
        {"&#x110000;", "&#x110000;"},  // past the last code point
        {"&#x10FFFF;", "\xF4\x8F\xBF\xBF"},
        {"&#4294967296;", "&#4294967296;"},  // overflows 32 bits
        {"&#x0000000000041;", "A"},          // leading zeros are no overflow
        {"&lt;b&gt; &quot;x&quot; &apos;y&apos;", "<b> \"x\" 'y'"},
        {"&amp;lt; &amp;#65; &amp;amp;", "&lt; &#65; &amp;"},  // the ampersand comes back last
        {std::string(200000, '&'), std::string(200000, '&')},
    };
    for (const auto& [in, want] : cases)
        EXPECT_EQ(decodeHtmlEntities(in), want) << in.substr(0, 40);

    EXPECT_EQ(prefixCharacters("\xC3\xA9\xE2\x80\x94x", 2), "\xC3\xA9\xE2\x80\x94");
    EXPECT_EQ(ManagerController::listNotation({"emma", "a\"b"}), "[\"emma\", \"a\\\"b\"]");
}

TEST(LocalAccounts, UniqueIdsAndRealUsers) {
    const std::vector<std::pair<const char*, std::optional<std::uint32_t>>> ids = {
        {"+501", 501u},         {"4294967295", 4294967295u}, {"4294967296", std::nullopt},
        {"-501", std::nullopt}, {"", std::nullopt},          {"++5", std::nullopt}};
    for (const auto& [text, want] : ids)
        EXPECT_EQ(LocalAccounts::parseUniqueId(text), want) << text;

    // Real users: a uid from 500, a real home, no leading underscore.
    test::SetupRoot root;
    json users = {account("zoe", 502), account("Guest2", 601),   account("_mbsetupuser", 501),
                  account("old", 499), account("edge", 500),     account("alpha", 0),
                  account("noid", 0),  account("varempty", 512), account("Parent", 501)};
    users[0]["RealName"] = "Zoe Berg";
    users[5]["UniqueID"] = "abc";
    users[6].erase("UniqueID");
    users[7]["NFSHomeDirectory"] = "/var/empty";
    users[8]["RealName"] = "The Parent";
    root.setAccounts(users, json::array({"root", "parent", "zoe"}));
    const std::vector<LocalUserAccount> want = {
        {"Guest2", "", 601, false, false},
        {"Parent", "The Parent", 501, true, true},
        {"edge", "", 500, false, false},
        {"zoe", "Zoe Berg", 502, true, false},
    };
    EXPECT_EQ(LocalAccounts::enumerateRealUsers("Parent"), want);
    root.setAccounts(json::array(), json::array({"a b", "c"}));
    EXPECT_EQ(LocalAccounts::admins(), (std::vector<std::string>{"a", "b", "c"}));
    // A machine without the tool has no accounts to offer.
    std::filesystem::remove(Paths::dsclTool());
    EXPECT_TRUE(LocalAccounts::enumerateRealUsers("x").empty());
}

// What the directory answers with `passwd` and `group` in place, one account
// a line ("name|full name|uid|admin|current"), then "admins:" and the names.
std::string accountsWith(const std::string& passwd, const std::string& group,
                         const std::string& currentUser) {
    test::TempDir dir;
    test::writeText(dir / "passwd", passwd);
    test::writeText(dir / "group", group);
    return test::inPrivateMounts(
        {{dir / "passwd", "/etc/passwd"}, {dir / "group", "/etc/group"}}, [&] {
            std::string text;
            platform::LinuxAccountDirectory directory;
            for (const LocalUserAccount& a : directory.peopleAccounts(currentUser))
                text += a.name + "|" + a.fullName + "|" + std::to_string(a.uid) + "|" +
                        (a.isAdmin ? "admin" : "") + "|" + (a.isCurrentUser ? "current" : "") +
                        "\n";
            text += "admins:";
            for (const std::string& name : directory.administrators()) text += " " + name;
            return text;
        });
}

// People's accounts: a uid from 1000 to 60000 and a shell to log in with;
// administrators by membership of sudo, wheel or admin, or as primary group.
TEST(LinuxAccounts, PeopleHaveAUserUidAndALoginShellAdminsComeFromTheirGroups) {
    const std::pair<const char*, bool> cases[] = {
        {"/bin/bash", true},          {"", true},  // an empty field means /bin/sh
        {"/usr/sbin/nologin", false}, {"/sbin/nologin", false},
        {"/bin/false", false},        {"/usr/bin/falsehood", true},
        {"nologin", false},
    };
    for (const auto& [shell, login] : cases)
        EXPECT_EQ(platform::LinuxAccountDirectory::isLoginShell(shell), login) << shell;
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
    const std::string passwd =
        "root:x:0:0:root:/root:/bin/bash\n"
        "svc:x:999:999::/var/lib/svc:/bin/bash\n"
        "emma:x:1000:1000:Emma Berg,,,:/home/emma:/bin/bash\n"
        "parent:x:1001:1001:The Parent:/home/parent:/usr/bin/zsh\n"
        "noshell:x:1002:1002::/home/noshell:/usr/sbin/nologin\n"
        "falsy:x:1003:1003::/home/falsy:/bin/false\n"
        "blank:x:1004:1004::/home/blank:\n"
        "wheeler:x:1005:10::/home/wheeler:/bin/sh\n"
        "last:x:60000:60000::/home/last:/bin/bash\n"
        "beyond:x:60001:60001::/home/beyond:/bin/bash\n"
        "nobody:x:65534:65534:nobody:/nonexistent:/bin/bash\n"
        "emma:x:1000:1000:Emma again:/home/emma:/bin/bash\n";
    const std::string group =
        "root:x:0:\n"
        "wheel:x:10:\n"
        "sudo:x:27:parent,svc\n"
        "users:x:100:emma\n"
        "admin:x:115:blank\n";
    EXPECT_EQ(accountsWith(passwd, group, "emma"),
              "blank||1004|admin|\n"
              "emma|Emma Berg|1000||current\n"
              "last||60000||\n"
              "parent|The Parent|1001|admin|\n"
              "wheeler||1005|admin|\n"
              "admins: blank parent svc wheeler");
    // Without any of the groups nobody is an administrator.
    EXPECT_EQ(accountsWith(passwd, "users:x:100:emma\n", "nobody"),
              "blank||1004||\nemma|Emma Berg|1000||\nlast||60000||\nparent|The Parent|1001||\n"
              "wheeler||1005||\nadmins:");
}

std::string alert(const std::string& title, Style style) {
    return title + " (" + std::to_string(static_cast<int>(style)) + ")";
}

// Alerts stay up until the test dismisses them.
struct RecordingView : ManagerView {
    void presentAlert(const std::string& title, const std::string& text, Style style,
                      std::function<void()> dismissed) override {
        alerts.push_back(alert(title, style));
        texts.push_back(text);
        up.push_back(std::move(dismissed));
    }
    void load(const std::string& url) override { loads.push_back(url); }
    void terminate() override { ++terminations; }
    void dismissAll() {
        for (auto& dismissed : std::exchange(up, {}))
            if (dismissed) dismissed();
    }
    std::vector<std::string> alerts, texts, loads;
    std::vector<std::function<void()>> up;
    int terminations = 0;
};

// The controller for user "parent", its conversations run on the test thread.
class ManagerControllerTest : public ::testing::Test {
  protected:
    ManagerControllerTest() {
        service.answer("/api/GetUsersForDeviceId", 200, R"(["emma"])");
        service.answer("/api/GetChildAccountDevices", 200, R"({"max":"d1","emma":"d2"})");
        auto options = test::testOptions(clock);
        options.defaultBaseUrl = service.url() + "/";
        server = ServerClient::create(options);
        root.setAccounts(
            json::array({account("parent", 501), account("emma", 502), account("max", 503)}),
            json::array({"parent"}));
        restart();
    }
    void restart() {  // a new run of the setup window
        view = std::make_shared<RecordingView>();
        controller = ManagerController::create(server, queue, background, clock, "parent",
                                               std::make_shared<platform::MacAccountDirectory>());
        controller->attachView(view);
    }
    // A message from `page`, by default the service's sign-in page.
    void send(const std::optional<std::string>& body, std::optional<std::string> page = {}) {
        controller->handleMessage(body, page.value_or(service.url() + "/Signin?type=desktop"));
        queue.runPending();
    }
    std::vector<json> sent() const {
        std::vector<json> out;
        for (auto& r : service.requests("/api/SetDesktopSettings"))
            out.push_back(json::parse(r.body));
        return out;
    }
    static json config() { return json::parse(test::readText(Paths::configFile())); }

    test::SetupRoot root;
    test::FakeService service;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    InlineBackground background;
    std::shared_ptr<ServerClient> server;
    std::shared_ptr<ManagerController> controller;
    std::shared_ptr<RecordingView> view;
};

TEST_F(ManagerControllerTest, SignInSendsTheAccountsAndSavesTheAssignmentsOrExplains) {
    controller->loadSignIn();
    EXPECT_EQ(view->loads, std::vector<std::string>{
                               service.url() + "/Signin?type=desktop&deviceId=" + test::kTestUuid});

    send("updateData|tok-1");

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
    EXPECT_EQ(view->alerts,
              std::vector<std::string>{alert("Setup complete", Style::Informational)});
    EXPECT_EQ(view->texts[0].rfind("Tarvo is now monitoring: emma\n\n", 0), 0u);

    // Without the device's users the token's devices decide; without those, it explains.
    service.answer("/api/GetUsersForDeviceId", 500, "");
    send("userCreated|1");
    EXPECT_EQ(config()["child_users"], json({"emma", "max"}));
    std::filesystem::remove(Paths::configFile());
    service.answer("/api/GetChildAccountDevices", 503, "");
    send("userCreated|1");
    EXPECT_EQ(service.requests("/api/GetChildAccountDevices").back().target,
              "/api/GetChildAccountDevices?token=tok-1");
    EXPECT_FALSE(test::exists(Paths::configFile()));
    EXPECT_EQ(view->alerts.back(), alert("No children assigned yet", Style::Warning));

    // config.json is a directory that holds something: the rename cannot replace it.
    service.answer("/api/GetChildAccountDevices", 200, R"({"emma":"d2"})");
    std::filesystem::create_directories(Paths::configFile() + "/inside");
    const std::string description =
        "Couldn't replace " + Paths::configFile() + " (errno " + std::to_string(EISDIR) + ").";
    send("userCreated|1");
    EXPECT_EQ(view->alerts.back(), alert("Couldn't save settings", Style::Critical));
    EXPECT_NE(view->texts.back().find("\n\n" + description + "\n\n"), std::string::npos);
    EXPECT_TRUE(hasLine(test::logMessages(Paths::managerLog()),
                        "[manager] ERROR config write failed: " + description));
    EXPECT_TRUE(std::filesystem::is_directory(Paths::configFile() + "/inside"));

    // A config.json no administrator wrote lends the new one nothing: not its
    // server, not its other keys.
    std::filesystem::remove_all(Paths::configFile());
    test::writeText(Paths::configFile(), R"({"api":"https://child.example/","mine":1})");
    ASSERT_EQ(::chown(Paths::configFile().c_str(), test::kNobody, test::kNobody), 0);
    send("userCreated|1");
    EXPECT_EQ(config(), json({{"api", service.url() + "/"},
                              {"child_users", {"emma"}},
                              {"updated_at", "2026-01-01T01:01:01Z"}}));
    EXPECT_TRUE(hasLine(test::logMessages(Paths::managerLog()),
                        "[manager] WARN  ignoring " + Paths::configFile() + ": owned by uid " +
                            std::to_string(test::kNobody) + ", neither root nor an administrator"));
}

// What each message led to: requests (the token sent, the users asked for, and
// without a token nothing else), the window closed, the warning logged. Only
// pages of the service's origin (scheme, host and port of its base URL) are
// heard; any other page the window shows is refused with a line.
TEST_F(ManagerControllerTest, BridgeMessages) {
    service.answer("/api/GetUsersForDeviceId", 500, "");
    const std::string port = service.url().substr(service.url().rfind(':') + 1);
    const std::string otherPort = std::to_string(std::stoi(port) + 1);
    const std::string own = service.url() + "/AssignDesktopUsers?from=desktop#top";
    // An empty outcome for a message: refused for its page.
    const std::tuple<std::optional<std::string>, std::string, std::string> cases[] = {
        {std::nullopt, own, "nothing"},
        {"updateData|a&amp;b", own, "sent a&b"},
        {"|updateData||t|", own, "sent |t|"},
        {"updateData|", own, "WARN  unrecognised bridge message: updateData (11 characters)"},
        {"userCreated|whatever", own, "asked"},
        {"closeAppNow", own, "closed"},
        {"UpdateData|x", own, "WARN  unknown verb 'UpdateData'"},
        {"||tok", own, "WARN  unrecognised bridge message:  (5 characters)"},
        {"updateData|t", "http://127.0.0.2:" + port + "/Signin", ""},
        {"updateData|t", "http://127.0.0.1:" + otherPort + "/Signin", ""},
        {"updateData|t", "https://127.0.0.1:" + port + "/Signin", ""},
        {"updateData|t", "about:blank", ""},
        {"updateData|t", "", ""},
    };
    for (auto [body, page, want] : cases) {
        SCOPED_TRACE(body.value_or("(not a string)") + " from " + page);
        if (want.empty())
            want = "WARN  ignoring a bridge message from " +
                   (page.empty() ? std::string("a page without an address") : "'" + page + "'") +
                   ": not a page of http://127.0.0.1:" + port;
        restart();
        const size_t before = service.requests().size();
        send(body, page);
        const auto all = service.requests();
        std::string did = view->terminations ? "closed" : "";
        for (auto r = all.begin() + long(before); r != all.end(); ++r)
            did += r->path == "/api/SetDesktopSettings"
                       ? "sent " + json::parse(r->body)["token"].get<std::string>()
                       : "asked";
        const auto log = test::logMessages(Paths::managerLog());
        if (!log.empty() && log.back().find("WARN") != std::string::npos)
            did += log.back().substr(10);
        EXPECT_EQ(did.empty() ? "nothing" : did, want);
        EXPECT_EQ(controller->token().has_value(), did.starts_with("sent"));
    }
}

// manager.log is readable by every user: a message shows as the text before
// its first bar, cut at 80 characters, and the whole message's length.
TEST_F(ManagerControllerTest, TheLogShowsEachMessagesVerbAndLengthButNeverItsToken) {
    const std::string q80(80, 'q');
    std::string e80;
    for (int i = 0; i < 80; ++i) e80 += "\xC3\xA9";  // é
    const std::pair<std::string, std::string> cases[] = {
        {R"({"type":"ping"})", R"({"type":"ping"} (15 characters))"},
        {q80 + "|tok-SECRET-2", q80 + " (93 characters)"},
        {q80 + "q|tok-SECRET-3", q80 + " (94 characters)"},
        {"\xC3\xA9\xE2\x82\xAC|\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC (4 characters)"},
        {e80 + "\xC3\xA9|tok-SECRET-4", e80 + " (94 characters)"},
    };
    for (const auto& [body, want] : cases) {
        SCOPED_TRACE(body);
        restart();
        send(body);
        EXPECT_TRUE(
            hasLine(test::logMessages(Paths::managerLog()), "[manager] INFO  web → host: " + want));
    }
    EXPECT_EQ(test::readText(Paths::managerLog()).find("SECRET"), std::string::npos);
}

TEST_F(ManagerControllerTest, AccountAlertsWaitForTheParent) {
    // The administrators' warning holds the accounts back until it is dismissed.
    std::vector<size_t> sentWhileUp;
    root.setAccounts(json::array({account("_www", 70)}), json::array());
    send("updateData|t");
    sentWhileUp.push_back(sent().size());
    view->dismissAll();
    root.setAccounts(json::array({account("b", 502), account("a", 501)}), json::array({"A", "b"}));
    send("updateData|t");
    sentWhileUp.push_back(sent().size());
    view->dismissAll();
    queue.runPending();
    root.setAccounts(json::array({account("emma", 502)}), json::array());
    service.answer("/api/SetDesktopSettings", 500, "{}");
    send("updateData|t");
    sentWhileUp.push_back(sent().size());
    EXPECT_EQ(view->alerts,
              (std::vector<std::string>{alert("No usable accounts found", Style::Critical),
                                        alert("All accounts are administrators", Style::Warning),
                                        alert("Couldn't send accounts", Style::Critical)}));
    EXPECT_TRUE(view->texts[2].ends_with("user accounts.\n\nHTTP 500")) << view->texts[2];
    EXPECT_EQ(sentWhileUp, (std::vector<size_t>{0, 0, 2}));
    ASSERT_EQ(sent().size(), 2u);
    EXPECT_EQ(sent()[0]["users"], json({"a", "b"}));
    EXPECT_EQ(view->loads.size(), 1u) << "only an accepted list opens the assignment page";
}

}  // namespace
}  // namespace tarvo
