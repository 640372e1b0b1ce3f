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

// A started child. What it prints is gathered as it comes; at destruction it
// is sent SIGTERM, then SIGKILL when it has not ended within five seconds.
class Process {
  public:
    explicit Process(const Launch& launch);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    std::string out();
    std::string err();
    // Polls until standard output holds `text`; false when the child ends or
    // the deadline passes first.
    bool waitForOutput(const std::string& text,
                       std::chrono::milliseconds limit = std::chrono::seconds(30));
    // Polls until the child ends: its exit status, or 128 + the signal that
    // ended it; none while it still runs at the deadline.
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

// Puts the calling thread, and every thread and process it starts from then
// on, into a network namespace of its own with only loopback up: fixed ports
// such as 8080 are free, every 127.x.y.z address is local and nothing
// reaches the outside. The thread returns to its old namespace at
// destruction. Needs root.
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
