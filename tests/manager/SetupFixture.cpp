#include "SetupFixture.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "core/Paths.h"
#include "core/Subprocess.h"
#include "platform/fake/FakeSystemLog.h"

namespace tarvo::test {

SetupRoot::SetupRoot() {
    ProcessResult made = runProcess(sourceDir() + "/scripts/make-root", {root_.path()});
    EXPECT_TRUE(made.succeeded()) << made.launchError << made.err;
}

void SetupRoot::setAccounts(const nlohmann::json& users, const nlohmann::json& admins) {
    writeText(path() + "/.standins/dscl/fixture.json",
              nlohmann::json{{"users", users}, {"groups", {{"admin", admins}}}}.dump(1));
}

void SetupRoot::removeDscl() {
    std::filesystem::remove(Paths::dsclTool());
}

std::vector<std::string> SetupRoot::managerLog() const {
    std::vector<std::string> out;
    if (!exists(Paths::managerLog())) return out;
    for (const std::string& line : readLines(Paths::managerLog())) {
        const size_t at = line.find(" [");
        out.push_back(at == std::string::npos ? line : line.substr(at + 1));
    }
    return out;
}

SetupHarness::SetupHarness() {
    auto answer = [](const Answer& a, httplib::Response& res) {
        res.status = a.status;
        res.set_content(a.body, "application/json");
    };
    service.server.Post("/api/SetDesktopSettings",
                        [this, answer](const httplib::Request& req, httplib::Response& res) {
                            {
                                std::lock_guard lock(mutex_);
                                bodies_.push_back(req.body);
                            }
                            answer(desktopSettings, res);
                        });
    service.server.Get("/api/GetUsersForDeviceId",
                       [this, answer](const httplib::Request&, httplib::Response& res) {
                           answer(usersForDevice, res);
                       });
    service.server.Get("/api/GetChildAccountDevices",
                       [this, answer](const httplib::Request&, httplib::Response& res) {
                           answer(childAccountDevices, res);
                       });
}

std::vector<nlohmann::json> SetupHarness::desktopSettingsSent() const {
    std::lock_guard lock(mutex_);
    std::vector<nlohmann::json> out;
    for (const auto& b : bodies_) out.push_back(nlohmann::json::parse(b, nullptr, false));
    return out;
}

void SetupHarness::start() {
    service.start();
    ServerClient::Options options;
    options.defaultBaseUrl = service.url() + "/";
    options.hardware = std::make_shared<platform::FakeHardwareIdentity>(kTestDevice);
    options.host = std::make_shared<platform::FakeHostInfo>("parents-mac.local");
    options.clock = clock;
    options.requestTimeout = std::chrono::milliseconds(2000);
    server = ServerClient::create(options);
    controller = ManagerController::create(server, queue, background, clock, "parent");
    controller->attachView(view);
}

std::vector<LocalServer::Received> SetupHarness::requests(const std::string& path) const {
    std::vector<LocalServer::Received> out;
    for (auto& r : service.received())
        if (r.path == path) out.push_back(r);
    return out;
}

}  // namespace tarvo::test
