#pragma once

#include <string>
#include <vector>

#include "core/Subprocess.h"
#include "support/TestSupport.h"

namespace tarvo::test {

// A throw-away root laid out by scripts/make-root, with TARVO_ROOT, HOME and
// TARVO_RESOURCES (a fresh test certificate authority) pointing into it.
class CommandRoot {
  public:
    CommandRoot();
    const std::string& path() const { return root_.path(); }
    std::string resources() const { return path() + "/Resources"; }
    // Trusts the test certificate in the stand-in System keychain.
    void trustCertificate();
    // The services the networksetup stand-in lists ("*" marks a disabled one).
    void setServices(const std::vector<std::string>& services);
    // Web and secure web proxy states of `service` in the stand-in.
    std::pair<bool, bool> proxyStates(const std::string& service) const;
    // launchctl calls recorded by the stand-in, one line each.
    std::vector<std::string> launchctlCalls() const;

  private:
    TempRoot root_;
    EnvGuard resources_;
};

// Runs the real tarvo binary with `args` (the environment of this process).
ProcessResult runTarvo(const std::vector<std::string>& args);
// The same as an unprivileged user (uid and gid 65534).
ProcessResult runTarvoAsNobody(const std::vector<std::string>& args);

}  // namespace tarvo::test
