// The client's own classes against a real tarvo-service, from both sides of every call;
// then bad input, other families, kills and restarts.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

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
    explicit ServiceTest(std::vector<std::string> args = {})
        : family(kDevice, "kid", std::move(args)) {}
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

    // Statements on the service's database, beside the running service: rows
    // one a line, columns joined by '|', on either store.
    std::string sql(const std::string& statement) const {
        if (!family.database.empty())
            return PostgresCluster::shared().psql(family.database, statement);
        const auto r = runProcess("/usr/bin/sqlite3", {family.data / "tarvo-service.sqlite3",
                                                       ".timeout 10000", statement});
        if (!r.succeeded()) throw std::runtime_error("sqlite3 failed: " + statement);
        return r.out;
    }
    std::string schemaVersion() const {
        return sql(family.database.empty() ? "PRAGMA user_version"
                                           : "SELECT version FROM tarvo_schema");
    }
    void setSchemaVersion(const std::string& version) const {
        sql(family.database.empty() ? "PRAGMA user_version=" + version
                                    : "UPDATE tarvo_schema SET version = " + version);
    }
    // Now and `offset` later, in milliseconds since the epoch, for the tables that count so.
    static std::string epochMs(std::chrono::milliseconds offset = {}) {
        return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  (std::chrono::system_clock::now() + offset).time_since_epoch())
                                  .count());
    }
    int get(const std::string& target) {
        auto r = httplib::Client(service.origin()).Get(target, {{"Cookie", parent.cookie()}});
        return r ? r->status : 0;
    }

    TempRoot root;
    DemoFamily family;
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
    const std::string latest = schemaVersion();
    setSchemaVersion("99");
    EXPECT_THROW(service.start(), std::runtime_error);
    EXPECT_NE(service.stderrText().find("database schema version 99 is newer than this service"),
              std::string::npos);
    setSchemaVersion(latest.substr(0, latest.find('\n')));
    // A certificate for 127.0.0.1, self-signed and trusted as its own authority.
    TempDir keys;
    const std::string cert = keys / "server.pem", key = keys / "server.key";
    ASSERT_TRUE(
        runProcess("/usr/bin/openssl",
                   {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"})
            .succeeded());
    writeText(keys / "tarvo_0.3.0_amd64.deb", "package");
    writeText(keys / "tarvo_0.3.0_amd64.deb.sig", "signature");
    writeText(keys / "manifest.json", json{{"version", "0.3.0"}, {"sha256", "AB"}}.dump());
    service.extraArgs.insert(service.extraArgs.end(),
                             {"--updates", keys.path(), "--cert", cert, "--key", key});
    service.start();
    SetUp();
    EnvGuard trust("SSL_CERT_FILE", cert);
    EXPECT_EQ(client()->fetchRules().whitelist.size(), 2u) << "kept, and seeding changed nothing";
    httplib::Client https(service.origin());
    EXPECT_EQ(json::parse(https.Get("/api/MacUpdateManifest")->body)["version"], "0.3.0");
    EXPECT_EQ(https.Get("/updates/tarvo_0.3.0_amd64.deb")->body, "package");
    EXPECT_EQ(https.Get("/updates/tarvo_0.3.0_amd64.deb.sig")->body, "signature");
    const auto r = parent.signIn(kDemoEmail, kDemoPassword);
    ASSERT_TRUE(r);
    for (const char* flag : {"; HttpOnly", "; SameSite=Strict", "; Secure"})
        EXPECT_NE(r->get_header_value("Set-Cookie").find(flag), std::string::npos) << flag;
}

TEST_F(ServiceTest, BadInputAndOtherFamiliesChangeNothing) {
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
             {family.childApi + "/chat/read", {{"upToId", 1000}}},
             {"/web/api/requests/" + request["id"].dump() + "/decide", {{"grant", true}}},
             {"/web/api/assign", {{"deviceId", kDevice}, {"assignments", {{"kid", nullptr}}}}}})
        EXPECT_EQ(other.post(path, body)->status, 404) << path;
    const auto after = parent.child();
    EXPECT_EQ(after["blacklist"], json({"example.org"}));
    EXPECT_EQ(after["requests"][0]["status"], "pending");
    EXPECT_TRUE(after["chat"].empty());
    EXPECT_EQ(client()->getUsersForDeviceId(), std::vector<std::string>{"kid"});

    // A session ends when it says: a minute before, it still opens the dashboard.
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    for (const auto& [end, status] : {std::pair{now + 60, 200}, std::pair{now - 1, 401}}) {
        sql("UPDATE sessions SET expires_at = " + std::to_string(end));
        EXPECT_EQ(get("/web/api/overview"), status) << end - now;
    }
    sql("UPDATE sessions SET expires_at = " + std::to_string(now + 3600));

    // Signing out ends the session its own cookie names, not one whose name
    // merely ends the same way.
    const httplib::Headers lookAlike{{"Cookie", "a=1; other_" + parent.cookie()}};
    EXPECT_EQ(http.Post("/web/api/signout", lookAlike, "{}", "application/json")->status, 200);
    EXPECT_EQ(http.Get("/web/api/overview", cookie)->status, 200);
    EXPECT_EQ(http.Post("/web/api/signout", cookie, "{}", "application/json")->status, 200);
    EXPECT_EQ(http.Get("/web/api/overview", cookie)->status, 401);
}

// Each cap on what a client or the dashboard sends takes its limit and
// refuses one more: at the cap the call goes on to its next check (or
// succeeds), one past it the cap answers.
TEST_F(ServiceTest, EachCapTakesItsLimitAndRefusesOneMore) {
    httplib::Client http(service.origin());
    auto post = [&](const std::string& path, const json& body) {
        auto r = http.Post(path, {{"Cookie", parent.cookie()}}, body.dump(), "application/json");
        return r ? r->status : 0;
    };
    auto names = [](size_t n) {
        json list = json::array();
        for (size_t i = 0; i < n; ++i) list.push_back("u" + std::to_string(i));
        return list;
    };
    auto rules = [](const json& whitelist) {
        return json{{"whitelist", whitelist},
                    {"blacklist", json::array()},
                    {"accessWindows", json::array()}};
    };
    auto more = [](const std::string& reason) {
        return json{{"device_id", kDevice},
                    {"username", "kid"},
                    {"requested_minutes", 5},
                    {"reason", reason}};
    };
    struct Cap {
        std::string path;
        std::function<json(size_t)> body;
        size_t cap;
        int atCap, past;
    };
    const std::vector<Cap> caps = {
        {"/api/SendChildChatMessage",
         [](size_t n) {
             return json{
                 {"deviceId", kDevice}, {"username", "kid"}, {"message", std::string(n, 'm')}};
         },
         2000, 200, 413},
        {family.childApi + "/chat",
         [](size_t n) {
             return json{{"text", std::string(n, 'm')}};
         },
         2000, 200, 413},
        {"/api/RequestMoreTime", [&](size_t n) { return more(std::string(n, 'r')); }, 1000, 200,
         400},
        {family.childApi + "/rules", [&](size_t n) { return rules(names(n)); }, 500, 200, 400},
        {family.childApi + "/rules", [&](size_t n) { return rules({std::string(n, 'a')}); }, 2048,
         200, 400},
        {"/web/api/signin",
         [](size_t n) {
             return json{{"email", kDemoEmail},
                         {"password", kDemoPassword},
                         {"deviceId", std::string(n, 'd')}};
         },
         128, 200, 400},
        // Past the size check an unknown token, and accounts the computer lacks.
        {"/api/SetDesktopSettings",
         [&](size_t n) {
             return json{{"device_id", kDevice}, {"token", "x"}, {"users", names(n)}};
         },
         64, 401, 400},
        {"/api/SetDesktopSettings",
         [&](size_t n) {
             return json{{"device_id", kDevice}, {"token", "x"}, {"users", {std::string(n, 'u')}}};
         },
         64, 401, 400},
        {"/web/api/assign",
         [&](size_t n) {
             json assignments = json::object();
             for (const auto& name : names(n)) assignments[name.get<std::string>()] = nullptr;
             return json{{"deviceId", kDevice}, {"assignments", assignments}};
         },
         64, 404, 400},
    };
    for (const auto& c : caps) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.cap));
        EXPECT_EQ(post(c.path, c.body(c.cap)), c.atCap);
        EXPECT_EQ(post(c.path, c.body(c.cap + 1)), c.past);
    }
    // Entries hold printable text: DEL is a control character, the tilde before it is not.
    EXPECT_EQ(post(family.childApi + "/rules", rules({std::string("a\x7f") + "b"})), 400);
    EXPECT_EQ(post(family.childApi + "/rules", rules({"a~b"})), 200);
    // Pending requests for more time: the one above and nineteen more are
    // taken, the next is refused.
    int taken = 1;
    while (taken <= 20 && post("/api/RequestMoreTime", more("")) == 200) ++taken;
    EXPECT_EQ(taken, 20);
    EXPECT_EQ(post("/api/RequestMoreTime", more("")), 429);
}

// Stream limits and the sign-in delay small enough to reach in a test; the
// loopback addresses 127.0.0.0 and .1 act as a load balancer.
class ServiceTestWithLimits : public ServiceTest {
  protected:
    ServiceTestWithLimits()
        : ServiceTest({"--max-streams", "10", "--max-streams-per-address", "6", "--sign-in-delay",
                       "40", "--trusted-proxy", "127.0.0.0/31",
                       // Silent connections stay open however slowly a busy
                       // machine opens a thousand of them.
                       "--idle-timeout", "120"}) {}
};

TEST_F(ServiceTestWithLimits,
       StreamsOnlyForSetUpAccountsWithinTheirLimitsAndShortCallsStillAnswer) {
    family.setUpComputer(kDevice, {"kid", "a2", "a3"}, {"guest"});
    family.setUpComputer("D2", {"kid"});
    const int port = service.port();
    auto shortCallsAnswer = [&] {
        return get("/web/api/overview") == 200 &&
               get("/api/GetChildChatMessages?deviceId=D1&username=kid") == 200;
    };
    // Streams for made-up computers are answered at once and closed: they hold
    // no thread, however many come.
    std::vector<std::unique_ptr<RawConnection>> flood;
    for (int i = 0; i < 1030; ++i)
        flood.push_back(std::make_unique<RawConnection>(
            port, RawConnection::stream("MADE-UP-" + std::to_string(i), "kid")));
    EXPECT_TRUE(shortCallsAnswer()) << "while the made-up streams are connected";
    int refused = 0;
    for (auto& c : flood) refused += c->status() == 404 && c->closedByServer();
    EXPECT_EQ(refused, 1030);

    struct Case {
        const char* source;
        const char* device;
        const char* account;
        int status;
        const char* logged;  // why a 503 was given
    };
    const std::vector<Case> cases = {
        {"127.0.0.2", kDevice, "kid", 200, ""},
        {"127.0.0.2", kDevice, "kid", 200, ""},
        {"127.0.0.2", kDevice, "kid", 200, ""},
        {"127.0.0.2", kDevice, "kid", 200, ""},
        {"127.0.0.2", kDevice, "kid", 503, "too many streams for kid on device D1"},
        {"127.0.0.2", kDevice, "a2", 200, ""},
        {"127.0.0.2", kDevice, "a2", 200, ""},
        {"127.0.0.2", kDevice, "a2", 503, "too many streams from 127.0.0.2"},
        {"127.0.0.3", kDevice, "a2", 200, ""},
        {"127.0.0.3", kDevice, "a2", 200, ""},
        {"127.0.0.3", kDevice, "a3", 503, "too many streams for device D1"},
        {"127.0.0.4", "D2", "kid", 200, ""},
        {"127.0.0.4", "D2", "kid", 200, ""},
        {"127.0.0.4", "D2", "kid", 503, "too many streams in all"},
        {"127.0.0.5", kDevice, "guest", 404, ""},  // on the computer, given to no child
        {"127.0.0.5", kDevice, "nobody", 404, ""},
    };
    std::vector<std::unique_ptr<RawConnection>> open;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.source) + " " + c.device + " " + c.account);
        auto stream = std::make_unique<RawConnection>(
            port, RawConnection::stream(c.device, c.account), c.source);
        ASSERT_EQ(stream->status(), c.status);
        if (c.status == 200) {
            EXPECT_NE(stream->readUntil(": connected").find(": connected"), std::string::npos);
            open.push_back(std::move(stream));
        } else {
            EXPECT_TRUE(stream->closedByServer());
        }
        if (*c.logged) {
            EXPECT_TRUE(service.waitForLog(c.logged));
        }
    }
    EXPECT_TRUE(shortCallsAnswer()) << "with every stream the limits allow open";

    // Connections beyond the thread limit (1024) are told 503 at once, not
    // queued behind the others; one within it is served.
    std::vector<std::unique_ptr<RawConnection>> idle;  // connected, silent
    while (idle.size() + open.size() < 1023)
        idle.push_back(std::make_unique<RawConnection>(port, ""));
    EXPECT_TRUE(waitUntil([&] {
        return RawConnection(port, RawConnection::get("/api/MacUpdateManifest")).status() == 404;
    })) << "the 1024th connection";
    idle.push_back(std::make_unique<RawConnection>(port, ""));
    RawConnection over(port, RawConnection::get("/api/MacUpdateManifest"));
    EXPECT_EQ(over.status(), 503);
    EXPECT_TRUE(over.closedByServer());
    idle.clear();
    EXPECT_TRUE(waitUntil(shortCallsAnswer)) << "once the silent connections are gone";
}

// Short time-outs and heartbeats, and room for a hundred streams on one computer.
class ServiceTestWithQuickTimers : public ServiceTest {
  protected:
    ServiceTestWithQuickTimers()
        : ServiceTest({"--idle-timeout", "1", "--heartbeat", "0.2", "--max-streams-per-device",
                       "200", "--max-streams-per-address", "200"}) {}
    int threads() const {
        const std::string status = readText("/proc/" + std::to_string(service.pid()) + "/status");
        return std::atoi(status.c_str() + status.find("Threads:") + 8);
    }
};

TEST_F(ServiceTestWithQuickTimers, HttpOnAFewThreadsWhateverTheStreamsAndACleanStop) {
    const int port = service.port();
    const std::string limits = "/api/GetAppLimits?device_id=D1&username=";
    struct Case {
        const char* name;
        std::string request;
        const char* status;  // the answer's status line
        bool closed;         // by the server, at once
        const char* absent;  // from the answer
    };
    const std::vector<Case> cases = {
        {"malformed", "NOT HTTP AT ALL\r\n\r\n", "HTTP/1.1 400 ", true, ""},
        {"asks to close", RawConnection::get("/api/MacUpdateManifest", "Connection: close\r\n"),
         "HTTP/1.1 404 ", true, ""},
        {"HEAD", "HEAD /dashboard HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 ", false,
         "<!doctype"},
        {"header too large", RawConnection::get("/", "X-Big: " + std::string(20000, 'a') + "\r\n"),
         "HTTP/1.1 431 ", true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawConnection raw(port, c.request);
        const std::string answer = raw.readUntil("\r\n\r\n");
        EXPECT_EQ(answer.rfind(c.status, 0), 0u) << answer;
        if (c.closed) {
            EXPECT_TRUE(raw.closedByServer());
        } else {
            // Whatever came after the answer shows before the next one's.
            raw.send(RawConnection::get(limits + "x"));
            raw.readUntil("unknown device or account");
        }
        EXPECT_EQ(raw.readUntil("\r\n\r\n").find(c.absent), *c.absent ? std::string::npos : 0);
    }

    // Requests pipelined, then one more, on one connection: answered in order.
    RawConnection kept(port, RawConnection::get(limits + "kid") + RawConnection::get(limits + "x"));
    const std::string two = kept.readUntil("unknown device or account");
    EXPECT_LT(two.find("daily_minutes"), two.find("unknown device or account")) << two;
    kept.send(RawConnection::get(limits + "kid&day_start=2026-03-01T23:00:00Z"));
    EXPECT_NE(kept.readUntil("granted_minutes_today").find("granted_minutes_today"),
              std::string::npos);

    // A body sent once the service asks for it.
    const std::string body = R"({"device_id":"D1"})";
    RawConnection expecting(port,
                            "POST /api/RequestMoreTime HTTP/1.1\r\nHost: x\r\nContent-Type: "
                            "application/json\r\nExpect: 100-continue\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n");
    EXPECT_EQ(expecting.readUntil("\r\n\r\n").rfind("HTTP/1.1 100 Continue\r\n\r\n", 0), 0u);
    expecting.send(body);
    EXPECT_NE(expecting.readUntil("HTTP/1.1 400").find("HTTP/1.1 400"), std::string::npos);

    // Silent connections are closed unanswered, before a request and within one.
    for (const std::string& start : {std::string(), std::string("GET / HTTP/1.1\r\nHo")}) {
        RawConnection silent(port, start);
        EXPECT_TRUE(silent.closedByServer()) << start;
        EXPECT_EQ(silent.readUntil("HTTP"), "") << start;
    }

    // A stream's heartbeats; every fourth carries a ping.
    RawConnection beating(port, RawConnection::stream(kDevice, "kid"));
    const std::string ping = "data: {\"type\":\"ping\"}";
    const std::string beats = beating.readUntil(ping);
    size_t heartbeats = 0;
    for (size_t at = beats.find(": heartbeat"); at != std::string::npos;
         at = beats.find(": heartbeat", at + 1))
        ++heartbeats;
    EXPECT_EQ(heartbeats, 4u) << beats;
    EXPECT_NE(beats.find(ping), std::string::npos);

    // A hundred more streams take no thread.
    std::vector<std::string> accounts;
    for (int i = 0; i < 25; ++i) accounts.push_back("a" + std::to_string(i));
    family.setUpComputer("D2", accounts);
    const int before = threads();
    std::vector<std::unique_ptr<RawConnection>> streams;
    for (int i = 0; i < 100; ++i)
        streams.push_back(std::make_unique<RawConnection>(
            port, RawConnection::stream("D2", accounts[static_cast<size_t>(i / 4)])));
    for (auto& s : streams)
        ASSERT_NE(s->readUntil(": connected").find(": connected"), std::string::npos);
    EXPECT_EQ(threads(), before);

    // A stop ends every stream with its last chunk, then the service, cleanly.
    EXPECT_EQ(service.terminate(), std::optional<int>(0));
    std::vector<RawConnection*> all{&beating};
    for (auto& s : streams) all.push_back(s.get());
    for (auto* s : all) {
        EXPECT_TRUE(s->closedByServer());
        EXPECT_TRUE(s->readUntil("").ends_with("\r\n0\r\n\r\n")) << s->readUntil("");
    }
    EXPECT_NE(service.stderrText().find("open files allowed: "), std::string::npos);
}

TEST(ServiceOptions, EventStreamsMayTakeAtMostHalfTheConnections) {
    const std::vector<std::pair<std::vector<std::string>, bool>> cases = {
        {{"--max-streams", "512"}, true},
        {{"--max-streams", "513"}, false},
        {{"--max-streams", "1000", "--max-connections", "2000"}, true},
        {{"--max-connections", "2000", "--max-streams", "1001"}, false},
        {{"--max-connections", "1000000"}, true},
        {{"--max-connections", "1000001"}, false},
        {{"--max-connections", "0"}, false},
    };
    for (const auto& [args, starts] : cases) {
        SCOPED_TRACE(args[0] + " " + args[1] + " " + (args.size() > 2 ? args[3] : ""));
        TempDir data;
        ServiceProcess service(data.path(), args);
        if (starts) {
            ASSERT_NO_THROW(service.start());
            EXPECT_EQ(service.terminate(), std::optional<int>(0));
        } else {
            EXPECT_THROW(service.start(), std::runtime_error);
            EXPECT_NE(service.stderrText().find("must lie between 1 and "), std::string::npos);
        }
    }
}

TEST_F(ServiceTestWithLimits, WrongPasswordsSlowGuessingFromOneAddressButNeverLockTheParentOut) {
    auto signIn = [&](const std::string& from, const std::string& password) {
        return httplib::Client(service.origin())
            .Post("/web/api/signin", {{"X-Forwarded-For", from}},
                  json{{"email", "Demo@Tarvo.local"}, {"password", password}}.dump(),
                  "application/json");
    };
    auto attempts = [&](const std::string& address) {  // "failures|delay ms", or ""
        return sql(
            "SELECT failures || '|' || (next_at_ms - last_at_ms) FROM signin_attempts "
            "WHERE address = '" +
            address + "'");
    };
    // Eight guesses at once: each is counted before its password is checked,
    // so one is checked and seven wait, as if they came one by one. Six
    // failures before make that wait the longest (1.2 s), however slowly a
    // sanitizer build serves the eight.
    sql("INSERT INTO signin_attempts VALUES ('demo@tarvo.local', '198.51.100.8', 6, 0, " +
        epochMs() + ")");
    std::vector<int> statuses(4);
    std::vector<std::thread> guesses;
    for (size_t i = 0; i < statuses.size(); ++i)
        guesses.emplace_back([&, i] {
            auto r = signIn("198.51.100.8", "guess" + std::to_string(i));
            statuses[i] = r ? r->status : 0;
        });
    for (auto& t : guesses) t.join();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 401), 1);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 429), 3);

    // After n failures the next try waits 40 ms * 2^(n-1), at most 30 * 40 ms.
    const std::string guesser = "198.51.100.7";
    for (const auto& [failures, factor] : std::vector<std::pair<int, int>>{
             {1, 1}, {2, 2}, {3, 4}, {4, 8}, {5, 16}, {6, 30}, {7, 30}}) {
        ASSERT_TRUE(waitUntil([&] { return signIn(guesser, "guess")->status == 401; }));
        EXPECT_EQ(attempts(guesser),
                  std::to_string(failures) + "|" + std::to_string(factor * 40) + "\n");
    }
    // The right password too waits out the delay, then gets in; from another
    // address it gets in at once. The delay is set to end 3 s from now: a slow
    // build's password hashing may outlast the 1.2 s one.
    sql("UPDATE signin_attempts SET next_at_ms = " + epochMs(3s) + " WHERE address = '" + guesser +
        "'");
    const auto early = signIn(guesser, kDemoPassword);
    ASSERT_EQ(early->status, 429);
    const auto waitMs = json::parse(early->body)["retryAfterMs"].get<int>();
    EXPECT_TRUE(waitMs > 0 && waitMs <= 3000) << waitMs;
    EXPECT_EQ(early->get_header_value("Retry-After"), std::to_string((waitMs + 999) / 1000));
    EXPECT_EQ(signIn("203.0.113.9", kDemoPassword)->status, 200);
    EXPECT_TRUE(waitUntil([&] { return signIn(guesser, kDemoPassword)->status == 200; }));
    EXPECT_EQ(attempts(guesser), "") << "a right password starts over";

    // Whose address a try counts against: X-Forwarded-For is read only on
    // connections from the trusted 127.0.0.0/31, right to left.
    const std::vector<std::tuple<std::string, std::string, std::string>> sources = {
        {"127.0.0.1", "6.6.6.6, 198.51.100.20", "198.51.100.20"},
        {"127.0.0.1", "198.51.100.21, 127.0.0.0", "198.51.100.21"},
        {"127.0.0.1", "", "127.0.0.1"},
        {"127.0.0.1", "not-an-address, 127.0.0.1", "127.0.0.1"},
        {"127.0.0.2", "198.51.100.22", "127.0.0.2"},
    };
    for (size_t i = 0; i < sources.size(); ++i) {
        const auto& [source, forwarded, address] = sources[i];
        SCOPED_TRACE(source + " " + forwarded);
        const std::string email = "case" + std::to_string(i) + "@example.org";
        const std::string body = json{{"email", email}, {"password", "guess"}}.dump();
        RawConnection post(service.port(),
                           "POST /web/api/signin HTTP/1.1\r\nHost: x\r\nContent-Type: "
                           "application/json\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\n" +
                               (forwarded.empty() ? "" : "X-Forwarded-For: " + forwarded + "\r\n") +
                               "\r\n" + body,
                           source);
        EXPECT_EQ(post.status(), 401);
        EXPECT_EQ(sql("SELECT address FROM signin_attempts WHERE email = '" + email + "'"),
                  address + "\n");
    }

    // Old rows expire one by one; however many addresses have tried, the
    // table is never emptied to make room.
    sql("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100001) "
        "INSERT INTO signin_attempts SELECT 'many@example.org', 'a' || i, 1, 0, " +
        epochMs() + " FROM n");
    sql("INSERT INTO signin_attempts VALUES ('old@example.org', '10.0.0.1', 3, 0, " +
        epochMs(-16min) + ")");
    EXPECT_EQ(signIn("198.51.100.30", "guess")->status, 401);
    EXPECT_EQ(sql("SELECT COUNT(*) FROM signin_attempts WHERE email = 'many@example.org'"),
              "100001\n");
    EXPECT_EQ(sql("SELECT COUNT(*) FROM signin_attempts WHERE email = 'old@example.org'"), "0\n");
    EXPECT_EQ(attempts("198.51.100.8").substr(0, 2), "7|") << "still held back";
}

TEST_F(ServiceTest, AGrantSwallowedByADeadStreamStillReachesAClientThatCountsByRequest) {
    const std::string poll = "/api/CheckMoreTimeApproval?deviceId=D1&username=kid";
    auto approval = [&](bool byRequest) {
        auto r = httplib::Client(service.origin()).Get(poll + (byRequest ? "&by_request=1" : ""));
        return ParentSession::ok(r, "approval");
    };
    auto grantOf = [](std::int64_t id, int minutes) {
        return json{{"approved", true},
                    {"granted_minutes", minutes},
                    {"grants", {{{"request_id", id}, {"granted_minutes", minutes}}}}};
    };
    const json none{{"approved", false}, {"granted_minutes", 0}, {"grants", json::array()}};
    auto grant = [&](int minutes) {
        client()->requestMoreTime(minutes, "homework");
        const auto request = parent.child()["requests"][0];
        const bool pushed = decide(request, {{"grant", true}})["pushed"];
        return std::make_pair(request["id"].get<std::int64_t>(), pushed);
    };
    // Without a stream: the first poll of either kind takes it.
    auto [first, pushed] = grant(10);
    EXPECT_FALSE(pushed);
    EXPECT_EQ(approval(false), grantOf(first, 10));
    EXPECT_EQ(approval(true), none);

    // A stream that took the push and is read no more (the socket stays open).
    RawConnection dead(service.port(), RawConnection::stream(kDevice, "kid"));
    ASSERT_NE(dead.readUntil(": connected").find(": connected"), std::string::npos);
    auto [second, pushedToDead] = grant(15);
    EXPECT_TRUE(pushedToDead);
    EXPECT_EQ(approval(false), none) << "an older client has it from the stream";
    EXPECT_EQ(approval(true), grantOf(second, 15));
    EXPECT_EQ(approval(true), none) << "handed out twice";
    auto [third, pushedAgain] = grant(20);
    EXPECT_TRUE(pushedAgain);
    EXPECT_EQ(approval(true), grantOf(third, 20));
    EXPECT_EQ(approval(false), none);
    const std::string event =
        "data: " +
        json{{"type", "more_time_approved"}, {"granted_minutes", 15}, {"request_id", second}}
            .dump();
    EXPECT_NE(dead.readUntil(event).find(event), std::string::npos);

    // Today's grants and use, from the client's midnight on.
    const std::string midnight = "2026-03-01T23:00:00Z", before = "2026-03-01T22:59:59Z";
    sql("UPDATE more_time_requests SET decided_at = CASE id WHEN " + std::to_string(first) +
        " THEN '" + before + "' WHEN " + std::to_string(second) + " THEN '" + midnight +
        "' ELSE '2026-03-02T10:00:00Z' END");
    auto at = [](const std::string& iso) {
        std::tm tm{};
        strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
        return std::chrono::system_clock::from_time_t(timegm(&tm));
    };
    client()->reportUsage(
        {{"org.game", "Game", 60, at(midnight)}, {"org.game", "Game", 7, at(before)}});
    const std::vector<std::tuple<std::string, json, json>> days = {
        {midnight, 35, 60},
        {before, 45, 67},
        {"2026-03-01T23:00:00", nullptr, nullptr},
        {"2026-02-30T23:00:00Z", nullptr, nullptr},
        {"yesterday", nullptr, nullptr},
    };
    for (const auto& [dayStart, granted, used] : days) {
        SCOPED_TRACE(dayStart);
        auto r = httplib::Client(service.origin())
                     .Get("/api/GetAppLimits?device_id=D1&username=kid&day_start=" + dayStart);
        const json limits = ParentSession::ok(r, "app limits");
        EXPECT_EQ(limits.value("granted_minutes_today", json()), granted);
        EXPECT_EQ(limits.value("used_seconds_today", json()), used);
        EXPECT_EQ(limits["daily_minutes"], 120);
    }
    const json plain = ParentSession::ok(
        httplib::Client(service.origin()).Get("/api/GetAppLimits?device_id=D1&username=kid"), "");
    EXPECT_FALSE(plain.contains("granted_minutes_today") || plain.contains("used_seconds_today"));
}

// A second instance on the first one's PostgreSQL database, both with a
// sign-in delay no test outlasts and 127.0.0.0/31 as their load balancer.
class TwoInstancesTest : public ServiceTest {
  protected:
    TwoInstancesTest() : ServiceTest(kArgs) {}
    void SetUp() override {
        if (family.database.empty()) GTEST_SKIP() << "instances share a PostgreSQL database only";
        ServiceTest::SetUp();
        auto args = kArgs;
        args.insert(args.end(), {"--database", family.database});
        other = std::make_unique<ServiceProcess>(otherData.path(), args);
        other->start();
    }
    inline static const std::vector<std::string> kArgs = {"--sign-in-delay", "60000",
                                                          "--trusted-proxy", "127.0.0.0/31"};
    TempDir otherData;
    std::unique_ptr<ServiceProcess> other;
};

TEST_F(TwoInstancesTest, ASessionADelayAParentsChangeAndAGrantReachTheOtherInstance) {
    const std::vector<ServiceProcess*> instances = {&service, other.get()};
    auto overviewOn = [&](ServiceProcess* s) {
        auto r =
            httplib::Client(s->origin()).Get("/web/api/overview", {{"Cookie", parent.cookie()}});
        return r ? r->status : 0;
    };
    EXPECT_EQ(overviewOn(other.get()), 200) << "signed in through the first";

    // One wrong password through the first holds that address back on the second only.
    const std::vector<std::tuple<size_t, std::string, std::string, int>> signIns = {
        {0, "198.51.100.40", "guess", 401},
        {1, "198.51.100.40", kDemoPassword, 429},
        {1, "198.51.100.41", kDemoPassword, 200},
    };
    for (const auto& [instance, from, password, status] : signIns) {
        SCOPED_TRACE(from + " on instance " + std::to_string(instance));
        auto r = httplib::Client(instances[instance]->origin())
                     .Post("/web/api/signin", {{"X-Forwarded-For", from}},
                           json{{"email", kDemoEmail}, {"password", password}}.dump(),
                           "application/json");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, status);
    }

    // Guesses that all read a count letting them go ahead, held back (by a
    // lock on its row) just before they raise it, then let go together, half
    // through each instance (as many as its sign-in workers): one gets an
    // answer and the others wait, as if they came one by one.
    sql("INSERT INTO signin_attempts VALUES ('demo@tarvo.local', '198.51.100.50', 6, 0, " +
        epochMs() + ")");
    std::vector<int> statuses(4);
    std::vector<std::thread> guesses;
    {
        PostgresTransaction hold(
            family.database,
            "SELECT 1 FROM signin_attempts WHERE address = '198.51.100.50' FOR UPDATE");
        for (size_t i = 0; i < statuses.size(); ++i)
            guesses.emplace_back([&, i] {
                auto r = httplib::Client(instances[i % 2]->origin())
                             .Post("/web/api/signin", {{"X-Forwarded-For", "198.51.100.50"}},
                                   json{{"email", kDemoEmail}, {"password", "guess"}}.dump(),
                                   "application/json");
                statuses[i] = r ? r->status : 0;
            });
        ASSERT_TRUE(waitUntil([&] {
            return sql("SELECT COUNT(DISTINCT pid) FROM pg_locks WHERE NOT granted") == "4\n";
        }));
    }
    for (auto& t : guesses) t.join();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 401), 1);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 429), 3);

    // The parent's rules through the first reach a stream on the second,
    // whether they fit in one notification or not.
    RawConnection stream(other->port(), RawConnection::stream(kDevice, "kid"));
    ASSERT_NE(stream.readUntil(": connected").find(": connected"), std::string::npos);
    for (const int sites : {1, 400}) {
        SCOPED_TRACE(sites);
        std::vector<std::string> whitelist;
        for (int i = 0; i < sites; ++i)
            whitelist.push_back("site" + std::to_string(i) + "-of-" + std::to_string(sites) +
                                ".example");
        parent.postOk(family.childApi + "/rules", {{"whitelist", whitelist},
                                                   {"blacklist", json::array()},
                                                   {"accessWindows", json::array()}});
        EXPECT_NE(stream.readUntil(whitelist.back()).find(whitelist.back()), std::string::npos);
    }

    // A grant through the first, taken by a stream on either instance (the
    // other instance's claim, made and handed back, leaves it taken): an older
    // client's poll then finds nothing, one that counts by request finds it once.
    family.setUpComputer(kDevice, {"kid", "kid2"});
    RawConnection streamOnFirst(service.port(), RawConnection::stream(kDevice, "kid2"));
    ASSERT_NE(streamOnFirst.readUntil(": connected").find(": connected"), std::string::npos);
    const std::vector<std::tuple<std::string, RawConnection*, bool>> grants = {
        {"kid", &stream, false},
        {"kid2", &streamOnFirst, true},
    };
    int minutes = 10;
    for (const auto& [account, taker, pushedHere] : grants) {
        SCOPED_TRACE(account);
        httplib::Client http(service.origin());
        const auto asked = ParentSession::ok(http.Post("/api/RequestMoreTime",
                                                       json{{"device_id", kDevice},
                                                            {"username", account},
                                                            {"requested_minutes", ++minutes}}
                                                           .dump(),
                                                       "application/json"),
                                             "more time");
        EXPECT_EQ(decide(asked, {{"grant", true}})["pushed"], pushedHere);
        const std::string event = "data: " + json{{"type", "more_time_approved"},
                                                  {"granted_minutes", minutes},
                                                  {"request_id", asked["id"]}}
                                                 .dump();
        EXPECT_NE(taker->readUntil(event).find(event), std::string::npos);
        auto polled = [&](const std::string& query) {
            return ParentSession::ok(http.Get("/api/CheckMoreTimeApproval?deviceId=D1&username=" +
                                              account + query),
                                     "approval")["granted_minutes"]
                .get<int>();
        };
        // The second instance handles changes in order: once a later one
        // reached its stream, its claim on the grant has come and gone.
        const std::string later = "after-grant-to-" + account + ".example";
        parent.postOk(family.childApi + "/rules", {{"whitelist", {later}},
                                                   {"blacklist", json::array()},
                                                   {"accessWindows", json::array()}});
        EXPECT_NE(stream.readUntil(later).find(later), std::string::npos);
        EXPECT_EQ(polled(""), 0) << "an older client has it from the stream";
        EXPECT_EQ(polled("&by_request=1"), minutes);
        EXPECT_EQ(polled("&by_request=1"), 0) << "handed out twice";
    }

    // Check-ins of several computers at once through both instances: those
    // that collide in the database run again, none fails.
    const std::vector<std::string> computers = {"D2", "D3", "D4", kDevice};
    for (size_t d = 0; d + 1 < computers.size(); ++d) family.setUpComputer(computers[d], {"kid"});
    std::atomic<int> checkedIn{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; ++c)
        clients.emplace_back([&, c] {
            httplib::Client http(instances[c % 2]->origin());
            for (int i = 0; i < 250; ++i) {
                auto r = http.Get("/api/CheckinCurrentUser?user=kid&deviceId=" +
                                  computers[(c + i) % computers.size()]);
                checkedIn += r && r->status == 200;
            }
        });
    for (auto& t : clients) t.join();
    EXPECT_EQ(checkedIn, 8 * 250);

    // The database drops every connection (a restart, a fail-over): the next
    // calls run on new ones, and the listeners listen again.
    sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = "
        "current_database() AND pid <> pg_backend_pid()");
    for (auto* s : instances) EXPECT_EQ(overviewOn(s), 200);
    ASSERT_TRUE(other->waitForLog("listening for other instances' changes again"));
    parent.postOk(family.childApi + "/rules", {{"whitelist", {"after-restart.example"}},
                                               {"blacklist", json::array()},
                                               {"accessWindows", json::array()}});
    EXPECT_NE(stream.readUntil("after-restart.example").find("after-restart.example"),
              std::string::npos);

    // Signed out through the first: gone on both.
    parent.postOk("/web/api/signout", json::object());
    for (auto* s : instances) EXPECT_EQ(overviewOn(s), 401);

    // A database that is no PostgreSQL URL, or cannot be reached: the service
    // says so and does not start.
    const std::string unreachable =
        "postgresql:///tarvo?host=" + otherData.path() + "/nowhere&user=postgres";
    for (const auto& [database, said] : std::vector<std::pair<std::string, std::string>>{
             {otherData / "service.sqlite3", "--database needs a postgresql:// URL"},
             {unreachable, "cannot connect to PostgreSQL"}}) {
        TempDir data;
        ServiceProcess broken(data.path(), {"--database", database});
        EXPECT_THROW(broken.start(), std::runtime_error) << database;
        EXPECT_NE(broken.stderrText().find(said), std::string::npos) << broken.stderrText();
    }
}

TEST_F(ServiceTest, OnlyTheParentsSetupMakesComputersAndAccountsAndAComputerStoresWithinQuotas) {
    auto checkIn = [&](const std::string& device, const std::string& user) {
        return get("/api/CheckinCurrentUser?deviceId=" + device +
                   "&computer_name=HACKED&os=macos&version=9&user=" + user);
    };
    EXPECT_EQ(checkIn("MADE-UP", "kid"), 404);
    // Left from before: a computer no parent set up, with an account.
    sql("INSERT INTO devices (device_id) VALUES ('OLD'); INSERT INTO device_accounts "
        "(device_id, account) VALUES ('OLD', 'kid')");
    EXPECT_EQ(checkIn("OLD", "kid"), 404);
    EXPECT_EQ(checkIn(kDevice, "intruder"), 404);
    EXPECT_EQ(checkIn(kDevice, "kid"), 200);
    EXPECT_EQ(sql("SELECT COUNT(*) FROM devices"), "2\n");
    EXPECT_EQ(sql("SELECT account FROM device_accounts WHERE device_id = 'D1'"), "kid\n");
    EXPECT_EQ(sql("SELECT computer_name, version, CASE WHEN last_checkin IS NULL THEN 0 ELSE 1 "
                  "END FROM devices ORDER BY device_id"),
              "|9|1\n||0\n")
        << "the name is the parent's setup's, the rest the check-in's";

    // Reading the overview marks nothing; the page marks what it showed.
    ChatService chat(service.url(), kDevice, "kid");
    const auto shown = chat.send("can I play?");
    parent.child();
    EXPECT_TRUE(parent.child()["chat"][0]["readByParentAt"].is_null());
    const auto later = chat.send("please?");
    EXPECT_EQ(parent.postOk(family.childApi + "/chat/read", {{"upToId", shown.id}})["marked"], 1);
    const auto messages = parent.child()["chat"];
    EXPECT_TRUE(messages[0]["readByParentAt"].is_string());
    EXPECT_TRUE(messages[1]["readByParentAt"].is_null()) << later.id << " came after";

    // Per computer in any 24 hours: 20,000 usage samples, 500 chat messages
    // (two sent above), 2,000 app-limit reports.
    httplib::Client http(service.origin());
    auto post = [&](const char* path, const json& body) {
        auto r = http.Post(path, body.dump(), "application/json");
        return r ? r->status : 0;
    };
    const json sample{
        {"bundle_id", "org.game"}, {"seconds", 1}, {"sampled_at", "2026-03-01T10:00:00Z"}};
    struct Quota {
        std::function<int(size_t)> send;  // n rows at once, where the call allows
        size_t perCall;
        size_t left;
        std::string table, logged;
    };
    const std::vector<Quota> quotas = {
        {[&](size_t n) {
             return post("/api/UpdateProcessUsage",
                         {{"device_id", kDevice},
                          {"username", "kid"},
                          {"samples", json(std::vector<json>(n, sample))}});
         },
         1000, 20000, "usage_samples SET received_at",
         "usage quota reached for device D1: 20000 samples in 24 h"},
        {[&](size_t) {
             return post("/api/SendChildChatMessage",
                         {{"deviceId", kDevice}, {"username", "kid"}, {"message", "hi"}});
         },
         1, 498, "chat_messages SET sent_at",
         "chat quota reached for device D1: 500 messages in 24 h"},
        {[&](size_t) {
             return post("/api/ReportAppLimitReached",
                         {{"device_id", kDevice}, {"username", "kid"}, {"bundle_id", "org.game"}});
         },
         1, 2000, "app_limit_events SET received_at",
         "app-limit quota reached for device D1: 2000 reports in 24 h"},
    };
    for (const auto& q : quotas) {
        SCOPED_TRACE(q.logged);
        for (size_t left = q.left; left > 1; left -= std::min(left - 1, q.perCall))
            ASSERT_EQ(q.send(std::min(left - 1, q.perCall)), 200);
        if (q.perCall > 1) {
            EXPECT_EQ(q.send(2), 429) << "one over";
        }
        EXPECT_EQ(q.send(1), 200) << "the last one";
        EXPECT_EQ(q.send(1), 429) << "one over";
        EXPECT_TRUE(service.waitForLog(q.logged));
        // A day later the computer may store again.
        sql("UPDATE " + q.table + " = '2026-01-01T00:00:00Z'");
        EXPECT_EQ(q.send(1), 200);
    }
}

}  // namespace
}  // namespace tarvo::test
