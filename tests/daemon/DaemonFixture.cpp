#include "DaemonFixture.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/Subprocess.h"

namespace tarvo::test {
namespace fs = std::filesystem;

namespace {

const char* const kFakeProxy = R"(#!/bin/bash
# Records its arguments and the three variables it was given, talks on both
# streams, then waits to be told to stop.
out="$TARVO_TEST_RECORDS/launch.$$"
{
  printf 'arg:%s\n' "$@"
  printf 'env:PROXY_RULES_FILE=%s\n' "$PROXY_RULES_FILE"
  printf 'env:TARVO_DATA_DIR=%s\n' "$TARVO_DATA_DIR"
  printf 'env:TARVO_CONFIG_FILE=%s\n' "$TARVO_CONFIG_FILE"
} > "$out.tmp"
mv "$out.tmp" "$out"
printf 'ready\n\n'
printf 'something odd\n' >&2
[ -n "$TARVO_TEST_EXIT_AT_ONCE" ] && exit 3
if [ -n "$TARVO_TEST_LISTEN" ]; then
  # Listens on the proxy's port from a child process, as mitmdump may under
  # its launcher; a port already taken ends it with status 1.
  /usr/bin/python3 -c '
import socket, sys, time
s = socket.socket()
try:
    s.bind(("127.0.0.1", 8080))
except OSError as e:
    print("cannot bind:", e, flush=True)
    sys.exit(1)
s.listen()
print("listening", flush=True)
time.sleep(1000)
' &
  child=$!
  trap 'kill $child; exit 143' TERM
  wait $child
  exit $?
fi
exec sleep 1000
)";

}  // namespace

bool enterPrivateNetwork() {
    static const bool entered = [] {
        if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0) return false;
        // A new namespace has only a loopback interface, and it is down.
        const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
        const bool up =
            s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0 &&
            (ifr.ifr_flags |= IFF_UP | IFF_RUNNING, ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0);
        if (s >= 0) ::close(s);
        return up;
    }();
    return entered;
}

std::string runOrFail(const std::string& path, const std::vector<std::string>& args) {
    ProcessResult r = runProcess(path, args);
    EXPECT_TRUE(r.succeeded()) << path << ": " << r.launchError << r.err;
    return r.out;
}

DaemonRoot::DaemonRoot(Proxy proxy)
    : root_("TARVO_ROOT", dir_.path()), resources_("TARVO_RESOURCES", dir_.path() + "/Resources") {
    enterPrivateNetwork();
    // Unprivileged users must be able to reach the root (adversarial tests).
    ::chmod(dir_.path().c_str(), 0755);
    runOrFail(sourceDir() + "/scripts/make-root", {dir_.path()});
    fs::create_directories(resources() + "/proxy");
    fs::copy_file(sourceDir() + "/resources/proxy_rules.json", resources() + "/proxy_rules.json");
    // One certificate authority per test process: key generation is the slow part.
    static TempDir ca;
    static const bool made = (runOrFail(sourceDir() + "/scripts/make-test-ca", {ca.path()}), true);
    (void)made;
    for (const char* f : {"mitmproxy-ca.pem", "rootCert.pem"})
        fs::copy_file(ca.path() + "/" + f, resources() + "/" + f);
    fs::create_directories(records());
    ::setenv("TARVO_TEST_RECORDS", records().c_str(), 1);
    if (proxy == Proxy::Fake) installFakeProxy();
    if (proxy == Proxy::Real) {
        for (const char* f : {"TarvoProxy", "tarvo_filter.py"})
            fs::copy_file(sourceDir() + "/resources/proxy/" + f, resources() + "/proxy/" + f);
    }
}

void DaemonRoot::installFakeProxy() {
    const std::string path = resources() + "/proxy/TarvoProxy";
    writeText(path + ".tmp", kFakeProxy);
    ::chmod((path + ".tmp").c_str(), 0755);
    fs::rename(path + ".tmp", path);
}

std::string DaemonRoot::dataDir() const {
    return root() + "/Library/Application Support/Tarvo";
}
std::string DaemonRoot::flagDir() const {
    return dataDir() + "/active-children";
}

void DaemonRoot::writeFlag(const std::string& name, WallTime now, std::chrono::seconds age) {
    const std::string path = flagDir() + "/" + name;
    writeText(path, "");
    using namespace std::chrono;
    const auto ns = duration_cast<nanoseconds>((now - age).time_since_epoch()).count();
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = ns / 1'000'000'000;
    times[0].tv_nsec = times[1].tv_nsec = ns % 1'000'000'000;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

std::pair<bool, bool> DaemonRoot::proxyStates(const std::string& service) const {
    std::ifstream in(root() + "/.standins/networksetup/state.json");
    if (!in) return {false, false};
    auto state = nlohmann::json::parse(in, nullptr, false);
    auto enabled = [&](const char* kind) {
        return state.is_object() && state.contains(service) && state[service].contains(kind) &&
               state[service][kind].value("enabled", false);
    };
    return {enabled("web"), enabled("secureweb")};
}

void DaemonRoot::setServices(const std::vector<std::string>& services) {
    std::string text;
    for (const auto& s : services) text += s + "\n";
    writeText(root() + "/.standins/networksetup/services", text);
}

std::vector<std::vector<std::string>> DaemonRoot::networksetupCalls() const {
    std::vector<std::vector<std::string>> calls;
    for (const auto& line : readLines(root() + "/.standins/networksetup/calls.log"))
        calls.push_back(nlohmann::json::parse(line).get<std::vector<std::string>>());
    return calls;
}

std::vector<FakeLaunch> fakeLaunches(const std::string& recordsDir) {
    std::vector<FakeLaunch> launches;
    for (const auto& entry : fs::directory_iterator(recordsDir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("launch.", 0) != 0 || name.find(".tmp") != std::string::npos) continue;
        FakeLaunch launch;
        launch.pid = std::stoi(name.substr(7));
        for (const auto& line : readLines(entry.path().string())) {
            if (line.rfind("arg:", 0) == 0) launch.args.push_back(line.substr(4));
            if (line.rfind("env:", 0) == 0) {
                const size_t eq = line.find('=');
                launch.env[line.substr(4, eq - 4)] = line.substr(eq + 1);
            }
        }
        launches.push_back(std::move(launch));
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
    for (const auto& l : lines)
        if (l == text) return true;
    return false;
}

size_t countLinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix) {
    size_t n = 0;
    for (const auto& l : lines)
        if (l.rfind(prefix, 0) == 0) ++n;
    return n;
}

}  // namespace tarvo::test
