#pragma once

// Local accounts that exist only for the programs a test starts: the
// machine's passwd and group files plus test entries, bind-mounted over
// /etc/passwd and /etc/group in a private mount namespace of each launch
// (see Launch::accounts). Nothing is added to the machine.
#include <sys/types.h>

#include "support/TestSupport.h"

namespace tarvo::test {

struct TestAccount {
    std::string name;
    uid_t uid;
    gid_t gid;  // primary group
    std::string home;
};

struct TestGroup {
    std::string name;
    gid_t gid;
    std::vector<std::string> members;
};

// Writes `dir`/passwd and `dir`/group: the machine's entries, then the new
// ones; a new group replaces the machine's group of that name.
inline void writeAccountFiles(const std::string& dir, const std::vector<TestAccount>& accounts,
                              const std::vector<TestGroup>& groups) {
    std::string passwd = readText("/etc/passwd"), group;
    for (const auto& a : accounts)
        passwd += a.name + ":x:" + std::to_string(a.uid) + ":" + std::to_string(a.gid) +
                  "::" + a.home + ":/bin/sh\n";
    for (const auto& line : readLines("/etc/group")) {
        const std::string name = line.substr(0, line.find(':'));
        if (std::ranges::none_of(groups, [&](const TestGroup& g) { return g.name == name; }))
            group += line + "\n";
    }
    for (const auto& g : groups) {
        group += g.name + ":x:" + std::to_string(g.gid) + ":";
        for (size_t i = 0; i < g.members.size(); ++i) group += (i ? "," : "") + g.members[i];
        group += "\n";
    }
    writeText(dir + "/passwd", passwd);
    writeText(dir + "/group", group);
}

}  // namespace tarvo::test
