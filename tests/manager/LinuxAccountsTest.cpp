// This system's accounts from the passwd and group databases, with made
// files bind-mounted over /etc/passwd and /etc/group in a private mount
// namespace.

#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/system/LinuxAccountDirectory.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo {
namespace {

// What the directory answers with `passwd` and `group` in place, one account
// a line ("name|full name|uid|admin|current"), then "admins:" and the names.
std::string accountsWith(const std::string& passwd, const std::string& group,
                         const std::string& currentUser) {
    test::TempDir dir;
    test::writeText(dir / "passwd", passwd);
    test::writeText(dir / "group", group);
    return test::inPrivateMounts(
        {{dir / "passwd", "/etc/passwd"}, {dir / "group", "/etc/group"}}, [&] {
            std::string text;
            platform::LinuxAccountDirectory directory;
            for (const LocalUserAccount& a : directory.peopleAccounts(currentUser))
                text += a.name + "|" + a.fullName + "|" + std::to_string(a.uid) + "|" +
                        (a.isAdmin ? "admin" : "") + "|" + (a.isCurrentUser ? "current" : "") +
                        "\n";
            text += "admins:";
            for (const std::string& name : directory.administrators()) text += " " + name;
            return text;
        });
}

// People's accounts: a uid from 1000 to 60000 and a shell to log in with;
// administrators by membership of sudo, wheel or admin, or as primary group.
TEST(LinuxAccounts, PeopleHaveAUserUidAndALoginShellAdminsComeFromTheirGroups) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
    const std::string passwd =
        "root:x:0:0:root:/root:/bin/bash\n"
        "svc:x:999:999::/var/lib/svc:/bin/bash\n"
        "emma:x:1000:1000:Emma Berg,,,:/home/emma:/bin/bash\n"
        "parent:x:1001:1001:The Parent:/home/parent:/usr/bin/zsh\n"
        "noshell:x:1002:1002::/home/noshell:/usr/sbin/nologin\n"
        "falsy:x:1003:1003::/home/falsy:/bin/false\n"
        "blank:x:1004:1004::/home/blank:\n"
        "wheeler:x:1005:10::/home/wheeler:/bin/sh\n"
        "last:x:60000:60000::/home/last:/bin/bash\n"
        "beyond:x:60001:60001::/home/beyond:/bin/bash\n"
        "nobody:x:65534:65534:nobody:/nonexistent:/bin/bash\n"
        "emma:x:1000:1000:Emma again:/home/emma:/bin/bash\n";
    const std::string group =
        "root:x:0:\n"
        "wheel:x:10:\n"
        "sudo:x:27:parent,svc\n"
        "users:x:100:emma\n"
        "admin:x:115:blank\n";
    EXPECT_EQ(accountsWith(passwd, group, "emma"),
              "blank||1004|admin|\n"
              "emma|Emma Berg|1000||current\n"
              "last||60000||\n"
              "parent|The Parent|1001|admin|\n"
              "wheeler||1005|admin|\n"
              "admins: blank parent svc wheeler");
    // Without any of the groups nobody is an administrator.
    EXPECT_EQ(accountsWith(passwd, "users:x:100:emma\n", "nobody"),
              "blank||1004||\nemma|Emma Berg|1000||\nlast||60000||\nparent|The Parent|1001||\n"
              "wheeler||1005||\nadmins:");
}

TEST(LinuxAccounts, LoginShells) {
    const std::pair<const char*, bool> cases[] = {
        {"/bin/bash", true},          {"", true},  // an empty field means /bin/sh
        {"/usr/sbin/nologin", false}, {"/sbin/nologin", false},
        {"/bin/false", false},        {"/usr/bin/falsehood", true},
        {"nologin", false},
    };
    for (const auto& [shell, login] : cases)
        EXPECT_EQ(platform::LinuxAccountDirectory::isLoginShell(shell), login) << shell;
}

}  // namespace
}  // namespace tarvo
