#include "daemon/FlagEntries.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarvo::flagdir {

std::string removeEntry(int dirFd, const char* name) {
    if (::unlinkat(dirFd, name, 0) == 0 || errno == ENOENT) return {};
    // unlink refuses directories (EISDIR on Linux, EPERM elsewhere); rmdir
    // removes only an empty one.
    if (errno == EISDIR || errno == EPERM) {
        if (::unlinkat(dirFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return {};
    }
    return std::strerror(errno);
}

std::string printableName(const std::string& name) {
    constexpr size_t kMax = 255;
    std::string out;
    for (char c : name.substr(0, kMax))
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    return out;
}

bool Reports::first(const std::string& name) {
    seen_.insert(name);
    return reported_.insert(name).second;
}

void Reports::endWalk() {
    reported_ = std::move(seen_);
    seen_.clear();
}

}  // namespace tarvo::flagdir
