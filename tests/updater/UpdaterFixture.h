#pragma once

#include <httplib.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/VirtualTime.h"
#include "platform/fake/FakeSystemLog.h"
#include "support/TestSupport.h"
#include "updater/Updater.h"

namespace tarvo::test {

// A throw-away certificate authority and a server certificate for
// 127.0.0.1 signed by it, made once per test program with the openssl tool.
struct TestAuthority {
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    static const TestAuthority& get();
};

// An HTTPS server on 127.0.0.1 with an ephemeral port, trusted through
// SSL_CERT_FILE; counts every request it receives.
class HttpsServer {
  public:
    HttpsServer();
    ~HttpsServer();
    httplib::Server& routes() { return *server_; }
    std::string url(const std::string& path) const;
    int requests() const { return requests_.load(); }
    int requestsFor(const std::string& path) const;

  private:
    std::unique_ptr<httplib::SSLServer> server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<int> requests_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> paths_;
};

// A made root (stand-ins at their macOS paths) with TARVO_ROOT and HOME
// pointing at it, the updater on a virtual clock, and the test authority
// trusted.
class UpdaterRoot {
  public:
    UpdaterRoot();
    ~UpdaterRoot();
    const std::string& path() const { return root_.path(); }
    std::string at(const std::string& absolute) const { return root_.path() + absolute; }
    std::shared_ptr<VirtualClock> clock() const { return clock_; }

    // The messages of daemon.log as "LEVEL message" ("INFO  updating …").
    std::vector<std::string> logLines() const;
    std::string lastLogLine() const;
    // Marks a child as present now (the flag's time taken from the virtual clock).
    void childIsActive(double secondsAgo = 0) const;
    // The Mac's system version as the updater reads it.
    void setSystemVersion(const std::string& versionId) const;
    // Fixture texts of the stand-ins under ROOT/.standins/<tool>/.
    void standinFixture(const std::string& tool, const std::string& name,
                        const std::string& text) const;
    std::string standinState(const std::string& tool, const std::string& name) const;
    // Replaces the root's nohup with a bash script of the given body.
    void replaceNohup(const std::string& body) const;
    // Caps the checks run under from now on.
    void setLimits(const Updater::Environment::Limits& limits) const;
    // Entries of /Library/Logs/Tarvo other than daemon.log.
    std::vector<std::string> logDirExtras() const;

  private:
    TempRoot root_;
    EnvGuard updateUrl_;
    EnvGuard certFile_;
    std::shared_ptr<VirtualClock> clock_;
    std::shared_ptr<platform::FakeSystemLog> systemLog_;
};

std::string sha256Hex(const std::string& data);

}  // namespace tarvo::test
