#pragma once

#include <string>
#include <vector>

namespace tarvo::platform {

// How a detached job was started.
struct JobStart {
    bool started = false;
    bool bySystemd = false;      // a transient unit of the system's service manager
    std::string systemdFailure;  // the service manager's refusal: then nothing started
    std::string error;           // why the job outside a service manager did not start
};

// Programs that must outlive the process that starts them, its process group
// and its service unit (the updater's installer, which restarts the daemon).
class DetachedJobs {
  public:
    virtual ~DetachedJobs() = default;
    // Starts `argv` (argv[0] an absolute path) as the job `name`.
    virtual JobStart start(const std::string& name, const std::vector<std::string>& argv) = 0;
};

}  // namespace tarvo::platform
