// logind's records read through sd-login from files laid out over
// /run/systemd in a private mount namespace.

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/system/SdLoginSessions.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;

struct Layout {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // under /run/systemd
    std::string sessions;                                    // "id:state …"
    std::string error;                                       // what the error starts with
};

TEST(SdLoginSessions, ReadsEachSessionOfTheUserWithItsState) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
    if (!fs::is_directory("/run/systemd")) GTEST_SKIP() << "no /run/systemd to mount over";
    const std::string user = "users/1001";
    const Layout cases[] = {
        {"in front and logged out",
         {{user, "NAME=kid\nSESSIONS=3 c1\nACTIVE_SESSIONS=3\nONLINE_SESSIONS=3\n"},
          {"sessions/3", "UID=1001\nUSER=kid\nACTIVE=1\nSTATE=active\n"},
          {"sessions/c1", "UID=1001\nUSER=kid\nACTIVE=0\nSTATE=closing\n"}},
         "3:active c1:closing",
         ""},
        {"switched away",
         {{user, "SESSIONS=5\n"}, {"sessions/5", "UID=1001\nSTATE=online\n"}},
         "5:online",
         ""},
        {"never logged in", {{"users/1002", "SESSIONS=9\n"}}, "", ""},
        {"session gone since it was listed", {{user, "SESSIONS=6\n"}}, "", ""},
        {"someone else's session listed",
         {{user, "SESSIONS=7 8\n"},
          {"sessions/7", "UID=1002\nSTATE=active\n"},
          {"sessions/8", "UID=1001\nSTATE=active\n"}},
         "8:active",
         "/run/systemd/sessions/7: belongs to uid 1002, listed in /run/systemd/users/1001"},
        {"a record that cannot be read",
         {{user, "SESSIONS=9 3\n"}, {"sessions/3", "UID=1001\nSTATE=online\n"}},
         "3:online",
         "/run/systemd/sessions/9: Is a directory"},
    };
    for (const Layout& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir run;
        fs::create_directories(run.path() + "/users");
        fs::create_directories(run.path() + "/sessions/9");
        for (const auto& [name, text] : c.files) writeText(run.path() + "/" + name, text);
        const std::string got = inPrivateMounts({{run.path(), "/run/systemd"}}, [] {
            const platform::LoginSessionList list = platform::SdLoginSessions().sessionsOf(1001);
            std::string out;
            for (const auto& s : list.sessions)
                out += (out.empty() ? "" : " ") + s.id + ":" + s.state;
            return out + "|" + list.error;
        });
        EXPECT_EQ(got, c.sessions + "|" + c.error);
    }
}

}  // namespace
}  // namespace tarvo::test
