#include "platform/system/LinuxAccountDirectory.h"

#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <mutex>
#include <set>

#include "core/Administrators.h"

namespace tarvo::platform {
namespace {

// getpwent() and getgrnam() walk one iteration shared by the whole process.
std::mutex& databaseMutex() {
    static std::mutex m;
    return m;
}

struct Entry {
    std::string name, gecos, shell;
    uid_t uid;
    gid_t gid;
};

std::vector<Entry> allUsers() {
    std::vector<Entry> users;
    ::setpwent();
    while (const passwd* pw = ::getpwent())
        users.push_back({pw->pw_name ? pw->pw_name : "", pw->pw_gecos ? pw->pw_gecos : "",
                         pw->pw_shell ? pw->pw_shell : "", pw->pw_uid, pw->pw_gid});
    ::endpwent();
    return users;
}

std::set<std::string> adminNames(const std::vector<Entry>& users) {
    std::set<std::string> names;
    for (std::string_view groupName : kAdministratorGroups) {
        const group* gr = ::getgrnam(std::string(groupName).c_str());
        if (!gr) continue;
        for (char** member = gr->gr_mem; member && *member; ++member) names.insert(*member);
        for (const Entry& user : users)
            if (user.gid == gr->gr_gid) names.insert(user.name);
    }
    return names;
}

}  // namespace

bool LinuxAccountDirectory::isLoginShell(std::string_view shell) {
    const std::string_view base = shell.substr(shell.find_last_of('/') + 1);
    return base != "nologin" && base != "false";
}

std::vector<LocalUserAccount> LinuxAccountDirectory::peopleAccounts(
    const std::string& currentUser) {
    std::lock_guard lock(databaseMutex());
    const std::vector<Entry> users = allUsers();
    const std::set<std::string> admins = adminNames(users);
    std::vector<LocalUserAccount> accounts;
    std::set<std::string> seen;  // a name served twice (files and a directory) counts once
    for (const Entry& user : users) {
        if (user.name.empty() || user.uid < kFirstPersonUid || user.uid > kLastPersonUid ||
            !isLoginShell(user.shell) || !seen.insert(user.name).second)
            continue;
        accounts.push_back({user.name, user.gecos.substr(0, user.gecos.find(',')), user.uid,
                            admins.count(user.name) > 0, user.name == currentUser});
    }
    std::stable_sort(accounts.begin(), accounts.end(),
                     [](const auto& a, const auto& b) { return a.name < b.name; });
    return accounts;
}

std::vector<std::string> LinuxAccountDirectory::administrators() {
    std::lock_guard lock(databaseMutex());
    const std::set<std::string> admins = adminNames(allUsers());
    return {admins.begin(), admins.end()};
}

}  // namespace tarvo::platform
