#pragma once

#include <gtest/gtest.h>

#include <mutex>

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
    void SetUp() override { restart({}); }

    // (Re)starts the service with `extra` arguments besides the seeding.
    void restart(const std::vector<std::string>& extra) {
        if (!service) service = std::make_unique<ServiceProcess>(data.path());
        service->stop();
        service->extraArgs = {"--seed-demo", std::string(kDevice) + ":kid"};
        service->extraArgs.insert(service->extraArgs.end(), extra.begin(), extra.end());
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
    // "/web/api/children/ID" of the demo child.
    std::string childApi(ParentSession& parent) {
        return "/web/api/children/" +
               std::to_string(parent.child("Demo Child")["id"].get<std::int64_t>());
    }

    TempRoot root;
    TempDir data;
    std::unique_ptr<ServiceProcess> service;
};

// The events a client's subscription delivered, for the test thread.
struct EventLog {
    std::mutex mutex;
    std::vector<ServerClient::SSEEvent> events;

    std::function<void(const ServerClient::SSEEvent&)> handler() {
        return [this](const ServerClient::SSEEvent& e) {
            std::lock_guard lock(mutex);
            events.push_back(e);
        };
    }
    // The `n`th event (from 0) once it came, else none after the deadline.
    std::optional<ServerClient::SSEEvent> at(size_t n) {
        std::optional<ServerClient::SSEEvent> got;
        waitUntil([&] {
            std::lock_guard lock(mutex);
            if (events.size() > n) got = events[n];
            return got.has_value();
        });
        return got;
    }
};

}  // namespace tarvo::test
