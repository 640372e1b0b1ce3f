#include "daemon/RootFiles.h"
#include "core/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace tarvo::rootfiles {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

std::string errText(int err) {
    return std::strerror(err);
}

std::string hiddenName(const std::string& name, const char* what) {
    static std::atomic<unsigned> counter{0};
    return "." + name + "." + what + "." + std::to_string(::getpid()) + "." +
           std::to_string(counter++);
}

// Why an open directory is not trusted as it stands; empty when it is.
std::string distrust(const struct stat& st, const DirRequirement& req) {
    if (req.ownedByUs && st.st_uid != ::geteuid())
        return "directory owned by uid " + std::to_string(st.st_uid);
    if (req.exactModeBefore && ((st.st_mode & 07777) & ~req.mode) != 0) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("directory with mode ") + buf;
    }
    return {};
}

// Gets whatever stands at `name` out of the way: links, files and FIFOs are
// unlinked (which never follows them), an empty directory is removed, any
// other directory is renamed to a hidden name where it can do no harm.
bool moveAside(int parentFd, const std::string& name, std::string& error) {
    if (::unlinkat(parentFd, name.c_str(), 0) == 0 || errno == ENOENT) return true;
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return true;
    const std::string aside = hiddenName(name, "untrusted");
    if (::renameat(parentFd, name.c_str(), parentFd, aside.c_str()) == 0 || errno == ENOENT)
        return true;
    error = "cannot move " + name + " aside: " + errText(errno);
    return false;
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

std::string describeMode(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFLNK:
            return "symbolic link";
        case S_IFREG:
            return "regular file";
        case S_IFDIR:
            return "directory";
        case S_IFIFO:
            return "FIFO";
        case S_IFSOCK:
            return "socket";
        case S_IFCHR:
            return "character device";
        case S_IFBLK:
            return "block device";
    }
    return "unknown entry";
}

DirResult secureDirectoryAt(int parentFd, const std::string& name, const DirRequirement& req) {
    DirResult result;
    // A user racing us can swap the entry between any two calls; a few rounds
    // settle it, and a directory we did not verify is never used.
    for (int attempt = 0; attempt < 4; ++attempt) {
        Fd fd(::openat(parentFd, name.c_str(), kDirFlags));
        if (fd) {
            struct stat st {};
            if (::fstat(fd.get(), &st) != 0) {
                result.error = "cannot inspect " + name + ": " + errText(errno);
                return result;
            }
            std::string why = distrust(st, req);
            if (why.empty()) {
                ::fchmod(fd.get(), req.mode);
                result.fd = std::move(fd);
                return result;
            }
            result.replaced = why;
        } else if (errno == ENOENT) {
            if (::mkdirat(parentFd, name.c_str(), 0700) != 0 && errno != EEXIST) {
                result.error = "cannot create " + name + ": " + errText(errno);
                return result;
            }
            continue;
        } else if (errno == ELOOP || errno == ENOTDIR) {
            struct stat st {};
            result.replaced = ::fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0
                                  ? describeMode(st.st_mode)
                                  : "entry";
        } else {
            result.error = "cannot open " + name + ": " + errText(errno);
            return result;
        }
        fd.reset();
        if (!moveAside(parentFd, name, result.error)) return result;
        if (::mkdirat(parentFd, name.c_str(), 0700) != 0 && errno != EEXIST) {
            result.error = "cannot create " + name + ": " + errText(errno);
            return result;
        }
    }
    result.error = name + " keeps changing under us";
    return result;
}

DirResult secureDirectory(const std::string& path, const DirRequirement& req) {
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
    return secureDirectoryAt(parent.get(), p.filename().string(), req);
}

std::optional<std::string> readUserFile(int dirFd, const std::string& name, size_t maxBytes,
                                        std::string* why) {
    auto fail = [&](std::string reason) -> std::optional<std::string> {
        if (why) *why = std::move(reason);
        return std::nullopt;
    };
    Fd fd(::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        if (errno == ELOOP) return fail("symbolic link");
        return fail(errText(errno));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return fail(errText(errno));
    if (!S_ISREG(st.st_mode)) return fail(describeMode(st.st_mode));
    if (static_cast<size_t>(st.st_size) > maxBytes) return fail("larger than the size limit");
    std::string data;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(errText(errno));
        }
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
        if (data.size() > maxBytes) return fail("larger than the size limit");
    }
    return data;
}

std::optional<std::string> readTrustedFile(const std::string& path, size_t maxBytes,
                                           std::string* why) {
    Fd dir(::open(std::filesystem::path(path).parent_path().c_str(),
                  O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        if (why) *why = errText(errno);
        return std::nullopt;
    }
    return readUserFile(dir.get(), std::filesystem::path(path).filename().string(), maxBytes, why);
}

std::string createFileNoReplace(int dirFd, const std::string& name, std::string_view data,
                                mode_t mode, bool* existed) {
    if (existed) *existed = false;
    const std::string temp = hiddenName(name, "tmp");
    Fd fd(
        ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) return "cannot create " + temp + ": " + errText(errno);
    std::string error;
    if (!writeAll(fd.get(), data))
        error = "cannot write " + temp + ": " + errText(errno);
    else if (::fchmod(fd.get(), mode) != 0)
        error = "cannot set permissions: " + errText(errno);
    fd.reset();
    if (error.empty() && ::linkat(dirFd, temp.c_str(), dirFd, name.c_str(), 0) != 0) {
        if (errno == EEXIST && existed) *existed = true;
        error = errText(errno);
    }
    ::unlinkat(dirFd, temp.c_str(), 0);
    return error;
}

std::string replaceFileAt(int dirFd, const std::string& name, std::string_view data, mode_t mode) {
    if (::unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT)
        return "cannot remove the old " + name + ": " + errText(errno);
    Fd fd(
        ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) return "cannot create " + name + ": " + errText(errno);
    ::fchmod(fd.get(), mode);
    if (!writeAll(fd.get(), data)) {
        int err = errno;
        fd.reset();
        ::unlinkat(dirFd, name.c_str(), 0);
        return "cannot write " + name + ": " + errText(err);
    }
    return {};
}

}  // namespace tarvo::rootfiles
