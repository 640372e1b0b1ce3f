#pragma once

#include <httplib.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
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
    ~ServiceProcess();

    void start();
    void stop();   // SIGTERM, then wait
    void kill9();  // SIGKILL, then wait
    bool running() const { return pid_ > 0; }

    int port() const { return port_; }
    std::string url() const;  // "http(s)://127.0.0.1:PORT/"
    const std::string& stdoutText() const { return stdout_; }
    std::string stderrText() const { return readText(stderrPath_); }
    // Waits (up to 20 s) until the request log has `count` lines holding `text`.
    bool waitForLog(const std::string& text, size_t count = 1) const;

    std::vector<std::string> extraArgs;

  private:
    std::string dataDir_;
    std::string stderrPath_;
    std::string stdout_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// The service's binary, built beside the tests.
std::string serviceBinary();

// Runs a program to its end; its exit status (-1 when it could not start).
int runProgram(const std::string& path, const std::vector<std::string>& args);

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
    nlohmann::json get(const std::string& path);  // throws unless 2xx
    httplib::Result post(const std::string& path, const nlohmann::json& body);
    nlohmann::json postOk(const std::string& path, const nlohmann::json& body);
    nlohmann::json overview() { return get("/web/api/overview"); }
    nlohmann::json child(const std::string& name);
    const std::string& cookie() const { return cookie_; }

  private:
    void keepCookie(const httplib::Result& r);
    httplib::Client http_;
    std::string cookie_;
};

}  // namespace tarvo::test
