#include "daemon/ProxyProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "core/Subprocess.h"

namespace tarvo {

ProxyProcess::ProxyProcess(const std::string& path, const std::vector<std::string>& args,
                           const std::vector<std::string>& environment, OutputHandler onOutput,
                           ExitHandler onExit, std::vector<int> passFds)
    : onOutput_(std::move(onOutput)), onExit_(std::move(onExit)) {
    SpawnOptions options;
    options.environment = environment;
    options.passFds = std::move(passFds);
    SpawnedProcess child = spawnProcess(path, args, options);
    pid_ = child.pid;
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        int err = errno;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        ::close(child.stdoutFd);
        ::close(child.stderrFd);
        throw std::system_error(err, std::generic_category(), "pipe");
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    reader_ =
        std::thread([this, out = child.stdoutFd, err = child.stderrFd] { readLoop(out, err); });
    waiter_ = std::thread([this] {
        int status = 0;
        pid_t r;
        do {
            r = ::waitpid(pid_, &status, 0);
        } while (r < 0 && errno == EINTR);
        int code = -1;
        if (r == pid_) {
            if (WIFEXITED(status))
                code = WEXITSTATUS(status);
            else if (WIFSIGNALED(status))
                code = WTERMSIG(status);
        }
        exited_.store(true);
        if (onExit_) onExit_(pid_, code);
    });
}

ProxyProcess::~ProxyProcess() {
    if (!exited_.load()) ::kill(pid_, SIGKILL);
    if (waiter_.joinable()) waiter_.join();
    // The child is gone; the reader drains what is left and stops, even if a
    // grandchild still holds the pipes open.
    char byte = 1;
    ssize_t n = ::write(wakeWrite_, &byte, 1);
    (void)n;
    if (reader_.joinable()) reader_.join();
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

void ProxyProcess::terminate() const {
    if (!exited_.load()) ::kill(pid_, SIGTERM);
}

void ProxyProcess::readLoop(int outFd, int errFd) {
    char buf[16384];
    int fds[2] = {outFd, errFd};
    const Stream streams[2] = {Stream::Out, Stream::Err};
    bool stopping = false;
    while (fds[0] >= 0 || fds[1] >= 0) {
        pollfd p[3];
        p[0] = {fds[0], POLLIN, 0};
        p[1] = {fds[1], POLLIN, 0};
        p[2] = {wakeRead_, POLLIN, 0};
        // Once asked to stop, only what is already buffered is read.
        int pr = ::poll(p, 3, stopping ? 0 : -1);
        if (pr < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[2].revents & POLLIN) stopping = true;
        bool readSomething = false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::read(fds[i], buf, sizeof buf);
            if (n > 0) {
                readSomething = true;
                if (onOutput_) onOutput_(streams[i], std::string(buf, static_cast<size_t>(n)));
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                ::close(fds[i]);
                fds[i] = -1;
            }
        }
        if (stopping && !readSomething) break;
    }
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
}

}  // namespace tarvo
