// Bad input, other families, restarts and kills, many open streams.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "ServiceFixture.h"
#include "core/Subprocess.h"

namespace tarvo::test {
namespace {

using nlohmann::json;

TEST_F(ServiceTest, BadInputGetsAShortJsonErrorAndChangesNothing) {
    auto parent = demoParent();
    const std::string rules = childApi(parent) + "/rules";
    const std::string big(2 * 1024 * 1024, 'x');
    const std::string longId(300, 'd');
    struct Case {
        const char* what;
        const char* method;
        std::string path;
        std::string body;
        int status;
        bool signedIn = false;
        const char* contentType = "application/json";
    };
    const std::vector<Case> cases = {
        {"malformed JSON", "POST", "/api/RequestMoreTime", "{\"device_id\":", 400},
        {"missing field", "POST", "/api/RequestMoreTime",
         R"({"device_id":"DEV-CONTRACT-1","username":"kid"})", 400},
        {"minutes as text", "POST", "/api/RequestMoreTime",
         R"({"device_id":"DEV-CONTRACT-1","username":"kid","requested_minutes":"15"})", 400},
        {"minutes out of range", "POST", "/api/RequestMoreTime",
         R"({"device_id":"DEV-CONTRACT-1","username":"kid","requested_minutes":100000})", 400},
        {"unknown device", "POST", "/api/RequestMoreTime",
         R"({"device_id":"NOPE","username":"kid","requested_minutes":5})", 404},
        {"oversized body", "POST", "/api/UpdateProcessUsage", big, 413},
        {"sample without time", "POST", "/api/UpdateProcessUsage",
         R"({"device_id":"DEV-CONTRACT-1","username":"kid","samples":[{"bundle_id":"a","seconds":5,"sampled_at":"2025-01-01T00:00:00Z"},{"bundle_id":"b","seconds":5}]})",
         400},
        {"negative seconds", "POST", "/api/UpdateProcessUsage",
         R"({"device_id":"DEV-CONTRACT-1","username":"kid","samples":[{"bundle_id":"a","seconds":-5,"sampled_at":"2025-01-01T00:00:00Z"}]})",
         400},
        {"overlong device id", "GET",
         "/api/GetUserSettingsByDeviceId?device_id=" + longId + "&username=kid", "", 400},
        {"control character in account", "GET",
         "/api/GetAppLimits?device_id=DEV-CONTRACT-1&username=k%0Aid", "", 400},
        {"stream without user", "GET", "/api/notifications/sse-direct?deviceId=x", "", 400},
        {"empty chat message", "POST", "/api/SendChildChatMessage",
         R"({"deviceId":"DEV-CONTRACT-1","username":"kid","message":"   "})", 400},
        {"read marks not numbers", "POST", "/api/MarkChatMessagesRead",
         R"({"deviceId":"DEV-CONTRACT-1","username":"kid","messageIds":["1"]})", 400},
        {"users not a list", "POST", "/api/SetDesktopSettings",
         R"({"device_id":"DEV-CONTRACT-1","token":"t","users":"kid"})", 400},
        {"dashboard without session", "GET", "/web/api/overview", "", 401},
        {"dashboard form post", "POST", rules, "whitelist=a", 415, true,
         "application/x-www-form-urlencoded"},
        {"window past midnight", "POST", rules,
         R"({"whitelist":[],"blacklist":[],"accessWindows":[{"day":1,"start":0,"end":1441}]})", 400,
         true},
        {"list entry not a string", "POST", rules,
         R"({"whitelist":[1],"blacklist":[],"accessWindows":[]})", 400, true},
        {"no such child", "POST", "/web/api/children/999/limits",
         R"({"dailyMinutes":1,"warnMinutes":1,"allowedApps":[]})", 404, true},
        {"wrong password", "POST", "/web/api/signin",
         R"({"email":"demo@tarvo.local","password":"guess"})", 401},
        {"unknown path", "GET", "/api/NoSuchCall", "", 404},
    };
    httplib::Client http("127.0.0.1", service->port());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        httplib::Headers headers;
        if (c.signedIn) headers.emplace("Cookie", parent.cookie());
        auto r = std::string(c.method) == "GET"
                     ? http.Get(c.path.c_str(), headers)
                     : http.Post(c.path.c_str(), headers, c.body, c.contentType);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, c.status) << r->body;
        const json body = json::parse(r->body, nullptr, false);
        EXPECT_TRUE(body.is_object() && body.contains("error") && r->body.size() < 200) << r->body;
    }
    // Nothing was half-written: the sample batch with one bad entry stored none,
    // the settings are the seeded ones, and the service still answers.
    const auto child = parent.child("Demo Child");
    EXPECT_TRUE(child["usageWeek"].empty());
    EXPECT_TRUE(child["requests"].empty());
    EXPECT_EQ(child["accessWindows"].size(), 7u);
    EXPECT_EQ(client()->fetchAppLimits().dailyMinutes, 120);
}

TEST_F(ServiceTest, AParentReachesOnlyTheirOwnFamily) {
    client()->requestMoreTime(5, "x");
    auto demo = demoParent();
    const auto mine = childApi(demo);
    const auto requestId = demo.child("Demo Child")["requests"][0]["id"].dump();

    ParentSession other(service->port());
    auto r = other.signUp("other@example.org", "long enough secret", "Other");
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
    for (const auto& [path, body] : attempts) {
        EXPECT_EQ(other.post(path, body)->status, 404) << path;
    }
    const auto after = demo.child("Demo Child");
    EXPECT_EQ(after["blacklist"], json({"example.org"}));
    EXPECT_EQ(after["requests"][0]["status"], "pending");
    EXPECT_TRUE(after["chat"].empty());
    EXPECT_EQ(client()->getUsersForDeviceId(), std::vector<std::string>{"kid"});
}

TEST_F(ServiceTest, PasswordGuessingIsStoppedAfterFiveFailures) {
    ParentSession guesser(service->port());
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(guesser.signIn("Demo@Tarvo.local", "guess" + std::to_string(i))->status, 401);
    // Even the right password waits now, in any letter case of the address.
    EXPECT_EQ(guesser.signIn(kDemoEmail, kDemoPassword)->status, 429);
    EXPECT_TRUE(guesser.cookie().empty());
    // Another address is not affected.
    ParentSession other(service->port());
    EXPECT_EQ(other.signUp("someone@example.org", "long enough secret", "Someone")->status, 200);
    EXPECT_EQ(other.signIn("someone@example.org", "long enough secret")->status, 200);
}

TEST_F(ServiceTest, ChangesSurviveARestartAndSeedingAgainChangesNothing) {
    auto parent = demoParent();
    parent.postOk(childApi(parent) + "/rules", {{"whitelist", {"kept.example"}},
                                                {"blacklist", json::array()},
                                                {"accessWindows", json::array()}});
    restart({});  // seeds again
    EXPECT_EQ(client()->fetchRules().whitelist, std::vector<std::string>{"kept.example"});
    // The session survives too.
    const auto overview = parent.overview();
    EXPECT_EQ(overview["children"].size(), 1u);
    EXPECT_EQ(overview["devices"][0]["accounts"].size(), 1u);
}

TEST_F(ServiceTest, ADatabaseFromANewerServiceIsRefusedAndLeftAlone) {
    service->stop();
    const std::string db = data / "tarvo-service.sqlite3";
    ASSERT_TRUE(runProcess("/usr/bin/sqlite3", {db, "PRAGMA user_version=99"}).succeeded());
    EXPECT_THROW(service->start(), std::runtime_error);
    EXPECT_NE(service->stderrText().find("database schema version 99 is newer than this service"),
              std::string::npos);
    // Set back to this service's version, the same data is served again.
    ASSERT_TRUE(runProcess("/usr/bin/sqlite3", {db, "PRAGMA user_version=1"}).succeeded());
    service->start();
    EXPECT_EQ(client()->fetchAppLimits().dailyMinutes, 120);
}

TEST_F(ServiceTest, EveryAcknowledgedWriteSurvivesAKillInTheMiddleOfWrites) {
    const std::time_t now = std::time(nullptr);
    char sampledAt[32];
    std::strftime(sampledAt, sizeof sampledAt, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    std::atomic<int> acknowledged{0};
    std::atomic<bool> stop{false};
    // Two writers report one second of usage per call, as fast as they can.
    auto writer = [&] {
        httplib::Client http("127.0.0.1", service->port());
        const std::string body =
            json{{"device_id", kDevice},
                 {"username", "kid"},
                 {"samples",
                  {{{"bundle_id", "org.burst"}, {"seconds", 1}, {"sampled_at", sampledAt}}}}}
                .dump();
        while (!stop) {
            auto r = http.Post("/api/UpdateProcessUsage", body, "application/json");
            if (!r) break;
            if (r->status == 200) ++acknowledged;
        }
    };
    std::thread a(writer), b(writer);
    ASSERT_TRUE(waitUntil([&] { return acknowledged >= 200; }));
    service->kill9();
    stop = true;
    a.join();
    b.join();
    service->start();
    std::int64_t stored = 0;
    const auto child = demoParent().child("Demo Child");
    for (const auto& u : child["usageToday"])
        if (u["bundleId"] == "org.burst") stored = u["seconds"];
    EXPECT_GE(stored, acknowledged.load()) << child.dump();
    EXPECT_LE(stored, acknowledged.load() + 2);  // at most the two in flight
}

// A raw event-stream connection: bytes as they come.
struct RawStream {
    int fd = -1;
    std::string got;
    ~RawStream() {
        if (fd >= 0) close(fd);
    }
};

std::unique_ptr<RawStream> openStream(int port, const std::string& device,
                                      const std::string& user) {
    auto s = std::make_unique<RawStream>();
    s->fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s->fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return nullptr;
    const std::string req = "GET /api/notifications/sse-direct?userId=" + user +
                            "&deviceId=" + device +
                            " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n";
    if (send(s->fd, req.data(), req.size(), 0) != static_cast<ssize_t>(req.size())) return nullptr;
    return s;
}

// Reads what is there on every stream until `done` holds or the deadline passes.
bool pump(std::vector<std::unique_ptr<RawStream>>& streams, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::vector<pollfd> fds;
        for (auto& s : streams) fds.push_back({s->fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 50) < 0) return false;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            char buf[4096];
            const ssize_t n = recv(fds[i].fd, buf, sizeof buf, 0);
            if (n > 0) streams[i]->got.append(buf, static_cast<size_t>(n));
        }
    }
    return true;
}

bool allHave(const std::vector<std::unique_ptr<RawStream>>& streams, const std::string& text) {
    return std::all_of(streams.begin(), streams.end(),
                       [&](auto& s) { return s->got.find(text) != std::string::npos; });
}

TEST_F(ServiceTest, TwoHundredOpenStreamsAllGetTheChangeAndDoNotStarveOtherCalls) {
    constexpr int kStreams = 200;
    std::vector<std::unique_ptr<RawStream>> streams;
    for (int i = 0; i < kStreams; ++i) {
        streams.push_back(openStream(service->port(), kDevice, "kid"));
        ASSERT_TRUE(streams.back()) << i;
    }
    // Eight streams per account at most: the rest are refused with 429.
    auto connected = [&] {
        int n = 0;
        for (auto& s : streams)
            if (s->got.find(": connected") != std::string::npos ||
                s->got.find(" 429 ") != std::string::npos)
                ++n;
        return n == kStreams;
    };
    ASSERT_TRUE(pump(streams, connected));
    int open = 0;
    for (auto& s : streams) open += s->got.find(": connected") != std::string::npos;
    EXPECT_EQ(open, 8);
    streams.clear();

    // Two hundred streams: fifty accounts of the same child on each of four computers.
    auto parent = demoParent();
    const auto childId = parent.child("Demo Child")["id"];
    for (int d = 0; d < 4; ++d) {
        const std::string device = "DEV-MANY-" + std::to_string(d);
        ParentSession setup(service->port());
        auto r = setup.signIn(kDemoEmail, kDemoPassword, device);
        ASSERT_TRUE(r && r->status == 200);
        std::vector<std::string> users;
        json assignments = json::object();
        for (int k = 0; k < kStreams / 4; ++k) {
            users.push_back("k" + std::to_string(k));
            assignments[users.back()] = childId;
        }
        auto set = httplib::Client("127.0.0.1", service->port())
                       .Post("/api/SetDesktopSettings",
                             json{{"device_id", device},
                                  {"token", json::parse(r->body)["token"]},
                                  {"users", users}}
                                 .dump(),
                             "application/json");
        ASSERT_TRUE(set && set->status == 200);
        parent.postOk("/web/api/assign", {{"deviceId", device}, {"assignments", assignments}});
        for (int k = 0; k < kStreams / 4; ++k)
            streams.push_back(openStream(service->port(), device, "k" + std::to_string(k)));
    }
    ASSERT_TRUE(pump(streams, [&] { return allHave(streams, ": connected"); }));
    // Other calls are answered at once while all of them are open.
    const auto start = std::chrono::steady_clock::now();
    client()->checkInCurrentUser();
    EXPECT_EQ(client()->fetchAppLimits().dailyMinutes, 120);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    parent.postOk("/web/api/children/" + childId.dump() + "/rules",
                  {{"whitelist", {"everyone.example"}},
                   {"blacklist", json::array()},
                   {"accessWindows", json::array()}});
    EXPECT_TRUE(pump(streams, [&] { return allHave(streams, "everyone.example"); }));
}

TEST_F(ServiceTest, TheStreamBeatsWithCommentsAndNowAndThenAData) {
    restart({"--heartbeat", "0.05"});
    std::vector<std::unique_ptr<RawStream>> streams;
    streams.push_back(openStream(service->port(), kDevice, "kid"));
    ASSERT_TRUE(pump(streams, [&] {
        return streams[0]->got.find("data: {\"type\":\"ping\"}") != std::string::npos;
    }));
    const std::string& got = streams[0]->got;
    EXPECT_NE(got.find("Content-Type: text/event-stream"), std::string::npos);
    EXPECT_NE(got.find(": heartbeat\n\n"), std::string::npos);
    // Four heartbeats come before the first data line.
    size_t beats = 0;
    for (size_t at = got.find(": heartbeat"); at < got.find("data:");
         at = got.find(": heartbeat", at + 1))
        ++beats;
    EXPECT_EQ(beats, 4u);
}

}  // namespace
}  // namespace tarvo::test
