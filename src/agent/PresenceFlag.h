#pragma once

#include <atomic>
#include <string>

#include "core/TarvoLog.h"

namespace tarvo {

// The empty file that tells the daemon a child's session is live. Each write
// rewrites it in place so that its modification time moves on. A write that
// fails (the directory is missing and cannot be made, or something that is
// not a file has taken the name) is logged at error once per run of
// failures, and the next successful write says so: a flag that silently
// stays stale would leave the child unfiltered with nothing in the log.
//
// Written by one thread at a time (the agent at start, then the heartbeat).
class PresenceFlag {
  public:
    PresenceFlag(std::string path, TarvoLog log);

    // True when the flag now exists with a fresh modification time.
    bool write();
    const std::string& path() const { return path_; }
    bool failing() const { return failing_.load(); }

  private:
    const std::string path_;
    const TarvoLog log_;
    std::atomic<bool> failing_{false};
};

}  // namespace tarvo
