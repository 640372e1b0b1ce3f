#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/Paths.h"
#include "core/VirtualTime.h"
#include "platform/fake/FakeSystemLog.h"
#include "server/ServerClient.h"
#include "support/LocalServer.h"
#include "support/TestSupport.h"

namespace tarvo::test {

inline const std::string kTestUuid = "0F3A5C21-9B7E-4D2A-8C11-5E6F7A8B9C0D";

// A service on 127.0.0.1 that answers every GET and POST from a table of
// path → (status, body), 200 with "{}" when the path is not in the table.
class FakeService {
  public:
    FakeService() {
        auto answer = [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex);
            // Bodies are recorded here: the shared recorder runs before they are read.
            bodies.push_back(req.body);
            auto it = answers.find(req.path);
            if (it == answers.end()) {
                res.set_content("{}", "application/json");
                return;
            }
            res.status = it->second.first;
            res.set_content(it->second.second, "application/json");
        };
        http.server.Get(".*", answer);
        http.server.Post(".*", answer);
        http.start();
    }
    void answer(const std::string& path, int status, const std::string& body) {
        std::lock_guard lock(mutex);
        answers[path] = {status, body};
    }
    std::string url() const { return http.url(); }
    std::string lastBody() {
        std::lock_guard lock(mutex);
        return bodies.empty() ? std::string() : bodies.back();
    }

    LocalServer http;
    std::mutex mutex;
    std::map<std::string, std::pair<int, std::string>> answers;
    std::vector<std::string> bodies;
};

// The agent log's lines that contain `text`.
inline std::vector<std::string> logLinesWith(const std::string& text) {
    std::vector<std::string> out;
    for (const auto& line : readLines(Paths::agentLog()))
        if (line.find(text) != std::string::npos) out.push_back(line);
    return out;
}

inline void writeConfig(const nlohmann::json& config) {
    writeText(Paths::configFile(), config.dump());
}

// Options for a client under test: fixed user, hardware, host and clock, and
// short time-outs.
inline ServerClient::Options testOptions(std::shared_ptr<VirtualClock> clock = nullptr) {
    ServerClient::Options o;
    o.username = "kid";
    o.requestTimeout = std::chrono::milliseconds(400);
    o.hardware = std::make_shared<platform::FakeHardwareIdentity>(kTestUuid);
    o.host = std::make_shared<platform::FakeHostInfo>("kids-mac.local");
    o.clock = clock ? clock : std::make_shared<VirtualClock>();
    return o;
}

}  // namespace tarvo::test
