// The accounts of this computer through the dscl stand-in, and through the
// password database where there is none.
#include <pwd.h>

#include "SetupFixture.h"
#include "manager/LocalAccounts.h"

namespace tarvo {
namespace {

using nlohmann::json;

json user(const std::string& name, json uid, json home, const char* realName = nullptr) {
    json u = {{"name", name}};
    if (!uid.is_null()) u["UniqueID"] = uid;
    if (!home.is_null()) u["NFSHomeDirectory"] = home;
    if (realName) u["RealName"] = realName;
    return u;
}

TEST(LocalAccounts, RealUsersAreFilteredAndSortedAndAdminsMarked) {
    test::SetupRoot root;
    root.setAccounts(json::array({
                         user("zoe", "502", "/Users/zoe", "Zoe Berg"),
                         user("Guest", "201", "/Users/Guest"),
                         user("Guest2", "601", "/Users/Guest2"),
                         user("_mbsetupuser", "501", "/var/setup"),
                         user("root", "0", "/var/root"),
                         user("nobody", "-2", "/var/empty"),
                         user("old", "499", "/Users/old"),
                         user("edge", "500", "/Users/edge"),
                         user("alpha", "abc", "/Users/alpha"),
                         user("noid", nullptr, "/Users/noid"),
                         user("nohome", "510", nullptr),
                         user("varempty", "512", "/var/empty"),
                         user("devnull", "513", "/dev/null"),
                         user("Parent", "501", "/Users/Parent", "The Parent"),
                     }),
                     json::array({"root", "parent", "zoe"}));
    const std::vector<LocalUserAccount> want = {
        {"Guest2", "", 601, false, false},
        {"Parent", "The Parent", 501, true, true},
        {"edge", "", 500, false, false},
        {"zoe", "Zoe Berg", 502, true, false},
    };
    EXPECT_EQ(LocalAccounts::enumerateRealUsers("Parent"), want);

    for (const auto& [admins, names] : std::vector<std::pair<json, std::vector<std::string>>>{
             {json::array({"a b", "c"}), {"a", "b", "c"}}, {nullptr, {}}}) {
        root.setAccounts(json::array(), admins);
        EXPECT_EQ(LocalAccounts::admins(), names);
    }
    // A machine without the tool has no accounts to offer.
    std::filesystem::remove(Paths::dsclTool());
    EXPECT_EQ(LocalAccounts::dsclRead("/Users/zoe", "UniqueID"), std::nullopt);
    EXPECT_TRUE(LocalAccounts::enumerateRealUsers("x").empty());
}

TEST(LocalAccounts, WithoutAFixtureThePasswdDatabaseAnswers) {
    test::SetupRoot root;
    std::vector<std::string> want;
    setpwent();
    while (const passwd* pw = getpwent()) {
        const std::string name = pw->pw_name, home = pw->pw_dir;
        if (name[0] != '_' && name != "root" && name != "daemon" && name != "nobody" &&
            name != "Guest" && pw->pw_uid >= 500 && !home.empty() && home != "/var/empty" &&
            home != "/dev/null")
            want.push_back(name);
    }
    endpwent();
    std::sort(want.begin(), want.end());
    std::vector<std::string> got;
    for (const auto& a : LocalAccounts::enumerateRealUsers(LocalAccounts::currentUserName())) {
        got.push_back(a.name);
        EXPECT_EQ(a.uid, getpwnam(a.name.c_str())->pw_uid) << a.name;
    }
    EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace tarvo
