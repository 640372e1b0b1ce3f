#pragma once

#include "platform/DetachedJobs.h"

namespace tarvo::platform {

// A transient unit of systemd (systemd-run) when systemd runs the machine, so
// that stopping the daemon's unit does not stop the job (if systemd refuses,
// nothing starts); else a double fork into a session of its own, out of the
// daemon's process group.
class LinuxDetachedJobs : public DetachedJobs {
  public:
    struct Options {
        std::string
            systemdDir;  // exists when systemd runs the machine; default /run/systemd/system
        std::string systemdRun;  // default /usr/bin/systemd-run
    };
    LinuxDetachedJobs();
    explicit LinuxDetachedJobs(Options options);
    JobStart start(const std::string& name, const std::vector<std::string>& argv) override;

    // The double fork alone: "" once `argv` runs, else why it did not start.
    static std::string startInOwnSession(const std::vector<std::string>& argv);

  private:
    Options options_;
};

}  // namespace tarvo::platform
