#include "core/Administrators.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace tarvo {
namespace {

std::vector<char> lookupBuffer(int which) {
    const long size = ::sysconf(which);
    return std::vector<char>(size > 0 ? static_cast<size_t>(size) : 16384);
}

}  // namespace

bool isAdministrator(uid_t uid) {
    passwd pw{};
    passwd* user = nullptr;
    std::vector<char> pwBuf = lookupBuffer(_SC_GETPW_R_SIZE_MAX);
    while (::getpwuid_r(uid, &pw, pwBuf.data(), pwBuf.size(), &user) == ERANGE)
        pwBuf.resize(pwBuf.size() * 2);
    if (!user) return false;
    const std::string name = user->pw_name;
    const gid_t primary = user->pw_gid;

    std::vector<char> grBuf = lookupBuffer(_SC_GETGR_R_SIZE_MAX);
    for (std::string_view groupName : kAdministratorGroups) {
        group gr{};
        group* found = nullptr;
        const std::string wanted(groupName);
        while (::getgrnam_r(wanted.c_str(), &gr, grBuf.data(), grBuf.size(), &found) == ERANGE)
            grBuf.resize(grBuf.size() * 2);
        if (!found) continue;
        if (found->gr_gid == primary) return true;
        for (char** member = found->gr_mem; member && *member; ++member)
            if (name == *member) return true;
    }
    return false;
}

}  // namespace tarvo
