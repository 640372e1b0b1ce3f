#pragma once

#include <httplib.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fake/FakeSystemLog.h"
#include "support/TestSupport.h"
#include "support/VirtualTime.h"
#include "updater/Updater.h"

namespace tarvo::test {

// An HTTPS server on 127.0.0.1 whose certificate a throw-away authority
// signed (trusted through SSL_CERT_FILE by UpdaterRoot); counts requests by path.
class HttpsServer {
  public:
    HttpsServer();
    ~HttpsServer();
    static const std::string& authority();  // the CA file
    httplib::Server& routes() { return *server_; }
    std::string url(const std::string& path) const;
    int requestsFor(const std::string& path) const;  // "" counts every request

  private:
    std::unique_ptr<httplib::SSLServer> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> paths_;
};

// A made root (stand-ins at their macOS paths) with TARVO_ROOT and HOME
// pointing at it, the updater on a virtual clock, and the server trusted.
class UpdaterRoot {
  public:
    UpdaterRoot();
    ~UpdaterRoot();
    const std::string& path() const { return root_.path(); }
    std::string at(const std::string& absolute) const { return root_.path() + absolute; }
    std::shared_ptr<VirtualClock> clock() const { return clock_; }

    // The updater's messages in daemon.log as "LEVEL message" ("INFO  updating …").
    std::vector<std::string> logLines() const;
    std::string lastLogLine() const;
    // A presence flag dated `secondsAgo` before the virtual clock's now.
    void childIsActive(double secondsAgo = 0, const std::string& name = "501.flag") const;
    void setSystemVersion(const std::string& versionId) const;
    // A stand-in's fixture or state file under ROOT/.standins/<tool>/.
    void standinFixture(const std::string& tool, const std::string& name,
                        const std::string& text) const;
    std::string standinState(const std::string& tool, const std::string& name) const;
    void replaceNohup(const std::string& body) const;
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
