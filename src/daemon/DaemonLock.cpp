#include "daemon/DaemonLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/AtomicFile.h"
#include "core/Paths.h"
#include "core/Text.h"

namespace tarvo {

std::optional<DaemonLock> DaemonLock::acquire(std::string& error) {
    const std::filesystem::path path(Paths::daemonLockFile());
    const std::string name = path.filename().string();
    // The Mac's lock directory is the lock's alone (0700); this system's is
    // run-time state every user must pass through to reach the presence flags.
    const mode_t mode = Paths::usesMacLayout() ? 0700 : 0755;
    rootfiles::DirResult dir =
        rootfiles::secureDirectory(path.parent_path().string(), {mode, true, true});
    if (!dir.fd) {
        error = "cannot take the daemon lock " + path.string() + ": " + dir.error;
        return std::nullopt;
    }
    rootfiles::Fd fd;
    for (int attempt = 0; attempt < 2 && !fd; ++attempt) {
        fd.reset(::openat(dir.fd.get(), name.c_str(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
        struct stat st {};
        if (fd && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
                   st.st_uid != ::geteuid())) {
            // Not what this process would have made: replaced by a fresh one.
            fd.reset();
            ::unlinkat(dir.fd.get(), name.c_str(), 0);
            errno = EPERM;
        }
    }
    if (!fd) {
        error = "cannot take the daemon lock " + path.string() + ": " + std::strerror(errno);
        return std::nullopt;
    }
    ::fchmod(fd.get(), 0600);
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            const auto holder = readUntrustedFileAt(dir.fd.get(), name, 64).data;
            const std::string pid = holder ? std::string(text::trimWhitespace(*holder)) : "";
            error = "another daemon is already running" +
                    (pid.empty() ? std::string() : " (pid " + pid + ")");
        } else {
            error = "cannot take the daemon lock " + path.string() + ": " + std::strerror(errno);
        }
        return std::nullopt;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.get(), 0) == 0) {
        const ssize_t n = ::pwrite(fd.get(), pid.data(), pid.size(), 0);
        (void)n;
    }
    return DaemonLock(std::move(fd));
}

}  // namespace tarvo
