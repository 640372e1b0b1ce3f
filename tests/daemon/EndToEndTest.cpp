#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "DaemonFixture.h"
#include "core/Paths.h"
#include "core/Subprocess.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Waits in real time for something another process does.
bool eventually(const std::function<bool()>& done, std::chrono::seconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(100ms);
    }
    return done();
}

std::optional<int> waitExit(pid_t pid, std::chrono::seconds limit = 30s) {
    std::optional<int> code;
    eventually(
        [&] {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) != pid) return false;
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        },
        limit);
    return code;
}

bool portFree(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

struct ProxyAnswer {
    int status = 0;  // 0: no answer
    bool blockedByTarvo = false;
    std::string body;
};

// A plain HTTP request through the proxy at `proxyPort` to the local server at
// `serverPort`, naming `host` in the Host header (what the filter judges).
ProxyAnswer viaProxy(int proxyPort, int serverPort, const std::string& host) {
    ProxyAnswer answer;
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(proxyPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return answer;
    }
    const std::string request = "GET http://127.0.0.1:" + std::to_string(serverPort) +
                                "/page HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) {
        ::close(fd);
        return answer;
    }
    std::string raw;
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 20000) > 0) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        raw.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (raw.rfind("HTTP/1.1 ", 0) != 0) return answer;
    answer.status = std::stoi(raw.substr(9, 3));
    const size_t end = raw.find("\r\n\r\n");
    const std::string head = raw.substr(0, end);
    answer.blockedByTarvo = head.find("X-Tarvo-Blocked: 1") != std::string::npos;
    if (end != std::string::npos) answer.body = raw.substr(end + 4);
    return answer;
}

// A local web server answering "hello from the server" on 127.0.0.1.
struct LocalServer {
    LocalServer() {
        server.Get("/page", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("hello from the server", "text/plain");
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~LocalServer() {
        server.stop();
        thread.join();
    }
    httplib::Server server;
    int port = 0;
    std::thread thread;
};

void writeRules(const std::string& path, const std::string& json) {
    // Replaced the way the agent does it: a new file renamed over the old one.
    writeText(path + ".new", json);
    fs::rename(path + ".new", path);
}

bool haveMitmdump() {
    return fs::exists("/usr/bin/mitmdump");
}

TEST(DaemonCommand, FreshFlagTurnsTheProxiesOnAndSigtermTurnsThemOff) {
    DaemonRoot root;
    SpawnOptions options;
    options.captureStdout = options.captureStderr = false;
    SpawnedProcess daemon = spawnProcess(tarvoBinary(), {"daemon"}, options);
    ASSERT_TRUE(eventually([&] {
        return countLinesStartingWith(logMessages(Paths::daemonLog()),
                                      "[daemon] INFO  no child user") == 1;
    }));
    writeText(root.flagDir() + "/501.flag", "");
    const std::vector<std::string> services = {"Ethernet", "Wi-Fi", "Thunderbolt Bridge"};
    EXPECT_TRUE(eventually([&] {
        for (const auto& s : services)
            if (root.proxyStates(s) != std::make_pair(true, true)) return false;
        return true;
    }));
    ASSERT_EQ(::kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(waitExit(daemon.pid), std::optional<int>(0));
    for (const auto& s : services)
        EXPECT_EQ(root.proxyStates(s), std::make_pair(false, false)) << s;
    EXPECT_TRUE(hasLine(logMessages(Paths::daemonLog()), "[daemon] INFO  shutdown complete"));
}

TEST(FilteringProxy, AllowsBlocksAndFollowsTheRulesFile) {
    if (!haveMitmdump())
        GTEST_SKIP() << "mitmdump is not installed; the filtering proxy cannot run";
    DaemonRoot root(DaemonRoot::Proxy::Real);
    LocalServer server;
    const std::string conf = root.root() + "/conf";
    fs::create_directories(conf);
    fs::permissions(conf, fs::perms::owner_all);
    fs::copy_file(root.resources() + "/mitmproxy-ca.pem", conf + "/mitmproxy-ca.pem");
    const std::string rules = root.root() + "/rules.json";
    writeRules(rules, R"({"whitelist": ["example.test", "*.allowed.test", "https://site.test/path"],
                          "blacklist": ["ads.example.test"]})");
    EnvGuard rulesEnv("PROXY_RULES_FILE", rules);
    const int port = freePort();
    SpawnedProcess proxy =
        spawnProcess(root.resources() + "/proxy/TarvoProxy",
                     {"--port", std::to_string(port), "--host", "127.0.0.1", "--confdir", conf,
                      "--username", "emma", "--device-id", "D-1"});
    std::string printed;
    ASSERT_TRUE(eventually([&] {
        char buf[4096];
        pollfd p{proxy.stdoutFd, POLLIN, 0};
        while (::poll(&p, 1, 0) > 0) {
            ssize_t n = ::read(proxy.stdoutFd, buf, sizeof buf);
            if (n <= 0) break;
            printed.append(buf, static_cast<size_t>(n));
        }
        return printed.find("ready") != std::string::npos;
    })) << printed;

    struct Case {
        std::string host;
        bool allowed;
    };
    auto check = [&](const std::vector<Case>& cases) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.host);
            ProxyAnswer a = viaProxy(port, server.port, c.host);
            if (c.allowed) {
                EXPECT_EQ(a.status, 200);
                EXPECT_EQ(a.body, "hello from the server");
            } else {
                EXPECT_EQ(a.status, 403);
                EXPECT_TRUE(a.blockedByTarvo);
                EXPECT_NE(a.body.find("blocked"), std::string::npos);
            }
        }
    };
    check({{"example.test", true},
           {"www.example.test", true},
           {"x.allowed.test", true},
           {"site.test", true},
           {"ads.example.test", false},
           {"deep.ads.example.test", false},
           {"badexample.test", false},
           {"other.test", false}});
    writeRules(rules, R"({"whitelist": ["other.test"], "blacklist": []})");
    check({{"other.test", true}, {"example.test", false}});
    writeRules(rules, R"({"whitelist": [], "blacklist": []})");
    check({{"other.test", false}});

    ASSERT_EQ(::kill(proxy.pid, SIGTERM), 0);
    EXPECT_TRUE(waitExit(proxy.pid).has_value());
    ::close(proxy.stdoutFd);
    ::close(proxy.stderrFd);
}

// The only test that uses the fixed port 8080.
TEST(DaemonCommand, RunsTheRealProxyOnItsFixedPort) {
    if (!haveMitmdump())
        GTEST_SKIP() << "mitmdump is not installed; the filtering proxy cannot run";
    if (!eventually([] { return portFree(8080); }, 60s))
        GTEST_SKIP() << "port 8080 is taken by another program";
    DaemonRoot root(DaemonRoot::Proxy::Real);
    LocalServer server;
    fs::create_directories(root.dataDir());
    writeRules(Paths::rulesFile(), R"({"whitelist": ["allowed.test"], "blacklist": []})");
    SpawnOptions options;
    options.captureStdout = options.captureStderr = false;
    SpawnedProcess daemon = spawnProcess(tarvoBinary(), {"daemon"}, options);
    EXPECT_TRUE(
        eventually([&] { return viaProxy(8080, server.port, "allowed.test").status == 200; }, 60s));
    ProxyAnswer blocked = viaProxy(8080, server.port, "elsewhere.test");
    EXPECT_EQ(blocked.status, 403);
    writeRules(Paths::rulesFile(), R"({"whitelist": ["elsewhere.test"], "blacklist": []})");
    EXPECT_EQ(viaProxy(8080, server.port, "elsewhere.test").status, 200);
    EXPECT_EQ(viaProxy(8080, server.port, "allowed.test").status, 403);
    EXPECT_TRUE(
        hasLine(logMessages(Paths::daemonLog()), "[daemon] INFO  staged CA for mitmproxy at " +
                                                     Paths::mitmproxyDir() + "/mitmproxy-ca.pem"));
    ASSERT_EQ(::kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(waitExit(daemon.pid), std::optional<int>(0));
    // Leave the port as found: the proxy ends on the SIGTERM it was sent.
    EXPECT_TRUE(eventually([] { return portFree(8080); }));
}

}  // namespace
}  // namespace tarvo::test
