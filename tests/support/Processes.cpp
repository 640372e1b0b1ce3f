#include "Processes.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/TestSupport.h"

extern char** environ;

namespace tarvo::test {

std::vector<std::string> environmentWith(const std::vector<std::string>& overrides) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    for (const auto& o : overrides) {
        const std::string name = o.substr(0, o.find('=') + 1);
        std::erase_if(env, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
        if (o.back() != '=') env.push_back(o);
    }
    return env;
}
using namespace std::chrono_literals;

namespace {

std::vector<std::string> withUser(const Launch& launch) {
    if (!launch.user) return launch.argv;
    const std::string id = std::to_string(*launch.user);
    std::vector<std::string> argv = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id,
                                     "--clear-groups", "--"};
    argv.insert(argv.end(), launch.argv.begin(), launch.argv.end());
    return argv;
}

}  // namespace

ProcessResult run(const Launch& launch, std::chrono::milliseconds limit) {
    const auto argv = withUser(launch);
    ProcessOptions options;
    options.environment = launch.env;
    options.timeout = limit;
    return runProcess(argv[0], {argv.begin() + 1, argv.end()}, options);
}

Process::Process(const Launch& launch) {
    const auto argv = withUser(launch);
    SpawnOptions options;
    options.environment = launch.env;
    options.captureStdout = options.captureStderr = launch.capture;
    options.discardUncaptured = true;
    const SpawnedProcess p = spawnProcess(argv[0], {argv.begin() + 1, argv.end()}, options);
    pid_ = p.pid;
    outFd_ = p.stdoutFd;
    errFd_ = p.stderrFd;
}

Process::~Process() {
    if (!exit_) {
        kill(SIGTERM);
        if (!wait(5s)) {
            kill(SIGKILL);
            wait();
        }
    }
    for (int fd : {outFd_, errFd_})
        if (fd >= 0) ::close(fd);
}

void Process::kill(int signal) {
    if (!exit_) ::kill(pid_, signal);
}

void Process::drain() {
    for (auto [fd, text] : {std::pair{outFd_, &out_}, std::pair{errFd_, &err_}}) {
        char buf[4096];
        pollfd p{fd, POLLIN, 0};
        while (fd >= 0 && ::poll(&p, 1, 0) > 0) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            text->append(buf, static_cast<size_t>(n));
        }
    }
}

std::string Process::out() {
    drain();
    return out_;
}

std::string Process::err() {
    drain();
    return err_;
}

bool Process::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
    polling::waitUntil([&] { return out().find(text) != std::string::npos || wait(0ms); }, limit);
    return out().find(text) != std::string::npos;
}

std::optional<int> Process::wait(std::chrono::milliseconds limit) {
    polling::waitUntil(
        [&] {
            int status = 0;
            if (exit_ || ::waitpid(pid_, &status, WNOHANG) != pid_) return exit_.has_value();
            exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        },
        limit);
    return exit_;
}

NetNamespace::NetNamespace() {
    original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original_ < 0 || ::unshare(CLONE_NEWNET) != 0) {
        error_ = std::string("cannot make a network namespace: ") + std::strerror(errno);
        return;
    }
    entered_ = true;
    // A new namespace has only a loopback device, and it is down.
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (s < 0 || ::ioctl(s, SIOCGIFFLAGS, &ifr) != 0 ||
        (ifr.ifr_flags |= IFF_UP | IFF_RUNNING, ::ioctl(s, SIOCSIFFLAGS, &ifr) != 0))
        error_ = std::string("cannot bring the loopback device up: ") + std::strerror(errno);
    if (s >= 0) ::close(s);
}

NetNamespace::~NetNamespace() {
    if (entered_ && ::setns(original_, CLONE_NEWNET) != 0)
        std::fprintf(stderr, "cannot return to the original network namespace: %s\n",
                     std::strerror(errno));
    if (original_ >= 0) ::close(original_);
}

bool enterPrivateNetwork() {
    // Never left: kept for the rest of the process.
    static NetNamespace* const ns = ::geteuid() == 0 ? new NetNamespace : nullptr;
    return ns && ns->entered();
}

}  // namespace tarvo::test
