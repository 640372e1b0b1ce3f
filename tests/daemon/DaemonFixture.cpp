#include "DaemonFixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/Paths.h"
#include "support/VirtualTime.h"

namespace tarvo::test {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const char* const kFakeProxy = R"(#!/bin/bash
# Records its arguments and the three variables it was given, talks on both
# streams, then waits to be told to stop.
out="$TARVO_TEST_RECORDS/launch.$$"
printf 'arg:%s\n' "$@" > "$out.tmp"
for v in PROXY_RULES_FILE TARVO_DATA_DIR TARVO_CONFIG_FILE; do echo "env:$v=${!v}"; done >> "$out.tmp"
mv "$out.tmp" "$out"
printf 'ready\n\n'
printf 'something odd\n' >&2
[ -z "$TARVO_TEST_LISTEN" ] && exec sleep 1000
# Listens on the proxy's port from a child process, as mitmdump may under its
# launcher; a port already taken ends it with status 1.
/usr/bin/python3 -c 'import socket, time
s = socket.socket()
s.bind(("127.0.0.1", 8080))
s.listen()
print("listening", flush=True)
time.sleep(1000)' 2>/dev/null &
trap 'kill $!; exit 143' TERM
wait $!
exit $?
)";

void mustRun(const std::vector<std::string>& argv) {
    const ProcessResult r = run({.argv = argv});
    if (!r.succeeded()) ADD_FAILURE() << argv[0] << ": " << r.launchError << r.err;
}

// The authority is the one scripts/make-test-ca makes; the server's
// certificate signs itself, and mitmdump trusts it upstream.
TestPki makePki() {
    static TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const std::string ca = dir / "ca";
    mustRun({sourceDir() + "/scripts/make-test-ca", ca});
    TestPki pki{ca + "/mitmproxy-ca.pem", ca + "/rootCert.pem", dir / "server.pem",
                dir / "server.key", dir / "mitmdump"};
    mustRun({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
             "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", pki.serverKey, "-out",
             pki.serverCert, "-days", "30", "-subj", "/CN=localhost", "-addext",
             "subjectAltName=DNS:localhost,IP:127.0.0.2"});
    writeText(pki.mitmdump,
              "#!/bin/sh\nexec /usr/bin/mitmdump \"$@\" --set ssl_verify_upstream_trusted_ca=" +
                  pki.serverCert + "\n");
    ::chmod(pki.mitmdump.c_str(), 0755);
    return pki;
}

}  // namespace

const TestPki& testPki() {
    static const TestPki pki = makePki();
    return pki;
}

DaemonRoot::DaemonRoot(Proxy proxy)
    : root_("TARVO_ROOT", dir_.path()), resources_("TARVO_RESOURCES", dir_.path() + "/Resources") {
    enterPrivateNetwork();
    ::chmod(dir_.path().c_str(), 0755);  // reachable by the unprivileged runs
    mustRun({sourceDir() + "/scripts/make-root", dir_.path()});
    fs::create_directories(resources() + "/proxy");
    fs::create_directories(records());
    fs::copy_file(sourceDir() + "/resources/proxy_rules.json", resources() + "/proxy_rules.json");
    fs::copy_file(testPki().caPem, resources() + "/mitmproxy-ca.pem");
    fs::copy_file(testPki().rootCert, resources() + "/rootCert.pem");
    ::setenv("TARVO_TEST_RECORDS", records().c_str(), 1);
    if (proxy == Proxy::Fake) installFakeProxy();
    if (proxy == Proxy::Real)
        for (const char* f : {"TarvoProxy", "tarvo_filter.py"})
            fs::copy_file(sourceDir() + "/resources/proxy/" + f, resources() + "/proxy/" + f);
}

void DaemonRoot::installFakeProxy() {
    const std::string path = resources() + "/proxy/TarvoProxy";
    writeText(path + ".tmp", kFakeProxy);
    ::chmod((path + ".tmp").c_str(), 0755);
    fs::rename(path + ".tmp", path);
}

std::pair<bool, bool> DaemonRoot::proxyStates(const std::string& service) const {
    std::ifstream in(root() + "/.standins/networksetup/state.json");
    const auto state = nlohmann::json::parse(in, nullptr, false);
    auto enabled = [&](const char* kind) {
        return state.is_object() && state.contains(service) && state[service].contains(kind) &&
               state[service][kind].value("enabled", false);
    };
    return {enabled("web"), enabled("secureweb")};
}

std::vector<std::vector<std::string>> DaemonRoot::networksetupCalls() const {
    std::vector<std::vector<std::string>> calls;
    for (const auto& line : readLines(root() + "/.standins/networksetup/calls.log"))
        calls.push_back(nlohmann::json::parse(line).get<std::vector<std::string>>());
    return calls;
}

std::vector<std::pair<pid_t, std::vector<std::string>>> fakeLaunches(const std::string& records) {
    std::vector<std::pair<pid_t, std::vector<std::string>>> launches;
    for (const auto& entry : fs::directory_iterator(records)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("launch.", 0) == 0 && name.find(".tmp") == std::string::npos)
            launches.emplace_back(std::stoi(name.substr(7)), readLines(entry.path().string()));
    }
    return launches;
}

std::vector<std::string> logMessages(const std::string& path) {
    std::vector<std::string> out;
    for (const auto& line : readLines(path)) {
        const size_t space = line.find(' ');
        out.push_back(space == std::string::npos ? line : line.substr(space + 1));
    }
    return out;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

size_t countLinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

DaemonHarness::DaemonHarness(DaemonRoot::Proxy proxy, Daemon::Options options) : root(proxy) {
    options.exitProcess = [this](int code) { exitCode = code; };
    if (!options.background) options.background = std::make_shared<InlineBackground>();
    daemon = Daemon::create(queue, clock, options);
}

void DaemonHarness::writeFlag(const std::string& name, std::chrono::seconds age) const {
    writeText(root.flagDir() + "/" + name, "");
    fs::last_write_time(root.flagDir() + "/" + name,
                        std::chrono::file_clock::from_sys(clock->now() - age));
}

DaemonHarness::~DaemonHarness() {
    if (::testing::Test::HasFailure())
        for (const auto& l : log()) std::fprintf(stderr, "%s\n", l.c_str());
    daemon.reset();
}

std::vector<std::string> DaemonHarness::log() const {
    return logMessages(Paths::daemonLog());
}

bool DaemonHarness::waitForLaunches(size_t n) {
    return waitFor([&] { return fakeLaunches(root.records()).size() >= n && daemon->proxyPid(); });
}

bool DaemonHarness::restartProxy() {
    ::kill(*daemon->proxyPid(), SIGKILL);
    if (!waitFor([&] { return !daemon->proxyPid(); })) return false;
    queue.advance(2s);
    return waitFor([&] { return daemon->proxyPid().has_value(); });
}

WebSite::WebSite(const std::string& address, bool tls) {
    if (tls)
        server_ = std::make_unique<httplib::SSLServer>(testPki().serverCert.c_str(),
                                                       testPki().serverKey.c_str());
    else
        server_ = std::make_unique<httplib::Server>();
    server_->set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
        ++requests_;
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server_->Get("/page", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("hello from the server", "text/plain");
    });
    server_->Get("/big", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(kBigBodySize, 'x'), "application/octet-stream");
    });
    port_ = server_->bind_to_any_port(address);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) std::this_thread::sleep_for(1ms);
}

WebSite::~WebSite() {
    server_->stop();
    thread_.join();
}

CurlAnswer curlVia(int proxyPort, const std::vector<std::string>& args) {
    TempDir dir;
    const std::string proxy = "http://127.0.0.1:" + std::to_string(proxyPort);
    std::vector<std::string> argv = {"/usr/bin/curl", "-sS", "--max-time", "20", "-x", proxy};
    argv.insert(argv.end(), {"--cacert", testPki().rootCert, "-D", dir / "headers"});
    argv.insert(argv.end(), {"-o", dir / "body", "-w", "%{http_code}"});
    argv.insert(argv.end(), args.begin(), args.end());
    const ProcessResult r = run({.argv = argv});
    // HTTP/2 sends header names in lower case.
    std::string headers = exists(dir / "headers") ? readText(dir / "headers") : "";
    for (char& c : headers) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return {std::atoi(r.out.c_str()), headers.find("x-tarvo-blocked: 1") != std::string::npos,
            exists(dir / "body") ? readText(dir / "body") : "", r.err};
}

void replaceFile(const std::string& path, const std::string& text) {
    writeText(path + ".new", text);
    fs::rename(path + ".new", path);
}

bool asNobody(const std::string& script, const std::vector<std::string>& env) {
    std::vector<std::string> all = {"PATH=/usr/bin:/bin"};
    all.insert(all.end(), env.begin(), env.end());
    const ProcessResult r =
        run({.argv = {"/bin/bash", "-ec", script}, .env = all, .user = kNobody});
    if (!r.succeeded()) ADD_FAILURE() << script << ": " << r.err;
    return r.succeeded();
}

}  // namespace tarvo::test
