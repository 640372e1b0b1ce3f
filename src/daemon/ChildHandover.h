#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "daemon/RootFiles.h"

namespace tarvo::handover {

// The data directory keeps a file's owner alone able to replace it (sticky
// bit), yet the agent of whichever child is logged in must replace the rules
// file and the proxy configuration. When a child's presence flag appears, the
// daemon gives both files to that child: opened without following a link,
// only a regular file with a single link, owner and mode changed on the
// descriptor (mode 0644: the new owner alone writes it).
//
// Returns an empty string when `name` inside `dirFd` now belongs to `uid`
// (also when it already did, or is absent: the agent then creates it),
// else what was wrong.
std::string giveFileTo(int dirFd, const std::string& name, uid_t uid);

// The children whose flags are fresh now and were not at the last look.
std::set<uid_t> newcomers(const std::set<uid_t>& before, const std::set<uid_t>& now);

// Wakes `onNewEntry` (on a thread of its own) whenever an entry is created in
// or moved into a directory, so a child's first flag is seen within moments
// rather than at the next poll. Watches the directory object of a descriptor;
// watch() again after the directory was replaced.
class DirectoryWatcher {
  public:
    explicit DirectoryWatcher(std::function<void()> onNewEntry);
    ~DirectoryWatcher();
    DirectoryWatcher(const DirectoryWatcher&) = delete;
    DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

    // Empty on success, else why the directory cannot be watched.
    std::string watch(int dirFd);

  private:
    void loop();

    std::function<void()> onNewEntry_;
    rootfiles::Fd inotify_;
    rootfiles::Fd wake_;  // eventfd: ends the loop
    int watch_ = -1;
    std::thread thread_;
};

}  // namespace tarvo::handover
