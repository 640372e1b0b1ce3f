#pragma once

#include <optional>
#include <string>

#include "daemon/RootFiles.h"

namespace tarvo {

// One daemon per machine. A second one would fight the first for the proxy's
// port and, when stopped, clear the system proxy settings while the first
// still runs with a child present. The lock is an flock on a root-owned 0600
// file in a directory only root can write, so no other user can take or hold
// it, and the kernel releases it when the daemon dies, however it dies.
class DaemonLock {
  public:
    // The lock, held until the returned object is destroyed; none when another
    // daemon holds it or it cannot be taken, `error` then saying why in one line.
    static std::optional<DaemonLock> acquire(std::string& error);

  private:
    explicit DaemonLock(rootfiles::Fd fd) : fd_(std::move(fd)) {}
    rootfiles::Fd fd_;
};

}  // namespace tarvo
