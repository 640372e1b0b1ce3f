#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ServiceProcess.h"
#include "core/Paths.h"
#include "platform/fake/FakeSystemLog.h"
#include "server/ServerClient.h"

namespace tarvo::test {

inline constexpr const char* kDevice = "DEV-CONTRACT-1";
inline constexpr const char* kDemoEmail = "demo@tarvo.local";
inline constexpr const char* kDemoPassword = "tarvo-demo";

// A seeded tarvo-service (demo parent, child "Demo Child" on kDevice as
// "kid") and the client's configuration pointing at it.
class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override { startService(); }

    void startService(std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), {"--seed-demo", std::string(kDevice) + ":kid"});
        service = std::make_unique<ServiceProcess>(data.path(), extra);
        service->start();
        writeText(Paths::configFile(),
                  nlohmann::json{{"api", service->url()}, {"device_id", kDevice}}.dump());
    }

    std::shared_ptr<ServerClient> client(const std::string& user = "kid") {
        ServerClient::Options o;
        o.username = user;
        o.requestTimeout = std::chrono::seconds(10);
        o.hardware = std::make_shared<platform::FakeHardwareIdentity>(
            "0F3A5C21-9B7E-4D2A-8C11-5E6F7A8B9C0D");
        o.host = std::make_shared<platform::FakeHostInfo>("kids-mac.local");
        return ServerClient::create(o);
    }

    ParentSession demoParent() {
        ParentSession p(service->port());
        auto r = p.signIn(kDemoEmail, kDemoPassword);
        EXPECT_TRUE(r && r->status == 200);
        return p;
    }

    TempRoot root;
    TempDir data;
    std::unique_ptr<ServiceProcess> service;
};

inline std::string isoUtc(std::chrono::system_clock::time_point t) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// Events delivered to a subscriber, for waiting on from the test thread.
struct EventLog {
    std::mutex mutex;
    std::vector<ServerClient::SSEEvent> events;
    int activity = 0;

    std::function<void()> onActivity() {
        return [this] {
            std::lock_guard lock(mutex);
            ++activity;
        };
    }
    std::function<void(const ServerClient::SSEEvent&)> handler() {
        return [this](const ServerClient::SSEEvent& e) {
            std::lock_guard lock(mutex);
            events.push_back(e);
        };
    }
    size_t size() {
        std::lock_guard lock(mutex);
        return events.size();
    }
    ServerClient::SSEEvent at(size_t i) {
        std::lock_guard lock(mutex);
        return events.at(i);
    }
};

}  // namespace tarvo::test
