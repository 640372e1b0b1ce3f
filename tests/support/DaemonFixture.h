#pragma once
// The daemon's test fixture, shared with the end-to-end tests.

#include <gmock/gmock.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "core/AtomicFile.h"
#include "core/Paths.h"
#include "daemon/Daemon.h"
#include "platform/mac/MacServices.h"
#include "support/Processes.h"
#include "support/TestSupport.h"
#include "support/VirtualTime.h"

namespace tarvo::test {

using polling::waitUntil;

inline void mustRun(const std::vector<std::string>& argv) {
    const ProcessResult r = run({.argv = argv});
    if (!r.succeeded()) ADD_FAILURE() << argv[0] << ": " << r.launchError << r.err;
}

// Made once per process: a throw-away authority (scripts/make-test-ca) and a
// certificate it issued for service.test, allowed.test and blocked.test
// (trusted wherever the authority is).
struct TestPki {
    std::string caPem;     // key + certificate, what the proxy's confdir holds
    std::string rootCert;  // certificate alone, what clients trust
    std::string siteCert, siteKey;
};
inline const TestPki& testPki() {
    static TempDir dir;
    static const TestPki pki = [] {
        mustRun({"/bin/bash", "-ec",
                 "cd '" + dir.path() + "'; chmod 755 .; '" + sourceDir() +
                     "/scripts/make-test-ca' ca\n"
                     "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                     "-keyout site.key -out site.csr -subj /CN=service.test 2>/dev/null\n"
                     "openssl x509 -req -in site.csr -CA ca/rootCert.pem -CAkey "
                     "ca/mitmproxy-ca.pem -CAcreateserial -days 30 -out site.pem -extfile "
                     "/dev/stdin 2>/dev/null <<< "
                     "'subjectAltName=DNS:service.test,DNS:allowed.test,DNS:blocked.test'\n"
                     "chmod 644 site.key"});
        return TestPki{dir / "ca/mitmproxy-ca.pem", dir / "ca/rootCert.pem", dir / "site.pem",
                       dir / "site.key"};
    }();
    return pki;
}

// A stand-in proxy: records its arguments and the three variables it was
// given, talks on both streams, waits to be told to stop. With
// TARVO_TEST_LISTEN a child process of it holds the listening socket the
// daemon handed over, as mitmdump may under its launcher, and answers every
// request with 200 "faked".
inline const char* const kFakeProxy = R"(#!/bin/bash
out="$TARVO_TEST_RECORDS/launch.$$"
printf 'arg:%s\n' "$@" > "$out.tmp"
for v in PROXY_RULES_FILE TARVO_DATA_DIR TARVO_CONFIG_FILE; do echo "env:$v=${!v}"; done >> "$out.tmp"
mv "$out.tmp" "$out"
printf 'ready\n\n'
printf 'something odd\n' >&2
[ -z "$TARVO_TEST_LISTEN" ] && exec sleep 1000
/usr/bin/python3 -c 'import os, socket; s = socket.socket(fileno=int(os.environ["TARVO_LISTEN_FD"]))
print("listening", flush=True)
while True:
    c, head = s.accept()[0], b""
    while b"\r\n\r\n" not in head and len(head) < 65536:
        data = c.recv(65536)
        if not data: break
        head += data
    c.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nfaked"); c.close()' 2>/dev/null &
trap 'kill $!; exit 143' TERM
wait $!
)";

// A made root in TARVO_ROOT, in a private network, with the Mac's tools (the
// stand-ins) as the system's services; TARVO_RESOURCES holds the default
// rules, the TestPki authority and a proxy: fake, real, or none.
class DaemonRoot {
  public:
    enum class Proxy { Fake, Real, Missing };
    explicit DaemonRoot(Proxy proxy = Proxy::Fake)
        : root_("TARVO_ROOT", dir_.path()), resources_("TARVO_RESOURCES", resources()) {
        enterPrivateNetwork();
        ::chmod(dir_.path().c_str(), 0755);  // reachable by the unprivileged runs
        mustRun({sourceDir() + "/scripts/make-root", dir_.path()});
        mustRun({"/bin/mkdir", "-p", records()});
        ::setenv("TARVO_TEST_RECORDS", records().c_str(), 1);
        layResources(resources(), proxy == Proxy::Real);
        if (proxy == Proxy::Fake) installFakeProxy();
    }

    // The bundle's resources in `dir`: the default rules, the TestPki
    // authority and, when `realProxy`, the filtering proxy.
    static void layResources(const std::string& dir, bool realProxy) {
        mustRun({"/bin/bash", "-ec", "mkdir -p \"$1/proxy\"; cp \"$2\" \"$3\" \"$4\" \"$1\"", "-",
                 dir, sourceDir() + "/resources/proxy_rules.json", testPki().caPem,
                 testPki().rootCert});
        if (realProxy)
            for (const char* f : {"TarvoProxy", "tarvo_filter.py", "tarvo_limits.py"})
                std::filesystem::copy_file(sourceDir() + "/resources/proxy/" + f,
                                           dir + "/proxy/" + f);
    }

    const std::string& root() const { return dir_.path(); }
    std::string resources() const { return dir_.path() + "/Resources"; }
    std::string records() const { return dir_.path() + "/proxy-records"; }
    void installFakeProxy() const {
        const std::string path = resources() + "/proxy/TarvoProxy";
        writeText(path + ".tmp", kFakeProxy);
        ::chmod((path + ".tmp").c_str(), 0755);
        std::filesystem::rename(path + ".tmp", path);
    }
    // The enabled states of the web and secure web proxy of `service`.
    std::pair<bool, bool> proxyStates(const std::string& service) const {
        const auto state = nlohmann::json::parse(
            readText(root() + "/.standins/networksetup/state.json"), nullptr, false);
        auto enabled = [&](const std::string& kind) {
            const nlohmann::json::json_pointer at("/" + service + "/" + kind + "/enabled");
            return state.is_object() && state.value(at, false);
        };
        return {enabled("web"), enabled("secureweb")};
    }
    // Services listed by the networksetup stand-in, one a line ("*" marks a disabled one).
    void setServices(const std::string& lines) const {
        writeText(root() + "/.standins/networksetup/services", lines);
    }
    std::vector<std::vector<std::string>> networksetupCalls() const {
        std::vector<std::vector<std::string>> calls;
        for (const auto& line : readLines(root() + "/.standins/networksetup/calls.log"))
            calls.push_back(nlohmann::json::parse(line).get<std::vector<std::string>>());
        return calls;
    }

  private:
    TempDir dir_;
    LayoutGuard root_;
    LayoutGuard resources_;
    LayoutGuard platform_{"TARVO_PLATFORM", "mac"};
};

// Each launch of the fake proxy: its pid, its "arg:…" and "env:NAME=value" lines.
inline std::vector<std::pair<pid_t, std::vector<std::string>>> fakeLaunches(
    const std::string& records) {
    std::vector<std::pair<pid_t, std::vector<std::string>>> launches;
    for (const auto& e : std::filesystem::directory_iterator(records))
        if (const std::string name = e.path().filename(); !name.ends_with(".tmp"))
            launches.emplace_back(std::stoi(name.substr(7)), readLines(e.path()));
    return launches;
}

// How many lines of `log` (the daemon's) start with `prefix`.
inline size_t daemonLogCount(const std::string& prefix,
                             const std::string& log = Paths::daemonLog()) {
    return std::ranges::count_if(logMessages(log),
                                 [&](const std::string& l) { return l.starts_with(prefix); });
}

// A daemon on virtual time in a fresh root; settings calls run inline unless
// `options` names a background, and shutdown records the exit code.
struct DaemonHarness {
    explicit DaemonHarness(DaemonRoot::Proxy proxy = DaemonRoot::Proxy::Fake,
                           Daemon::Options options = {})
        : root(proxy) {
        options.exitProcess = [this](int code) { exitCode = code; };
        if (!options.background) options.background = std::make_shared<InlineBackground>();
        if (!options.systemProxy)
            options.systemProxy = std::make_shared<platform::MacSystemProxy>();
        if (!options.certificateTrust)
            options.certificateTrust = std::make_shared<platform::MacCertificateTrust>();
        daemon = Daemon::create(queue, clock, options);
    }
    bool logged(const std::string& message) const {
        return hasLine(logMessages(Paths::daemonLog()), message);
    }
    size_t count(const std::string& prefix) const { return daemonLogCount(prefix); }
    bool waitFor(const std::function<bool()>& done) {
        return queue.runUntil(done, std::chrono::seconds(30));
    }
    bool waitForLaunches(size_t n) {
        return waitFor(
            [&] { return fakeLaunches(root.records()).size() >= n && daemon->proxyPid(); });
    }
    // A presence flag dated `age` before the virtual clock's now, of `owner`'s.
    void writeFlag(const std::string& name, std::chrono::seconds age = {},
                   std::optional<uid_t> owner = {}) const {
        const std::string path = Paths::activeChildrenDir() + "/" + name;
        writeText(path, "");
        std::filesystem::last_write_time(path,
                                         std::chrono::file_clock::from_sys(clock->now() - age));
        EXPECT_TRUE(!owner || ::chown(path.c_str(), *owner, *owner) == 0) << path;
    }

    DaemonRoot root;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    std::shared_ptr<Daemon> daemon;
    std::optional<int> exitCode;
};

// A web server on `address` counting requests for GET /page ("hello from the
// server", or `html` when given, as a page); HTTP, or HTTPS with the
// certificate for the test sites (`siteCert`); on `port`, or on a free one. GET /seen?browser=NAME,
// a page's report that it ran, is recorded.
class WebSite {
  public:
    explicit WebSite(const std::string& address, int port = 0, const std::string& html = "",
                     bool siteCert = false) {
        server_.reset(
            siteCert ? new httplib::SSLServer(testPki().siteCert.c_str(), testPki().siteKey.c_str())
                     : new httplib::Server());
        server_->Get("/page", [this, html](const httplib::Request&, httplib::Response& res) {
            ++requests_;
            res.set_content(html.empty() ? "hello from the server" : html,
                            html.empty() ? "text/plain" : "text/html; charset=utf-8");
        });
        server_->Get("/seen", [this](const httplib::Request& req, httplib::Response& res) {
            const std::lock_guard lock(mutex_);
            seen_.push_back(req.get_param_value("browser"));
            res.set_content("ok", "text/plain");
        });
        port_ = port ? (server_->bind_to_port(address, port) ? port : -1)
                     : server_->bind_to_any_port(address);
        if (port_ < 0) throw std::runtime_error("cannot listen on " + address);
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~WebSite() {
        server_->stop();
        thread_.join();
    }
    int port() const { return port_; }
    int requests() const { return requests_; }
    // The browsers whose pages reported back, in order.
    std::vector<std::string> seen() const {
        const std::lock_guard lock(mutex_);
        return seen_;
    }

  private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<int> requests_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> seen_;
};

// What curl got through the proxy on 127.0.0.1:`proxyPort`, trusting TestPki.
struct CurlAnswer {
    int status = 0;  // 0: no HTTP answer
    bool blockedByTarvo = false;
    std::string body;
    std::string error;
};
inline CurlAnswer curlVia(int proxyPort, const std::vector<std::string>& args) {
    const std::string proxy = "http://127.0.0.1:" + std::to_string(proxyPort);
    const char* const status = "\n%{http_code} %header{x-tarvo-blocked}";
    std::vector<std::string> argv = {"/usr/bin/curl", "-sS", "--max-time", "20",      "-x",
                                     proxy,           "-w",  status,       "--cacert"};
    argv.push_back(testPki().rootCert);
    argv.insert(argv.end(), args.begin(), args.end());
    const ProcessResult r = run({.argv = argv});
    const size_t end = r.out.rfind('\n');  // the body, then the status line
    return {std::atoi(r.out.c_str() + end + 1), r.out.ends_with(" 1"), r.out.substr(0, end), r.err};
}

// Whether each user (none: root) gets the page at the URL without any proxy,
// trusting TestPki.
inline void expectReach(
    const std::vector<std::tuple<std::optional<uid_t>, std::string, bool>>& cases) {
    for (const auto& [user, url, reached] : cases) {
        const std::vector<std::string> curl = {
            "/usr/bin/curl",    "-sS", "--noproxy", "*", "--max-time", "10", "--cacert",
            testPki().rootCert, "-o",  "/dev/null", url};
        EXPECT_EQ(run({.argv = curl, .user = user}).succeeded(), reached)
            << (user ? std::to_string(*user) : "root") << " " << url;
    }
}

// The firewall table the daemon keeps for present children ("" when none).
inline std::string nftTable() {
    return run({.argv = {"/usr/sbin/nft", "list", "table", "inet", "tarvo"}}).out;
}

// What stands at `path`, not following a link: "directory 1777 uid 0",
// "regular file 0644 links 2 uid 65534" (more than one name), "missing"...
inline std::string entryAt(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return "missing";
    char mode[8];
    std::snprintf(mode, sizeof mode, " %04o", st.st_mode & 07777);
    const bool linked = S_ISREG(st.st_mode) && st.st_nlink != 1;
    return describeFileType(st.st_mode) + mode +
           (linked ? " links " + std::to_string(st.st_nlink) : "") + " uid " +
           std::to_string(st.st_uid);
}

// Runs a bash script as nobody (a child planting files), or as `user` (none:
// root); fails the test on error.
inline bool asNobody(const std::string& script, const std::vector<std::string>& env = {},
                     std::optional<uid_t> user = kNobody) {
    std::vector<std::string> all = {"PATH=/usr/bin:/bin"};
    all.insert(all.end(), env.begin(), env.end());
    const ProcessResult r = run({.argv = {"/bin/bash", "-ec", script}, .env = all, .user = user});
    if (!r.succeeded()) ADD_FAILURE() << script << ": " << r.err;
    return r.succeeded();
}

}  // namespace tarvo::test
