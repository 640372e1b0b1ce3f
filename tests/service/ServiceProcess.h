#pragma once

#include <httplib.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/TestSupport.h"

namespace tarvo::test {

using polling::waitUntil;

// A real tarvo-service process on 127.0.0.1 with its data in a directory of
// its own. start() waits until it listens; the port stays the same across
// restarts, so clients keep their base URL.
class ServiceProcess {
  public:
    explicit ServiceProcess(std::string dataDir, std::vector<std::string> extraArgs = {});
    ~ServiceProcess() { stop(); }

    void start();
    void stop() { end(SIGTERM); }
    void kill9() { end(SIGKILL); }

    int port() const { return port_; }
    std::string url() const;  // "http(s)://127.0.0.1:PORT/"
    std::string stderrText() const { return readText(stderrPath_); }
    // Waits (up to 30 s) until the request log has `count` lines holding `text`.
    bool waitForLog(const std::string& text, size_t count = 1) const;

    std::vector<std::string> extraArgs;

  private:
    void end(int sig);
    std::string dataDir_, stderrPath_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// A throw-away certificate authority and a certificate for 127.0.0.1 signed by it.
struct TestCertificates {
    std::string caFile, certFile, keyFile;
    static const TestCertificates& get();
};

// A parent on the dashboard's API: a cookie jar and JSON calls.
class ParentSession {
  public:
    explicit ParentSession(int port);
    httplib::Result signIn(const std::string& email, const std::string& password,
                           const std::string& deviceId = "");
    httplib::Result signUp(const std::string& email, const std::string& password,
                           const std::string& name);
    httplib::Result post(const std::string& path, const nlohmann::json& body);
    nlohmann::json postOk(const std::string& path,
                          const nlohmann::json& body);  // throws unless 2xx
    nlohmann::json overview();
    nlohmann::json child(const std::string& name);
    const std::string& cookie() const { return cookie_; }

  private:
    httplib::Result keepCookie(httplib::Result r);
    httplib::Client http_;
    std::string cookie_;
};

}  // namespace tarvo::test
