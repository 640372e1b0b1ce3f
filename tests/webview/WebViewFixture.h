#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "manager/SetupFixture.h"
#include "support/Processes.h"
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

// The files mapped into process `pid` (from /proc/<pid>/maps), and those that
// are Qt WebEngine or the web view library.
std::vector<std::string> mappedFiles(pid_t pid);
std::vector<std::string> webEngineMappings(pid_t pid);

}  // namespace tarvo::test
