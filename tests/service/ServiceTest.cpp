// The client's own classes against a real tarvo-service, from both sides of
// every call; then bad input, other families, restarts, kills and many streams.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "ServiceProcess.h"
#include "chat/ChatService.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "platform/fake/FakeSystemLog.h"
#include "server/ServerClient.h"
#include "support/RawEventStream.h"

namespace tarvo::test {
namespace {

using nlohmann::json;
using Kind = ServerClient::SSEEvent::Kind;
constexpr const char* kDevice = "DEV-CONTRACT-1";

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        writeText(Paths::configFile(), json{{"api", service.url()}, {"device_id", kDevice}}.dump());
    }
    void restart(const std::vector<std::string>& extra) {
        service.stop();
        service.extraArgs.insert(service.extraArgs.end(), extra.begin(), extra.end());
        service.start();
        SetUp();
    }
    static std::shared_ptr<ServerClient> client(const std::string& user = "kid") {
        ServerClient::Options o;
        o.username = user;
        o.requestTimeout = std::chrono::seconds(10);
        o.hardware = std::make_shared<platform::FakeHardwareIdentity>("0F3A5C21-9B7E-4D2A");
        o.host = std::make_shared<platform::FakeHostInfo>("kids-mac.local");
        return ServerClient::create(o);
    }
    static std::string serverError(const std::function<void()>& call) {
        try {
            call();
        } catch (const ServerError& e) {
            return e.what();
        }
        return "no error";
    }
    json saveRules(const json& white, const json& black, const json& windows = json::array()) {
        return parent.postOk(
            family.childApi + "/rules",
            {{"whitelist", white}, {"blacklist", black}, {"accessWindows", windows}});
    }

    TempRoot root;
    DemoFamily family{kDevice, "kid"};
    ServiceProcess& service = family.service;
    ParentSession& parent = family.parent;
};

TEST_F(ServiceTest, SettingsLimitsAndGrantsReachTheClientAndAGrantComesOnlyOnce) {
    auto c = client();
    c->checkInCurrentUser();
    const auto rules = c->fetchRules();
    EXPECT_EQ(rules.whitelist,
              (std::vector<std::string>{"wikipedia.org", "khanacademy.org", "example.com"}));
    EXPECT_EQ(rules.blacklist, std::vector<std::string>{"example.org"});
    ASSERT_EQ(rules.accessWindows.size(), 7u);
    EXPECT_EQ(rules.accessWindows[3].endMinutes, 24 * 60);
    EXPECT_EQ(parent.overview()["devices"][0]["computerName"], "kids-mac");  // the check-in
    EXPECT_EQ(serverError([&] { client("visitor")->fetchRules(); }), "HTTP 404");

    // Without a stream a grant waits for the poll; a denial gives nothing.
    c->requestMoreTime(15, "reading");
    c->requestMoreTime(10, "game");
    const json requests = parent.child()["requests"];
    for (const auto& r : requests) {
        const auto out = parent.postOk("/web/api/requests/" + r["id"].dump() + "/decide",
                                       {{"grant", r["reason"] == "reading"}});
        EXPECT_EQ(out["pushed"], false);
    }
    EXPECT_EQ(c->checkMoreTimeApproval(), 15);
    EXPECT_EQ(c->checkMoreTimeApproval(), 0);

    std::mutex mutex;
    std::vector<ServerClient::SSEEvent> events;
    auto session = c->subscribeEvents(nullptr, [&](const ServerClient::SSEEvent& e) {
        std::lock_guard lock(mutex);
        events.push_back(e);
    });
    auto event = [&](size_t n) {
        std::optional<ServerClient::SSEEvent> got;
        waitUntil([&] {
            std::lock_guard lock(mutex);
            if (events.size() > n) got = events[n];
            return got.has_value();
        });
        return got;
    };
    ASSERT_TRUE(service.waitForLog("stream opened"));
    saveRules({"School.example", " docs.example "}, json::array(),
              {{{"day", 6}, {"start", 22 * 60}, {"end", 1440}}});
    auto e = event(0);
    ASSERT_TRUE(e && e->kind == Kind::rulesUpdated);
    EXPECT_EQ(e->rules.whitelist, (std::vector<std::string>{"school.example", "docs.example"}));
    EXPECT_EQ(e->rules.deviceId, kDevice);
    const auto after = c->fetchRules();
    ASSERT_EQ(after.accessWindows.size(), 1u);
    EXPECT_EQ(after.accessWindows[0].dayOfWeek, 6);
    EXPECT_EQ(after.accessWindows[0].startMinutes, 22 * 60);

    c->requestMoreTime(20, "homework");
    const json all = parent.child()["requests"];
    const json request =
        *std::find_if(all.begin(), all.end(), [](auto& r) { return r["reason"] == "homework"; });
    EXPECT_EQ(request["reason"], "homework");
    const std::string decide = "/web/api/requests/" + request["id"].dump() + "/decide";
    EXPECT_EQ(parent.postOk(decide, {{"grant", true}, {"minutes", 25}})["pushed"], true);
    e = event(1);
    ASSERT_TRUE(e && e->kind == Kind::moreTimeApproved);
    EXPECT_EQ(e->minutes, 25);
    EXPECT_EQ(c->checkMoreTimeApproval(), 0) << "handed out twice";
    EXPECT_EQ(parent.post(decide, {{"grant", true}})->status, 409) << "decided again";

    parent.postOk(
        family.childApi + "/limits",
        {{"dailyMinutes", 45}, {"warnMinutes", 10}, {"allowedApps", {"Com.Apple.Safari"}}});
    e = event(2);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind, Kind::forceUpdate);
    const auto limits = c->fetchAppLimits();
    EXPECT_EQ(limits.dailyMinutes, 45);
    EXPECT_EQ(limits.warnAtMinutesRemaining, 10);
    EXPECT_EQ(limits.allowedBundleIds, std::set<std::string>{"com.apple.safari"});
}

TEST_F(ServiceTest, UsageChatAndSetupGoBothWays) {
    auto c = client();
    const auto now = std::chrono::system_clock::now();
    c->reportUsage({{"com.apple.Safari", "Safari", 600, now},
                    {"org.game", "Game", 120, now},
                    {"com.apple.Safari", "Safari", 300, now - std::chrono::hours(24 * 3)}});
    c->reportAppLimitReached("org.game", "Game");
    auto child = parent.child();
    std::map<std::string, std::int64_t> today;
    for (const auto& u : child["usageToday"]) today[u["bundleId"]] = u["seconds"];
    EXPECT_EQ(today,
              (std::map<std::string, std::int64_t>{{"com.apple.Safari", 600}, {"org.game", 120}}));
    EXPECT_EQ(child["usageWeek"][0]["seconds"], 900);
    EXPECT_EQ(child["seenApps"].size(), 2u);
    EXPECT_EQ(child["blockedApps"][0]["bundleId"], "org.game");

    ChatService chat(service.url(), kDevice, "kid");
    const auto sent = chat.send("can I play?");
    EXPECT_EQ(sent.from, "child");
    parent.postOk(family.childApi + "/chat", {{"text", "after dinner"}});
    const auto poll = chat.poll(sent.id);
    ASSERT_EQ(poll.messages.size(), 1u);
    EXPECT_EQ(poll.messages[0].text, "after dinner");
    EXPECT_EQ(poll.messages[0].senderName, std::optional<std::string>("Demo Parent"));
    EXPECT_EQ(poll.parentNames, std::vector<std::string>{"Demo Parent"});
    EXPECT_TRUE(chat.markRead({poll.messages[0].id, sent.id}, std::chrono::system_clock::now()));
    chat.reportStatus(false, std::string("HTTP 500: boom"));
    auto overview = parent.overview();
    const auto& messages = overview["children"][0]["chat"];
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(messages[1]["readByChildAt"].is_string());
    EXPECT_TRUE(messages[0]["readByChildAt"].is_null()) << "the child's own message";
    EXPECT_EQ(overview["devices"][0]["accounts"][0]["chatError"], "HTTP 500: boom");

    // Setup: the sign-in's token sends the accounts; the assignments come back.
    ParentSession setup(service);
    auto r = setup.signIn(kDemoEmail, kDemoPassword, kDevice);
    ASSERT_TRUE(r && r->status == 200);
    const std::string token = json::parse(r->body)["token"];
    auto computer = client("");
    EXPECT_EQ(serverError([&] { computer->setDesktopSettings("not-a-token", {"alice"}); }),
              "HTTP 401");
    computer->setDesktopSettings(token, {"alice", "kid", "parent"});
    const auto created = parent.postOk("/web/api/children", {{"name", "Alice"}});
    parent.postOk(
        "/web/api/assign",
        {{"deviceId", kDevice}, {"assignments", {{"alice", created["id"]}, {"parent", nullptr}}}});
    EXPECT_EQ(computer->getUsersForDeviceId(), (std::vector<std::string>{"alice", "kid"}));
    EXPECT_EQ(computer->getChildAccountDevices(token),
              (std::map<std::string, std::string>{{"alice", kDevice}, {"kid", kDevice}}));
    EXPECT_TRUE(client("alice")->fetchRules().whitelist.empty());
}

TEST_F(ServiceTest, BadInputGetsAShortJsonErrorAndChangesNothing) {
    const std::string rules = family.childApi + "/rules";
    const std::string kid = R"("device_id":"DEV-CONTRACT-1","username":"kid")";
    struct Case {
        const char* what;
        std::string path;
        std::string body;  // none: a GET
        int status;
        const char* contentType = "application/json";
    };
    const std::vector<Case> cases = {
        {"malformed JSON", "/api/RequestMoreTime", "{\"device_id\":", 400},
        {"minutes as text", "/api/RequestMoreTime", "{" + kid + R"(,"requested_minutes":"15"})",
         400},
        {"minutes out of range", "/api/RequestMoreTime",
         "{" + kid + R"(,"requested_minutes":100000})", 400},
        {"unknown device", "/api/RequestMoreTime",
         R"({"device_id":"NOPE","username":"kid","requested_minutes":5})", 404},
        {"oversized body", "/api/UpdateProcessUsage", std::string(2 << 20, 'x'), 413},
        {"one sample without time", "/api/UpdateProcessUsage",
         "{" + kid +
             R"(,"samples":[{"bundle_id":"a","seconds":5,"sampled_at":"2025-01-01T00:00:00Z"},{"bundle_id":"b","seconds":5}]})",
         400},
        {"overlong device id",
         "/api/GetUserSettingsByDeviceId?username=kid&device_id=" + std::string(300, 'd'), "", 400},
        {"control character in account", "/api/GetAppLimits?device_id=DEV-CONTRACT-1&username=k%0A",
         "", 400},
        {"stream without user", "/api/notifications/sse-direct?deviceId=x", "", 400},
        {"empty chat message", "/api/SendChildChatMessage",
         R"({"deviceId":"DEV-CONTRACT-1","username":"kid","message":"   "})", 400},
        {"read marks not numbers", "/api/MarkChatMessagesRead",
         R"({"deviceId":"DEV-CONTRACT-1","username":"kid","messageIds":["1"]})", 400},
        {"users not a list", "/api/SetDesktopSettings",
         R"({"device_id":"DEV-CONTRACT-1","token":"t","users":"kid"})", 400},
        {"dashboard form post", rules, "whitelist=a", 415, "application/x-www-form-urlencoded"},
        {"window past midnight", rules,
         R"({"whitelist":[],"blacklist":[],"accessWindows":[{"day":1,"start":0,"end":1441}]})",
         400},
        {"list entry not a string", rules, R"({"whitelist":[1],"blacklist":[],"accessWindows":[]})",
         400},
        {"no such child", "/web/api/children/999/limits",
         R"({"dailyMinutes":1,"warnMinutes":1,"allowedApps":[]})", 404},
        {"unknown path", "/api/NoSuchCall", "", 404},
    };
    httplib::Client http("127.0.0.1", service.port());
    const httplib::Headers cookie{{"Cookie", parent.cookie()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = c.body.empty() ? http.Get(c.path, cookie)
                                : http.Post(c.path, cookie, c.body, c.contentType);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, c.status) << r->body;
        const json body = json::parse(r->body, nullptr, false);
        EXPECT_TRUE(body.is_object() && body.contains("error") && r->body.size() < 200) << r->body;
    }
    EXPECT_EQ(http.Get("/web/api/overview")->status, 401) << "without a session";
    // Nothing was half-written, and the service still answers.
    const auto child = parent.child();
    EXPECT_TRUE(child["usageWeek"].empty());
    EXPECT_TRUE(child["requests"].empty());
    EXPECT_EQ(child["accessWindows"].size(), 7u);
    EXPECT_EQ(client()->fetchAppLimits().dailyMinutes, 120);
}

TEST_F(ServiceTest, AParentReachesOnlyTheirOwnFamilyAndGuessingIsStoppedAfterFiveFailures) {
    client()->requestMoreTime(5, "x");
    const auto mine = family.childApi;
    const auto requestId = parent.child()["requests"][0]["id"].dump();
    ParentSession other(service);
    auto r =
        other.post("/web/api/signup",
                   {{"email", "other@example.org"}, {"password", "long enough"}, {"name", "O"}});
    ASSERT_TRUE(r && r->status == 200) << (r ? r->body : "");
    EXPECT_TRUE(other.overview()["children"].empty() && other.overview()["devices"].empty());
    const std::vector<std::pair<std::string, json>> attempts = {
        {mine + "/rules",
         {{"whitelist", json::array()}, {"blacklist", {"x"}}, {"accessWindows", json::array()}}},
        {mine + "/limits",
         {{"dailyMinutes", 1}, {"warnMinutes", 1}, {"allowedApps", json::array()}}},
        {mine + "/chat", {{"text", "hi"}}},
        {"/web/api/requests/" + requestId + "/decide", {{"grant", true}}},
        {"/web/api/assign", {{"deviceId", kDevice}, {"assignments", {{"kid", nullptr}}}}},
    };
    for (const auto& [path, body] : attempts)
        EXPECT_EQ(other.post(path, body)->status, 404) << path;
    const auto after = parent.child();
    EXPECT_EQ(after["blacklist"], json({"example.org"}));
    EXPECT_EQ(after["requests"][0]["status"], "pending");
    EXPECT_TRUE(after["chat"].empty());
    EXPECT_EQ(client()->getUsersForDeviceId(), std::vector<std::string>{"kid"});

    ParentSession guesser(service);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(guesser.signIn("Demo@Tarvo.local", "guess" + std::to_string(i))->status, 401);
    // Even the right password waits now, in any letter case of the address.
    EXPECT_EQ(guesser.signIn(kDemoEmail, kDemoPassword)->status, 429);
    EXPECT_TRUE(guesser.cookie().empty());
    EXPECT_EQ(other.signIn("other@example.org", "long enough")->status, 200) << "another address";
}

TEST_F(ServiceTest, DataSurvivesRestartsANewerDatabaseIsRefusedAndHttpsIsServed) {
    saveRules({"kept.example"}, json::array());
    restart({});  // seeds again
    EXPECT_EQ(client()->fetchRules().whitelist, std::vector<std::string>{"kept.example"});
    EXPECT_EQ(parent.overview()["children"].size(), 1u) << "the session survives too";

    service.stop();
    const std::string db = family.data / "tarvo-service.sqlite3";
    ASSERT_TRUE(runProcess("/usr/bin/sqlite3", {db, "PRAGMA user_version=99"}).succeeded());
    EXPECT_THROW(service.start(), std::runtime_error);
    EXPECT_NE(service.stderrText().find("database schema version 99 is newer than this service"),
              std::string::npos);
    ASSERT_TRUE(runProcess("/usr/bin/sqlite3", {db, "PRAGMA user_version=1"}).succeeded());

    const auto& certs = TestCertificates::get();
    restart({"--cert", certs.certFile, "--key", certs.keyFile});
    ASSERT_EQ(service.url().rfind("https://", 0), 0u);
    EnvGuard trust("SSL_CERT_FILE", certs.caFile);
    EXPECT_EQ(client()->fetchRules().whitelist, std::vector<std::string>{"kept.example"});
    httplib::SSLClient https("127.0.0.1", service.port());
    https.set_ca_cert_path(certs.caFile.c_str());
    auto r = https.Post("/web/api/signin",
                        json{{"email", kDemoEmail}, {"password", kDemoPassword}}.dump(),
                        "application/json");
    ASSERT_TRUE(r);
    const std::string cookie = r->get_header_value("Set-Cookie");
    for (const char* flag : {"; HttpOnly", "; SameSite=Strict", "; Secure"})
        EXPECT_NE(cookie.find(flag), std::string::npos) << flag;
}

TEST_F(ServiceTest, EveryAcknowledgedWriteSurvivesAKillInTheMiddleOfWrites) {
    const std::time_t now = std::time(nullptr);
    char sampledAt[32];
    std::strftime(sampledAt, sizeof sampledAt, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    std::atomic<int> acknowledged{0};
    std::atomic<bool> stop{false};
    // Two writers report one second of usage per call, as fast as they can.
    auto writer = [&] {
        httplib::Client http("127.0.0.1", service.port());
        const json sample{{"bundle_id", "org.burst"}, {"seconds", 1}, {"sampled_at", sampledAt}};
        const std::string body =
            json{{"device_id", kDevice}, {"username", "kid"}, {"samples", {sample}}}.dump();
        while (!stop) {
            auto r = http.Post("/api/UpdateProcessUsage", body, "application/json");
            if (!r) break;
            if (r->status == 200) ++acknowledged;
        }
    };
    std::thread a(writer), b(writer);
    ASSERT_TRUE(waitUntil([&] { return acknowledged >= 200; }));
    service.kill9();
    stop = true;
    a.join();
    b.join();
    service.start();
    const auto usage = parent.child()["usageToday"];
    ASSERT_EQ(usage.size(), 1u);
    EXPECT_GE(usage[0]["seconds"], acknowledged.load());
    EXPECT_LE(usage[0]["seconds"], acknowledged.load() + 2);  // at most the two in flight
}

TEST_F(ServiceTest, StreamsBeatEightPerAccountAndTwoHundredAllGetTheChange) {
    restart({"--heartbeat", "0.05"});
    RawEventStreams streams;
    auto pump = [&](const std::function<bool(const std::string&)>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        auto all = [&] {
            return std::all_of(streams.begin(), streams.end(),
                               [&](auto& s) { return done(s->got); });
        };
        while (!all() && std::chrono::steady_clock::now() < end) readStreams(streams, 50);
        return all();
    };
    for (int i = 0; i < 20; ++i)
        streams.push_back(std::make_unique<RawEventStream>(service.port(), kDevice, "kid"));
    ASSERT_TRUE(pump([](const std::string& got) {
        return got.find(" 429 ") != std::string::npos || got.find("\"ping\"") != std::string::npos;
    }));
    std::vector<std::string> open;
    for (auto& s : streams)
        if (s->got.find(": connected") != std::string::npos) open.push_back(s->got);
    ASSERT_EQ(open.size(), 8u);
    // Comments beat the stream; every fifth beat is a data line.
    const std::string& got = open[0];
    EXPECT_NE(got.find("Content-Type: text/event-stream"), std::string::npos);
    size_t beats = 0;
    for (size_t at = got.find(": heartbeat\n\n"); at < got.find("data: {\"type\":\"ping\"}");
         at = got.find(": heartbeat\n\n", at + 1))
        ++beats;
    EXPECT_EQ(beats, 4u);
    streams.clear();

    // Fifty accounts of the same child on each of four computers.
    for (int d = 0; d < 4; ++d) {
        const std::string device = "DEV-MANY-" + std::to_string(d);
        ParentSession setup(service);
        auto r = setup.signIn(kDemoEmail, kDemoPassword, device);
        ASSERT_TRUE(r && r->status == 200);
        json users = json::array(), assignments = json::object();
        for (int k = 0; k < 50; ++k) {
            users.push_back("k" + std::to_string(k));
            assignments[users.back()] = family.child["id"];
        }
        const json settings{
            {"device_id", device}, {"token", json::parse(r->body)["token"]}, {"users", users}};
        auto set = httplib::Client("127.0.0.1", service.port())
                       .Post("/api/SetDesktopSettings", settings.dump(), "application/json");
        ASSERT_TRUE(set && set->status == 200);
        parent.postOk("/web/api/assign", {{"deviceId", device}, {"assignments", assignments}});
        for (const auto& user : users)
            streams.push_back(std::make_unique<RawEventStream>(service.port(), device, user));
    }
    ASSERT_TRUE(
        pump([](const std::string& got) { return got.find(": connected") != std::string::npos; }));
    // Other calls are answered at once while all of them are open.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client()->fetchAppLimits().dailyMinutes, 120);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    saveRules({"everyone.example"}, json::array());
    EXPECT_TRUE(pump(
        [](const std::string& got) { return got.find("everyone.example") != std::string::npos; }));
}

}  // namespace
}  // namespace tarvo::test
