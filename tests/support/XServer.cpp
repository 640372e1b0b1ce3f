#include "support/XServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace tarvo::test {
namespace {

// Spawns argv with the given extra environment entries; stdout to `outFd`
// when >= 0, else /dev/null; stderr always to /dev/null.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
            int outFd) {
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) {
        bool overridden = false;
        for (const auto& x : extraEnv) {
            auto eq = x.find('=');
            if (std::strncmp(*e, x.c_str(), eq + 1) == 0) overridden = true;
        }
        if (!overridden) envStore.emplace_back(*e);
    }
    envStore.insert(envStore.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (auto& s : envStore) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> cargv;
    for (auto& a : args) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&fa, outFd, 1);
    else
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, cargv[0], &fa, nullptr, cargv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

void stop(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

}  // namespace

XServer::XServer() : XServer(Options{}) {}

XServer::XServer(Options options) {
    start(options);
}

void XServer::start(const Options& options) {
    // Xvfb picks a free display itself and writes its number to -displayfd.
    int fds[2];
    if (pipe(fds) != 0) {
        error_ = "pipe failed";
        return;
    }
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);  // only the write end goes to Xvfb
    std::vector<std::string> argv{"Xvfb",      "-displayfd", std::to_string(fds[1]),
                                  "-nolisten", "tcp",        "-noreset"};
    for (size_t i = 0; i < options.screens.size(); ++i) {
        argv.push_back("-screen");
        argv.push_back(std::to_string(i));
        argv.push_back(options.screens[i] + "x24");
    }
    xvfb_ = spawn(argv, {}, -1);
    close(fds[1]);
    if (xvfb_ <= 0) {
        close(fds[0]);
        error_ = "Xvfb could not be started (is the xvfb package installed?)";
        return;
    }
    std::string number;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fds[0], POLLIN, 0};
        if (poll(&p, 1, 200) > 0) {
            char buf[32];
            ssize_t n = read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            number.append(buf, static_cast<size_t>(n));
            if (number.find('\n') != std::string::npos) break;
        }
    }
    close(fds[0]);
    while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
    if (number.empty()) {
        error_ = "Xvfb did not report a display";
        stop(xvfb_);
        return;
    }
    display_ = ":" + number;
    if (options.windowManager) {
        // One openbox per X screen: each manages the screen its DISPLAY names.
        for (size_t i = 0; i < options.screens.size(); ++i) {
            const int index = static_cast<int>(i);
            // openbox runs its start-up command once it manages the screen
            // (theme, menus and key bindings loaded): that is when it is ready.
            const std::string ready = "/tmp/tarvo-xserver-" + std::to_string(getpid()) + "-" +
                                      number + "." + std::to_string(i) + ".ready";
            ::unlink(ready.c_str());
            wms_.push_back(spawn({"openbox", "--sm-disable", "--startup", "touch " + ready},
                                 {"DISPLAY=" + screen(index)}, -1));
            const bool started = waitFor([&] { return ::access(ready.c_str(), F_OK) == 0; });
            ::unlink(ready.c_str());
            if (!started) {
                error_ = "openbox did not start on screen " + std::to_string(i);
                return;
            }
        }
    }
    if (options.trayHost && !startTrayHost()) error_ = "trayer did not start";
}

bool XServer::waitFor(const std::function<bool()>& done) {
    // Generous: a loaded machine can take seconds to start a window manager.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

bool XServer::startTrayHost() {
    if (!running()) return false;
    if (tray_ <= 0)
        tray_ = spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                       "--height", "24", "--SetDockType", "true", "--SetPartialStrut", "true",
                       "--transparent", "false", "--tint", "0x303030"},
                      {"DISPLAY=" + screen(0)}, -1);
    if (tray_ <= 0) return false;
    return waitFor([&] { return !run({"xdotool", "search", "--classname", "trayer"}).empty(); });
}

XServer::~XServer() {
    stop(tray_);
    for (auto it = wms_.rbegin(); it != wms_.rend(); ++it) stop(*it);
    stop(xvfb_);
}

std::string XServer::run(const std::vector<std::string>& argv, int screenIndex) const {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return "";
    // The child must see the write end without O_CLOEXEC: dup2 in the spawn clears it.
    pid_t pid = spawn(argv, {"DISPLAY=" + screen(screenIndex)}, fds[1]);
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while (pid > 0 && (n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return "";
    return out;
}

bool XServer::screenshot(const std::string& pngPath, int screenIndex) const {
    pid_t pid =
        spawn({"import", "-window", "root", pngPath}, {"DISPLAY=" + screen(screenIndex)}, -1);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

}  // namespace tarvo::test
