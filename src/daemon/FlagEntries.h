#pragma once

#include <set>
#include <string>

namespace tarvo::flagdir {

// Removes `name` from the directory `dirFd` without following it: a file or
// link is unlinked, a directory removed when it is empty. Empty when the entry
// is gone, else why it stays. A directory's contents are never walked: a
// tree a user made may hold anything, links to root's files included.
std::string removeEntry(int dirFd, const char* name);

// `name` fit for one log line: control characters shown as "?", at most 255
// bytes kept.
std::string printableName(const std::string& name);

// Which entries that could not be removed were reported, so that each is
// logged once while it stays rather than on every presence tick; one that
// goes and comes back is reported again.
class Reports {
  public:
    // True the first time `name` is seen since it was last absent.
    bool first(const std::string& name);
    // Forgets the names not seen since the previous call; called after
    // every walk of the directory.
    void endWalk();

  private:
    std::set<std::string> reported_, seen_;
};

}  // namespace tarvo::flagdir
