// The client's own classes against a real tarvo-service: every call of the
// contract, from both sides.
#include <set>

#include "ServiceFixture.h"
#include "chat/ChatService.h"
#include "updater/Updater.h"

namespace tarvo::test {
namespace {

using nlohmann::json;
using Kind = ServerClient::SSEEvent::Kind;

template <typename F>
std::string serverError(F&& call) {
    try {
        call();
    } catch (const ServerError& e) {
        return e.what();
    }
    return "no error";
}

TEST_F(ServiceTest, SettingsAndLimitsReachTheClientAndFollowTheDashboard) {
    auto c = client();
    c->checkInCurrentUser();
    const auto rules = c->fetchRules();
    EXPECT_EQ(rules.whitelist,
              (std::vector<std::string>{"wikipedia.org", "khanacademy.org", "example.com"}));
    EXPECT_EQ(rules.blacklist, std::vector<std::string>{"example.org"});
    EXPECT_EQ(rules.deviceId, kDevice);
    ASSERT_EQ(rules.accessWindows.size(), 7u);
    EXPECT_EQ(rules.accessWindows[3].endMinutes, 24 * 60);
    EXPECT_EQ(c->fetchAppLimits().dailyMinutes, 120);

    auto parent = demoParent();
    parent.postOk(childApi(parent) + "/rules",
                  {{"whitelist", {"School.example", " docs.example "}},
                   {"blacklist", json::array()},
                   {"accessWindows", {{{"day", 6}, {"start", 22 * 60}, {"end", 1440}}}}});
    parent.postOk(
        childApi(parent) + "/limits",
        {{"dailyMinutes", 45}, {"warnMinutes", 10}, {"allowedApps", {"Com.Apple.Safari"}}});
    const auto after = c->fetchRules();
    EXPECT_EQ(after.whitelist, (std::vector<std::string>{"school.example", "docs.example"}));
    EXPECT_TRUE(after.blacklist.empty());
    ASSERT_EQ(after.accessWindows.size(), 1u);
    EXPECT_EQ(after.accessWindows[0].dayOfWeek, 6);
    EXPECT_EQ(after.accessWindows[0].startMinutes, 22 * 60);
    const auto limits = c->fetchAppLimits();
    EXPECT_EQ(limits.dailyMinutes, 45);
    EXPECT_EQ(limits.warnAtMinutesRemaining, 10);
    EXPECT_EQ(limits.allowedBundleIds, std::set<std::string>{"com.apple.safari"});

    const auto devices = parent.overview()["devices"];  // the check-in
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]["computerName"], "kids-mac");
    EXPECT_TRUE(devices[0]["lastCheckin"].is_string());

    EXPECT_EQ(serverError([&] { client("visitor")->fetchRules(); }), "HTTP 404")
        << "settings for an account no child uses";
}

TEST_F(ServiceTest, GrantsComeThroughTheStreamOrThePollButOnlyOnce) {
    auto c = client();
    EventLog log;
    auto session = c->subscribeEvents(nullptr, log.handler());
    ASSERT_TRUE(service->waitForLog("stream opened"));
    auto parent = demoParent();
    parent.postOk(childApi(parent) + "/rules", {{"whitelist", {"pushed.example"}},
                                                {"blacklist", json::array()},
                                                {"accessWindows", json::array()}});
    auto e = log.at(0);
    ASSERT_TRUE(e && e->kind == Kind::rulesUpdated);
    EXPECT_EQ(e->rules.whitelist, std::vector<std::string>{"pushed.example"});
    EXPECT_EQ(e->rules.deviceId, kDevice);

    c->requestMoreTime(20, "homework");
    const auto request = parent.child("Demo Child")["requests"][0];
    EXPECT_EQ(request["status"], "pending");
    EXPECT_EQ(request["reason"], "homework");
    const std::string decide = "/web/api/requests/" + request["id"].dump() + "/decide";
    EXPECT_EQ(parent.postOk(decide, {{"grant", true}, {"minutes", 25}})["pushed"], true);
    e = log.at(1);
    ASSERT_TRUE(e && e->kind == Kind::moreTimeApproved);
    EXPECT_EQ(e->minutes, 25);
    EXPECT_EQ(c->checkMoreTimeApproval(), 0) << "handed out twice";
    EXPECT_EQ(parent.post(decide, {{"grant", true}})->status, 409) << "decided again";

    parent.postOk(childApi(parent) + "/limits",
                  {{"dailyMinutes", 30}, {"warnMinutes", 5}, {"allowedApps", json::array()}});
    parent.postOk(childApi(parent) + "/refresh", json::object());
    for (size_t n : {2, 3}) {
        e = log.at(n);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->kind, Kind::forceUpdate);
    }
    session->cancel();
}

// Without a stream the grant waits for the poll; a denial gives nothing.
TEST_F(ServiceTest, WithoutAStreamAGrantComesThroughThePollOnce) {
    auto c = client();
    auto parent = demoParent();
    c->requestMoreTime(15, "reading");
    c->requestMoreTime(10, "game");
    const auto requests = parent.child("Demo Child")["requests"];
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& r : requests) {
        const auto out = parent.postOk("/web/api/requests/" + r["id"].dump() + "/decide",
                                       {{"grant", r["reason"] == "reading"}});
        EXPECT_EQ(out["pushed"], false);
    }
    EXPECT_EQ(c->checkMoreTimeApproval(), 15);
    EXPECT_EQ(c->checkMoreTimeApproval(), 0);
}

TEST_F(ServiceTest, UsageAndAppLimitReportsMakeTheChartAndTheSeenApps) {
    auto c = client();
    const auto now = std::chrono::system_clock::now();
    c->reportUsage({{"com.apple.Safari", "Safari", 600, now},
                    {"org.game", "Game", 120, now},
                    {"com.apple.Safari", "Safari", 300, now - std::chrono::hours(24 * 3)}});
    c->reportAppLimitReached("org.game", "Game");
    auto parent = demoParent();
    const auto child = parent.child("Demo Child");
    std::map<std::string, std::int64_t> today, week;
    for (const auto& u : child["usageToday"]) today[u["bundleId"]] = u["seconds"];
    for (const auto& u : child["usageWeek"]) week[u["bundleId"]] = u["seconds"];
    EXPECT_EQ(today,
              (std::map<std::string, std::int64_t>{{"com.apple.Safari", 600}, {"org.game", 120}}));
    EXPECT_EQ(week["com.apple.Safari"], 900);
    EXPECT_EQ(child["seenApps"].size(), 2u);
    ASSERT_EQ(child["blockedApps"].size(), 1u);
    EXPECT_EQ(child["blockedApps"][0]["bundleId"], "org.game");
}

TEST_F(ServiceTest, ChatGoesBothWaysWithParentsNamesAndReadMarks) {
    ChatService chat(service->url(), kDevice, "kid");
    const auto sent = chat.send("can I play?");
    EXPECT_EQ(sent.from, "child");
    EXPECT_TRUE(sent.sentAt.has_value());
    auto parent = demoParent();
    parent.postOk(childApi(parent) + "/chat", {{"text", "after dinner"}});

    const auto poll = chat.poll(sent.id);
    ASSERT_EQ(poll.messages.size(), 1u);
    EXPECT_EQ(poll.messages[0].from, "parent");
    EXPECT_EQ(poll.messages[0].text, "after dinner");
    EXPECT_EQ(poll.messages[0].senderName, std::optional<std::string>("Demo Parent"));
    EXPECT_EQ(poll.parentNames, std::vector<std::string>{"Demo Parent"});
    EXPECT_EQ(chat.poll(0).messages.size(), 2u);

    EXPECT_TRUE(chat.markRead({poll.messages[0].id, sent.id}, std::chrono::system_clock::now()));
    chat.reportStatus(false, std::string("HTTP 500: boom"));
    const auto overview = parent.overview();
    const auto& messages = overview["children"][0]["chat"];
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(messages[1]["readByChildAt"].is_string());
    EXPECT_TRUE(messages[0]["readByChildAt"].is_null()) << "the child's own message";
    const auto& account = overview["devices"][0]["accounts"][0];
    EXPECT_EQ(account["chatOk"], false);
    EXPECT_EQ(account["chatError"], "HTTP 500: boom");
}

TEST_F(ServiceTest, SetupSendsAccountsAndReadsBackTheAssignments) {
    ParentSession parent(service->port());
    auto r = parent.signIn(kDemoEmail, kDemoPassword, kDevice);
    ASSERT_TRUE(r && r->status == 200);
    const std::string token = json::parse(r->body)["token"];
    auto c = client("");
    c->setDesktopSettings(token, {"alice", "kid", "parent"});
    EXPECT_EQ(parent.overview()["devices"][0]["accounts"].size(), 3u);

    const auto created = parent.postOk("/web/api/children", {{"name", "Alice"}});
    parent.postOk(
        "/web/api/assign",
        {{"deviceId", kDevice}, {"assignments", {{"alice", created["id"]}, {"parent", nullptr}}}});
    EXPECT_EQ(c->getUsersForDeviceId(), (std::vector<std::string>{"alice", "kid"}));
    EXPECT_EQ(c->getChildAccountDevices(token),
              (std::map<std::string, std::string>{{"alice", kDevice}, {"kid", kDevice}}));
    EXPECT_TRUE(client("alice")->fetchRules().whitelist.empty());
    EXPECT_EQ(serverError([&] { c->setDesktopSettings("not-a-token", {"alice"}); }), "HTTP 401");
}

TEST_F(ServiceTest, UpdateManifestAndHttpsWithTheGivenCertificate) {
    Updater::setEnvironment({});
    EXPECT_FALSE(Updater::fetchManifest().has_value());
    TempDir updates;
    writeText(updates / "manifest.json", json{{"version", "0.3.0"},
                                              {"url", "https://updates.example/Tarvo-0.3.0.pkg"},
                                              {"sha256", "ABCDEF"}}
                                             .dump());
    const auto& certs = TestCertificates::get();
    restart({"--updates", updates.path(), "--cert", certs.certFile, "--key", certs.keyFile});
    ASSERT_EQ(service->url().rfind("https://", 0), 0u);
    EnvGuard trust("SSL_CERT_FILE", certs.caFile);
    const auto manifest = Updater::fetchManifest();
    ASSERT_TRUE(manifest.has_value());
    EXPECT_EQ(manifest->version, "0.3.0");
    EXPECT_EQ(manifest->sha256, std::optional<std::string>("abcdef"));
    EXPECT_EQ(client()->fetchAppLimits().dailyMinutes, 120);

    // Over HTTPS the session cookie is marked Secure as well.
    httplib::SSLClient https("127.0.0.1", service->port());
    https.set_ca_cert_path(certs.caFile.c_str());
    auto r = https.Post("/web/api/signin",
                        json{{"email", kDemoEmail}, {"password", kDemoPassword}}.dump(),
                        "application/json");
    ASSERT_TRUE(r);
    const std::string cookie = r->get_header_value("Set-Cookie");
    for (const char* flag : {"; HttpOnly", "; SameSite=Strict", "; Secure"})
        EXPECT_NE(cookie.find(flag), std::string::npos) << flag;
}

}  // namespace
}  // namespace tarvo::test
