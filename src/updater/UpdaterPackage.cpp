// Downloading, verifying and handing over the update package.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "core/AtomicFile.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "core/Text.h"
#include "net/Http.h"
#include "updater/Updater.h"
#include "updater/UpdaterLimits.h"

namespace tarvo {
namespace {

constexpr size_t kChecksumReadSize = 1048576;
// What the fallback reads of the install log: the lines written since the start.
constexpr size_t kMaxLogReadBytes = 1024 * 1024;

AtomicWriteOptions modeOnly(mode_t mode) {
    AtomicWriteOptions options;
    options.mode = mode;
    return options;
}

std::system_error fileError(int err, const std::string& what) {
    return std::system_error(err, std::generic_category(), what);
}

// The package and the script are run by root: the directory holding them must
// be private to us, or another user could swap them between the checks and
// the installation.
void requirePrivateDirectory(const std::string& dir) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) throw fileError(errno, "cannot inspect " + dir);
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)))
        throw UpdateError::installFailed(dir + " is writable by other users — refusing to use it");
}

// Paths go into the script as they stand, so they must hold nothing a shell
// would read specially.
bool plainScriptPath(const std::string& path) {
    for (char c : path) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '-' || c == '+' ||
                           c == '_';
        if (!plain) return false;
    }
    return true;
}

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

// The install script appends to the install log as root through the path:
// anything but our own single-link regular file there (a link left from a
// time the directory was open to others) is removed first.
void removeUntrustedLog(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != ::geteuid())
        ::unlink(path.c_str());
}

}  // namespace

std::string Updater::download(const Manifest& manifest) {
    const std::string dir = Paths::updateDir();
    requirePrivateDirectory(dir);
    const std::string destination = Paths::updatePackagePrefix() + manifest.version + ".pkg";

    // The body streams into a private temporary file beside the destination
    // and is renamed over it only once whole.
    std::optional<AtomicFileWriter> file;
    try {
        file.emplace(destination);
    } catch (const AtomicWriteError& e) {
        throw fileError(e.code().value(), "cannot create a file in " + dir);
    }

    int writeError = 0;
    const Environment::Limits& limits = updater_detail::limits();
    const auto deadline = std::chrono::steady_clock::now() + limits.packageTime;
    std::uint64_t received = 0;
    bool tooLarge = false, tooSlow = false, checkOver = false;
    net::Request request;
    request.url = manifest.url;
    request.idleTimeout = std::chrono::seconds(300);
    // A refusal's body is not a package: stop before writing any of it.
    request.onStatus = [](long status) { return status >= 200 && status <= 299; };
    request.onData = [&](std::string_view piece) {
        // Stop at the cap, before the piece that passes it reaches the disk.
        received += piece.size();
        if (received > limits.packageBytes) return !(tooLarge = true);
        try {
            file->append(piece);
        } catch (const AtomicWriteError& e) {
            writeError = e.code().value();
            return false;
        }
        return true;
    };
    request.cancelled = [&] {
        if (updater_detail::checkTimeIsUp()) return checkOver = true;
        return tooSlow = std::chrono::steady_clock::now() >= deadline;
    };
    const net::Response response = net::perform(request);
    if (writeError != 0) throw fileError(writeError, "cannot write " + file->tempPath());
    if (checkOver) throw updater_detail::checkTimeError();
    if (tooLarge)
        throw UpdateError::badManifest("package larger than " +
                                       std::to_string(limits.packageBytes) + " bytes");
    if (tooSlow)
        throw UpdateError::badManifest("package not received within " +
                                       std::to_string(limits.packageTime.count() / 1000) + " s");
    if (response.status < 200 || response.status > 299)
        throw UpdateError::badManifest("package HTTP " +
                                       std::to_string(response.status > 0 ? response.status : -1));
    try {
        file->commit();
    } catch (const AtomicWriteError& e) {
        throw fileError(e.code().value(), e.step() == AtomicWriteError::Step::rename
                                              ? "cannot move the package to " + destination
                                              : "cannot write " + e.file());
    }
    log().info("downloaded " + manifest.version + " package");
    return destination;
}

std::string Updater::sha256(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw fileError(errno, "cannot open " + path);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        ::close(fd);
        throw std::runtime_error("cannot start a SHA-256 digest");
    }
    std::vector<unsigned char> buffer(kChecksumReadSize);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            throw fileError(err, "cannot read " + path);
        }
        if (n == 0) break;
        EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(n));
    }
    ::close(fd);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &length);
    std::string hex;
    hex.reserve(length * 2);
    char two[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

void Updater::verify(const std::string& pkg, const Manifest& manifest) {
    if (manifest.sha256 && !manifest.sha256->empty()) {
        const std::string got = sha256(pkg);
        if (got != *manifest.sha256) {
            ::unlink(pkg.c_str());
            throw UpdateError::checksumMismatch(*manifest.sha256, got);
        }
        log().debug("sha256 verified");
    }

    const std::string output = runCapturing(Paths::pkgutilTool(), {"--check-signature", pkg});
    if (contains(output, "signed by a certificate trusted by macOS") ||
        contains(output, "signed by a developer certificate issued by Apple")) {
        if (output.find(std::string("(") + signingTeam + ")") != std::string::npos) {
            log().info(std::string("package signature verified — Developer ID, team ") +
                       signingTeam);
            return;
        }
        ::unlink(pkg.c_str());
        throw UpdateError::untrustedPackage(std::string("signed by a different team (expected ") +
                                            signingTeam + ")");
    }
    ::unlink(pkg.c_str());
    throw UpdateError::untrustedPackage("not signed by a trusted Apple-issued certificate");
}

std::string Updater::installScript(const std::string& version, const std::string& pkg) {
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
           Paths::installerTool() + " -pkg \"" + pkg +
           "\" -target / && \\\n"
           "    echo \"[$(date -u +%FT%TZ)] installed " +
           version +
           " OK\" || \\\n"
           "    echo \"[$(date -u +%FT%TZ)] install FAILED\"\n"
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

void Updater::installDetached(const std::string& pkg, const std::string& version) {
    const std::string script = Paths::updateScript();
    for (const std::string& path : {pkg, script, Paths::updaterLog(), Paths::installerTool(),
                                    Paths::launchctlTool(), Paths::bashTool()})
        if (!plainScriptPath(path))
            throw UpdateError::installFailed("path " + path + " cannot stand in a shell script");
    if (!isSafeVersionText(version))
        throw UpdateError::installFailed("version text cannot stand in a shell script");

    removeUntrustedLog(Paths::updaterLog());

    // Written with its final mode on the descriptor, then renamed into place:
    // no moment exists where another mode or half a script could be run.
    replaceFileAtomically(script, installScript(version, pkg), modeOnly(0700));

    runTool(Paths::launchctlTool(), {"remove", launchdLabel});
    const ToolResult submitted = runTool(
        Paths::launchctlTool(), {"submit", "-l", launchdLabel, "--", Paths::bashTool(), script});
    if (submitted.ok) {
        log().info("update " + version + " submitted to launchd as " + launchdLabel +
                   " — daemon will be restarted by the package");
        return;
    }
    log().warn("launchctl submit failed (" + submitted.output +
               ") — falling back to a direct spawn");

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
        throw UpdateError::installFailed(e.what());
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
            throw UpdateError::installFailed("installer child died immediately — update " +
                                             version + " was not applied");
    } else {
        // Reap it when it ends, so no zombie is left behind in a long-lived daemon.
        std::thread([pid = child.pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    }
    log().info("update " + version + " handed to detached installer (fallback path)");
}

std::string Updater::runCapturing(const std::string& path, const std::vector<std::string>& args) {
    ProcessOptions options;
    options.mergeStderr = true;
    const ProcessResult result = runProcess(path, args, options);
    if (!result.launched || !text::isValidUtf8(result.out)) return {};
    return result.out;
}

Updater::ToolResult Updater::runTool(const std::string& path,
                                     const std::vector<std::string>& args) {
    ProcessOptions options;
    options.mergeStderr = true;
    const ProcessResult result = runProcess(path, args, options);
    if (!result.launched) return {false, result.launchError};
    return {result.exitStatus == 0,
            std::string(text::trimWhitespace(text::replaceInvalidUtf8(result.out)))};
}

}  // namespace tarvo
