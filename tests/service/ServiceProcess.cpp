#include "ServiceProcess.h"

#include <signal.h>

#include <stdexcept>

#ifndef TARVO_SERVICE_BINARY
#error "TARVO_SERVICE_BINARY must name the built tarvo-service"
#endif

namespace tarvo::test {

using nlohmann::json;

std::string ServiceProcess::url() const {
    const bool tls = std::find(extraArgs.begin(), extraArgs.end(), "--cert") != extraArgs.end();
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/";
}

void ServiceProcess::start() {
    // The shell sends standard error to the log, then becomes the service.
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$@\" 2>>\"$0\"",
                                  dataDir_ + "/stderr.log", TARVO_SERVICE_BINARY};
    argv.insert(argv.end(), {"--listen", "127.0.0.1:" + std::to_string(port_), "--data", dataDir_});
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    process_ = std::make_unique<Process>(Launch{.argv = argv});
    // The line "listening on http://127.0.0.1:PORT", whole.
    const std::string said = "listening on ";
    const bool up =
        process_->waitForOutput(said, std::chrono::seconds(20)) && waitUntil([&] {
            return process_->out().find('\n', process_->out().find(said)) != std::string::npos;
        });
    const std::string out = process_->out();
    if (!up) {
        kill9();
        throw std::runtime_error("tarvo-service did not start: " + out + stderrText());
    }
    port_ = std::stoi(out.substr(out.rfind(':') + 1));
}

void ServiceProcess::kill9() {
    if (process_) process_->kill(SIGKILL);
    process_.reset();
}

httplib::Result ParentSession::post(const std::string& path, const json& body) {
    httplib::Client http("127.0.0.1", service_.port());
    http.set_read_timeout(10, 0);
    auto r =
        http.Post(path, httplib::Headers{{"Cookie", cookie_}}, body.dump(), "application/json");
    if (r && r->has_header("Set-Cookie")) {
        const std::string c = r->get_header_value("Set-Cookie");
        cookie_ = c.substr(0, c.find(';'));
    }
    return r;
}

json ParentSession::postOk(const std::string& path, const json& body) {
    auto r = post(path, body);
    if (!r || r->status / 100 != 2)
        throw std::runtime_error("POST " + path + " failed: " + (r ? r->body : "no answer"));
    return json::parse(r->body);
}

json ParentSession::overview() {
    auto r = httplib::Client("127.0.0.1", service_.port())
                 .Get("/web/api/overview", httplib::Headers{{"Cookie", cookie_}});
    if (!r || r->status != 200)
        throw std::runtime_error("overview failed: " + (r ? r->body : "no answer"));
    return json::parse(r->body);
}

json ParentSession::child() {
    return overview()["children"].at(0);
}

DemoFamily::DemoFamily(const std::string& device, const std::string& account)
    : service(data.path(), {"--seed-demo", device + ":" + account}) {
    service.start();
    parent.postOk("/web/api/signin", {{"email", kDemoEmail}, {"password", kDemoPassword}});
    child = parent.child();
    childApi = "/web/api/children/" + child["id"].dump();
}

}  // namespace tarvo::test
