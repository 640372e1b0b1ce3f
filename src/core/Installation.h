#pragma once

#include <optional>
#include <string>

// Where an executable of this build finds its own files, from where it sits:
// pure functions of its path, with no state, so the executable's launcher and
// the roles library agree without sharing anything.
namespace tarvo::installation {

// The executable the kernel ran, links resolved (/proc/self/exe); "" when
// unknown.
std::string runningExecutable();
// The "…/usr" an executable at `realExecutable` was installed into (a package
// unpacked into a made root keeps its layout): none for a build tree or any
// other directory.
std::optional<std::string> usrPrefixOf(const std::string& realExecutable);
// The directory this build's libraries are loaded from: the "lib/tarvo"
// beside the "bin" of an executable installed as …/usr/bin/NAME, else the
// executable's own directory (a build tree, the Mac's bundle); "" for "". No
// search path (LD_LIBRARY_PATH and the like) is consulted, so nothing outside
// the installation can be loaded in their place.
std::string libraryDirOf(const std::string& realExecutable);

}  // namespace tarvo::installation
