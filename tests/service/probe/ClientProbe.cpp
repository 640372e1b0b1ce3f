// The client's side of the contract, for the browser test: runs one call of
// the real ServerClient / ChatService against a service and prints what the
// client made of the answer as one JSON line.
//   service_client_probe BASE DEVICE USER rules|limits|approval|users|events
//   service_client_probe BASE DEVICE USER chat AFTER_ID | send TEXT
//   service_client_probe BASE DEVICE USER usage BUNDLE NAME SECONDS | request MINUTES REASON
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "chat/ChatService.h"
#include "core/Paths.h"
#include "platform/fake/FakeSystemLog.h"
#include "server/ServerClient.h"

using Json = nlohmann::json;
using namespace tarvo;

namespace {

Json rulesJson(const ServerClient::Rules& r) {
    Json windows = Json::array();
    for (const auto& w : r.accessWindows)
        windows.push_back({w.dayOfWeek, w.startMinutes, w.endMinutes});
    return {{"whitelist", r.whitelist}, {"blacklist", r.blacklist}, {"windows", windows}};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::cerr << "usage: service_client_probe BASE DEVICE USER CALL [ARGS]\n";
        return 64;
    }
    const std::string base = argv[1], device = argv[2], user = argv[3], call = argv[4];
    // A throw-away root, so the client's files land nowhere that matters.
    char tmpl[] = "/tmp/tarvo-probe-XXXXXX";
    const std::string root = mkdtemp(tmpl);
    setenv("TARVO_ROOT", root.c_str(), 1);
    std::filesystem::create_directories(root + "/home");
    setenv("HOME", (root + "/home").c_str(), 1);
    std::filesystem::create_directories(std::filesystem::path(Paths::configFile()).parent_path());
    std::ofstream(Paths::configFile()) << Json{{"api", base}, {"device_id", device}}.dump();

    ServerClient::Options o;
    o.username = user;
    o.hardware =
        std::make_shared<platform::FakeHardwareIdentity>("0F3A5C21-9B7E-4D2A-8C11-5E6F7A8B9C0D");
    o.host = std::make_shared<platform::FakeHostInfo>("probe-mac.local");
    auto client = ServerClient::create(o);
    ChatService chat(client->api(), client->deviceId(), user);
    int rc = 0;
    try {
        auto say = [](const Json& j) { std::cout << j.dump() << std::endl; };
        if (call == "rules") {
            say(rulesJson(client->fetchRules()));
        } else if (call == "limits") {
            const auto l = client->fetchAppLimits();
            say({{"daily", l.dailyMinutes}, {"apps", l.allowedBundleIds}});
        } else if (call == "users") {
            say(client->getUsersForDeviceId());
        } else if (call == "approval") {
            say({{"minutes", client->checkMoreTimeApproval()}});
        } else if (call == "chat" && argc > 5) {
            const auto p = chat.poll(std::stoll(argv[5]));
            Json messages = Json::array();
            for (const auto& m : p.messages)
                messages.push_back({{"from", m.from},
                                    {"text", m.text},
                                    {"senderName", m.senderName.value_or("")}});
            say({{"messages", messages}, {"parents", p.parentNames}});
        } else if (call == "send" && argc > 5) {
            say({{"id", chat.send(argv[5]).id}});
        } else if (call == "usage" && argc > 7) {
            client->reportUsage(
                {{argv[5], argv[6], std::stoll(argv[7]), std::chrono::system_clock::now()}});
            say(Json::object());
        } else if (call == "request" && argc > 6) {
            client->requestMoreTime(std::stoll(argv[5]), argv[6]);
            say(Json::object());
        } else if (call == "events") {
            using Kind = ServerClient::SSEEvent::Kind;
            auto session = client->subscribeEvents(nullptr, [](const ServerClient::SSEEvent& e) {
                Json line;
                if (e.kind == Kind::rulesUpdated)
                    line = {{"kind", "rules"}, {"rules", rulesJson(e.rules)}};
                else if (e.kind == Kind::moreTimeApproved)
                    line = {{"kind", "grant"}, {"minutes", e.minutes}};
                else
                    line = {{"kind", "force"}};
                std::cout << line.dump() << std::endl;
            });
            std::cout << Json{{"kind", "subscribed"}}.dump() << std::endl;
            // Until the caller closes our standard input.
            char c;
            while (read(0, &c, 1) > 0) {
            }
            session->cancel();
        } else {
            std::cerr << "unknown call " << call << "\n";
            rc = 64;
        }
    } catch (const std::exception& e) {
        std::cout << Json{{"error", e.what()}}.dump() << std::endl;
        rc = 1;
    }
    std::filesystem::remove_all(root);
    return rc;
}
