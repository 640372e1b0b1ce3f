#pragma once

// Local accounts that exist only for the programs a test starts: the
// machine's passwd and group files plus test entries, bind-mounted over
// /etc/passwd and /etc/group in a private mount namespace of each launch
// (see Launch::accounts). Nothing is added to the machine.
#include <sys/types.h>

#include <string>
#include <vector>

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

// Writes `dir`/passwd and `dir`/group: the machine's entries without those
// whose name or id the new ones take, then the new ones.
inline void writeAccountFiles(const std::string& dir, const std::vector<TestAccount>& accounts,
                              const std::vector<TestGroup>& groups) {
    auto clashes = [](const std::string& line, const std::string& name, unsigned id) {
        const size_t colon = line.find(':');
        const size_t idAt = line.find(':', colon + 1) + 1;
        const size_t idEnd = line.find(':', idAt);
        return line.substr(0, colon) == name ||
               (idEnd != std::string::npos &&
                line.substr(idAt, idEnd - idAt) == std::to_string(id));
    };
    std::string passwd, group;
    for (const auto& line : readLines("/etc/passwd")) {
        bool keep = true;
        for (const auto& a : accounts) keep = keep && !clashes(line, a.name, a.uid);
        if (keep) passwd += line + "\n";
    }
    for (const auto& a : accounts)
        passwd += a.name + ":x:" + std::to_string(a.uid) + ":" + std::to_string(a.gid) +
                  "::" + a.home + ":/bin/sh\n";
    for (const auto& line : readLines("/etc/group")) {
        bool keep = true;
        for (const auto& g : groups) keep = keep && !clashes(line, g.name, g.gid);
        if (keep) group += line + "\n";
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
