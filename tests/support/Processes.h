#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/Subprocess.h"
#include "support/TestSupport.h"

namespace tarvo::test {

constexpr uid_t kNobody = 65534;  // an ordinary user with no rights of its own

// What to start: argv[0] is the program's absolute path.
struct Launch {
    std::vector<std::string> argv;
    // The child's whole environment ("NAME=value"); none: this process's.
    std::optional<std::vector<std::string>> env;
    // Run as this user (its gid the same, no supplementary groups) through setpriv.
    std::optional<uid_t> user;
    // A directory holding passwd and group files (writeAccountFiles in
    // Accounts.h): bind-mounted over /etc/passwd and /etc/group in a private
    // mount namespace of this launch. Needs root.
    std::optional<std::string> accounts;
    // Gather standard output and error; otherwise they go to /dev/null.
    bool capture = true;
};

// This process's environment with `overrides` ("NAME=value", or "NAME=" to drop).
inline std::vector<std::string> environmentWith(const std::vector<std::string>& overrides) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    for (const auto& o : overrides) {
        const std::string name = o.substr(0, o.find('=') + 1);
        std::erase_if(env, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
        if (o.back() != '=') env.push_back(o);
    }
    return env;
}

inline std::vector<std::string> commandLine(const Launch& launch) {
    std::vector<std::string> argv;
    const char* bindAccounts =
        "mount --bind \"$0/passwd\" /etc/passwd; "
        "mount --bind \"$0/group\" /etc/group; exec \"$@\"";
    if (launch.accounts)
        argv = {"/usr/bin/unshare", "--mount", "--propagation", "private",       "--",
                "/bin/sh",          "-ec",     bindAccounts,    *launch.accounts};
    if (launch.user) {
        const std::string id = std::to_string(*launch.user);
        argv.insert(argv.end(),
                    {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--"});
    }
    argv.insert(argv.end(), launch.argv.begin(), launch.argv.end());
    return argv;
}

inline ProcessResult run(const Launch& launch,
                         std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto argv = commandLine(launch);
    return runProcess(argv[0], {argv.begin() + 1, argv.end()},
                      {.environment = launch.env, .timeout = limit});
}

// A started child, its output gathered as it comes; ended at destruction
// (SIGTERM, then SIGKILL after five seconds).
class Process {
  public:
    explicit Process(const Launch& launch) {
        const auto argv = commandLine(launch);
        p_ = spawnProcess(argv[0], {argv.begin() + 1, argv.end()},
                          {.captureStdout = launch.capture,
                           .captureStderr = launch.capture,
                           .environment = launch.env,
                           .discardUncaptured = true});
    }
    ~Process() {
        kill(SIGTERM);
        if (!wait(std::chrono::seconds(5))) {
            kill(SIGKILL);
            wait();
        }
        for (int fd : {p_.stdoutFd, p_.stderrFd})
            if (fd >= 0) ::close(fd);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return p_.pid; }
    std::string out() {
        drain();
        return out_;
    }
    std::string err() {
        drain();
        return err_;
    }
    // Polls until standard output holds `text`; false when the child ended first.
    bool waitForOutput(const std::string& text,
                       std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        polling::waitUntil(
            [&] { return out().find(text) != std::string::npos || wait(std::chrono::seconds(0)); },
            limit);
        return out().find(text) != std::string::npos;
    }
    // Its exit status (128 + signal when killed) once ended; none at the deadline.
    std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        polling::waitUntil(
            [&] {
                int status = 0;
                if (exit_ || ::waitpid(p_.pid, &status, WNOHANG) != p_.pid)
                    return exit_.has_value();
                exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return true;
            },
            limit);
        return exit_;
    }
    void kill(int signal) {
        if (!exit_) ::kill(p_.pid, signal);
    }

  private:
    void drain() {
        for (auto [fd, text] : {std::pair{p_.stdoutFd, &out_}, std::pair{p_.stderrFd, &err_}}) {
            char buf[4096];
            pollfd p{fd, POLLIN, 0};
            while (fd >= 0 && ::poll(&p, 1, 0) > 0) {
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n <= 0) break;
                text->append(buf, static_cast<size_t>(n));
            }
        }
    }
    SpawnedProcess p_;
    std::string out_;
    std::string err_;
    std::optional<int> exit_;
};

// Puts the calling thread, and what it starts from then on, into a network namespace with only
// loopback up (port 8080 free, every 127.x.y.z local, no way out) until destruction. Needs root.
class NetNamespace {
  public:
    NetNamespace();
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;
    bool entered() const { return entered_ && error_.empty(); }
    const std::string& error() const { return error_; }

  private:
    int original_ = -1;
    bool entered_ = false;
    std::string error_;
};

// The same for the rest of this test process's main thread, entered once; false without root.
bool enterPrivateNetwork();

// Gives the rest of this test process, and what it starts from then on, a
// private mount namespace where each of `overlays` (directories such as /etc,
// /var) shows the host's files but takes every change on a tmpfs, and each
// of `tmpfs` starts empty: the host's files stay as they were. Call it before
// any thread is started. "" when done, else what went wrong. Needs root.
std::string enterPrivateSystem(const std::vector<std::string>& overlays,
                               const std::vector<std::string>& tmpfs);

// Runs `body` in a forked child of this process, in a private mount namespace
// where each (source, target) of `binds` is bind-mounted (a passwd file over
// /etc/passwd, say); what `body` returns comes back, or an error text that
// starts with "mount namespace:". Needs root.
std::string inPrivateMounts(const std::vector<std::pair<std::string, std::string>>& binds,
                            const std::function<std::string()>& body);

}  // namespace tarvo::test
