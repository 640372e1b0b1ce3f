#include "agent/PresenceFlag.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace tarvo {

PresenceFlag::PresenceFlag(std::string path, TarvoLog log)
    : path_(std::move(path)), log_(std::move(log)) {}

bool PresenceFlag::write() {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
    // Rewritten in place (not renamed) so the modification time moves on.
    const int fd =
        ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        const int err = errno;
        if (!failing_.exchange(true))
            log_.error("couldn't write presence flag " + path_ + ": " + std::strerror(err) +
                       " — filtering may lapse; retrying every heartbeat");
        return false;
    }
    ::futimens(fd, nullptr);
    ::close(fd);
    if (failing_.exchange(false)) log_.info("presence flag " + path_ + " written again");
    return true;
}

}  // namespace tarvo
