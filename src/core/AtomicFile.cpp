#include "core/AtomicFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace tarvo {
namespace {

using Step = AtomicWriteError::Step;

std::string uniqueTempName(const std::string& base) {
    static std::atomic<unsigned> counter{0};
    return "." + base + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
}

[[noreturn]] void fail(int err, Step step, const std::string& file, const std::string& what) {
    throw AtomicWriteError(err, step, file, what);
}

// All of `data`, through the injected write when there is one; false with
// errno set on failure (a write that makes no progress counts as EIO).
bool writeAllWith(const AtomicWriteCalls& calls, int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = calls.write ? calls.write(fd, data.data(), data.size())
                                      : ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

}  // namespace

bool writeAll(int fd, std::string_view data) {
    return writeAllWith({}, fd, data);
}

AtomicFileWriter::AtomicFileWriter(std::string path, AtomicWriteOptions options)
    : path_(std::move(path)), options_(std::move(options)) {
    namespace fs = std::filesystem;
    const fs::path target(path_);
    if (options_.createDirectories && options_.dirFd == AT_FDCWD && target.has_parent_path()) {
        std::error_code ignored;
        fs::create_directories(target.parent_path(), ignored);
    }
    const std::string name =
        options_.tempName.empty() ? uniqueTempName(target.filename().string()) : options_.tempName;
    temp_ = (target.parent_path() / name).string();
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    fd_ = ::openat(options_.dirFd, temp_.c_str(), flags, 0600);
    if (fd_ < 0 && errno == EEXIST) {
        // A leftover from an interrupted write (or something planted: a link,
        // a FIFO): unlink never follows a link, so removing it is safe.
        ::unlinkat(options_.dirFd, temp_.c_str(), 0);
        fd_ = ::openat(options_.dirFd, temp_.c_str(), flags, 0600);
    }
    if (fd_ < 0) fail(errno, Step::create, temp_, "cannot create " + temp_);
}

AtomicFileWriter::~AtomicFileWriter() {
    if (done_) return;
    if (fd_ >= 0) ::close(fd_);
    ::unlinkat(options_.dirFd, temp_.c_str(), 0);
}

void AtomicFileWriter::abandon(int err, Step step, const std::string& file,
                               const std::string& what) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    ::unlinkat(options_.dirFd, temp_.c_str(), 0);
    done_ = true;
    fail(err, step, file, what);
}

void AtomicFileWriter::append(std::string_view data) {
    if (done_ || fd_ < 0) fail(EBADF, Step::write, temp_, "cannot write " + temp_);
    if (!writeAllWith(options_.calls, fd_, data))
        abandon(errno, Step::write, temp_, "cannot write " + temp_);
    if (options_.writeInPlaceIfRenameFails) written_.append(data);
}

void AtomicFileWriter::commit() {
    if (done_ || fd_ < 0) fail(EBADF, Step::close, temp_, "cannot close " + temp_);
    if (options_.mode && ::fchmod(fd_, *options_.mode) != 0)
        abandon(errno, Step::chmod, temp_, "cannot chmod " + temp_);
    if (options_.sync && ::fsync(fd_) != 0)
        abandon(errno, Step::sync, temp_, "cannot sync " + temp_);
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) abandon(errno, Step::close, temp_, "cannot close " + temp_);

    const int dir = options_.dirFd;
    if (!options_.replaceExisting) {
        const int linked = ::linkat(dir, temp_.c_str(), dir, path_.c_str(), 0);
        const int err = errno;
        if (linked != 0) abandon(err, Step::link, path_, "cannot link " + temp_ + " to " + path_);
        ::unlinkat(dir, temp_.c_str(), 0);
        done_ = true;
        return;
    }
    const int renamed = options_.calls.rename
                            ? options_.calls.rename(dir, temp_.c_str(), path_.c_str())
                            : ::renameat(dir, temp_.c_str(), dir, path_.c_str());
    if (renamed == 0) {
        done_ = true;
        return;
    }
    const int err = errno;
    if (!options_.writeInPlaceIfRenameFails)
        abandon(err, Step::rename, path_, "cannot rename " + temp_ + " to " + path_);
    done_ = true;  // the temporary file stays beside the target
    if (options_.onRenameFailed) options_.onRenameFailed(err);
    writeInPlace();
}

// Rewrites the target in place (or creates it), never through a symbolic link
// and never into anything but a regular file (O_NONBLOCK: a FIFO planted there
// cannot stall the writer).
void AtomicFileWriter::writeInPlace() {
    const int fd = ::openat(options_.dirFd, path_.c_str(),
                            O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                            options_.mode.value_or(0600));
    if (fd < 0) fail(errno, Step::writeInPlace, path_, "cannot open " + path_);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        fail(err, Step::writeInPlace, path_, "cannot stat " + path_);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        fail(EINVAL, Step::writeInPlace, path_, "not a regular file: " + path_);
    }
    int err = 0;
    if (::ftruncate(fd, 0) != 0 || !writeAllWith(options_.calls, fd, written_)) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err != 0) fail(err, Step::writeInPlace, path_, "cannot write " + path_);
}

void replaceFileAtomically(const std::string& path, std::string_view data,
                           const AtomicWriteOptions& options) {
    AtomicFileWriter writer(path, options);
    writer.append(data);
    writer.commit();
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

std::string describeFileType(mode_t mode) {
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

namespace {

// Why an entry with these attributes is not read; empty when it may be.
std::string untrustedReason(const struct stat& st) {
    if (!S_ISREG(st.st_mode)) return describeFileType(st.st_mode);
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
