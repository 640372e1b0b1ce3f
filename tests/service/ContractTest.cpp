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

TEST_F(ServiceTest, SeededSettingsAndLimitsReachTheClientAndFollowTheDashboard) {
    auto c = client();
    c->checkInCurrentUser();
    const auto rules = c->fetchRules();
    EXPECT_EQ(rules.whitelist,
              (std::vector<std::string>{"wikipedia.org", "khanacademy.org", "example.com"}));
    EXPECT_EQ(rules.blacklist, std::vector<std::string>{"example.org"});
    EXPECT_EQ(rules.deviceId, kDevice);
    ASSERT_EQ(rules.accessWindows.size(), 7u);
    EXPECT_EQ(rules.accessWindows[3].dayOfWeek, 3);
    EXPECT_EQ(rules.accessWindows[3].startMinutes, 0);
    EXPECT_EQ(rules.accessWindows[3].endMinutes, 24 * 60);
    const auto limits = c->fetchAppLimits();
    EXPECT_EQ(limits.dailyMinutes, 120);
    EXPECT_EQ(limits.warnAtMinutesRemaining, 5);
    EXPECT_TRUE(limits.allowedBundleIds.empty());

    auto parent = demoParent();
    const auto id = parent.child("Demo Child")["id"].get<std::int64_t>();
    parent.postOk("/web/api/children/" + std::to_string(id) + "/rules",
                  {{"whitelist", {"School.example", " docs.example "}},
                   {"blacklist", json::array()},
                   {"accessWindows", {{{"day", 6}, {"start", 22 * 60}, {"end", 1440}}}}});
    parent.postOk(
        "/web/api/children/" + std::to_string(id) + "/limits",
        {{"dailyMinutes", 45}, {"warnMinutes", 10}, {"allowedApps", {"Com.Apple.Safari"}}});

    const auto after = c->fetchRules();
    EXPECT_EQ(after.whitelist, (std::vector<std::string>{"school.example", "docs.example"}));
    EXPECT_TRUE(after.blacklist.empty());
    ASSERT_EQ(after.accessWindows.size(), 1u);
    EXPECT_EQ(after.accessWindows[0].dayOfWeek, 6);
    EXPECT_EQ(after.accessWindows[0].startMinutes, 22 * 60);
    EXPECT_EQ(after.accessWindows[0].endMinutes, 1440);
    const auto newLimits = c->fetchAppLimits();
    EXPECT_EQ(newLimits.dailyMinutes, 45);
    EXPECT_EQ(newLimits.warnAtMinutesRemaining, 10);
    EXPECT_EQ(newLimits.allowedBundleIds, std::set<std::string>{"com.apple.safari"});

    // The check-in shows on the dashboard.
    const auto devices = parent.overview()["devices"];
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0]["computerName"], "kids-mac");
    EXPECT_EQ(devices[0]["version"], "0.2.15");
    EXPECT_TRUE(devices[0]["lastCheckin"].is_string());
}

TEST_F(ServiceTest, AnUnassignedAccountGetsNoSettings) {
    auto stranger = client("visitor");
    try {
        stranger->fetchRules();
        FAIL() << "settings for an account no child uses";
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "HTTP 404");
    }
    EXPECT_EQ(stranger->checkMoreTimeApproval(), 0);
}

TEST_F(ServiceTest, TheEventStreamDeliversRulesGrantsAndForcedUpdates) {
    auto c = client();
    EventLog log;
    auto session = c->subscribeEvents(log.onActivity(), log.handler());
    ASSERT_TRUE(service->waitForLog("stream opened"));

    auto parent = demoParent();
    const auto id = std::to_string(parent.child("Demo Child")["id"].get<std::int64_t>());
    parent.postOk("/web/api/children/" + id + "/rules", {{"whitelist", {"pushed.example"}},
                                                         {"blacklist", {"bad.example"}},
                                                         {"accessWindows", json::array()}});
    ASSERT_TRUE(waitUntil([&] { return log.size() >= 1; }));
    ASSERT_EQ(log.at(0).kind, Kind::rulesUpdated);
    EXPECT_EQ(log.at(0).rules.whitelist, std::vector<std::string>{"pushed.example"});
    EXPECT_EQ(log.at(0).rules.blacklist, std::vector<std::string>{"bad.example"});
    EXPECT_EQ(log.at(0).rules.deviceId, kDevice);

    c->requestMoreTime(20, "homework");
    const auto request = parent.child("Demo Child")["requests"][0];
    EXPECT_EQ(request["status"], "pending");
    EXPECT_EQ(request["minutes"], 20);
    EXPECT_EQ(request["reason"], "homework");
    const auto decided =
        parent.postOk("/web/api/requests/" + std::to_string(request["id"].get<int>()) + "/decide",
                      {{"grant", true}, {"minutes", 25}});
    EXPECT_EQ(decided["pushed"], true);
    ASSERT_TRUE(waitUntil([&] { return log.size() >= 2; }));
    ASSERT_EQ(log.at(1).kind, Kind::moreTimeApproved);
    EXPECT_EQ(log.at(1).minutes, 25);
    // Handed out once: the approval poll does not grant it again.
    EXPECT_EQ(c->checkMoreTimeApproval(), 0);

    parent.postOk("/web/api/children/" + id + "/limits",
                  {{"dailyMinutes", 30}, {"warnMinutes", 5}, {"allowedApps", json::array()}});
    ASSERT_TRUE(waitUntil([&] { return log.size() >= 3; }));
    EXPECT_EQ(log.at(2).kind, Kind::forceUpdate);
    parent.postOk("/web/api/children/" + id + "/refresh", json::object());
    ASSERT_TRUE(waitUntil([&] { return log.size() >= 4; }));
    EXPECT_EQ(log.at(3).kind, Kind::forceUpdate);
    session->cancel();
}

TEST_F(ServiceTest, WithoutAStreamAGrantArrivesThroughThePollOnceAndADenialGivesNothing) {
    auto c = client();
    auto parent = demoParent();
    c->requestMoreTime(15, "reading");
    c->requestMoreTime(10, "game");
    const auto requests = parent.child("Demo Child")["requests"];
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& r : requests) {
        const bool grant = r["reason"] == "reading";
        const auto out =
            parent.postOk("/web/api/requests/" + std::to_string(r["id"].get<int>()) + "/decide",
                          {{"grant", grant}});
        EXPECT_EQ(out["pushed"], false);
    }
    EXPECT_EQ(c->checkMoreTimeApproval(), 15);
    EXPECT_EQ(c->checkMoreTimeApproval(), 0);
    // A decided request cannot be decided again.
    auto again =
        parent.post("/web/api/requests/" + std::to_string(requests[0]["id"].get<int>()) + "/decide",
                    {{"grant", true}});
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 409);
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
    EXPECT_EQ(today["com.apple.Safari"], 600);
    EXPECT_EQ(today["org.game"], 120);
    EXPECT_EQ(week["com.apple.Safari"], 900);
    EXPECT_EQ(child["seenApps"].size(), 2u);
    ASSERT_EQ(child["blockedApps"].size(), 1u);
    EXPECT_EQ(child["blockedApps"][0]["bundleId"], "org.game");
}

TEST_F(ServiceTest, ChatGoesBothWaysWithParentsNamesAndReadMarks) {
    ChatService chat(service->url(), kDevice, "kid");
    const auto sent = chat.send("can I play?");
    EXPECT_GT(sent.id, 0);
    EXPECT_EQ(sent.from, "child");
    EXPECT_EQ(sent.text, "can I play?");
    EXPECT_TRUE(sent.sentAt.has_value());

    auto parent = demoParent();
    const auto id = std::to_string(parent.child("Demo Child")["id"].get<std::int64_t>());
    parent.postOk("/web/api/children/" + id + "/chat", {{"text", "after dinner"}});

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
    // The child cannot mark its own message as read by itself.
    EXPECT_TRUE(messages[0]["readByChildAt"].is_null());
    const auto& account = overview["devices"][0]["accounts"][0];
    EXPECT_EQ(account["chatOk"], false);
    EXPECT_EQ(account["chatError"], "HTTP 500: boom");
}

TEST_F(ServiceTest, SetupSendsAccountsAndReadsBackTheAssignments) {
    ParentSession parent(service->port());
    auto r = parent.signIn(kDemoEmail, kDemoPassword, kDevice);
    ASSERT_TRUE(r && r->status == 200);
    const std::string token = json::parse(r->body)["token"];
    ASSERT_FALSE(token.empty());

    auto c = client("");
    c->setDesktopSettings(token, {"alice", "kid", "parent"});
    auto overview = parent.overview();
    EXPECT_EQ(overview["setupDevice"], kDevice);
    std::vector<std::string> accounts;
    for (const auto& a : overview["devices"][0]["accounts"]) accounts.push_back(a["account"]);
    EXPECT_EQ(accounts, (std::vector<std::string>{"alice", "kid", "parent"}));

    const auto created = parent.postOk("/web/api/children", {{"name", "Alice"}});
    parent.postOk(
        "/web/api/assign",
        {{"deviceId", kDevice}, {"assignments", {{"alice", created["id"]}, {"parent", nullptr}}}});
    EXPECT_EQ(c->getUsersForDeviceId(), (std::vector<std::string>{"alice", "kid"}));
    EXPECT_EQ(c->getChildAccountDevices(token),
              (std::map<std::string, std::string>{{"alice", kDevice}, {"kid", kDevice}}));
    // Alice's account now has settings of its own.
    EXPECT_TRUE(client("alice")->fetchRules().whitelist.empty());

    try {
        c->setDesktopSettings("not-a-token", {"alice"});
        FAIL() << "accepted a made-up token";
    } catch (const ServerError& e) {
        EXPECT_STREQ(e.what(), "HTTP 401");
    }
}

TEST_F(ServiceTest, UpdateManifestIsOfferedFromTheUpdatesFolderElse404) {
    Updater::setEnvironment({});
    EXPECT_FALSE(Updater::fetchManifest().has_value());

    TempDir updates;
    writeText(updates / "manifest.json", json{{"version", "0.3.0"},
                                              {"url", "https://updates.example/Tarvo-0.3.0.pkg"},
                                              {"sha256", "ABCDEF"},
                                              {"minimumSystemVersion", "13.0"}}
                                             .dump());
    service->stop();
    service->extraArgs.insert(service->extraArgs.end(), {"--updates", updates.path()});
    service->start();
    const auto manifest = Updater::fetchManifest();
    ASSERT_TRUE(manifest.has_value());
    EXPECT_EQ(manifest->version, "0.3.0");
    EXPECT_EQ(manifest->url, "https://updates.example/Tarvo-0.3.0.pkg");
    EXPECT_EQ(manifest->sha256, std::optional<std::string>("abcdef"));
    EXPECT_EQ(manifest->minimumSystemVersion, std::optional<std::string>("13.0"));
}

TEST_F(ServiceTest, HttpsWithTheGivenCertificateIsTrustedThroughSslCertFile) {
    const auto& certs = TestCertificates::get();
    service->stop();
    service->extraArgs.insert(service->extraArgs.end(),
                              {"--cert", certs.certFile, "--key", certs.keyFile});
    service->start();
    ASSERT_EQ(service->url().rfind("https://", 0), 0u);
    writeText(Paths::configFile(), json{{"api", service->url()}, {"device_id", kDevice}}.dump());
    EnvGuard trust("SSL_CERT_FILE", certs.caFile);
    auto c = client();
    EXPECT_EQ(c->fetchAppLimits().dailyMinutes, 120);
    EventLog log;
    auto session = c->subscribeEvents(log.onActivity(), log.handler());
    ASSERT_TRUE(service->waitForLog("stream opened"));
    session->cancel();

    // Over HTTPS the session cookie is marked Secure as well.
    httplib::SSLClient https("127.0.0.1", service->port());
    https.set_ca_cert_path(certs.caFile.c_str());
    auto r = https.Post("/web/api/signin",
                        json{{"email", kDemoEmail}, {"password", kDemoPassword}}.dump(),
                        "application/json");
    ASSERT_TRUE(r);
    const std::string cookie = r->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find("; HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("; SameSite=Strict"), std::string::npos);
    EXPECT_NE(cookie.find("; Secure"), std::string::npos);
}

}  // namespace
}  // namespace tarvo::test
