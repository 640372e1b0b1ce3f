// Chat with the real binaries: a parent's message sent on the dashboard of a
// real tarvo-service after the agent's first load shows the real agent's
// toast under a private X server; Reply opens the chat window, the child's
// answer typed there reaches the service and the dashboard shows both sides
// with the parent's read mark.
#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>

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

constexpr const char* kDevice = "DEV-E2E-CHAT";

// The agent's viewable window of `size` ("360x150") on the first screen, with
// its position; empty when there is none.
std::string windowOfSize(const XServer& x, const std::string& size, std::string* where = nullptr) {
    std::stringstream ids(
        x.run({"xdotool", "search", "--onlyvisible", "--class", "app.tarvo.agent"}));
    std::string id;
    while (ids >> id) {
        const std::string geometry = x.run({"xdotool", "getwindowgeometry", id});
        if (geometry.find("Geometry: " + size) == std::string::npos) continue;
        if (where) *where = geometry.substr(0, geometry.find("Geometry"));
        return id;
    }
    return "";
}

TEST(ChatEndToEnd, ParentsMessageShowsTheToastAndTheChildsReplyReachesTheDashboard) {
    XServer x;
    ASSERT_TRUE(x.running() && x.error().empty()) << x.error();
    TempRoot root;
    DemoFamily family(kDevice, userName());
    ASSERT_TRUE(family.signedIn);
    ServiceProcess& service = family.service;
    ParentSession& parent = *family.parent;
    const std::string& base = family.childApi;
    // Allowed all day, so no blocker stands over the chat.
    family.allowAllDay();
    writeChildConfig(service.url(), kDevice);
    TarvoProcess agent("agent", environmentWith({"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb"}));
    // The first load: the agent has asked for the conversation once.
    ASSERT_TRUE(service.waitForLog("GET /api/GetChildChatMessages 200")) << service.stderrText();

    parent.postOk(base + "/chat", {{"text", "Dinner is ready"}});
    // The toast comes with the next poll (every 30 s) and slides in: wait until it rests.
    std::string toast, at, before;
    ASSERT_TRUE(waitUntil(
        [&] {
            before = at;
            toast = windowOfSize(x, "360x150", &at);
            return !toast.empty() && at == before;
        },
        45s))
        << readText(Paths::agentLog());

    // Reply (the toast's right-hand button) opens the chat window. A click that
    // lands while the card still moves is given again while the card is there.
    // (That it comes to the front is shown by the chat window's own tests.)
    x.run({"xdotool", "mousemove", "--window", toast, "304", "120", "click", "1"});
    std::string chat;
    ASSERT_TRUE(waitUntil([&] {
        std::stringstream ids(
            x.run({"xdotool", "search", "--onlyvisible", "--class", "app.tarvo.agent"}));
        std::string id;
        bool toastShown = false;
        while (ids >> id) {
            if (id == toast)
                toastShown = true;
            else
                chat = id;
        }
        if (chat.empty() && toastShown)
            x.run({"xdotool", "mousemove", "--window", toast, "304", "120", "click", "1"});
        return !chat.empty();
    })) << "the chat window did not open";
    x.run({"xdotool", "windowactivate", "--sync", chat});

    // Into the message field at the window's foot.
    x.run({"xdotool", "mousemove", "--window", chat, "190", "582", "click", "1"});
    x.run({"xdotool", "type", "--delay", "30", "Coming!"});
    x.run({"xdotool", "key", "Return"});

    json conversation;
    ASSERT_TRUE(waitUntil([&] {
        conversation = parent.child("Demo Child")["chat"];
        bool reply = false;
        for (const auto& m : conversation) {
            if (m["from"] == "child" && m["text"] == "Coming!" && !m["readByParentAt"].is_null())
                reply = true;
        }
        return reply;
    })) << conversation.dump()
        << "\n"
        << readText(Paths::agentLog());

    ASSERT_EQ(::kill(agent.pid(), SIGTERM), 0);
    EXPECT_EQ(agent.exitStatus(), 0);
}

}  // namespace
}  // namespace tarvo::test
