// Downloading, verifying and handing over the update package.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <system_error>

#include "core/AtomicFile.h"
#include "core/Paths.h"
#include "net/Http.h"
#include "updater/Updater.h"

namespace tarvo {
namespace {

constexpr size_t kChecksumReadSize = 1048576;

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

// The install script appends to the install log as root through the path:
// anything but our own single-link regular file there (a link left from a
// time the directory was open to others) is removed first.
void removeUntrustedLog(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != ::geteuid())
        ::unlink(path.c_str());
}

std::string signaturePath(const std::string& pkg) {
    return pkg + ".sig";
}

}  // namespace

void Updater::fetchTo(const std::string& url, const std::string& destination,
                      const std::string& what, std::uint64_t maxBytes,
                      std::chrono::milliseconds maxTime) const {
    std::optional<AtomicFileWriter> file;
    try {
        file.emplace(destination);
    } catch (const AtomicWriteError& e) {
        throw fileError(e.code().value(), "cannot create a file in " + Paths::updateDir());
    }

    int writeError = 0;
    const auto deadline = std::chrono::steady_clock::now() + maxTime;
    std::uint64_t received = 0;
    bool tooLarge = false, tooSlow = false, checkOver = false;
    net::Request request;
    request.url = url;
    request.idleTimeout = std::chrono::seconds(300);
    // A refusal's body is not a package: stop before writing any of it.
    request.onStatus = [](long status) { return status >= 200 && status <= 299; };
    request.onData = [&](std::string_view piece) {
        // Stop at the cap, before the piece that passes it reaches the disk.
        received += piece.size();
        if (received > maxBytes) return !(tooLarge = true);
        try {
            file->append(piece);
        } catch (const AtomicWriteError& e) {
            writeError = e.code().value();
            return false;
        }
        return true;
    };
    request.cancelled = [&] {
        if (checkTimeIsUp()) return checkOver = true;
        return tooSlow = std::chrono::steady_clock::now() >= deadline;
    };
    const net::Response response = net::perform(request);
    if (writeError != 0) throw fileError(writeError, "cannot write " + file->tempPath());
    if (checkOver) throw checkTimeError();
    if (tooLarge)
        throw UpdateError::badManifest(what + " larger than " + std::to_string(maxBytes) +
                                       " bytes");
    if (tooSlow)
        throw UpdateError::badManifest(what + " not received within " +
                                       std::to_string(maxTime.count() / 1000) + " s");
    if (response.status < 200 || response.status > 299)
        throw UpdateError::badManifest(what + " HTTP " +
                                       std::to_string(response.status > 0 ? response.status : -1));
    try {
        file->commit();
    } catch (const AtomicWriteError& e) {
        throw fileError(e.code().value(), e.step() == AtomicWriteError::Step::rename
                                              ? "cannot move the " + what + " to " + destination
                                              : "cannot write " + e.file());
    }
}

platform::UpdatePackages& Updater::packages() const {
    if (!environment_.packages)
        throw UpdateError::untrustedPackage("no way to check packages on this system");
    return *environment_.packages;
}

std::string Updater::download(const Manifest& manifest) {
    const std::string dir = Paths::updateDir();
    requirePrivateDirectory(dir);
    const std::string destination =
        Paths::updatePackagePrefix() + manifest.version + packages().suffix();
    const Environment::Limits& limits = environment_.limits;
    // A signature left from an earlier attempt never stands beside this package.
    ::unlink(signaturePath(destination).c_str());
    fetchTo(manifest.url, destination, "package", limits.packageBytes, limits.packageTime);
    if (manifest.signatureUrl) {
        try {
            fetchTo(*manifest.signatureUrl, signaturePath(destination), "signature",
                    limits.signatureBytes, limits.packageTime);
        } catch (...) {
            ::unlink(destination.c_str());
            throw;
        }
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

void Updater::verify(const std::string& pkg, const Manifest& manifest,
                     const std::string& runningVersion) {
    const std::string signature = signaturePath(pkg);
    const auto discard = [&] {
        ::unlink(pkg.c_str());
        ::unlink(signature.c_str());
    };
    if (manifest.sha256 && !manifest.sha256->empty()) {
        const std::string got = sha256(pkg);
        if (got != *manifest.sha256) {
            discard();
            throw UpdateError::checksumMismatch(*manifest.sha256, got);
        }
        log().debug("sha256 verified");
    }

    platform::PackageFiles files{pkg, std::nullopt};
    if (manifest.signatureUrl) files.signature = signature;
    try {
        log().info(packages().verify(files, runningVersion));
    } catch (const platform::PackageError& e) {
        discard();
        throw UpdateError::untrustedPackage(e.what());
    } catch (const UpdateError&) {
        discard();
        throw;
    }
}

std::string Updater::installScript(const std::string& version, const std::string& pkg) const {
    return packages().installScript(version, pkg);
}

void Updater::installDetached(const std::string& pkg, const std::string& version) {
    const std::string script = Paths::updateScript();
    std::vector<std::string> paths = {pkg, script, Paths::updaterLog()};
    for (std::string& path : packages().scriptPaths()) paths.push_back(std::move(path));
    for (const std::string& path : paths)
        if (!plainScriptPath(path))
            throw UpdateError::installFailed("path " + path + " cannot stand in a shell script");
    if (!isSafeVersionText(version))
        throw UpdateError::installFailed("version text cannot stand in a shell script");

    removeUntrustedLog(Paths::updaterLog());

    // Written with its final mode on the descriptor, then renamed into place:
    // no moment exists where another mode or half a script could be run.
    replaceFileAtomically(script, installScript(version, pkg), modeOnly(0700));

    platform::HandOffLog handOff;
    handOff.info = [this](const std::string& line) { log().info(line); };
    handOff.warn = [this](const std::string& line) { log().warn(line); };
    try {
        packages().start(script, version, handOff);
    } catch (const platform::PackageError& e) {
        throw UpdateError::installFailed(e.what());
    }
}

}  // namespace tarvo
