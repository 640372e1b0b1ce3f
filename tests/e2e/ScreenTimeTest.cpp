// Screen time with the real binaries and a real tarvo-service's dashboard on a
// private two-screen X server.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <set>
#include <sstream>

#include "E2eSupport.h"
#include "support/XServer.h"

namespace tarvo::test {
namespace {

using nlohmann::json;

// Whether the window the X server sends the keys to is `size` ("1280x800") large. The window
// manager names the active window before its client takes the focus, so a key pressed on
// that word alone can still land on the previous window.
bool focusedWindowIs(const XServer& x, const std::string& size) {
    return x.run({"xdotool", "getwindowfocus", "-f", "getwindowgeometry"})
               .find("Geometry: " + size) != std::string::npos;
}

// Geometries of the agent's viewable windows on either screen, as "WxH".
std::multiset<std::string> agentWindows(const XServer& x) {
    std::stringstream out(x.run({"xdotool", "search", "--onlyvisible", "--class", "app.tarvo.agent",
                                 "getwindowgeometry", "%@"}));
    std::multiset<std::string> sizes;
    for (std::string word; out >> word;)
        if (word == "Geometry:" && out >> word) sizes.insert(word);
    return sizes;
}

TEST(ScreenTimeEndToEnd, QuotaBlockerGrantScheduleBlockerAndSigtermWithTheDialogOpen) {
    XServer x({.screens = {"1280x800", "1024x768"}});
    ASSERT_TRUE(x.running() && x.error().empty()) << x.error();
    TempRoot root;
    DemoFamily family("DEV-E2E-TIME", userName());
    ParentSession& parent = family.parent;
    // Allowed all day (as seeded): only the quota stands in the way.
    parent.postOk(family.childApi + "/limits",
                  {{"dailyMinutes", 1}, {"warnMinutes", 0}, {"allowedApps", json::array()}});
    writeChildConfig(family.service.url(), "DEV-E2E-TIME");
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char today[16];
    std::strftime(today, sizeof today, "%Y-%m-%d", &local);
    writeText(
        Paths::perUserScreenTimeStateFile(),
        R"({"seconds":60,"quotaMinutes":1,"warnAtMinutesRemaining":0,"grantedBonusMinutes":0,)"
        R"("day":")" +
            std::string(today) + "\"}");
    Process agent({.argv = {tarvoBinary(), "agent"},
                   .env = environmentWith({"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb",
                                           "TARVO_RESOURCES=" + sourceDir() + "/resources"}),
                   .capture = false});
    const std::multiset<std::string> bothScreens{"1280x800", "1024x768"};
    // "" once the dialog is open, else what the X server showed instead.
    auto openDialog = [&]() -> std::string {
        const auto state = [&] {
            return "focus: " + x.run({"xdotool", "getwindowfocus", "-f", "getwindowgeometry"}) +
                   " active: " + x.run({"xdotool", "getactivewindow", "getwindowgeometry"}) +
                   " windows: " + std::to_string(agentWindows(x).size());
        };
        // The button has the keyboard; the dialog takes it.
        if (!waitUntil([&] { return focusedWindowIs(x, "1280x800"); }))
            return "the blocker never had the keyboard; " + state();
        x.run({"xdotool", "key", "space"});
        if (!waitUntil(
                [&] { return agentWindows(x).size() == 3 && !focusedWindowIs(x, "1280x800"); }))
            return "no dialog after the key; " + state();
        return "";
    };
    {
        SCOPED_TRACE("the used-up quota");
        ASSERT_TRUE(waitUntil([&] { return agentWindows(x) == bothScreens; }))
            << readText(Paths::agentLog());
        // The chat window is made with the blocker's library, its backdrop found.
        EXPECT_NE(readText(Paths::agentLog()).find("backdrop=loaded"), std::string::npos);
        ASSERT_EQ(openDialog(), "");
        x.run({"xdotool", "key", "--delay", "50", "ctrl+a", "4", "5", "Return"});
    }
    {
        SCOPED_TRACE("the request on the dashboard, granted");
        ASSERT_TRUE(waitUntil([&] { return !parent.child()["requests"].empty(); }))
            << family.service.stderrText();
        const json request = parent.child()["requests"][0];
        EXPECT_EQ(request["minutes"], 45);
        EXPECT_EQ(request["account"], userName());
        parent.postOk("/web/api/requests/" + request["id"].dump() + "/decide", {{"grant", true}});
        EXPECT_TRUE(waitUntil([&] { return agentWindows(x).empty(); })) << agentWindows(x).size();
    }
    {
        SCOPED_TRACE("the schedule: one minute a day, ten hours from now");
        const int start = (local.tm_hour * 60 + local.tm_min + 600) % 1380;
        json elsewhere = json::array();
        for (int day = 0; day < 7; ++day)
            elsewhere.push_back({{"day", day}, {"start", start}, {"end", start + 1}});
        parent.postOk(family.childApi + "/rules", {{"whitelist", family.child["whitelist"]},
                                                   {"blacklist", family.child["blacklist"]},
                                                   {"accessWindows", elsewhere}});
        ASSERT_TRUE(waitUntil([&] { return agentWindows(x) == bothScreens; }))
            << readText(Paths::agentLog());
        EXPECT_NE(readText(Paths::agentLog()).find("outside permitted usage window"),
                  std::string::npos);
    }
    ASSERT_EQ(openDialog(), "");
    agent.kill(SIGTERM);
    EXPECT_EQ(agent.wait(), 0);
    EXPECT_FALSE(exists(presenceFlag()));
    EXPECT_EQ(parent.child()["requests"].size(), 1u) << "nothing asked on the way out";
}

}  // namespace
}  // namespace tarvo::test
