#include <pwd.h>

#include <gtest/gtest.h>

#include "SetupFixture.h"
#include "manager/LocalAccounts.h"

namespace tarvo {
namespace {

using nlohmann::json;

json user(const std::string& name, json uid, json home, std::optional<std::string> realName = {}) {
    json u = {{"name", name}};
    if (!uid.is_null()) u["UniqueID"] = uid;
    if (!home.is_null()) u["NFSHomeDirectory"] = home;
    if (realName) u["RealName"] = *realName;
    return u;
}

TEST(LocalAccounts, ReadOutputForms) {
    struct Case {
        const char* name;
        std::string output;
        std::string key;
        std::optional<std::string> want;
    } cases[] = {
        {"same line", "UniqueID: 501\n", "UniqueID", "501"},
        {"own line", "RealName:\n Emma Lind\n", "RealName", "Emma Lind"},
        {"own line with blanks around", "\n  RealName:\n   Emma Lind  \n\n", "RealName",
         "Emma Lind"},
        {"key without colon, value below", "dsAttrTypeNative:x\n second \n", "RealName", "second"},
        {"label alone", "RealName:\n", "RealName", std::nullopt},
        {"nothing", "", "UniqueID", std::nullopt},
        {"only blanks", " \n\t\n", "UniqueID", std::nullopt},
        {"first occurrence wins", "UniqueID: 501\nUniqueID: 502", "UniqueID", "501\nUniqueID: 502"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(LocalAccounts::parseReadOutput(c.output, c.key), c.want);
    }
}

TEST(LocalAccounts, UniqueIdNumbers) {
    struct Case {
        const char* text;
        std::optional<std::uint32_t> want;
    } cases[] = {
        {"501", 501u},
        {"+501", 501u},
        {"0", 0u},
        {"4294967295", 4294967295u},
        {"4294967296", std::nullopt},
        {"-501", std::nullopt},
        {"5O1", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"501 502", std::nullopt},
        {"++5", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(LocalAccounts::parseUniqueId(c.text), c.want) << c.text;
}

TEST(LocalAccounts, RealUsersAreFilteredAndSorted) {
    test::SetupRoot root;
    root.setAccounts(json::array({
                         user("zoe", "502", "/Users/zoe", "Zoe Berg"),
                         user("Guest", "201", "/Users/Guest"),
                         user("Guest2", "601", "/Users/Guest2"),
                         user("guest", "600", "/Users/guest"),
                         user("_mbsetupuser", "501", "/var/setup"),
                         user("root", "0", "/var/root"),
                         user("daemon", "1", "/var/root"),
                         user("nobody", "-2", "/var/empty"),
                         user("old", "499", "/Users/old"),
                         user("edge", "500", "/Users/edge"),
                         user("plus", "+503", "/Users/plus"),
                         user("alpha", "abc", "/Users/alpha"),
                         user("noid", nullptr, "/Users/noid"),
                         user("nohome", "510", nullptr),
                         user("emptyhome", "511", ""),
                         user("varempty", "512", "/var/empty"),
                         user("devnull", "513", "/dev/null"),
                         user("Parent", "501", "/Users/Parent", "The Parent"),
                         user("Emma", "504", "/Users/Emma", "Emma"),
                     }),
                     json::array({"root", "parent", "zoe"}));

    const auto accounts = LocalAccounts::enumerateRealUsers("Parent");
    std::vector<LocalUserAccount> want = {
        {"Emma", "Emma", 504, false, false},       {"Guest2", "", 601, false, false},
        {"Parent", "The Parent", 501, true, true}, {"edge", "", 500, false, false},
        {"guest", "", 600, false, false},          {"plus", "", 503, false, false},
        {"zoe", "Zoe Berg", 502, true, false},
    };
    EXPECT_EQ(accounts, want);
}

TEST(LocalAccounts, AdminGroupForms) {
    test::SetupRoot root;
    struct Case {
        const char* name;
        json admins;
        std::vector<std::string> want;
    } cases[] = {
        {"several", json::array({"root", "parent"}), {"root", "parent"}},
        {"names with blanks split", json::array({"a b"}), {"a", "b"}},
        {"empty group", json::array(), {}},
        {"no membership attribute", nullptr, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        root.setAccounts(json::array(), c.admins);
        EXPECT_EQ(LocalAccounts::admins(), c.want);
    }
}

TEST(LocalAccounts, AMissingToolMeansNoAccounts) {
    test::SetupRoot root;
    root.setAccounts(json::array({user("emma", "501", "/Users/emma")}), json::array());
    ASSERT_EQ(LocalAccounts::enumerateRealUsers("x").size(), 1u);
    root.removeDscl();
    EXPECT_TRUE(LocalAccounts::dsclList("/Users").empty());
    EXPECT_EQ(LocalAccounts::dsclRead("/Users/emma", "UniqueID"), std::nullopt);
    EXPECT_TRUE(LocalAccounts::enumerateRealUsers("x").empty());
}

TEST(LocalAccounts, WithoutAFixtureThePasswdDatabaseAnswers) {
    test::SetupRoot root;
    const auto accounts = LocalAccounts::enumerateRealUsers(LocalAccounts::currentUserName());
    std::vector<std::string> want;
    setpwent();
    while (const passwd* pw = getpwent()) {
        const std::string name = pw->pw_name, home = pw->pw_dir;
        if (name[0] == '_' || name == "root" || name == "daemon" || name == "nobody" ||
            name == "Guest" || pw->pw_uid < 500 || home.empty() || home == "/var/empty" ||
            home == "/dev/null")
            continue;
        want.push_back(name);
    }
    endpwent();
    std::sort(want.begin(), want.end());
    std::vector<std::string> got;
    for (const auto& a : accounts) {
        got.push_back(a.name);
        const passwd* pw = getpwnam(a.name.c_str());
        ASSERT_NE(pw, nullptr) << a.name;
        EXPECT_EQ(a.uid, pw->pw_uid);
    }
    EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace tarvo
