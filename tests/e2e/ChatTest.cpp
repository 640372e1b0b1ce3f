// Chat with the real binaries: a parent's message on the dashboard of a real
// tarvo-service shows the real agent's toast under a private X server; Reply
// opens the chat window, and the child's answer typed there reaches the
// dashboard, marked read by the parent.
#include <gtest/gtest.h>
#include <signal.h>

#include "E2eSupport.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;

// The agent's viewable windows on the first screen.
std::vector<std::string> windows(const XServer& x) {
    std::stringstream ids(
        x.run({"xdotool", "search", "--onlyvisible", "--class", "app.tarvo.agent"}));
    std::vector<std::string> out;
    for (std::string id; ids >> id;) out.push_back(id);
    return out;
}

TEST(ChatEndToEnd, ParentsMessageShowsTheToastAndTheChildsReplyReachesTheDashboard) {
    XServer x;
    ASSERT_TRUE(x.running() && x.error().empty()) << x.error();
    TempRoot root;
    DemoFamily family("DEV-E2E-CHAT", userName());
    family.allowAllDay();  // no blocker over the chat
    writeChildConfig(family.service.url(), "DEV-E2E-CHAT");
    TarvoProcess agent("agent", environmentWith({"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb"}));
    // After the agent's first load of the conversation…
    ASSERT_TRUE(family.service.waitForLog("GET /api/GetChildChatMessages 200"));
    family.parent.postOk(family.childApi + "/chat", {{"text", "Dinner is ready"}});

    // …the toast comes with the next poll (every 30 s) and slides in: wait until it rests.
    std::string toast, at, before;
    ASSERT_TRUE(waitUntil(
        [&] {
            before = at;
            toast.clear();
            for (const auto& id : windows(x)) {
                const std::string geometry = x.run({"xdotool", "getwindowgeometry", id});
                if (geometry.find("Geometry: 360x150") == std::string::npos) continue;
                toast = id;
                at = geometry.substr(0, geometry.find("Geometry"));
            }
            return !toast.empty() && at == before;
        },
        45s))
        << readText(Paths::agentLog());

    // Reply, the toast's right-hand button, opens the chat window (clicked
    // again while the toast is still there).
    std::string chat;
    ASSERT_TRUE(waitUntil([&] {
        const auto ids = windows(x);
        for (const auto& id : ids)
            if (id != toast) chat = id;
        if (chat.empty() && std::find(ids.begin(), ids.end(), toast) != ids.end())
            x.run({"xdotool", "mousemove", "--window", toast, "304", "120", "click", "1"});
        return !chat.empty();
    })) << "the chat window did not open";
    x.run({"xdotool", "windowactivate", "--sync", chat});
    // Into the message field at the window's foot.
    x.run({"xdotool", "mousemove", "--window", chat, "190", "582", "click", "1"});
    x.run({"xdotool", "type", "--delay", "30", "Coming!"});
    x.run({"xdotool", "key", "Return"});

    nlohmann::json conversation;
    ASSERT_TRUE(waitUntil([&] {
        conversation = family.parent.child()["chat"];
        for (const auto& m : conversation)
            if (m["from"] == "child" && m["text"] == "Coming!" && !m["readByParentAt"].is_null())
                return true;
        return false;
    })) << conversation.dump()
        << readText(Paths::agentLog());
    agent.kill(SIGTERM);
    EXPECT_EQ(agent.wait(), 0);
}

}  // namespace
}  // namespace tarvo::test
