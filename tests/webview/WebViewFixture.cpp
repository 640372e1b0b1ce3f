#include "WebViewFixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/Subprocess.h"

namespace tarvo::test {

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return done();
}

std::optional<int> waitExit(pid_t pid, std::chrono::milliseconds limit) {
    std::optional<int> code;
    eventually(
        [&] {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) != pid) return false;
            code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        },
        limit);
    return code;
}

bool running(pid_t pid) {
    // WNOWAIT leaves an ended child to be reaped by waitExit.
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

std::vector<std::string> mappedFiles(pid_t pid) {
    std::set<std::string> files;
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const size_t slash = line.find('/');
        if (slash != std::string::npos) files.insert(line.substr(slash));
    }
    return {files.begin(), files.end()};
}

std::vector<std::string> webEngineMappings(pid_t pid) {
    std::vector<std::string> out;
    for (const auto& file : mappedFiles(pid)) {
        std::string lower = file;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        if (lower.find("webengine") != std::string::npos ||
            lower.find("tarvo_webview") != std::string::npos)
            out.push_back(file);
    }
    return out;
}

}  // namespace tarvo::test
