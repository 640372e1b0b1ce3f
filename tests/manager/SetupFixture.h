#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/Background.h"
#include "core/VirtualTime.h"
#include "manager/ManagerController.h"
#include "manager/ManagerView.h"
#include "support/LocalServer.h"
#include "support/TestSupport.h"

namespace tarvo::test {

// A throw-away root with the stand-in tools (scripts/make-root), TARVO_ROOT
// and HOME pointing into it.
class SetupRoot {
  public:
    SetupRoot();
    const std::string& path() const { return root_.path(); }
    // Writes the dscl stand-in's directory: users in the order given.
    void setAccounts(const nlohmann::json& users, const nlohmann::json& admins);
    // Removes the dscl stand-in (a machine without the tool).
    void removeDscl();
    // The manager's log lines without their timestamps: "[manager] INFO  …".
    std::vector<std::string> managerLog() const;

  private:
    TempRoot root_;
};

// What the window was asked to do, in order.
class RecordingView : public ManagerView {
  public:
    struct Alert {
        std::string title, text;
        AlertStyle style;
        bool operator==(const Alert&) const = default;
    };
    void presentAlert(const std::string& title, const std::string& text,
                      AlertStyle style) override {
        alerts.push_back({title, text, style});
        if (onAlert) onAlert();
    }
    void load(const std::string& url) override { loads.push_back(url); }
    void terminate() override { ++terminations; }

    std::vector<Alert> alerts;
    // Runs while an alert is up (before it is dismissed).
    std::function<void()> onAlert;
    std::vector<std::string> loads;
    int terminations = 0;
};

// The service on 127.0.0.1 and the controller wired to it, with the
// conversations run at once on the test thread. The three endpoints answer
// with the status and body set here (change them before the call).
class SetupHarness {
  public:
    struct Answer {
        int status = 200;
        std::string body;
    };
    SetupHarness();
    // Starts the service and creates the controller for user "parent".
    void start();
    // The bodies SetDesktopSettings received, parsed.
    std::vector<nlohmann::json> desktopSettingsSent() const;
    // Runs what the conversations posted to the main queue.
    void settle() { queue.runPending(); }
    std::vector<LocalServer::Received> requests(const std::string& path) const;

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
    std::shared_ptr<RecordingView> view = std::make_shared<RecordingView>();

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> bodies_;
};

inline constexpr const char* kTestDevice = "0A1B2C3D-0000-4000-8000-00000000ABCD";

}  // namespace tarvo::test
