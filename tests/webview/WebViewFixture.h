#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace tarvo::test {

using namespace std::chrono_literals;

// Polls `done` every 50 ms until it holds or `limit` has passed.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s);
// The exit status of child `pid` once it has ended (128 + signal when killed);
// none when it is still running after `limit`.
std::optional<int> waitExit(pid_t pid, std::chrono::milliseconds limit = 30s);
// Whether child `pid` is still running (not reaped).
bool running(pid_t pid);

// The lines of a log file without their timestamps: "[manager] INFO  …".
std::vector<std::string> logMessages(const std::string& path);
bool hasLine(const std::vector<std::string>& lines, const std::string& line);
size_t countLines(const std::vector<std::string>& lines, const std::string& line);

// A throw-away root laid out by scripts/make-root, with TARVO_ROOT and HOME
// pointing into it, and the dscl stand-in answering with `users`/`admins`.
class ManagerRoot {
  public:
    ManagerRoot();
    const std::string& path() const { return root_.path(); }
    void setAccounts(const std::vector<std::string>& users, const std::vector<std::string>& admins);

  private:
    TempRoot root_;
};

// The environment for a `tarvo` child: this process's, with `extra`
// ("NAME=value") replacing entries of the same name.
std::vector<std::string> childEnvironment(const std::vector<std::string>& extra);

// The shared objects mapped into process `pid` (from /proc/<pid>/maps).
std::vector<std::string> mappedFiles(pid_t pid);
// Those whose name mentions WebEngine.
std::vector<std::string> webEngineMappings(pid_t pid);

}  // namespace tarvo::test
