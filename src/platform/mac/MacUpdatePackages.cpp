#include "platform/mac/MacUpdatePackages.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "core/AtomicFile.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "core/Text.h"

namespace tarvo::platform {
namespace {

// What the fallback reads of the install log: the lines written since the start.
constexpr size_t kMaxLogReadBytes = 1024 * 1024;

bool contains(const std::string& text, const char* phrase) {
    return text.find(phrase) != std::string::npos;
}

// Whether `line` stands in `text` as a whole line's end (the script echoes it
// with a time stamp before it and a newline after it).
bool logsLine(const std::string& text, const std::string& line) {
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
        const size_t end = at + line.size();
        if (end == text.size() || text[end] == '\n' || text[end] == '\r') return true;
    }
    return false;
}

off_t fileSize(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// Standard output and error together; "" when not UTF-8 or not started.
std::string runCapturing(const std::string& path, const std::vector<std::string>& args) {
    ProcessOptions options;
    options.mergeStderr = true;
    const ProcessResult result = runProcess(path, args, options);
    if (!result.launched || !text::isValidUtf8(result.out)) return {};
    return result.out;
}

struct ToolResult {
    bool ok = false;
    std::string output;
};

ToolResult runTool(const std::string& path, const std::vector<std::string>& args) {
    ProcessOptions options;
    options.mergeStderr = true;
    const ProcessResult result = runProcess(path, args, options);
    if (!result.launched) return {false, result.launchError};
    return {result.exitStatus == 0,
            std::string(text::trimWhitespace(text::replaceInvalidUtf8(result.out)))};
}

PackageError untrusted(const std::string& reason) {
    return PackageError(PackageError::Kind::untrusted, reason);
}

}  // namespace

std::string MacUpdatePackages::verify(const PackageFiles& files, const std::string&) {
    const std::string output =
        runCapturing(Paths::pkgutilTool(), {"--check-signature", files.package});
    if (contains(output, "signed by a certificate trusted by macOS") ||
        contains(output, "signed by a developer certificate issued by Apple")) {
        if (output.find(std::string("(") + signingTeam + ")") != std::string::npos)
            return std::string("package signature verified — Developer ID, team ") + signingTeam;
        throw untrusted(std::string("signed by a different team (expected ") + signingTeam + ")");
    }
    throw untrusted("not signed by a trusted Apple-issued certificate");
}

std::string MacUpdatePackages::installScript(const std::string& version,
                                             const std::string& pkg) const {
    const std::string logFile = Paths::updaterLog();
    return "#!/bin/bash\n"
           "# Detached updater — survives the daemon it replaces.\n"
           "exec >>\"" +
           logFile +
           "\" 2>&1\n"
           "echo \"[$(date -u +%FT%TZ)] applying update " +
           version +
           "\"\n"
           "\n"
           "# Give the daemon a moment to finish its current run loop tick.\n"
           "sleep 3\n"
           "\n" +
           installLogged(Paths::installerTool() + " -pkg \"" + pkg + "\" -target /", version) +
           "\n"
           "rm -f \"" +
           pkg +
           "\"\n"
           "\n"
           "# Tear down our own launchd job — last, and only after the package is\n"
           "# gone. `launchctl submit` keeps the job alive, so a job that simply\n"
           "# exits is respawned every 10 seconds forever. This script must NOT\n"
           "# delete itself: doing so made every retry fail with 127 (bash: no such\n"
           "# file), producing exactly that infinite loop. Removing the job stops\n"
           "# the retries; the script file is harmless and is overwritten by the\n"
           "# next update.\n" +
           Paths::launchctlTool() + " remove " + launchdLabel;
}

std::vector<std::string> MacUpdatePackages::scriptPaths() const {
    return {Paths::installerTool(), Paths::launchctlTool(), Paths::bashTool()};
}

void MacUpdatePackages::start(const std::string& script, const std::string& version,
                              const HandOffLog& log) {
    runTool(Paths::launchctlTool(), {"remove", launchdLabel});
    const ToolResult submitted = runTool(
        Paths::launchctlTool(), {"submit", "-l", launchdLabel, "--", Paths::bashTool(), script});
    if (submitted.ok) {
        log.info("update " + version + " submitted to launchd as " + launchdLabel +
                 " — daemon will be restarted by the package");
        return;
    }
    log.warn("launchctl submit failed (" + submitted.output + ") — falling back to a direct spawn");

    // Only what the child writes from now on counts: the install log only grows.
    const off_t logStart = fileSize(Paths::updaterLog());
    SpawnedProcess child;
    try {
        SpawnOptions options;
        options.captureStdout = false;
        options.captureStderr = false;
        options.discardUncaptured = true;
        options.newSession = true;  // outlives the daemon's process group
        child = spawnProcess(Paths::nohupTool(), {Paths::bashTool(), script}, options);
    } catch (const std::system_error& e) {
        throw PackageError(PackageError::Kind::installFailed, e.what());
    }

    // Give the child one second; one that ends sooner is judged at once.
    bool exited = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(child.pid, &status, WNOHANG);
        if (r == child.pid || (r < 0 && errno == ECHILD)) {
            exited = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (exited) {
        // A log that shrank was replaced: all of it is new.
        const off_t from = fileSize(Paths::updaterLog()) >= logStart ? logStart : 0;
        std::string written;
        if (const auto text = readUntrustedFile(Paths::updaterLog(), kMaxLogReadBytes, from).data)
            written = text::replaceInvalidUtf8(*text);
        if (!logsLine(written, "applying update " + version))
            throw PackageError(
                PackageError::Kind::installFailed,
                "installer child died immediately — update " + version + " was not applied");
    } else {
        // Reap it when it ends, so no zombie is left behind in a long-lived daemon.
        std::thread([pid = child.pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }
    log.info("update " + version + " handed to detached installer (fallback path)");
}

}  // namespace tarvo::platform
