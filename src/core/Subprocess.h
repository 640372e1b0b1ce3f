#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tarvo {

// External tools run with an absolute path and an argument vector, never
// through a shell.
struct ProcessOptions {
    // Standard error goes into `out` as well, interleaved as the child wrote it.
    bool mergeStderr = false;
    // Written to the child's standard input, which is then closed (else /dev/null).
    std::optional<std::string> input;
    // The child's whole environment as "NAME=value"; none inherits this process's.
    std::optional<std::vector<std::string>> environment;
    // The child is killed (SIGKILL) when it runs longer than this.
    std::optional<std::chrono::milliseconds> timeout;
};

struct ProcessResult {
    // False when the program could not be started at all (missing, not
    // executable); `launchError` then says why, and no status exists.
    bool launched = false;
    std::string launchError;
    // Exit status when the child exited; -1 when it was ended by a signal.
    int exitStatus = -1;
    int termSignal = 0;
    bool timedOut = false;
    std::string out;
    std::string err;

    bool succeeded() const { return launched && exitStatus == 0; }
};

// Runs `path` with `args` (argv[0] is `path`, `args` follow) and waits for it.
ProcessResult runProcess(const std::string& path, const std::vector<std::string>& args,
                         const ProcessOptions& options = {});

// Runs `path` with `args` on this process's own standard output and error, so
// a person sees what the tool prints, and waits for it. Its exit status; -1
// when it could not be started or was ended by a signal.
int runShowingOutput(const std::string& path, const std::vector<std::string>& args);

// A started child whose output the caller reads itself (e.g. a long-running
// service whose lines are logged as they come).
struct SpawnedProcess {
    pid_t pid = -1;
    int stdoutFd = -1;  // read end, non-blocking off; -1 when not captured
    int stderrFd = -1;
};

struct SpawnOptions {
    bool captureStdout = true;
    bool captureStderr = true;
    bool mergeStderr = false;
    std::optional<std::vector<std::string>> environment;
    // Start the child in a session of its own, so it outlives this process's
    // terminal and signals aimed at our process group.
    bool newSession = false;
    // Standard input, and standard output and error that are not captured, go
    // to /dev/null instead of being inherited (a detached child must not hold
    // our streams open). Otherwise standard input is inherited.
    bool discardUncaptured = false;
    // Descriptors the child receives open, at the same numbers (their
    // close-on-exec flag cleared in the child only): e.g. a listening socket
    // the parent keeps and hands to each new child.
    std::vector<int> passFds;
};

// Starts `path` with `args`; throws std::system_error when it cannot start.
SpawnedProcess spawnProcess(const std::string& path, const std::vector<std::string>& args,
                            const SpawnOptions& options = {});

}  // namespace tarvo
