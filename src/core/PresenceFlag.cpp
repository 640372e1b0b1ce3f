#include "core/PresenceFlag.h"

#include <dirent.h>
#include <unistd.h>

#include "core/AtomicFile.h"

namespace tarvo::presence {

bool isFlagName(std::string_view name) {
    constexpr std::string_view suffix = ".flag";
    return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
}

bool isFresh(WallTime modified, WallTime now) {
    return modified > now - kWindow && modified <= now + kWindow;
}

void scanFlags(int dirFd, WallTime now, const std::function<bool(const FlagEntry&)>& visit) {
    const int own = ::dup(dirFd);
    if (own < 0) return;
    DIR* dir = ::fdopendir(own);
    if (!dir) {
        ::close(own);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (!isFlagName(entry->d_name)) continue;
        FlagEntry flag{entry->d_name, {}, false};
        if (inspectUntrustedFileAt(dirFd, entry->d_name, flag.st).empty()) {
            const WallTime modified{std::chrono::duration_cast<WallTime::duration>(
                std::chrono::seconds(flag.st.st_mtim.tv_sec) +
                std::chrono::nanoseconds(flag.st.st_mtim.tv_nsec))};
            flag.fresh = isFresh(modified, now);
        }
        if (!visit(flag)) break;
    }
    ::closedir(dir);
}

}  // namespace tarvo::presence
