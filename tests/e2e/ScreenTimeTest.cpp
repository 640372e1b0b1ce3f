// Screen time with the real binaries and a real tarvo-service's dashboard on a
// private two-screen X server.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <map>
#include <set>
#include <sstream>

#include "E2eSupport.h"
#include "support/XServer.h"

namespace tarvo::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// Whether the window the X server sends the keys to is `size` ("1280x800") large. The window
// manager names the active window before its client takes the focus, so a key pressed on
// that word alone can still land on the previous window.
bool focusedWindowIs(const XServer& x, const std::string& size) {
    return x.run({"xdotool", "getwindowfocus", "-f", "getwindowgeometry"})
               .find("Geometry: " + size) != std::string::npos;
}

// The agent's viewable windows on either screen: id and size ("WxH").
std::multimap<std::string, std::string> agentWindowSizes(const XServer& x) {
    std::stringstream out(x.run({"xdotool", "search", "--onlyvisible", "--class", "app.tarvo.agent",
                                 "getwindowgeometry", "%@"}));
    std::multimap<std::string, std::string> windows;
    for (std::string word, id; out >> word;) {
        if (word == "Window") out >> id;
        if (word == "Geometry:" && out >> word) windows.emplace(id, word);
    }
    return windows;
}
std::multiset<std::string> agentWindows(const XServer& x) {
    std::multiset<std::string> sizes;
    for (const auto& [id, size] : agentWindowSizes(x)) sizes.insert(size);
    return sizes;
}
// The id of the agent's viewable window of `size`, or "".
std::string agentWindow(const XServer& x, const std::string& size) {
    for (const auto& [id, s] : agentWindowSizes(x))
        if (s == size) return id;
    return "";
}

// The parent writes; the agent's toast shows it with the next poll, Reply opens the chat
// window, the child's answer reaches the dashboard; closed, the window leaves the screen.
void replyToTheParent(const XServer& x, DemoFamily& family) {
    ASSERT_TRUE(family.service.waitForLog("GET /api/GetChildChatMessages 200"));
    family.parent.postOk(family.childApi + "/chat", {{"text", "Dinner is ready"}});
    // The toast comes with the next poll (every 30 s) and slides in: Reply, its right-hand
    // button, is clicked until the chat window opens.
    std::string toast, chat;
    ASSERT_TRUE(waitUntil([&] { return !(toast = agentWindow(x, "360x150")).empty(); }, 45s))
        << readText(Paths::agentLog());
    ASSERT_TRUE(waitUntil([&] {
        if (!(chat = agentWindow(x, "440x620")).empty()) return true;
        if (agentWindow(x, "360x150") == toast)
            x.run({"xdotool", "mousemove", "--window", toast, "304", "120", "click", "1"});
        return false;
    })) << "the chat window did not open";
    x.run({"xdotool", "windowactivate", "--sync", chat});
    x.run({"xdotool", "mousemove", "--window", chat, "190", "582", "click", "1"});
    x.run({"xdotool", "type", "--delay", "30", "Coming!"});
    x.run({"xdotool", "key", "Return"});
    // The answer reaches the dashboard. (Nothing is marked read: without a logind session
    // the screen's lock state is unknown, which counts as locked.)
    json conversation;
    EXPECT_TRUE(waitUntil([&] {
        conversation = family.parent.child()["chat"];
        return conversation.size() == 2 && conversation[1]["from"] == "child" &&
               conversation[1]["text"] == "Coming!";
    })) << conversation.dump();
    // Closed: nothing of the agent stays on the screen.
    x.run({"xdotool", "windowactivate", "--sync", chat, "key", "alt+F4"});
    EXPECT_TRUE(waitUntil([&] { return agentWindows(x).empty(); })) << agentWindows(x).size();
}

TEST(ScreenTimeEndToEnd, QuotaBlockerGrantChatScheduleBlockerAndSigtermWithTheDialogOpen) {
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
        SCOPED_TRACE("a parent's message: the toast, Reply, the child's answer on the dashboard");
        replyToTheParent(x, family);
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
