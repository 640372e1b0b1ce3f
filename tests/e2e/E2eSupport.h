#pragma once

// What the end-to-end tests share: the real `tarvo agent` as a child process,
// the environment it is started with, and the user it runs for.
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/Subprocess.h"
#include "support/TestSupport.h"
#include "support/XServer.h"

extern char** environ;

namespace tarvo::test {

using polling::waitUntil;

inline std::string userName() {
    const passwd* pw = ::getpwuid(::getuid());
    return pw ? pw->pw_name : "";
}

inline std::string today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &local);
    return buf;
}

// This process's environment with `overrides` ("NAME=value", or "NAME=" to drop).
inline std::vector<std::string> environmentWith(const std::vector<std::string>& overrides) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        bool replaced = false;
        for (const auto& o : overrides)
            if (entry.rfind(o.substr(0, o.find('=') + 1), 0) == 0) replaced = true;
        if (!replaced) env.push_back(entry);
    }
    for (const auto& o : overrides)
        if (o.back() != '=') env.push_back(o);
    return env;
}

// `tarvo <role>` as a child process, killed at destruction if still running.
class TarvoProcess {
  public:
    explicit TarvoProcess(const std::string& role, const std::vector<std::string>& env) {
        SpawnOptions options;
        options.environment = env;
        options.captureStdout = false;
        options.captureStderr = false;
        options.discardUncaptured = true;
        pid_ = spawnProcess(tarvoBinary(), {role}, options).pid;
    }
    ~TarvoProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    TarvoProcess(const TarvoProcess&) = delete;
    TarvoProcess& operator=(const TarvoProcess&) = delete;

    // The exit status once the process has ended within `limit`; none otherwise.
    std::optional<int> exitStatus(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        std::optional<int> result;
        waitUntil(
            [&] {
                int status = 0;
                if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
                pid_ = -1;
                result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return true;
            },
            limit);
        return result;
    }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
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
