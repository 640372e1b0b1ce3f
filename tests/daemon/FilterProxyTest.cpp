#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "DaemonFixture.h"

// The filtering proxy (resources/proxy) run for real: mitmdump with our
// addon, driven by curl and raw sockets, each test in a network namespace of
// its own so that port 8080 is always free and 127.0.0.2 and 127.0.0.3 are
// two local "sites".

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kPort = 8080;
const char* const kHello = "hello from the server";
const char* const kNoRules = "no rules file \xE2\x80\x94 blocking everything";

Launch proxyLaunch(std::vector<std::string> args) {
    args.insert(args.begin(), sourceDir() + "/resources/proxy/TarvoProxy");
    return {.argv = args};
}

// A scratch tree like the real one: a data directory everybody may write
// (where the child replaces the rules file) and a private confdir.
struct Scratch {
    Scratch() {
        ::chmod(dir.path().c_str(), 0755);
        fs::create_directories(data());
        ::chmod(data().c_str(), 0777);
        fs::create_directories(conf);
        ::chmod(conf.c_str(), 0700);
        fs::copy_file(testPki().caPem, conf + "/mitmproxy-ca.pem");
    }
    std::string data() const { return dir / "data"; }
    std::string rules() const { return data() + "/proxy_rules.json"; }
    std::vector<std::string> args(const std::string& user = "emma") const {
        return {"--port", std::to_string(kPort), "--host", "127.0.0.1",   "--confdir",
                conf,     "--username",          user,     "--device-id", "D-1"};
    }
    TempDir dir;
    std::string conf = dir / "conf";
};

#define ENTER_OWN_NETWORK(ns) \
    NetNamespace ns;          \
    if (!ns.entered()) GTEST_SKIP() << ns.error() << " (the proxy tests need root)"

void expectBlockPage(const CurlAnswer& a) {
    EXPECT_EQ(a.status, 403) << a.error;
    EXPECT_TRUE(a.blockedByTarvo);
    EXPECT_NE(a.body.find("This site is blocked"), std::string::npos) << a.body;
}

size_t countLines(const std::string& text, const std::string& line) {
    size_t n = 0;
    for (size_t at = text.find(line + "\n"); at != std::string::npos;
         at = text.find(line + "\n", at + 1))
        if (at == 0 || text[at - 1] == '\n') ++n;
    return n;
}

struct Tunnel {
    std::string head;   // the proxy's answer to CONNECT
    std::string reply;  // what came back through the tunnel
};

// Opens a CONNECT tunnel to `target`, sends `payload` through it and reads
// until the proxy closes it (or 10 s pass).
Tunnel rawTunnel(const std::string& target, const std::string& payload) {
    Tunnel t;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return t;
    }
    const std::string connect = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
    ::send(fd, connect.data(), connect.size(), MSG_NOSIGNAL);
    std::string raw;
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (raw.find("\r\n\r\n") == std::string::npos && ::poll(&p, 1, 10000) > 0) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        raw.append(buf, static_cast<size_t>(n));
    }
    const size_t end = raw.find("\r\n\r\n");
    t.head = raw.substr(0, end);
    if (end != std::string::npos) t.reply = raw.substr(end + 4);
    ::send(fd, payload.data(), payload.size(), MSG_NOSIGNAL);
    while (::poll(&p, 1, 10000) > 0) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        t.reply.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return t;
}

// The destination is what counts: the address connected to, the CONNECT
// target and the TLS server name. A Host header naming another host than the
// one connected to is refused, and a blocked destination is never contacted.
TEST(FilteringProxy, DecidesOnWhereTrafficReallyGoes) {
    ENTER_OWN_NETWORK(ns);
    Scratch s;
    WebSite site("127.0.0.2");
    WebSite secure("127.0.0.2", /*tls=*/true);
    TcpListener blocked("127.0.0.3");
    replaceFile(s.rules(), R"({"whitelist": ["127.0.0.2", "localhost"], "blacklist": []})");
    EnvGuard rules("PROXY_RULES_FILE", s.rules());
    EnvGuard mitmdump("MITMDUMP", testPki().mitmdump);
    Process proxy(proxyLaunch(s.args()));
    ASSERT_TRUE(proxy.waitForOutput("ready")) << proxy.err();

    const std::string a = "127.0.0.2:" + std::to_string(site.port());
    const std::string tls = std::to_string(secure.port());
    const std::string b = "127.0.0.3:" + std::to_string(blocked.port());
    enum Outcome { Served = 200, Blocked = 403, AskAgain = 421 };
    struct Case {
        const char* what;
        std::vector<std::string> args;
        Outcome outcome;
    };
    const std::vector<Case> cases = {
        {"plain HTTP to an allowed address", {"http://" + a + "/page"}, Served},
        {"plain HTTP to a blocked address naming an allowed host",
         {"http://" + b + "/page", "-H", "Host: 127.0.0.2"},
         Blocked},
        {"plain HTTP to an allowed address naming another host",
         {"http://" + a + "/page", "-H", "Host: elsewhere.test"},
         Blocked},
        {"HTTP in a tunnel to an allowed address", {"-p", "http://" + a + "/page"}, Served},
        {"HTTP in a tunnel to a blocked address naming an allowed host",
         {"-p", "http://" + b + "/page", "-H", "Host: 127.0.0.2"},
         Blocked},
        {"HTTP in a tunnel to an allowed address naming another host",
         {"-p", "http://" + a + "/page", "-H", "Host: elsewhere.test"},
         Blocked},
        {"HTTPS to an allowed address", {"https://127.0.0.2:" + tls + "/page"}, Served},
        {"HTTPS to an allowed address naming another host",
         {"https://127.0.0.2:" + tls + "/page", "-H", "Host: elsewhere.test"},
         Blocked},
        {"HTTPS to an allowed address naming another allowed host",
         {"https://127.0.0.2:" + tls + "/page", "-H", "Host: localhost"},
         AskAgain},
        {"HTTPS whose server name is not the tunnel's destination",
         {"https://elsewhere.test:" + tls + "/page", "--connect-to",
          "elsewhere.test:" + tls + ":127.0.0.2:" + tls, "-H", "Host: 127.0.0.2"},
         Blocked},
        {"HTTPS whose server name is another allowed host",
         {"https://localhost:" + tls + "/page", "--connect-to",
          "localhost:" + tls + ":127.0.0.2:" + tls, "-H", "Host: 127.0.0.2"},
         AskAgain},
        {"HTTPS to a blocked address", {"https://" + b + "/page"}, Blocked},
        {"HTTPS to a blocked name that does not resolve", {"https://blocked.test/page"}, Blocked},
        {"HTTP to a blocked name that does not resolve", {"http://blocked.test/page"}, Blocked},
    };
    int served = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CurlAnswer answer = curlVia(kPort, c.args);
        if (c.outcome == Served) {
            ++served;
            EXPECT_EQ(answer.status, 200) << answer.error;
            EXPECT_EQ(answer.body, kHello);
        } else if (c.outcome == Blocked) {
            expectBlockPage(answer);
        } else {
            EXPECT_EQ(answer.status, 421) << answer.error;
            EXPECT_FALSE(answer.blockedByTarvo);
        }
    }
    EXPECT_EQ(site.requests() + secure.requests(), served) << "a refused request was forwarded";
    EXPECT_EQ(blocked.connections(), 0) << "the blocked server was contacted";

    // Bodies past the streaming threshold arrive whole, over HTTP and HTTPS.
    for (const std::string& url : {"http://" + a + "/big", "https://127.0.0.2:" + tls + "/big"}) {
        CurlAnswer big = curlVia(kPort, {url});
        EXPECT_EQ(big.status, 200) << url << big.error;
        EXPECT_EQ(big.body, std::string(WebSite::kBigBodySize, 'x')) << url;
    }
}

// A tunnel to a destination no whitelist entry admits relays nothing, whatever
// it carries; one to an admitted destination still relays raw bytes.
TEST(FilteringProxy, RefusesTunnelsItDoesNotAdmitWhateverTheyCarry) {
    ENTER_OWN_NETWORK(ns);
    Scratch s;
    TcpListener allowed("127.0.0.2");
    TcpListener blocked("127.0.0.3");
    replaceFile(s.rules(), R"({"whitelist": ["127.0.0.2"], "blacklist": []})");
    EnvGuard rules("PROXY_RULES_FILE", s.rules());
    Process proxy(proxyLaunch(s.args()));
    ASSERT_TRUE(proxy.waitForOutput("ready")) << proxy.err();

    const std::string payload("\x00\x01\x02 not HTTP, not TLS\n", 23);
    Tunnel refused = rawTunnel("127.0.0.3:" + std::to_string(blocked.port()), payload);
    EXPECT_EQ(refused.reply.find("pong"), std::string::npos) << refused.reply;
    EXPECT_EQ(blocked.connections(), 0);
    EXPECT_TRUE(blocked.received().empty());

    Tunnel relayed = rawTunnel("127.0.0.2:" + std::to_string(allowed.port()), payload);
    EXPECT_EQ(relayed.head.rfind("HTTP/1.1 200", 0), 0u) << relayed.head;
    EXPECT_EQ(relayed.reply, "pong");
    EXPECT_EQ(allowed.received(), payload);
}

// Whatever the child puts at the rules path, a file the proxy cannot use
// leaves the last good rules in force, and the proxy never hangs on it.
TEST(FilteringProxy, KeepsTheLastGoodRulesWhenTheFileCannotBeUsed) {
    ENTER_OWN_NETWORK(ns);
    Scratch s;
    WebSite allowed("127.0.0.2");
    WebSite blocked("127.0.0.3");
    replaceFile(s.rules(), R"({"whitelist": ["127.0.0.2"], "blacklist": ["127.0.0.3"]})");
    const std::string open = R"({"whitelist": ["127.0.0.2", "127.0.0.3"], "blacklist": []})";
    writeText(s.dir / "open.json", open);
    ::chmod((s.dir / "open.json").c_str(), 0644);
    EnvGuard rules("PROXY_RULES_FILE", s.rules());
    Process proxy(proxyLaunch(s.args()));
    ASSERT_TRUE(proxy.waitForOutput("ready")) << proxy.err();

    const std::string a = "http://127.0.0.2:" + std::to_string(allowed.port()) + "/page";
    const std::string b = "http://127.0.0.3:" + std::to_string(blocked.port()) + "/page";
    const std::string rename = " && mv -T \"$D/new\" \"$D/proxy_rules.json\"";
    const std::string d = "D='" + s.data() + "'; ";
    struct Plant {
        const char* what;
        std::string script;
    };
    const std::vector<Plant> plants = {
        {"100,000 opening brackets", d + "printf '[%.0s' $(seq 100000) > \"$D/new\"" + rename},
        {"a link to open rules", d + "ln -s '" + (s.dir / "open.json") + "' \"$D/new\"" + rename},
        {"a FIFO", d + "mkfifo \"$D/new\"" + rename},
        {"a file past the size cap",
         d + "{ printf '%s' '" + open +
             "'; head -c 9000000 /dev/zero | tr '\\0' ' '; } > \"$D/new\"" + rename},
        {"a file with a second link",
         d + "printf '%s' '" + open + "' > \"$D/new\"; ln \"$D/new\" \"$D/other\"" + rename},
        {"a JSON array", d + "echo '[]' > \"$D/new\"" + rename},
    };
    for (const auto& plant : plants) {
        SCOPED_TRACE(plant.what);
        ASSERT_TRUE(asNobody(plant.script));
        CurlAnswer yes = curlVia(kPort, {a});
        EXPECT_EQ(yes.status, 200) << yes.error;
        expectBlockPage(curlVia(kPort, {b}));
    }
    EXPECT_EQ(blocked.requests(), 0);
    EXPECT_NE(proxy.err().find("ignoring unreadable rules file"), std::string::npos);

    // Good rules written after all that still take effect.
    ASSERT_TRUE(asNobody(d + "printf '%s' '" + open + "' > \"$D/new\"" + rename));
    EXPECT_EQ(curlVia(kPort, {b}).status, 200);
}

// Start-up without rules says so and blocks everything; each blocked host is
// logged once a minute for the child named, whatever the name looks like.
// Start-up without rules says so and blocks everything. How entries match:
// host names with their subdomains, addresses only themselves, a blacklist
// entry winning; a replaced file takes effect at once. Names need not
// resolve: a blocked one gets the page without any look-up. Each blocked host
// is logged once a minute for the child named, whatever the name looks like.
TEST(FilteringProxy, MatchesEntriesFollowsTheRulesFileAndSaysWhatItDoes) {
    ENTER_OWN_NETWORK(ns);
    Scratch s;
    EnvGuard rules("PROXY_RULES_FILE", s.rules());
    std::vector<std::string> args = s.args("-x");
    args.back() = "--port";  // a device identifier that looks like an option
    Process proxy(proxyLaunch(args));
    ASSERT_TRUE(proxy.waitForOutput("ready")) << proxy.err();
    EXPECT_EQ(countLines(proxy.err(), kNoRules), 1u) << proxy.err();
    expectBlockPage(curlVia(kPort, {"http://127.0.0.2:1/"}));

    auto check = [&](const std::vector<std::pair<std::string, bool>>& cases) {
        for (const auto& [host, allowed] : cases) {
            SCOPED_TRACE(host);
            const CurlAnswer a = curlVia(kPort, {"http://" + host + ":1/"});
            if (allowed) {
                EXPECT_FALSE(a.blockedByTarvo) << a.status << a.error;
            } else {
                expectBlockPage(a);
            }
        }
    };
    replaceFile(s.rules(), R"({"whitelist": ["example.test", "*.allowed.test",
        "https://site.test/path", "127.0.0.2", "[::1]:8443"], "blacklist": ["ads.example.test"]})");
    check({{"example.test", true},
           {"www.example.test", true},
           {"EXAMPLE.test.", true},
           {"x.allowed.test", true},
           {"allowed.test", true},
           {"site.test", true},
           {"127.0.0.2", true},
           {"[::1]", true},
           {"ads.example.test", false},
           {"deep.ads.example.test", false},
           {"badexample.test", false},
           {"example.test.evil", false},
           {"127.0.0.20", false},
           {"other.test", false}});
    replaceFile(s.rules(), R"({"whitelist": ["other.test"], "blacklist": []})");
    check({{"other.test", true}, {"example.test", false}, {"127.0.0.3", false}});
    replaceFile(s.rules(), R"({"whitelist": [], "blacklist": []})");
    check({{"other.test", false}});
    EXPECT_TRUE(waitUntil([&] { return countLines(proxy.out(), "blocked other.test for -x"); }));
    const std::string out = proxy.out();
    for (const char* host : {"127.0.0.2", "127.0.0.3", "example.test", "other.test"})
        EXPECT_EQ(countLines(out, std::string("blocked ") + host + " for -x"), 1u) << out;
    EXPECT_EQ(countLines(proxy.err(), kNoRules), 1u);
}

// The certificate authority comes only from a directory that is this user's
// alone, and "ready" comes only once listening: anything else stops the
// proxy, and no key is made elsewhere.
TEST(FilteringProxy, NeverStartsWithoutATrustedConfdirOrItsPort) {
    ENTER_OWN_NETWORK(ns);
    Scratch s;
    const std::string tmp = s.dir / "tmp";
    fs::create_directories(tmp);
    EnvGuard tmpdir("TMPDIR", tmp);
    const std::string shared = s.dir / "shared";
    fs::create_directories(shared);
    ::chmod(shared.c_str(), 01777);
    ASSERT_TRUE(asNobody("mkdir -m 700 '" + shared + "/planted'"));
    const std::string open = s.dir / "open";
    fs::create_directories(open);
    ::chmod(open.c_str(), 0755);
    fs::copy_file(testPki().caPem, open + "/mitmproxy-ca.pem");
    fs::create_directory_symlink(s.conf, shared + "/link");
    replaceFile(s.rules(), R"({"whitelist": [], "blacklist": []})");
    EnvGuard rules("PROXY_RULES_FILE", s.rules());

    const std::string untrusted = "no trusted configuration directory";
    for (const auto& [confdir, why] :
         std::vector<std::pair<std::string, std::string>>{{shared + "/planted", untrusted},
                                                          {open, untrusted},
                                                          {shared + "/link", untrusted},
                                                          {s.dir / "missing", untrusted},
                                                          {s.conf, ""}}) {
        SCOPED_TRACE(confdir);
        TcpListener squatter("127.0.0.1");  // the port taken, for the trusted directory
        std::vector<std::string> args = s.args();
        args[5] = confdir;
        if (why.empty()) args[1] = std::to_string(squatter.port());
        Process proxy(proxyLaunch(args));
        const auto code = proxy.wait();
        EXPECT_TRUE(code && *code != 0);
        EXPECT_NE(proxy.err().find(why), std::string::npos) << proxy.err();
        EXPECT_EQ(proxy.out().find("ready"), std::string::npos);
        EXPECT_TRUE(fs::is_empty(tmp));
        EXPECT_TRUE(fs::is_empty(shared + "/planted"));
    }
}

}  // namespace
}  // namespace tarvo::test
