#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tarvo {

// One running child whose standard output and error are read as they come and
// whose end is reported once. The callbacks run on the process's own helper
// threads; the owner hops to its main thread from there.
class ProxyProcess {
  public:
    enum class Stream { Out, Err };
    using OutputHandler = std::function<void(Stream, std::string chunk)>;
    // The termination status: the exit code, or the signal number for a
    // child ended by a signal.
    using ExitHandler = std::function<void(pid_t pid, int status)>;

    // Starts `path` with `args` and `environment` (whole, "NAME=value"),
    // handing it the descriptors `passFds` at the same numbers; throws
    // std::system_error when it cannot start.
    ProxyProcess(const std::string& path, const std::vector<std::string>& args,
                 const std::vector<std::string>& environment, OutputHandler onOutput,
                 ExitHandler onExit, std::vector<int> passFds = {});
    // A child still running is killed (SIGKILL) and the helper threads joined;
    // output still in the pipes is read first.
    ~ProxyProcess();
    ProxyProcess(const ProxyProcess&) = delete;
    ProxyProcess& operator=(const ProxyProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool exited() const { return exited_.load(); }
    // Asks the child to end (SIGTERM); does not wait.
    void terminate() const;

  private:
    void readLoop(int outFd, int errFd);

    pid_t pid_ = -1;
    int wakeRead_ = -1, wakeWrite_ = -1;
    std::atomic<bool> exited_{false};
    OutputHandler onOutput_;
    ExitHandler onExit_;
    std::thread reader_;
    std::thread waiter_;
};

}  // namespace tarvo
