#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/Background.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "manager/ManagerController.h"
#include "manager/ManagerView.h"
#include "platform/fake/FakeSystemLog.h"
#include "support/LocalServer.h"
#include "support/TestSupport.h"
#include "support/VirtualTime.h"

// The setup window's fixtures, for its controller here and for the real
// window in tests/webview.
namespace tarvo::test {

inline constexpr const char* kTestDevice = "0A1B2C3D-0000-4000-8000-00000000ABCD";

// A dscl account: a name, a uid and a home under /Users.
inline nlohmann::json account(const std::string& name, int uid) {
    return {
        {"name", name}, {"UniqueID", std::to_string(uid)}, {"NFSHomeDirectory", "/Users/" + name}};
}

// The lines of a log file without their timestamps: "[manager] INFO  …".
inline std::vector<std::string> logMessages(const std::string& path = Paths::managerLog()) {
    std::vector<std::string> out;
    if (exists(path))
        for (const std::string& line : readLines(path))
            out.push_back(line.substr(line.find(" [") + 1));
    return out;
}

inline bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A throw-away root with the stand-in tools (scripts/make-root), TARVO_ROOT
// and HOME pointing into it; the dscl stand-in answers with the accounts set.
class SetupRoot {
  public:
    SetupRoot() {
        ProcessResult made = runProcess(sourceDir() + "/scripts/make-root", {root_.path()});
        EXPECT_TRUE(made.succeeded()) << made.launchError << made.err;
    }
    const std::string& path() const { return root_.path(); }
    void setAccounts(const nlohmann::json& users, const nlohmann::json& admins) const {
        writeText(path() + "/.standins/dscl/fixture.json",
                  nlohmann::json{{"users", users}, {"groups", {{"admin", admins}}}}.dump(1));
    }

  private:
    TempRoot root_;
};

// What the window was asked to do, in order.
struct RecordingView : ManagerView {
    struct Alert {
        std::string title, text;
        AlertStyle style;
        bool operator==(const Alert&) const = default;
    };
    void presentAlert(const std::string& title, const std::string& text,
                      AlertStyle style) override {
        alerts.push_back({title, text, style});
        if (onAlert) onAlert();  // while the alert is up
    }
    void load(const std::string& url) override { loads.push_back(url); }
    void terminate() override { ++terminations; }

    std::vector<Alert> alerts;
    std::function<void()> onAlert;
    std::vector<std::string> loads;
    int terminations = 0;
};

// The service on 127.0.0.1 and the controller for user "parent" wired to it,
// the conversations run on the test thread. The three calls answer with the
// status and body set here.
class SetupHarness {
  public:
    struct Answer {
        int status = 200;
        std::string body;
    };
    SetupHarness() {
        auto answer = [](const Answer* a) {
            return [a](const httplib::Request&, httplib::Response& res) {
                res.status = a->status;
                res.set_content(a->body, "application/json");
            };
        };
        service.server.Post("/api/SetDesktopSettings", answer(&desktopSettings));
        service.server.Get("/api/GetUsersForDeviceId", answer(&usersForDevice));
        service.server.Get("/api/GetChildAccountDevices", answer(&childAccountDevices));
        service.start();
        ServerClient::Options options;
        options.defaultBaseUrl = service.url() + "/";
        options.hardware = std::make_shared<platform::FakeHardwareIdentity>(kTestDevice);
        options.host = std::make_shared<platform::FakeHostInfo>("parents-mac.local");
        options.clock = clock;
        options.requestTimeout = std::chrono::seconds(2);
        server = ServerClient::create(options);
        restart();
    }
    // A new controller and window, as a new run of the setup window.
    void restart() {
        view = std::make_shared<RecordingView>();
        controller = ManagerController::create(server, queue, background, clock, "parent");
        controller->attachView(view);
    }
    void settle() { queue.runPending(); }
    std::vector<LocalServer::Received> requests(const std::string& path) const {
        std::vector<LocalServer::Received> out;
        for (auto& r : service.received())
            if (r.path == path) out.push_back(r);
        return out;
    }
    // The bodies SetDesktopSettings received, parsed.
    std::vector<nlohmann::json> sent() const {
        std::vector<nlohmann::json> out;
        for (auto& r : requests("/api/SetDesktopSettings"))
            out.push_back(nlohmann::json::parse(r.body, nullptr, false));
        return out;
    }

    Answer desktopSettings{200, "{}"};
    Answer usersForDevice{200, R"(["emma"])"};
    Answer childAccountDevices{200, R"({"max":"d1","emma":"d2"})"};

    SetupRoot root;
    LocalServer service;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    InlineBackground background;
    std::shared_ptr<ServerClient> server;
    std::shared_ptr<ManagerController> controller;
    std::shared_ptr<RecordingView> view;
};

}  // namespace tarvo::test
