#pragma once

#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <string_view>

#include "core/TimeFormat.h"

namespace tarvo::presence {

// A presence flag is a file in the flag directory whose name ends in ".flag";
// the agent of a logged-in child touches it every few seconds.
constexpr std::chrono::seconds kWindow{60};

bool isFlagName(std::string_view name);

// Fresh: modified strictly within the last 60 seconds. A time more than 60
// seconds ahead of now is stale too, or a flag dated in the future (planted,
// or written before the clock was set back) would count as present for ever.
bool isFresh(WallTime modified, WallTime now);

// One flag of the flag directory, as a scan meets it.
struct FlagEntry {
    const char* name;
    // What the entry is, read without following it (zero when unreadable).
    struct stat st;
    // A regular file of one link, modified within the window: a child's agent
    // is there. Links, FIFOs and hard links to others' files never are.
    bool fresh;
};

// Calls `visit` for each entry of the directory open at `dirFd` whose name is
// a flag's, until it returns false. The directory is read through its
// descriptor alone (a duplicate: `dirFd` stays open and unmoved).
void scanFlags(int dirFd, WallTime now, const std::function<bool(const FlagEntry&)>& visit);

}  // namespace tarvo::presence
