#pragma once

#include <sys/types.h>

#include <array>
#include <string_view>

namespace tarvo {

// The groups whose members administer the computer: "admin" on the Mac,
// "sudo" or "wheel" on Linux distributions.
inline constexpr std::array<std::string_view, 3> kAdministratorGroups = {"sudo", "wheel", "admin"};

// Whether `uid` belongs to one of the administrator groups in the group
// database, as its primary group or as a listed member. Root is not asked
// about here (callers trust it on its own). An unknown uid is no administrator.
bool isAdministrator(uid_t uid);

}  // namespace tarvo
