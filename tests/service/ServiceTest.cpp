// The client's own classes against a real tarvo-service, from both sides of every call;
// then bad input, other families, kills and restarts.
#include <gtest/gtest.h>

#include <mutex>

#include "ServiceProcess.h"
#include "chat/ChatService.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "platform/fake/FakeSystemLog.h"
#include "server/ServerClient.h"

namespace tarvo::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using Kind = ServerClient::SSEEvent::Kind;
constexpr const char* kDevice = "D1";

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        writeText(Paths::configFile(), json{{"api", service.url()}, {"device_id", kDevice}}.dump());
    }
    static std::shared_ptr<ServerClient> client() {
        return ServerClient::create(
            {.username = "kid",
             .requestTimeout = 10s,
             .hardware = std::make_shared<platform::FakeHardwareIdentity>("0F3A5C21-9B7E-4D2A"),
             .host = std::make_shared<platform::FakeHostInfo>("kids-mac.local")});
    }
    json decide(const json& request, const json& body) {
        return parent.postOk("/web/api/requests/" + request["id"].dump() + "/decide", body);
    }

    TempRoot root;
    DemoFamily family{kDevice, "kid"};
    ServiceProcess& service = family.service;
    ParentSession& parent = family.parent;
};

TEST_F(ServiceTest, EveryCallGoesBothWaysAGrantComesOnceAndTheDataSurvivesAKill) {
    auto c = client();
    // Without a stream a grant waits for the poll; a denial gives nothing.
    c->requestMoreTime(10, "game");
    EXPECT_EQ(decide(parent.child()["requests"][0], {{"grant", false}})["pushed"], false);
    c->requestMoreTime(15, "reading");
    const json request = parent.child()["requests"][0];
    EXPECT_EQ(decide(request, {{"grant", true}})["pushed"], false);
    EXPECT_EQ(c->checkMoreTimeApproval(), 15);
    EXPECT_EQ(c->checkMoreTimeApproval(), 0) << "handed out twice";

    std::mutex mutex;
    std::vector<ServerClient::SSEEvent> events;
    auto session = c->subscribeEvents(nullptr, [&](const ServerClient::SSEEvent& e) {
        std::lock_guard lock(mutex);
        events.push_back(e);
    });
    ASSERT_TRUE(service.waitForLog("stream opened"));
    parent.postOk(family.childApi + "/rules",
                  {{"whitelist", {"School.example", " docs.example "}},
                   {"blacklist", json::array()},
                   {"accessWindows", {{{"day", 6}, {"start", 22 * 60}, {"end", 1440}}}}});
    c->requestMoreTime(20, "homework");
    EXPECT_EQ(decide(parent.child()["requests"][0], {{"grant", true}, {"minutes", 25}})["pushed"],
              true);
    std::vector<ServerClient::SSEEvent> got;
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard lock(mutex);
        return (got = events).size() >= 2;
    }));
    EXPECT_EQ(got[0].kind, Kind::rulesUpdated);
    EXPECT_EQ(got[0].rules.whitelist, (std::vector<std::string>{"school.example", "docs.example"}));
    EXPECT_EQ(got[1].kind, Kind::moreTimeApproved);
    EXPECT_EQ(got[1].minutes, 25);
    EXPECT_EQ(c->checkMoreTimeApproval(), 0) << "pushed and then handed out again";

    ChatService chat(service.url(), kDevice, "kid");
    const auto sent = chat.send("can I play?");
    parent.postOk(family.childApi + "/chat", {{"text", "after dinner"}});
    const auto poll = chat.poll(sent.id);
    ASSERT_EQ(poll.messages.size(), 1u);
    EXPECT_TRUE(chat.markRead({poll.messages[0].id, sent.id}, std::chrono::system_clock::now()));
    const auto messages = parent.child()["chat"];
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(messages[1]["readByChildAt"].is_string());
    EXPECT_TRUE(messages[0]["readByChildAt"].is_null()) << "the child's own message";

    const auto now = std::chrono::system_clock::now();
    c->reportUsage({{"org.game", "Game", 120, now},
                    {"org.game", "Game", 300, now - std::chrono::hours(24 * 3)}});
    c->reportAppLimitReached("org.game", "Game");
    const auto child = parent.child();
    EXPECT_EQ(child["usageToday"][0]["seconds"], 120);
    EXPECT_EQ(child["usageWeek"][0]["seconds"], 420);
    EXPECT_EQ(child["blockedApps"][0]["bundleId"], "org.game");

    // A kill, a newer database, then the same data and the updates over HTTPS.
    service.kill9();  // what was acknowledged is on disk
    const std::string db = family.data / "tarvo-service.sqlite3";
    ASSERT_TRUE(runProcess("/usr/bin/sqlite3", {db, "PRAGMA user_version=99"}).succeeded());
    EXPECT_THROW(service.start(), std::runtime_error);
    EXPECT_NE(service.stderrText().find("database schema version 99 is newer than this service"),
              std::string::npos);
    ASSERT_TRUE(runProcess("/usr/bin/sqlite3", {db, "PRAGMA user_version=1"}).succeeded());
    // A certificate for 127.0.0.1, self-signed and trusted as its own authority.
    TempDir keys;
    const std::string cert = keys / "server.pem", key = keys / "server.key";
    ASSERT_TRUE(
        runProcess("/usr/bin/openssl",
                   {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"})
            .succeeded());
    writeText(keys / "T.pkg", "package");
    writeText(keys / "manifest.json", json{{"version", "0.3.0"}, {"sha256", "AB"}}.dump());
    service.extraArgs.insert(service.extraArgs.end(),
                             {"--updates", keys.path(), "--cert", cert, "--key", key});
    service.start();
    SetUp();
    EnvGuard trust("SSL_CERT_FILE", cert);
    EXPECT_EQ(client()->fetchRules().whitelist.size(), 2u) << "kept, and seeding changed nothing";
    httplib::Client https(service.origin());
    EXPECT_EQ(json::parse(https.Get("/api/MacUpdateManifest")->body)["version"], "0.3.0");
    EXPECT_EQ(https.Get("/updates/T.pkg")->body, "package");
    const auto r = parent.signIn(kDemoEmail, kDemoPassword);
    ASSERT_TRUE(r);
    for (const char* flag : {"; HttpOnly", "; SameSite=Strict", "; Secure"})
        EXPECT_NE(r->get_header_value("Set-Cookie").find(flag), std::string::npos) << flag;
}

TEST_F(ServiceTest, BadInputAndOtherFamiliesChangeNothingAndGuessingStopsAfterFiveFailures) {
    const std::string rules = family.childApi + "/rules";
    // Path, body ("": a GET), status.
    const std::vector<std::tuple<std::string, std::string, int>> cases = {
        {"/api/RequestMoreTime", "{\"device_id\":", 400},
        {"/api/UpdateProcessUsage", std::string(2 << 20, 'x'), 413},
        {"/api/GetAppLimits?device_id=D1&username=k%0A", "", 400},
        {"/api/SetDesktopSettings", R"({"device_id":"D1","token":"x","users":["a"]})", 401},
        {rules,
         R"({"whitelist":[],"blacklist":[],"accessWindows":[{"day":1,"start":0,"end":1441}]})",
         400},
    };
    httplib::Client http(service.origin());
    const httplib::Headers cookie{{"Cookie", parent.cookie()}};
    for (const auto& [path, body, status] : cases) {
        SCOPED_TRACE(path + " " + body.substr(0, 100));
        auto r = body.empty() ? http.Get(path, cookie)
                              : http.Post(path, cookie, body, "application/json");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, status) << r->body;
        const json answer = json::parse(r->body, nullptr, false);
        EXPECT_TRUE(answer.is_object() && answer.contains("error") && r->body.size() < 200);
    }
    EXPECT_EQ(http.Post(rules, cookie, "whitelist=a", "application/x-www-form-urlencoded")->status,
              415);
    EXPECT_EQ(http.Get("/web/api/overview")->status, 401) << "without a session";

    // Another family's parent reaches nothing of this one.
    client()->requestMoreTime(5, "x");
    const auto request = parent.child()["requests"][0];
    ParentSession other(service);
    const json account{{"email", "other@example.org"}, {"password", "long enough"}, {"name", "O"}};
    ASSERT_EQ(other.post("/web/api/signup", account)->status, 200);
    for (const auto& [path, body] : std::vector<std::pair<std::string, json>>{
             {rules,
              {{"whitelist", {"x"}}, {"blacklist", {"x"}}, {"accessWindows", json::array()}}},
             {family.childApi + "/chat", {{"text", "hi"}}},
             {"/web/api/requests/" + request["id"].dump() + "/decide", {{"grant", true}}},
             {"/web/api/assign", {{"deviceId", kDevice}, {"assignments", {{"kid", nullptr}}}}}})
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
}

}  // namespace
}  // namespace tarvo::test
