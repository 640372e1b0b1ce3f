#include "daemon/ChildHandover.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "core/AtomicFile.h"

namespace tarvo::handover {

namespace {
constexpr mode_t kHandedMode = 0644;
}

std::string giveFileTo(int dirFd, const std::string& name, uid_t uid) {
    rootfiles::Fd fd(
        ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return {};
        return errno == ELOOP ? "symbolic link" : std::strerror(errno);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return describeFileType(st.st_mode);
    if (st.st_nlink != 1) return "hard link";
    if (st.st_uid == uid && (st.st_mode & 07777) == kHandedMode) return {};
    if (::fchown(fd.get(), uid, static_cast<gid_t>(-1)) != 0 ||
        ::fchmod(fd.get(), kHandedMode) != 0)
        return std::strerror(errno);
    return {};
}

std::set<uid_t> newcomers(const std::set<uid_t>& before, const std::set<uid_t>& now) {
    std::set<uid_t> fresh;
    std::ranges::set_difference(now, before, std::inserter(fresh, fresh.end()));
    return fresh;
}

DirectoryWatcher::DirectoryWatcher(std::function<void()> onNewEntry)
    : onNewEntry_(std::move(onNewEntry)),
      inotify_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (inotify_ && wake_) thread_ = std::thread([this] { loop(); });
}

DirectoryWatcher::~DirectoryWatcher() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_.get(), &one, sizeof one);
        thread_.join();
    }
}

std::string DirectoryWatcher::watch(int dirFd) {
    if (!inotify_ || !wake_) return "inotify unavailable";
    // The descriptor's directory itself, whatever its name leads to now.
    const std::string path = "/proc/self/fd/" + std::to_string(dirFd);
    const int wd =
        ::inotify_add_watch(inotify_.get(), path.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
    if (wd < 0) return std::strerror(errno);
    if (watch_ >= 0 && watch_ != wd) ::inotify_rm_watch(inotify_.get(), watch_);
    watch_ = wd;
    return {};
}

void DirectoryWatcher::loop() {
    alignas(inotify_event) char buf[4096];
    for (;;) {
        pollfd fds[2] = {{inotify_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        bool created = false;
        for (;;) {
            const ssize_t n = ::read(inotify_.get(), buf, sizeof buf);
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buf + at);
                if (event->mask & (IN_CREATE | IN_MOVED_TO)) created = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        if (created) onNewEntry_();
    }
}

}  // namespace tarvo::handover
