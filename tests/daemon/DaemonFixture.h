#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/VirtualTime.h"
#include "daemon/Daemon.h"
#include "support/TestSupport.h"

namespace tarvo::test {

// Moves this test process (its main thread, and so every thread and child
// started from it later) into a network namespace of its own with loopback
// up, so that the daemon's proxy port and the check of who listens on it
// never meet another program on the machine. Needs root; false without.
bool enterPrivateNetwork();

// A throw-away root laid out by scripts/make-root (stand-in tools included),
// with TARVO_ROOT pointing at it and TARVO_RESOURCES at a resources folder
// holding the default rules, a fresh test certificate authority and, unless
// told otherwise, a scripted fake proxy that records how it was started.
// The test process enters a private network namespace first.
class DaemonRoot {
  public:
    enum class Proxy { Fake, Real, Missing };
    explicit DaemonRoot(Proxy proxy = Proxy::Fake);

    const std::string& root() const { return dir_.path(); }
    std::string resources() const { return dir_.path() + "/Resources"; }
    std::string records() const { return dir_.path() + "/proxy-records"; }
    std::string dataDir() const;
    std::string flagDir() const;
    // Puts the fake proxy in place (after starting with Proxy::Missing).
    void installFakeProxy();

    // Writes a presence flag whose modification time is `age` before `now`.
    void writeFlag(const std::string& name, WallTime now, std::chrono::seconds age);
    // The enabled states of the web and secure web proxy of `service`.
    std::pair<bool, bool> proxyStates(const std::string& service) const;
    // Services listed by the networksetup stand-in ("*" marks a disabled one).
    void setServices(const std::vector<std::string>& services);
    // networksetup calls recorded since the root was made, one argument list each.
    std::vector<std::vector<std::string>> networksetupCalls() const;

  private:
    TempDir dir_;
    EnvGuard root_;
    EnvGuard resources_;
};

// What one launch of the fake proxy saw.
struct FakeLaunch {
    pid_t pid = -1;
    std::vector<std::string> args;
    std::map<std::string, std::string> env;  // the three variables the daemon sets
};
std::vector<FakeLaunch> fakeLaunches(const std::string& recordsDir);

// Runs a program and returns its standard output; fails the test on error.
std::string runOrFail(const std::string& path, const std::vector<std::string>& args);

// The log lines of `path` after the timestamp (e.g. "[daemon] INFO  proxy started …").
std::vector<std::string> logMessages(const std::string& path);
bool hasLine(const std::vector<std::string>& lines, const std::string& text);
size_t countLinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix);

}  // namespace tarvo::test
