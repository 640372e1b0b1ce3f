#pragma once

// What the end-to-end tests share: the real `tarvo` roles as child processes,
// the user they run for, and the agent's windows on a private X server.
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ServiceProcess.h"
#include "core/Paths.h"
#include "support/Processes.h"
#include "support/TestSupport.h"
#include "support/XServer.h"

namespace tarvo::test {

inline std::string userName() {
    const passwd* pw = ::getpwuid(::getuid());
    return pw ? pw->pw_name : "";
}

inline std::string presenceFlag() {
    return Paths::activeChildrenDir() + "/" + std::to_string(::getuid()) + ".flag";
}

// The root's config.json naming this user as the child of `device`, served by `api`.
inline void writeChildConfig(const std::string& api, const std::string& device) {
    writeText(
        Paths::configFile(),
        nlohmann::json{{"child_users", {userName()}}, {"api", api}, {"device_id", device}}.dump());
}

inline std::string today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &local);
    return buf;
}

// `tarvo <role>` as a child process, ended at destruction if still running.
struct TarvoProcess : Process {
    TarvoProcess(const std::string& role, const std::vector<std::string>& env)
        : Process(Launch{.argv = {tarvoBinary(), role}, .env = env, .capture = false}) {}
};

// Whether the window with the keyboard is `size` ("1280x800") large.
inline bool activeWindowIs(const XServer& x, const std::string& size) {
    return x.run({"xdotool", "getactivewindow", "getwindowgeometry"}).find("Geometry: " + size) !=
           std::string::npos;
}

// Geometries of the agent's viewable windows, as "WxH" (both screens).
inline std::multiset<std::string> agentWindows(const XServer& x) {
    std::multiset<std::string> sizes;
    for (int screen = 0; screen < 2; ++screen) {
        std::stringstream ids(x.run({"xdotool", "search", "--screen", std::to_string(screen),
                                     "--onlyvisible", "--class", "app.tarvo.agent"},
                                    screen));
        std::string id;
        while (ids >> id) {
            const std::string info = x.run({"xwininfo", "-id", id});
            if (info.find("IsViewable") == std::string::npos) continue;
            auto field = [&](const std::string& name) {
                auto at = info.find(name);
                return at == std::string::npos ? -1 : std::atoi(info.c_str() + at + name.size());
            };
            sizes.insert(std::to_string(field("Width:")) + "x" + std::to_string(field("Height:")));
        }
    }
    return sizes;
}

}  // namespace tarvo::test
