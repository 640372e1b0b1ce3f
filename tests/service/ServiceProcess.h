#pragma once

#include <httplib.h>
#include <signal.h>

#include <memory>
#include <stdexcept>
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

    void start() {
        // The shell sends standard error to the log, then becomes the service.
        std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$@\" 2>>\"$0\"",
                                      dataDir_ + "/stderr.log", TARVO_SERVICE_BINARY};
        argv.insert(argv.end(),
                    {"--listen", "127.0.0.1:" + std::to_string(port_), "--data", dataDir_});
        argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
        process_ = std::make_unique<Process>(Launch{.argv = argv});
        // The line "listening on http://127.0.0.1:PORT", whole.
        const bool up = process_->waitForOutput("listening on ") &&
                        waitUntil([&] { return process_->out().ends_with("\n"); });
        const std::string out = process_->out();
        if (!up) {
            kill9();
            throw std::runtime_error("tarvo-service did not start: " + out + stderrText());
        }
        port_ = std::stoi(out.substr(out.rfind(':') + 1));
    }
    void kill9() {
        if (process_) process_->kill(SIGKILL);
        process_.reset();
    }
    std::string origin() const {  // "http(s)://127.0.0.1:PORT"
        const bool tls = std::ranges::find(extraArgs, "--cert") != extraArgs.end();
        return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
    }
    std::string url() const { return origin() + "/"; }
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

// A parent on the dashboard's API: JSON calls with the session cookie that a
// sign-in or sign-up sets.
class ParentSession {
  public:
    explicit ParentSession(const ServiceProcess& service) : service_(service) {}
    httplib::Result signIn(const std::string& email, const std::string& password) {
        return post("/web/api/signin", {{"email", email}, {"password", password}});
    }
    httplib::Result post(const std::string& path, const nlohmann::json& body) {
        auto r = httplib::Client(service_.origin())
                     .Post(path, {{"Cookie", cookie_}}, body.dump(), "application/json");
        const std::string set = r ? r->get_header_value("Set-Cookie") : "";
        if (!set.empty()) cookie_ = set.substr(0, set.find(';'));
        return r;
    }
    // The answer's JSON; throws unless the call succeeded.
    static nlohmann::json ok(const httplib::Result& r, const std::string& call) {
        if (!r || r->status / 100 != 2)
            throw std::runtime_error(call + " failed: " + (r ? r->body : "no answer"));
        return nlohmann::json::parse(r->body);
    }
    nlohmann::json postOk(const std::string& path, const nlohmann::json& body) {
        return ok(post(path, body), path);
    }
    // The family's first child, as the overview lists it.
    nlohmann::json child() {
        auto r = httplib::Client(service_.origin()).Get("/web/api/overview", {{"Cookie", cookie_}});
        return ok(r, "overview")["children"].at(0);
    }
    const std::string& cookie() const { return cookie_; }

  private:
    const ServiceProcess& service_;
    std::string cookie_;
};

inline constexpr const char* kDemoEmail = "demo@tarvo.local";
inline constexpr const char* kDemoPassword = "tarvo-demo";

// A started tarvo-service seeded with the demo family for `account` on `device`, parent signed in.
struct DemoFamily {
    DemoFamily(const std::string& device, const std::string& account)
        : service(data.path(), {"--seed-demo", device + ":" + account}) {
        service.start();
        parent.postOk("/web/api/signin", {{"email", kDemoEmail}, {"password", kDemoPassword}});
        child = parent.child();
        childApi = "/web/api/children/" + child["id"].dump();
    }

    TempDir data;
    ServiceProcess service;
    ParentSession parent{service};
    nlohmann::json child;  // as the overview listed it after the sign-in
    std::string childApi;  // "/web/api/children/<id>"
};

}  // namespace tarvo::test
