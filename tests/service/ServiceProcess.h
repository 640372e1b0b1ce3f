#pragma once

#include <httplib.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo::test {

using polling::waitUntil;

// A real tarvo-service on 127.0.0.1, its data and request log ("stderr.log")
// in `dataDir`. start() waits until it listens, on the same port each time.
class ServiceProcess {
  public:
    ServiceProcess(std::string dataDir, std::vector<std::string> args)
        : extraArgs(std::move(args)), dataDir_(std::move(dataDir)) {}

    void start();
    void kill9();
    int port() const { return port_; }
    std::string url() const;  // "http(s)://127.0.0.1:PORT/"
    std::string stderrText() const { return readText(dataDir_ + "/stderr.log"); }
    bool waitForLog(const std::string& text) const {
        return waitUntil([&] { return stderrText().find(text) != std::string::npos; });
    }

    std::vector<std::string> extraArgs;

  private:
    std::string dataDir_;
    std::unique_ptr<Process> process_;
    int port_ = 0;
};

// A parent on the dashboard's API (plain HTTP): JSON calls with the session
// cookie that a sign-in or sign-up sets.
class ParentSession {
  public:
    explicit ParentSession(const ServiceProcess& service) : service_(service) {}
    httplib::Result signIn(const std::string& email, const std::string& password) {
        return post("/web/api/signin", {{"email", email}, {"password", password}});
    }
    httplib::Result post(const std::string& path, const nlohmann::json& body);
    nlohmann::json postOk(const std::string& path,
                          const nlohmann::json& body);  // throws unless 2xx
    nlohmann::json overview();
    nlohmann::json child();  // the family's first child
    const std::string& cookie() const { return cookie_; }

  private:
    const ServiceProcess& service_;
    std::string cookie_;
};

inline constexpr const char* kDemoEmail = "demo@tarvo.local";
inline constexpr const char* kDemoPassword = "tarvo-demo";

// A started tarvo-service seeded with the demo family for `account` on
// `device`, and its parent signed in.
struct DemoFamily {
    DemoFamily(const std::string& device, const std::string& account);

    TempDir data;
    ServiceProcess service;
    ParentSession parent{service};
    nlohmann::json child;  // as the overview listed it after the sign-in
    std::string childApi;  // "/web/api/children/<id>"
};

}  // namespace tarvo::test
