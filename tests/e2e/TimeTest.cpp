// Screen time with the real binaries: the parent's one-minute quota on the
// dashboard of a real tarvo-service, already used up today, puts the real
// agent's blocker on both screens of a private X server; the child asks for
// more time from it, the request shows on the dashboard, the parent grants
// it and the blocker goes. Outside the parent's usage windows the blocker
// stays until the parent's schedule lets the child in.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>

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

// Minutes since local midnight, as the agent reads its windows.
int minutesNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return local.tm_hour * 60 + local.tm_min;
}

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

    writeChildConfig(service.url(), kDevice);
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

TEST(TimeEndToEnd, OutsideTheUsageWindowsTheBlockerStaysUntilTheParentsScheduleLetsTheChildIn) {
    XServer x({.screens = {"1280x800", "1024x768"}});
    ASSERT_TRUE(x.running() && x.error().empty()) << x.error();
    TempRoot root;
    DemoFamily family(kDevice, userName());
    ASSERT_TRUE(family.signedIn);
    ParentSession& parent = *family.parent;
    // No quota; every day one minute of use, ten hours from now.
    parent.postOk(family.childApi + "/limits",
                  {{"dailyMinutes", 0}, {"warnMinutes", 0}, {"allowedApps", json::array()}});
    const int start = (minutesNow() + 600) % 1380;
    json elsewhere = json::array();
    for (int day = 0; day < 7; ++day)
        elsewhere.push_back({{"day", day}, {"start", start}, {"end", start + 1}});
    parent.postOk(family.childApi + "/rules", {{"whitelist", family.child["whitelist"]},
                                               {"blacklist", family.child["blacklist"]},
                                               {"accessWindows", elsewhere}});
    writeChildConfig(family.service.url(), kDevice);
    TarvoProcess agent("agent", environmentWith({"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb"}));

    const std::multiset<std::string> bothScreens{"1280x800", "1024x768"};
    ASSERT_TRUE(waitUntil([&] { return agentWindows(x) == bothScreens; }))
        << "blocker windows: " << agentWindows(x).size() << "\n"
        << readText(Paths::agentLog());
    EXPECT_NE(readText(Paths::agentLog()).find("outside permitted usage window"),
              std::string::npos);
    // It stays: later rule polls and the child's clicks elsewhere change nothing.
    EXPECT_FALSE(waitUntil([&] { return agentWindows(x) != bothScreens; }, 3s));

    // The parent allows the whole day: the pushed schedule takes the blocker down.
    family.allowAllDay();
    EXPECT_TRUE(waitUntil([&] { return agentWindows(x).empty(); }))
        << "windows still up: " << agentWindows(x).size() << "\n"
        << readText(Paths::agentLog());

    ASSERT_EQ(::kill(agent.pid(), SIGTERM), 0);
    EXPECT_EQ(agent.exitStatus(), 0);
}

}  // namespace
}  // namespace tarvo::test
