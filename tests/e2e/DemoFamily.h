#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "ServiceProcess.h"
#include "support/TestSupport.h"

namespace tarvo::test {

// A real tarvo-service seeded with the demo family for `account` on `device`,
// and its parent signed in on the dashboard: what every end-to-end scenario
// starts from.
struct DemoFamily {
    DemoFamily(const std::string& device, const std::string& account)
        : service(data.path(), {"--seed-demo", device + ":" + account}) {
        service.start();
        parent.emplace(service.port());
        const auto r = parent->signIn("demo@tarvo.local", "tarvo-demo");
        signedIn = r && r->status == 200;
        if (signedIn) {
            child = parent->child("Demo Child");
            childApi = "/web/api/children/" + std::to_string(child["id"].get<int>());
        }
    }

    // Saves the child's lists as they are, with usage allowed all day, every day.
    void allowAllDay() {
        nlohmann::json allDay = nlohmann::json::array();
        for (int day = 0; day < 7; ++day)
            allDay.push_back({{"day", day}, {"start", 0}, {"end", 1440}});
        parent->postOk(childApi + "/rules", {{"whitelist", child["whitelist"]},
                                             {"blacklist", child["blacklist"]},
                                             {"accessWindows", allDay}});
    }

    TempDir data;
    ServiceProcess service;
    std::optional<ParentSession> parent;
    bool signedIn = false;
    nlohmann::json child;
    std::string childApi;  // "/web/api/children/<id>"
};

}  // namespace tarvo::test
