#include "daemon/RootFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

#include "core/AtomicFile.h"

namespace tarvo::rootfiles {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
constexpr std::string_view kAsidePrefix = ".tarvo-aside.";
constexpr int kMaxRemoveDepth = 64;

std::string errText(int err) {
    return std::strerror(err);
}

std::string asideName(const std::string& name) {
    static std::atomic<unsigned> counter{0};
    return std::string(kAsidePrefix) + name + "." + std::to_string(::getpid()) + "." +
           std::to_string(counter++);
}

std::string octal(mode_t mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

std::vector<std::string> entriesOf(int dirFd) {
    std::vector<std::string> names;
    if (DIR* list = ::fdopendir(::dup(dirFd))) {
        while (const dirent* entry = ::readdir(list)) {
            const std::string_view n = entry->d_name;
            if (n != "." && n != "..") names.emplace_back(n);
        }
        ::closedir(list);
    }
    return names;
}

// Removes `name` inside `parentFd` and everything below it, working only
// through descriptors: links are unlinked, never followed.
void removeTree(int parentFd, const std::string& name, int depth) {
    if (::unlinkat(parentFd, name.c_str(), 0) == 0 || errno == ENOENT) return;
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return;
    Fd dir(::openat(parentFd, name.c_str(), kDirFlags));
    if (!dir) return;
    if (depth < kMaxRemoveDepth)
        for (const auto& n : entriesOf(dir.get())) removeTree(dir.get(), n, depth + 1);
    ::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR);
}

// Gets whatever stands at `name` out of the way: links, files and FIFOs are
// unlinked (which never follows them); a directory is first renamed to a
// hidden name, so the trusted name is free at once, and then removed with
// everything in it, so that nothing piles up.
bool moveAside(int parentFd, const std::string& name, std::string& error) {
    if (::unlinkat(parentFd, name.c_str(), 0) == 0 || errno == ENOENT) return true;
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return true;
    const std::string aside = asideName(name);
    if (::renameat(parentFd, name.c_str(), parentFd, aside.c_str()) != 0) {
        if (errno == ENOENT) return true;
        error = "cannot move " + name + " aside: " + errText(errno);
        return false;
    }
    removeTree(parentFd, aside, 0);
    return true;
}

DirIdentity identityOf(const struct stat& st) {
    return {st.st_dev, st.st_ino};
}

// Why an open directory is not trusted as it stands; empty when it is.
std::string distrust(const struct stat& st, const DirRequirement& req, bool exactMode) {
    if (req.ownedByUs && st.st_uid != ::geteuid())
        return "directory owned by uid " + std::to_string(st.st_uid);
    if (exactMode ? (st.st_mode & 07777) != req.mode
                  : req.replaceIfLoose && ((st.st_mode & 07777) & ~req.mode) != 0)
        return "directory with mode " + octal(st.st_mode);
    return {};
}

// Makes a fresh directory at `name` and opens it. It is trusted only when
// what opens is the empty, private directory just made: another user may
// have renamed something else to that name in between.
Fd createFresh(int parentFd, const std::string& name, struct stat& st, std::string& error) {
    if (::mkdirat(parentFd, name.c_str(), 0700) != 0) {
        if (errno != EEXIST) error = "cannot create " + name + ": " + errText(errno);
        return Fd();
    }
    Fd fd(::openat(parentFd, name.c_str(), kDirFlags));
    if (!fd || ::fstat(fd.get(), &st) != 0) return Fd();
    if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0 || st.st_nlink != 2 ||
        !entriesOf(fd.get()).empty())
        return Fd();
    return fd;
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

DirResult secureDirectoryAt(int parentFd, const std::string& name, const DirRequirement& req,
                            std::optional<DirIdentity>* known) {
    DirResult result;
    struct stat parent {};
    if (::fstat(parentFd, &parent) != 0) {
        result.error = "cannot inspect the parent of " + name + ": " + errText(errno);
        return result;
    }
    // Whether other users can rename entries of the parent to any name.
    const bool shared = parent.st_uid != ::geteuid() || (parent.st_mode & (S_IWGRP | S_IWOTH));
    const bool remembered = known && known->has_value();
    // A user racing us can swap the entry between any two calls; a few rounds
    // settle it, and a directory we did not verify is never used.
    for (int attempt = 0; attempt < 4; ++attempt) {
        struct stat st {};
        Fd fd(::openat(parentFd, name.c_str(), kDirFlags));
        if (fd) {
            if (::fstat(fd.get(), &st) != 0) {
                result.error = "cannot inspect " + name + ": " + errText(errno);
                return result;
            }
            std::string why;
            if (shared && remembered) {
                if (identityOf(st) != **known) why = "directory that is not ours";
            } else {
                why = distrust(st, req, shared);
            }
            if (why.empty()) {
                // Where others can rename entries, only a directory made here
                // is ever chmodded; one found is trusted only as it stands.
                if (!shared) ::fchmod(fd.get(), req.mode);
                result.identity = identityOf(st);
                if (known) *known = result.identity;
                result.fd = std::move(fd);
                return result;
            }
            result.replaced = why;
        } else if (errno == ELOOP || errno == ENOTDIR) {
            result.replaced = ::fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
                                  ? describeFileType(st.st_mode)
                                  : "entry";
        } else if (errno != ENOENT) {
            result.error = "cannot open " + name + ": " + errText(errno);
            return result;
        }
        fd.reset();
        if (!moveAside(parentFd, name, result.error)) return result;
        Fd fresh = createFresh(parentFd, name, st, result.error);
        if (!result.error.empty()) return result;
        if (!fresh) continue;  // something else took the name: judge it again
        ::fchmod(fresh.get(), req.mode);
        result.identity = identityOf(st);
        if (known) *known = result.identity;
        result.fd = std::move(fresh);
        return result;
    }
    result.error = name + " keeps changing under us";
    return result;
}

DirResult secureDirectory(const std::string& path, const DirRequirement& req,
                          std::optional<DirIdentity>* known) {
    namespace fs = std::filesystem;
    fs::path p(path);
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    Fd parent(::open(p.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent) {
        DirResult result;
        result.error = "cannot open " + p.parent_path().string() + ": " + errText(errno);
        return result;
    }
    return secureDirectoryAt(parent.get(), p.filename().string(), req, known);
}

void removeMovedAside(int parentFd) {
    for (const auto& name : entriesOf(parentFd))
        if (name.rfind(kAsidePrefix, 0) == 0) removeTree(parentFd, name, 0);
}

std::optional<std::string> readTrustedFile(const std::string& path, size_t maxBytes,
                                           std::string* why) {
    UntrustedFile file = readUntrustedFile(path, maxBytes);
    if (!file.data && why) *why = file.why;
    return file.data;
}

std::string createFileNoReplace(int dirFd, const std::string& name, std::string_view data,
                                mode_t mode, bool* existed) {
    if (existed) *existed = false;
    try {
        replaceFileAtomically(name, data, {.mode = mode, .dirFd = dirFd, .replaceExisting = false});
        return {};
    } catch (const AtomicWriteError& e) {
        if (existed && e.step() == AtomicWriteError::Step::link && e.code().value() == EEXIST)
            *existed = true;
        return e.what();
    }
}

std::string replaceFileAt(int dirFd, const std::string& name, std::string_view data, mode_t mode) {
    try {
        replaceFileAtomically(name, data, {.mode = mode, .dirFd = dirFd});
        return {};
    } catch (const AtomicWriteError& e) {
        return e.what();
    }
}

}  // namespace tarvo::rootfiles
