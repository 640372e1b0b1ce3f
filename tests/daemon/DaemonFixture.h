#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "core/Background.h"
#include "daemon/Daemon.h"
#include "support/Processes.h"
#include "support/TestSupport.h"
#include "support/VirtualTime.h"

namespace tarvo::test {

using polling::waitUntil;

// A throw-away authority, a certificate for "localhost" and 127.0.0.2, and a
// mitmdump that trusts that site upstream. Made once per test process.
struct TestPki {
    std::string caPem;     // key + certificate, what the proxy's confdir holds
    std::string rootCert;  // certificate alone, what clients trust
    std::string serverCert, serverKey, mitmdump;
};
const TestPki& testPki();

// A made root (stand-in tools included) in TARVO_ROOT; TARVO_RESOURCES holds
// the default rules, the TestPki authority and a proxy: a scripted fake that
// records how it was started, the real one, or none. The test process enters
// a private network first.
class DaemonRoot {
  public:
    enum class Proxy { Fake, Real, Missing };
    explicit DaemonRoot(Proxy proxy = Proxy::Fake);

    const std::string& root() const { return dir_.path(); }
    std::string resources() const { return dir_.path() + "/Resources"; }
    std::string records() const { return dir_.path() + "/proxy-records"; }
    std::string dataDir() const { return root() + "/Library/Application Support/Tarvo"; }
    std::string flagDir() const { return dataDir() + "/active-children"; }
    void installFakeProxy();
    // The enabled states of the web and secure web proxy of `service`.
    std::pair<bool, bool> proxyStates(const std::string& service) const;
    // Services listed by the networksetup stand-in, one a line ("*" marks a disabled one).
    void setServices(const std::string& lines) const {
        writeText(root() + "/.standins/networksetup/services", lines);
    }
    std::vector<std::vector<std::string>> networksetupCalls() const;

  private:
    TempDir dir_;
    EnvGuard root_;
    EnvGuard resources_;
};

// What each launch of the fake proxy saw: its pid, then "arg:…" lines and
// "env:NAME=value" lines for the three variables the daemon sets.
std::vector<std::pair<pid_t, std::vector<std::string>>> fakeLaunches(const std::string& records);

// The log lines of `path` after the timestamp ("[daemon] INFO  proxy started …").
std::vector<std::string> logMessages(const std::string& path);
bool hasLine(const std::vector<std::string>& lines, const std::string& text);
size_t countLinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix);

// A daemon on virtual time in a fresh root; shutdown records the exit code.
// The settings calls run inline unless `options` names a background.
struct DaemonHarness {
    explicit DaemonHarness(DaemonRoot::Proxy proxy = DaemonRoot::Proxy::Fake,
                           Daemon::Options options = {});
    ~DaemonHarness();
    std::vector<std::string> log() const;
    bool logged(const std::string& message) const { return hasLine(log(), message); }
    size_t count(const std::string& prefix) const { return countLinesStartingWith(log(), prefix); }
    // A presence flag dated `age` before the virtual clock's now.
    void writeFlag(const std::string& name, std::chrono::seconds age = {}) const;
    bool waitFor(const std::function<bool()>& done) {
        return queue.runUntil(done, std::chrono::seconds(30));
    }
    bool waitForLaunches(size_t n);
    // Kills the running proxy and waits for the daemon to start another.
    bool restartProxy();

    DaemonRoot root;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    std::shared_ptr<Daemon> daemon;
    std::optional<int> exitCode;
};

// A web server on a loopback `address` answering GET /page with "hello from
// the server" and GET /big with kBigBodySize bytes; HTTP, or HTTPS with the
// TestPki server certificate. Counts the requests it gets.
class WebSite {
  public:
    static constexpr size_t kBigBodySize = 3 * 1024 * 1024;
    explicit WebSite(const std::string& address, bool tls = false);
    ~WebSite();
    int port() const { return port_; }
    int requests() const { return requests_; }

  private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<int> requests_{0};
};

// What curl got through the HTTP proxy on 127.0.0.1:`proxyPort`, trusting
// the TestPki authority.
struct CurlAnswer {
    int status = 0;  // 0: no HTTP answer
    bool blockedByTarvo = false;
    std::string body;
    std::string error;
};
CurlAnswer curlVia(int proxyPort, const std::vector<std::string>& args);

// A new file renamed over `path`, the way the agent writes.
void replaceFile(const std::string& path, const std::string& text);
// Runs a bash script as nobody (a child planting files); fails the test on error.
bool asNobody(const std::string& script, const std::vector<std::string>& env = {});

}  // namespace tarvo::test
