#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "core/Subprocess.h"

namespace tarvo::test {

constexpr uid_t kNobody = 65534;  // an ordinary user with no rights of its own

// What to start: argv[0] is the program's absolute path.
struct Launch {
    std::vector<std::string> argv;
    // The child's whole environment ("NAME=value"); none: this process's.
    std::optional<std::vector<std::string>> env;
    // Run as this user (its gid the same, no supplementary groups) through setpriv.
    std::optional<uid_t> user;
    // Gather standard output and error; otherwise they go to /dev/null.
    bool capture = true;
};

// This process's environment with `overrides` ("NAME=value", or "NAME=" to drop).
std::vector<std::string> environmentWith(const std::vector<std::string>& overrides);

// Runs `launch` to its end (killed after `limit`).
ProcessResult run(const Launch& launch, std::chrono::milliseconds limit = std::chrono::seconds(60));

// A started child, its output gathered as it comes; ended at destruction
// (SIGTERM, then SIGKILL after five seconds).
class Process {
  public:
    explicit Process(const Launch& launch);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    std::string out();
    std::string err();
    // Polls until standard output holds `text`; false when the child ended first.
    bool waitForOutput(const std::string& text,
                       std::chrono::milliseconds limit = std::chrono::seconds(30));
    // Its exit status (128 + signal when killed) once ended; none at the deadline.
    std::optional<int> wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
    void kill(int signal);

  private:
    void drain();
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
    std::optional<int> exit_;
};

// Puts the calling thread, and what it starts from then on, into a network
// namespace with only loopback up (port 8080 free, every 127.x.y.z local,
// no way out) until destruction. Needs root.
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

// The same for the rest of this test process's main thread, entered once;
// false without root.
bool enterPrivateNetwork();

}  // namespace tarvo::test
