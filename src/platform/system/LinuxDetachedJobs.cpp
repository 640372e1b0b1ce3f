#include "platform/system/LinuxDetachedJobs.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/Paths.h"
#include "core/Subprocess.h"
#include "core/Text.h"

namespace tarvo::platform {
namespace {

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Only async-signal-safe calls between fork and exec: the daemon has threads.
[[noreturn]] void report(int fd, int err) {
    while (::write(fd, &err, sizeof err) < 0 && errno == EINTR) {
    }
    ::_exit(127);
}

}  // namespace

LinuxDetachedJobs::LinuxDetachedJobs()
    : LinuxDetachedJobs(
          Options{Paths::resolve("/run/systemd/system"), Paths::resolve("/usr/bin/systemd-run")}) {}

LinuxDetachedJobs::LinuxDetachedJobs(Options options) : options_(std::move(options)) {}

JobStart LinuxDetachedJobs::start(const std::string& name, const std::vector<std::string>& argv) {
    JobStart result;
    if (isDirectory(options_.systemdDir)) {
        std::vector<std::string> args = {"--unit=" + name, "--collect", "--quiet", "--"};
        args.insert(args.end(), argv.begin(), argv.end());
        ProcessOptions options;
        options.mergeStderr = true;
        const ProcessResult r = runProcess(options_.systemdRun, args, options);
        if (r.succeeded()) {
            result.started = result.bySystemd = true;
            return result;
        }
        result.systemdFailure =
            r.launched ? std::string(text::trimWhitespace(text::replaceInvalidUtf8(r.out)))
                       : r.launchError;
        if (result.systemdFailure.empty())
            result.systemdFailure = "exit status " + std::to_string(r.exitStatus);
        // No fallback here: a process forked off the daemon stays in the
        // daemon's unit and is killed when that unit stops, which is what an
        // upgrade's own scripts do halfway through.
        return result;
    }
    result.error = startInOwnSession(argv);
    result.started = result.error.empty();
    return result;
}

std::string LinuxDetachedJobs::startInOwnSession(const std::vector<std::string>& argv) {
    if (argv.empty()) return "nothing to start";
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    // The grandchild reports a failed exec through this pipe; a successful
    // exec closes it unread.
    int status[2];
    if (::pipe2(status, O_CLOEXEC) != 0) return std::strerror(errno);
    const pid_t child = ::fork();
    if (child < 0) {
        const int err = errno;
        ::close(status[0]);
        ::close(status[1]);
        return std::strerror(err);
    }
    if (child == 0) {
        ::close(status[0]);
        if (::setsid() < 0) report(status[1], errno);
        const pid_t grandchild = ::fork();
        if (grandchild < 0) report(status[1], errno);
        if (grandchild > 0) ::_exit(0);
        // The job: no terminal, no streams of ours, default signals, nothing
        // inherited but the status pipe (close-on-exec).
        const int null = ::open("/dev/null", O_RDWR);
        if (null < 0) report(status[1], errno);
        for (int fd = 0; fd <= 2; ++fd)
            if (::dup2(null, fd) < 0) report(status[1], errno);
        ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig = 1; sig < NSIG; ++sig) ::signal(sig, SIG_DFL);
        if (::chdir("/") != 0) report(status[1], errno);
        ::execv(args[0], args.data());
        report(status[1], errno);
    }
    ::close(status[1]);
    int childStatus = 0;
    while (::waitpid(child, &childStatus, 0) < 0 && errno == EINTR) {
    }
    int err = 0;
    ssize_t n;
    while ((n = ::read(status[0], &err, sizeof err)) < 0 && errno == EINTR) {
    }
    ::close(status[0]);
    if (n == static_cast<ssize_t>(sizeof err)) return argv[0] + ": " + std::strerror(err);
    if (!WIFEXITED(childStatus) || WEXITSTATUS(childStatus) != 0)
        return "the detaching child ended abnormally";
    return {};
}

}  // namespace tarvo::platform
