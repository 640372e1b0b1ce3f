#pragma once

#include "core/Paths.h"
#include "platform/fake/FakeSystemLog.h"
#include "server/ServerClient.h"
#include "support/LocalServer.h"
#include "support/TestSupport.h"
#include "support/VirtualTime.h"

namespace tarvo::test {

// The service on 127.0.0.1: the routes a test adds, the event stream, and for every other GET and
// POST an answer from a table of path → (status, body), else 200 "{}". Every request is recorded.
// Grants made with grant() go out as the service sends them: pushed on the stream with their
// request id, and kept for the approval poll of a client that asks by request ("by_request=1")
// until such a poll returns them; a poll without it never sees a pushed grant.
class FakeService {
  public:
    explicit FakeService(const std::function<void(httplib::Server&)>& routes = {}) {
        if (routes) routes(http.server);
        auto answer = [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            if (req.path == "/api/CheckMoreTimeApproval" && !pending_.empty()) {
                if (req.get_param_value("by_request") != "1")
                    return res.set_content("{}", "application/json");
                nlohmann::json grants = nlohmann::json::array();
                std::int64_t sum = 0;
                for (const auto& [id, minutes] : pending_) {
                    grants.push_back({{"request_id", id}, {"granted_minutes", minutes}});
                    sum += minutes;
                }
                pending_.clear();
                const nlohmann::json body = {
                    {"approved", true}, {"granted_minutes", sum}, {"grants", grants}};
                return res.set_content(body.dump(), "application/json");
            }
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
    ~FakeService() {
        events.close();
        http.stop();
    }

    void answer(const std::string& path, int status, const std::string& body) {
        std::lock_guard lock(mutex_);
        answers_[path] = {status, body};
    }
    // The parent grants request `id`: pushed on the stream, and pending for the poll.
    void grant(std::int64_t id, std::int64_t minutes) {
        {
            std::lock_guard lock(mutex_);
            pending_.emplace_back(id, minutes);
        }
        const nlohmann::json event = {
            {"type", "more_time_approved"}, {"granted_minutes", minutes}, {"request_id", id}};
        events.write("data: " + event.dump() + "\n\n");
    }
    // The requests received for `path` (all of them for ""), bodies included.
    std::vector<LocalServer::Received> requests(const std::string& path = "") const {
        auto all = http.received();
        std::erase_if(all, [&](const auto& r) { return !path.empty() && r.path != path; });
        return all;
    }
    std::string url() const { return http.url(); }

    LocalServer http;
    EventStreamServer events{http.server};

  private:
    mutable std::mutex mutex_;
    std::map<std::string, std::pair<int, std::string>> answers_;
    std::vector<std::pair<std::int64_t, std::int64_t>> pending_;  // request id, minutes
};

inline std::map<std::string, std::string> queryOf(const LocalServer::Received& request) {
    httplib::Params params;
    if (auto q = request.target.find('?'); q != std::string::npos)
        httplib::detail::parse_query_text(request.target.substr(q + 1), params);
    return {params.begin(), params.end()};
}

inline std::vector<std::string> logLinesWith(const std::string& text) {
    auto lines = readLines(Paths::agentLog());
    std::erase_if(lines, [&](const auto& line) { return line.find(text) == std::string::npos; });
    return lines;
}

inline void writeConfig(const nlohmann::json& config) {
    writeText(Paths::configFile(), config.dump());
}

inline const std::string kTestUuid = "0F3A5C21-9B7E-4D2A-8C11-5E6F7A8B9C0D";

// A client under test: fixed user, hardware, host and clock, short time-outs.
inline ServerClient::Options testOptions(std::shared_ptr<VirtualClock> clock = nullptr) {
    return {.username = "kid",
            .requestTimeout = std::chrono::milliseconds(400),
            .hardware = std::make_shared<platform::FakeHardwareIdentity>(kTestUuid),
            .host = std::make_shared<platform::FakeHostInfo>("kids-mac.local"),
            .clock = clock ? clock : std::make_shared<VirtualClock>()};
}

}  // namespace tarvo::test
