#include "support/FakeService.h"

namespace tarvo::test {

FakeService::FakeService(const std::function<void(httplib::Server&)>& routes) {
    if (routes) routes(http.server);
    auto answer = [this](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(mutex_);
        auto it = answers_.find(req.path);
        if (it == answers_.end()) return res.set_content("{}", "application/json");
        res.status = it->second.first;
        res.set_content(it->second.second, "application/json");
    };
    http.server.Get(".*", answer);
    http.server.Post(".*", answer);
    http.start();
}

// The streams end before the server stops, so that no handler outlives them.
FakeService::~FakeService() {
    events.close();
    http.stop();
}

void FakeService::answer(const std::string& path, int status, const std::string& body) {
    std::lock_guard lock(mutex_);
    answers_[path] = {status, body};
}

std::vector<LocalServer::Received> FakeService::requests(const std::string& path) const {
    std::vector<LocalServer::Received> out;
    for (auto& r : http.received())
        if (path.empty() || r.path == path) out.push_back(r);
    return out;
}

std::map<std::string, std::string> queryOf(const LocalServer::Received& request) {
    std::map<std::string, std::string> out;
    if (auto q = request.target.find('?'); q != std::string::npos) {
        httplib::Params params;
        httplib::detail::parse_query_text(request.target.substr(q + 1), params);
        for (const auto& [k, v] : params) out[k] = v;
    }
    return out;
}

std::vector<std::string> logLinesWith(const std::string& text) {
    std::vector<std::string> out;
    for (const auto& line : readLines(Paths::agentLog()))
        if (line.find(text) != std::string::npos) out.push_back(line);
    return out;
}

}  // namespace tarvo::test
