#include "core/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

extern char** environ;

namespace tarvo {
namespace {

struct Pipe {
    int fds[2] = {-1, -1};
    void open() {
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw std::system_error(errno, std::generic_category(), "pipe");
    }
    void closeBoth() {
        for (int& fd : fds)
            if (fd >= 0) {
                ::close(fd);
                fd = -1;
            }
    }
};

std::vector<char*> cStrings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (auto& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

struct Spawned {
    pid_t pid = -1;
    int in = -1, out = -1, err = -1;
};

// Returns the spawn error (0 on success).
int spawnWithPipes(const std::string& path, const std::vector<std::string>& args, bool wantIn,
                   bool wantOut, bool wantErr, bool merge,
                   const std::optional<std::vector<std::string>>& environment, bool newSession,
                   Spawned& result, bool discardUncaptured = false, bool nullStdin = true,
                   const std::vector<int>& passFds = {}) {
    Pipe in, out, err;
    if (wantIn) in.open();
    if (wantOut) out.open();
    if (wantErr && !merge) err.open();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (wantIn)
        posix_spawn_file_actions_adddup2(&actions, in.fds[0], 0);
    else if (nullStdin)
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (wantOut) posix_spawn_file_actions_adddup2(&actions, out.fds[1], 1);
    if (merge && wantOut)
        posix_spawn_file_actions_adddup2(&actions, out.fds[1], 2);
    else if (wantErr && !merge)
        posix_spawn_file_actions_adddup2(&actions, err.fds[1], 2);
    if (discardUncaptured) {
        if (!wantOut) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        if (!wantErr && !(merge && wantOut))
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    // A descriptor duplicated onto itself loses close-on-exec in the child.
    for (int fd : passFds) posix_spawn_file_actions_adddup2(&actions, fd, fd);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    if (newSession) flags |= POSIX_SPAWN_SETSID;
    posix_spawnattr_setflags(&attr, flags);

    std::vector<std::string> argvStrings;
    argvStrings.reserve(args.size() + 1);
    argvStrings.push_back(path);
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    auto argv = cStrings(argvStrings);
    std::vector<std::string> envStrings;
    std::vector<char*> envp;
    if (environment) {
        envStrings = *environment;
        envp = cStrings(envStrings);
    }
    pid_t pid = -1;
    int rc = posix_spawn(&pid, path.c_str(), &actions, &attr, argv.data(),
                         environment ? envp.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);

    if (wantIn) ::close(in.fds[0]);
    if (wantOut) ::close(out.fds[1]);
    if (wantErr && !merge) ::close(err.fds[1]);
    if (rc != 0) {
        if (wantIn) ::close(in.fds[1]);
        if (wantOut) ::close(out.fds[0]);
        if (wantErr && !merge) ::close(err.fds[0]);
        return rc;
    }
    result.pid = pid;
    result.in = wantIn ? in.fds[1] : -1;
    result.out = wantOut ? out.fds[0] : -1;
    result.err = (wantErr && !merge) ? err.fds[0] : -1;
    return 0;
}

}  // namespace

ProcessResult runProcess(const std::string& path, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
    ProcessResult result;
    Spawned child;
    int rc;
    try {
        rc = spawnWithPipes(path, args, options.input.has_value(), true, true, options.mergeStderr,
                            options.environment, false, child);
    } catch (const std::system_error& e) {
        result.launchError = e.what();
        return result;
    }
    if (rc != 0) {
        result.launchError = std::strerror(rc);
        return result;
    }
    result.launched = true;

    std::string_view pendingInput = options.input ? std::string_view(*options.input) : "";
    if (child.in >= 0) ::fcntl(child.in, F_SETFL, O_NONBLOCK);
    if (child.in >= 0 && pendingInput.empty()) {
        ::close(child.in);
        child.in = -1;
    }

    using Clock = std::chrono::steady_clock;
    const auto deadline =
        options.timeout ? Clock::now() + *options.timeout : Clock::time_point::max();
    char buf[16384];
    while (child.out >= 0 || child.err >= 0 || child.in >= 0) {
        pollfd fds[3];
        int n = 0;
        int outIdx = -1, errIdx = -1, inIdx = -1;
        if (child.out >= 0) {
            outIdx = n;
            fds[n++] = {child.out, POLLIN, 0};
        }
        if (child.err >= 0) {
            errIdx = n;
            fds[n++] = {child.err, POLLIN, 0};
        }
        if (child.in >= 0) {
            inIdx = n;
            fds[n++] = {child.in, POLLOUT, 0};
        }
        int waitMs = -1;
        if (options.timeout) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                result.timedOut = true;
                ::kill(child.pid, SIGKILL);
                break;
            }
            waitMs = static_cast<int>(std::min<long long>(left.count(), 1000));
        }
        int pr = ::poll(fds, static_cast<nfds_t>(n), waitMs);
        if (pr < 0) {
            if (errno == EINTR) continue;
            break;
        }
        auto drain = [&](int idx, int& fd, std::string& sink) {
            if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
            ssize_t r = ::read(fd, buf, sizeof buf);
            if (r > 0) {
                sink.append(buf, static_cast<size_t>(r));
            } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
                ::close(fd);
                fd = -1;
            }
        };
        drain(outIdx, child.out, result.out);
        drain(errIdx, child.err, result.err);
        if (inIdx >= 0 && (fds[inIdx].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t w;
            {
                // A child that exits without reading its input must not end us
                // with SIGPIPE: block it for this write and swallow a pending one.
                sigset_t pipeSet, old;
                sigemptyset(&pipeSet);
                sigaddset(&pipeSet, SIGPIPE);
                pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
                w = ::write(child.in, pendingInput.data(), pendingInput.size());
                int writeErr = errno;
                timespec zero{0, 0};
                while (sigtimedwait(&pipeSet, nullptr, &zero) > 0) {
                }
                pthread_sigmask(SIG_SETMASK, &old, nullptr);
                errno = writeErr;
            }
            if (w > 0) pendingInput.remove_prefix(static_cast<size_t>(w));
            if (pendingInput.empty() || (w < 0 && errno != EAGAIN && errno != EINTR)) {
                ::close(child.in);
                child.in = -1;
            }
        }
    }
    for (int fd : {child.in, child.out, child.err})
        if (fd >= 0) ::close(fd);

    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.termSignal = WTERMSIG(status);
    }
    return result;
}

int runShowingOutput(const std::string& path, const std::vector<std::string>& args) {
    SpawnOptions options;
    options.captureStdout = false;
    options.captureStderr = false;
    SpawnedProcess child;
    try {
        child = spawnProcess(path, args, options);
    } catch (const std::system_error&) {
        return -1;
    }
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

SpawnedProcess spawnProcess(const std::string& path, const std::vector<std::string>& args,
                            const SpawnOptions& options) {
    Spawned child;
    int rc = spawnWithPipes(path, args, false, options.captureStdout, options.captureStderr,
                            options.mergeStderr, options.environment, options.newSession, child,
                            options.discardUncaptured,
                            // A started service or a tool shown to a person keeps our
                            // standard input; a detached child holds none of our streams.
                            options.discardUncaptured, options.passFds);
    if (rc != 0) throw std::system_error(rc, std::generic_category(), "cannot start " + path);
    return {child.pid, child.out, child.err};
}

}  // namespace tarvo
