#include "core/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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
        (dir / (options.tempName.empty() ? uniqueTempName(target.filename().string())
                                         : options.tempName))
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

}  // namespace tarvo
