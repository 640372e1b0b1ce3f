// The filtering proxy run for real in a network namespace of its own, where
// port 8080 is free and 127.0.0.2 and 127.0.0.3 are two local "sites".

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "DaemonFixture.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;

constexpr int kPort = 8080;
const char* const kNoRules = "no rules file \xE2\x80\x94 blocking everything";

// A scratch tree like the real one: a data directory everybody may write
// (where the child replaces the rules file) and a private confdir.
struct Scratch {
    Scratch() {
        ::chmod(dir.path().c_str(), 0755);
        fs::create_directories(data);
        ::chmod(data.c_str(), 0777);
        fs::create_directories(conf);
        ::chmod(conf.c_str(), 0700);
        fs::copy_file(testPki().caPem, conf + "/mitmproxy-ca.pem");
    }
    Launch launch(const std::string& confdir, int port = kPort) const {
        return {.argv = {sourceDir() + "/resources/proxy/TarvoProxy", "--port",
                         std::to_string(port), "--host", "127.0.0.1", "--confdir", confdir,
                         "--username", "-x", "--device-id", "--port"}};
    }
    TempDir dir;
    std::string data = dir / "data", rules = data + "/proxy_rules.json", conf = dir / "conf";
};

// A TCP port on a loopback address, served by a child process that prints
// each connection and the bytes it sent (in hex), answers "pong" and closes.
const char* const kListener = R"(import socket, sys
s = socket.create_server((sys.argv[1], 0))
print(s.getsockname()[1], flush=True)
while True:
    c = s.accept()[0]
    c.settimeout(2)
    print("connection", c.recv(4096).hex(), flush=True)
    c.sendall(b"pong")
    c.close())";

int portOf(Process& listener) {
    EXPECT_TRUE(listener.waitForOutput("\n"));
    return std::atoi(listener.out().c_str());
}

void expectBlockPage(const CurlAnswer& a) {
    EXPECT_EQ(a.status, 403) << a.error;
    EXPECT_TRUE(a.blockedByTarvo);
    EXPECT_NE(a.body.find("This site is blocked"), std::string::npos) << a.body;
}

size_t countLines(const std::string& text, const std::string& line) {
    size_t n = 0;
    for (size_t at = text.find(line + "\n"); at != std::string::npos;
         at = text.find(line + "\n", at + 1))
        n += at == 0 || text[at - 1] == '\n';
    return n;
}

// What comes back through a CONNECT tunnel to `target` that carries bytes
// that are neither HTTP nor TLS (curl's telnet sends its input as it is).
std::string rawTunnel(const std::string& target) {
    return run({.argv = {"/bin/bash", "-c",
                         "printf '\\x00\\x01\\x02 not HTTP, not TLS\\n' | /usr/bin/curl -sS "
                         "--max-time 10 -p -x http://127.0.0.1:8080 telnet://" +
                             target}})
        .out;
}

// One proxy through its life: no rules, then rules deciding on where traffic
// really goes (the address connected to, the CONNECT target, the TLS server
// name; a Host header naming another host is refused, a blocked destination
// never contacted), files a child plants at the rules path, and how entries match.
TEST(FilteringProxy, DecidesOnTheRealDestinationAndKeepsTheLastGoodRules) {
    NetNamespace ns;
    if (!ns.entered()) GTEST_SKIP() << ns.error() << " (the proxy tests need root)";
    Scratch s;
    WebSite site("127.0.0.2");
    WebSite secure("127.0.0.2", /*tls=*/true);
    Process raw({.argv = {"/usr/bin/python3", "-c", kListener, "127.0.0.2"}});
    Process blocked({.argv = {"/usr/bin/python3", "-c", kListener, "127.0.0.3"}});
    EnvGuard rules("PROXY_RULES_FILE", s.rules);
    EnvGuard mitmdump("MITMDUMP", testPki().mitmdump);
    Process proxy(s.launch(s.conf));
    ASSERT_TRUE(proxy.waitForOutput("ready")) << proxy.err();
    EXPECT_EQ(countLines(proxy.err(), kNoRules), 1u) << proxy.err();
    const std::string a = "127.0.0.2:" + std::to_string(site.port());
    const std::string tls = std::to_string(secure.port());
    const std::string b = "127.0.0.3:" + std::to_string(portOf(blocked));
    const std::string pageA = "http://" + a + "/page", pageB = "http://" + b + "/page";
    const std::string pageTls = "https://127.0.0.2:" + tls + "/page", toA = ":127.0.0.2:" + tls;
    expectBlockPage(curlVia(kPort, {pageA}));

    replaceFile(s.rules, R"({"whitelist": ["127.0.0.2", "localhost"], "blacklist": []})");
    const std::string H = "-H", other = "Host: elsewhere.test", allowed = "Host: 127.0.0.2";
    const struct {
        const char* what;
        std::vector<std::string> args;
        int status;  // 403: the block page; 421: ask again on a connection of its own
    } cases[] = {
        {"plain HTTP to an allowed address", {pageA}, 200},
        {"plain HTTP to a blocked address naming an allowed host", {pageB, H, allowed}, 403},
        {"plain HTTP naming another host", {pageA, H, other}, 403},
        {"HTTP in a tunnel to an allowed address", {"-p", pageA}, 200},
        {"HTTP in a tunnel to a blocked address naming an allowed host",
         {"-p", pageB, H, allowed},
         403},
        {"HTTP in a tunnel naming another host", {"-p", pageA, H, other}, 403},
        {"HTTPS to an allowed address", {pageTls}, 200},
        {"HTTPS naming another host", {pageTls, H, other}, 403},
        {"HTTPS naming another allowed host", {pageTls, H, "Host: localhost"}, 421},
        {"HTTPS whose server name is not the tunnel's destination",
         {"https://elsewhere.test:" + tls + "/page", "--connect-to", "elsewhere.test:" + tls + toA,
          H, allowed},
         403},
        {"HTTPS whose server name is another allowed host",
         {"https://localhost:" + tls + "/page", "--connect-to", "localhost:" + tls + toA, H,
          allowed},
         421},
        {"HTTPS to a blocked address", {"https://" + b + "/page"}, 403},
        {"HTTPS to a blocked name that does not resolve", {"https://blocked.test/page"}, 403},
    };
    int served = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const CurlAnswer answer = curlVia(kPort, c.args);
        served += c.status == 200;
        if (c.status == 403) {
            expectBlockPage(answer);
        } else {
            EXPECT_EQ(answer.status, c.status) << answer.error;
            EXPECT_FALSE(answer.blockedByTarvo);
            EXPECT_EQ(answer.body, c.status == 200 ? "hello from the server" : answer.body);
        }
    }
    EXPECT_EQ(site.requests() + secure.requests(), served) << "a refused request was forwarded";
    // Bodies past the streaming threshold arrive whole, over HTTP and HTTPS.
    for (const std::string& url : {"http://" + a + "/big", "https://127.0.0.2:" + tls + "/big"}) {
        const CurlAnswer big = curlVia(kPort, {url});
        EXPECT_EQ(big.status, 200) << url << big.error;
        EXPECT_EQ(big.body, std::string(WebSite::kBigBodySize, 'x')) << url;
    }
    // A tunnel no entry admits relays nothing, whatever it carries; an
    // admitted one still relays raw bytes.
    EXPECT_EQ(rawTunnel(b), "");
    EXPECT_EQ(rawTunnel("127.0.0.2:" + std::to_string(portOf(raw))), "pong");
    EXPECT_NE(raw.out().find("connection 000102206e6f74"), std::string::npos) << raw.out();
    EXPECT_EQ(blocked.out().find("connection"), std::string::npos) << "contacted";

    // Whatever the child puts at the rules path, a file the proxy cannot use
    // leaves the last good rules in force, and the proxy never hangs on it.
    replaceFile(s.rules, R"({"whitelist": ["127.0.0.2"], "blacklist": ["127.0.0.3"]})");
    const std::string open = R"({"whitelist": ["127.0.0.2", "127.0.0.3"], "blacklist": []})";
    writeText(s.dir / "open.json", open);
    ::chmod((s.dir / "open.json").c_str(), 0644);
    const std::string d = "D='" + s.data + "'; ", rename = " && mv -T $D/new $D/proxy_rules.json";
    const std::pair<const char*, std::string> plants[] = {
        {"100,000 opening brackets", "printf '[%.0s' $(seq 100000) > $D/new"},
        {"a link to open rules", "ln -s '" + (s.dir / "open.json") + "' $D/new"},
        {"a FIFO", "mkfifo $D/new"},
        {"a file past the size cap",
         "{ printf '%s' '" + open + "'; head -c 9000000 /dev/zero | tr '\\0' ' '; } > $D/new"},
        {"a file with a second link", "printf '%s' '" + open + "' > $D/new; ln $D/new $D/other"},
        {"a JSON array", "echo '[]' > $D/new"},
    };
    for (const auto& [what, script] : plants) {
        SCOPED_TRACE(what);
        ASSERT_TRUE(asNobody(d + script + rename));
        EXPECT_EQ(curlVia(kPort, {pageA}).status, 200);
        expectBlockPage(curlVia(kPort, {pageB}));
    }
    EXPECT_NE(proxy.err().find("ignoring unreadable rules file"), std::string::npos);
    // Good rules written after all that still take effect.
    ASSERT_TRUE(asNobody(d + "printf '%s' '" + open + "' > $D/new" + rename));
    EXPECT_FALSE(curlVia(kPort, {pageB}).blockedByTarvo);
    EXPECT_TRUE(waitUntil([&] { return blocked.out().find("connection") != std::string::npos; }));

    // Host names match with their subdomains, addresses only themselves, a
    // blacklist entry wins; names need not resolve.
    replaceFile(s.rules, R"({"whitelist": ["example.test", "*.allowed.test",
        "https://site.test/path", "127.0.0.2", "[::1]:8443"], "blacklist": ["ads.example.test"]})");
    for (const char* host : {"example.test", "www.example.test", "EXAMPLE.test.", "x.allowed.test",
                             "allowed.test", "site.test", "[::1]", "127.0.0.2"}) {
        const CurlAnswer answer = curlVia(kPort, {"http://" + std::string(host) + ":1/"});
        EXPECT_FALSE(answer.blockedByTarvo) << host << answer.status << answer.error;
    }
    for (const char* host : {"127.0.0.20", "ads.example.test", "badexample.test",
                             "deep.ads.example.test", "example.test.evil", "other.test"}) {
        SCOPED_TRACE(host);
        expectBlockPage(curlVia(kPort, {"http://" + std::string(host) + ":1/"}));
    }
    // Each blocked host is logged once a minute for the child named, whatever
    // the name looks like.
    EXPECT_TRUE(waitUntil([&] { return countLines(proxy.out(), "blocked other.test for -x"); }));
    for (const char* host : {"127.0.0.3", "other.test", "ads.example.test"})
        EXPECT_EQ(countLines(proxy.out(), std::string("blocked ") + host + " for -x"), 1u);
    EXPECT_EQ(countLines(proxy.err(), kNoRules), 1u);
}

// The certificate authority comes only from a directory that is this user's
// alone, and "ready" comes only once listening: anything else stops the
// proxy, and no key is made elsewhere.
TEST(FilteringProxy, NeverStartsWithoutATrustedConfdirOrItsPort) {
    NetNamespace ns;
    if (!ns.entered()) GTEST_SKIP() << ns.error() << " (the proxy tests need root)";
    Scratch s;
    const std::string tmp = s.dir / "tmp", shared = s.dir / "shared", open = s.dir / "open";
    fs::create_directories(tmp);
    EnvGuard tmpdir("TMPDIR", tmp);
    fs::create_directories(shared);
    ::chmod(shared.c_str(), 01777);
    ASSERT_TRUE(asNobody("mkdir -m 700 '" + shared + "/planted'"));
    fs::create_directories(open);
    ::chmod(open.c_str(), 0755);
    fs::copy_file(testPki().caPem, open + "/mitmproxy-ca.pem");
    fs::create_directory_symlink(s.conf, shared + "/link");
    replaceFile(s.rules, R"({"whitelist": [], "blacklist": []})");
    EnvGuard rules("PROXY_RULES_FILE", s.rules);
    for (const std::string& confdir :
         {shared + "/planted", open, shared + "/link", s.dir / "missing", s.conf}) {
        SCOPED_TRACE(confdir);
        WebSite squatter("127.0.0.1");  // the port taken, for the trusted directory
        const bool trusted = confdir == s.conf;
        Process proxy(s.launch(confdir, trusted ? squatter.port() : kPort));
        const auto code = proxy.wait();
        EXPECT_TRUE(code && *code != 0);
        EXPECT_EQ(proxy.err().find("no trusted configuration directory") == std::string::npos,
                  trusted)
            << proxy.err();
        EXPECT_EQ(proxy.out().find("ready"), std::string::npos);
        EXPECT_TRUE(fs::is_empty(tmp));
        EXPECT_TRUE(fs::is_empty(shared + "/planted"));
    }
}

}  // namespace
}  // namespace tarvo::test
