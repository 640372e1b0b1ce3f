#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "support/TestSupport.h"

namespace tarvo::test {

using polling::waitUntil;

// Puts the calling thread, and every thread and process it starts from then
// on, into a network namespace of its own with only the loopback device up:
// fixed ports such as 8080 are always free there, every 127.x.y.z address is
// local, and nothing reaches the outside (name look-ups fail at once). The
// thread returns to its old namespace at destruction. Needs root.
class NetNamespace {
  public:
    NetNamespace();
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;
    bool entered() const { return entered_; }
    const std::string& error() const { return error_; }

  private:
    int original_ = -1;
    bool entered_ = false;
    std::string error_;
};

// A throw-away certificate authority (the proxy's), a server certificate it
// signed for "localhost" and 127.0.0.2, and a mitmdump wrapper that trusts
// that authority upstream. Made once per test process.
struct TestPki {
    std::string caPem;       // key + certificate, what the proxy's confdir holds
    std::string rootCert;    // certificate alone, what clients trust
    std::string serverCert;  // for "localhost" and 127.0.0.2
    std::string serverKey;
    std::string mitmdump;  // mitmdump that verifies upstream servers against rootCert
};
const TestPki& testPki();

// A web server on a loopback `address` answering GET /page with "hello from
// the server" and GET /big with kBigBodySize bytes; plain HTTP, or HTTPS
// with the TestPki server certificate.
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

// A TCP port on a loopback address that counts the connections made to it
// and keeps what each one sent; it answers "pong" and closes.
class TcpListener {
  public:
    explicit TcpListener(const std::string& address);
    ~TcpListener();
    int port() const { return port_; }
    int connections() const { return connections_; }
    std::string received() const;

  private:
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

// What curl got through the proxy.
struct CurlAnswer {
    int status = 0;  // 0: no HTTP answer
    bool blockedByTarvo = false;
    std::string body;
    std::string error;
};
// Runs curl with `args` through the HTTP proxy on 127.0.0.1:`proxyPort`,
// trusting the TestPki authority.
CurlAnswer curlVia(int proxyPort, const std::vector<std::string>& args);

// The filtering proxy launcher, started with `args`; what it prints is
// gathered as it comes. Ended with SIGTERM at destruction.
class FilterProxy {
  public:
    FilterProxy(const std::string& launcher, const std::vector<std::string>& args);
    ~FilterProxy();
    FilterProxy(const FilterProxy&) = delete;
    FilterProxy& operator=(const FilterProxy&) = delete;

    pid_t pid() const { return pid_; }
    // Standard output and error so far.
    std::string out();
    std::string err();
    // Waits until standard output holds `text`; false when the proxy ends first.
    bool waitForOutput(const std::string& text);
    // Waits for the process to end; its exit code, or 128 + the signal.
    std::optional<int> waitExit(std::chrono::milliseconds limit = std::chrono::seconds(30));

  private:
    void drain();
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
    std::optional<int> exit_;
};

// A private configuration directory (0700) holding the TestPki authority.
std::string makeConfdir(const TempDir& dir);

// Replaces `path` the way the agent does: a new file renamed over the old one.
void replaceFile(const std::string& path, const std::string& text);

// Runs a shell script as the unprivileged user nobody (a child planting files).
bool asNobody(const std::string& script);

}  // namespace tarvo::test
