// Screen time with the real binaries: the parent's one-minute quota on the
// dashboard of a real tarvo-service, already used up today, puts the real
// agent's blocker on both screens of a private X server; the child asks for
// more time from it, the request shows on the dashboard, the parent grants
// it and the blocker goes.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>

#include "DemoFamily.h"
#include "E2eSupport.h"
#include "ServiceProcess.h"
#include "core/Paths.h"
#include "support/XServer.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kDevice = "DEV-E2E-TIME";

TEST(TimeEndToEnd, UsedUpQuotaBlocksBothScreensUntilTheParentGrantsTheChildsRequest) {
    XServer x({.screens = {"1280x800", "1024x768"}});
    ASSERT_TRUE(x.running() && x.error().empty()) << x.error();
    TempRoot root;
    DemoFamily family(kDevice, userName());
    ASSERT_TRUE(family.signedIn);
    ServiceProcess& service = family.service;
    ParentSession& parent = *family.parent;
    const std::string& base = family.childApi;
    // Allowed all day, every day: only the quota stands in the way.
    family.allowAllDay();
    parent.postOk(base + "/limits",
                  {{"dailyMinutes", 1}, {"warnMinutes", 0}, {"allowedApps", json::array()}});

    writeText(
        Paths::configFile(),
        json{{"child_users", {userName()}}, {"api", service.url()}, {"device_id", kDevice}}.dump());
    // The minute is used up already today.
    writeText(Paths::perUserScreenTimeStateFile(), json{{"day", today()},
                                                        {"seconds", 60},
                                                        {"quotaMinutes", 1},
                                                        {"warnAtMinutesRemaining", 0},
                                                        {"grantedBonusMinutes", 0}}
                                                       .dump());
    TarvoProcess agent("agent", environmentWith({"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb"}));

    ASSERT_TRUE(waitUntil([&] {
        return agentWindows(x) == std::multiset<std::string>{"1280x800", "1024x768"};
    })) << "blocker windows: "
        << agentWindows(x).size() << "\n"
        << readText(Paths::agentLog());

    // The child asks for 45 minutes from the keyboard.
    ASSERT_TRUE(waitUntil([&] { return activeWindowIs(x, "1280x800"); }));
    x.run({"xdotool", "key", "space"});
    ASSERT_TRUE(waitUntil([&] {
        return agentWindows(x).size() == 3 && !activeWindowIs(x, "1280x800");
    })) << "the more-time dialog did not open";
    x.run({"xdotool", "key", "--delay", "50", "ctrl+a", "4", "5", "Return"});

    // The parent sees the request on the dashboard…
    json request;
    ASSERT_TRUE(waitUntil([&] {
        const json now = parent.child("Demo Child");
        for (const auto& r : now["requests"])
            if (r["status"] == "pending") request = r;
        return !request.is_null();
    })) << service.stderrText()
        << parent.child("Demo Child")["requests"].dump();
    EXPECT_EQ(request["minutes"], 45);
    EXPECT_EQ(request["account"], userName());

    // …grants it, and the grant reaches the agent on its event stream.
    const json decided =
        parent.postOk("/web/api/requests/" + std::to_string(request["id"].get<int>()) + "/decide",
                      {{"grant", true}});
    EXPECT_EQ(decided["status"], "granted");
    EXPECT_TRUE(waitUntil([&] { return agentWindows(x).empty(); }))
        << "windows still up: " << agentWindows(x).size();
    EXPECT_EQ(parent.child("Demo Child")["requests"][0]["status"], "granted");

    ASSERT_EQ(::kill(agent.pid(), SIGTERM), 0);
    EXPECT_EQ(agent.exitStatus(), 0);
}

}  // namespace
}  // namespace tarvo::test
