#pragma once

#include <map>

#include "core/Paths.h"
#include "platform/fake/FakeSystemLog.h"
#include "server/ServerClient.h"
#include "support/EventStreamServer.h"
#include "support/LocalServer.h"
#include "support/TestSupport.h"
#include "support/VirtualTime.h"

namespace tarvo::test {

// The service on 127.0.0.1: the routes a test adds, the event stream, and
// for every other GET and POST an answer from a table of path → (status,
// body), 200 with "{}" when the path is not in it. Every request is recorded.
class FakeService {
  public:
    explicit FakeService(const std::function<void(httplib::Server&)>& routes = {});
    ~FakeService();

    void answer(const std::string& path, int status, const std::string& body);
    // The requests received for `path` (all of them for ""), bodies included.
    std::vector<LocalServer::Received> requests(const std::string& path = "") const;
    std::string url() const { return http.url(); }

    LocalServer http;
    EventStreamServer events{http.server};

  private:
    mutable std::mutex mutex_;
    std::map<std::string, std::pair<int, std::string>> answers_;
};

// A request's query parameters.
std::map<std::string, std::string> queryOf(const LocalServer::Received& request);

// The agent log's lines that contain `text`.
std::vector<std::string> logLinesWith(const std::string& text);

inline const std::string kTestUuid = "0F3A5C21-9B7E-4D2A-8C11-5E6F7A8B9C0D";

inline void writeConfig(const nlohmann::json& config) {
    writeText(Paths::configFile(), config.dump());
}

// A client under test: fixed user, hardware, host and clock, short time-outs.
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
