#include "core/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace tarvo {
namespace {

[[noreturn]] void fail(int err, const std::string& what) {
    throw std::system_error(err, std::generic_category(), what);
}

std::string uniqueTempName(const std::string& base) {
    static std::atomic<unsigned> counter{0};
    return "." + base + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
}

}  // namespace

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void replaceFileAtomically(const std::string& path, std::string_view data,
                           const AtomicWriteOptions& options) {
    namespace fs = std::filesystem;
    const fs::path target(path);
    const fs::path dir = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    if (options.createDirectories) {
        std::error_code ec;
        fs::create_directories(dir, ec);
    }
    const std::string temp =
        (dir /
         (options.tempName.empty() ? uniqueTempName(target.filename().string()) : options.tempName))
            .string();
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(temp.c_str(), flags, 0600);
    if (fd < 0 && errno == EEXIST) {
        // A leftover from an interrupted write (or something planted): unlink
        // never follows a symbolic link, so removing it is safe.
        ::unlink(temp.c_str());
        fd = ::open(temp.c_str(), flags, 0600);
    }
    if (fd < 0) fail(errno, "cannot create " + temp);

    auto abandon = [&](int err, const std::string& what) {
        ::close(fd);
        ::unlink(temp.c_str());
        fail(err, what);
    };
    if (!writeAll(fd, data)) abandon(errno, "cannot write " + temp);
    if (options.mode && ::fchmod(fd, *options.mode) != 0) abandon(errno, "cannot chmod " + temp);
    if (options.sync && ::fsync(fd) != 0) abandon(errno, "cannot sync " + temp);
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        fail(err, "cannot close " + temp);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        fail(err, "cannot rename " + temp + " to " + path);
    }
}

std::optional<std::string> readFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

namespace {

std::string describeNonRegular(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFLNK:
            return "symbolic link";
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
    return "not a regular file";
}

// Why an entry with these attributes is not read; empty when it may be.
std::string untrustedReason(const struct stat& st) {
    if (!S_ISREG(st.st_mode)) return describeNonRegular(st.st_mode);
    // A second name means someone linked a file they may not own in here.
    if (st.st_nlink != 1) return "hard link";
    return {};
}

}  // namespace

std::string inspectUntrustedFileAt(int dirFd, const std::string& name, struct stat& st) {
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::strerror(errno);
    return untrustedReason(st);
}

UntrustedFile readUntrustedFileAt(int dirFd, const std::string& name, size_t maxBytes,
                                  off_t offset) {
    UntrustedFile result;
    auto refuse = [&](std::string why) {
        result.why = std::move(why);
        return result;
    };
    const int fd =
        ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        result.error = errno;
        return refuse(errno == ELOOP ? "symbolic link" : std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return refuse(std::strerror(errno));
    if (std::string why = untrustedReason(st); !why.empty()) return refuse(why);
    const off_t size = st.st_size > offset ? st.st_size - offset : 0;
    if (static_cast<unsigned long long>(size) > maxBytes)
        return refuse("larger than " + std::to_string(maxBytes) + " bytes");
    if (offset > 0 && ::lseek(fd, offset, SEEK_SET) < 0) return refuse(std::strerror(errno));
    std::string data;
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return refuse(std::strerror(errno));
        }
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
        // The file may grow while it is read.
        if (data.size() > maxBytes)
            return refuse("larger than " + std::to_string(maxBytes) + " bytes");
    }
    result.data = std::move(data);
    result.owner = st.st_uid;
    return result;
}

UntrustedFile readUntrustedFile(const std::string& path, size_t maxBytes, off_t offset) {
    namespace fs = std::filesystem;
    const fs::path p(path);
    const std::string dir = p.parent_path().empty() ? "." : p.parent_path().string();
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        UntrustedFile result;
        result.error = errno;
        result.why = std::strerror(errno);
        return result;
    }
    UntrustedFile result = readUntrustedFileAt(dirFd, p.filename().string(), maxBytes, offset);
    ::close(dirFd);
    return result;
}

}  // namespace tarvo
