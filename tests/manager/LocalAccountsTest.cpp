// The accounts of this computer through the dscl stand-in.
#include "SetupFixture.h"
#include "manager/LocalAccounts.h"

namespace tarvo {
namespace {

using nlohmann::json;

TEST(LocalAccounts, DsclOutputAndUniqueIds) {
    const std::vector<std::tuple<const char*, const char*, std::optional<std::string>>> reads = {
        {"UniqueID: 501\n", "UniqueID", "501"},
        {"\n  RealName:\n   Emma Lind  \n\n", "RealName", "Emma Lind"},
        {"RealName:\n", "RealName", std::nullopt},
    };
    for (const auto& [out, key, want] : reads)
        EXPECT_EQ(LocalAccounts::parseReadOutput(out, key), want) << out;
    const std::vector<std::pair<const char*, std::optional<std::uint32_t>>> ids = {
        {"+501", 501u},         {"4294967295", 4294967295u}, {"4294967296", std::nullopt},
        {"-501", std::nullopt}, {"5O1", std::nullopt},       {"", std::nullopt},
        {"++5", std::nullopt}};
    for (const auto& [text, want] : ids)
        EXPECT_EQ(LocalAccounts::parseUniqueId(text), want) << text;
}

TEST(LocalAccounts, RealUsersAreFilteredAndSortedAndAdminsMarked) {
    test::SetupRoot root;
    auto user = [](const std::string& name, json uid, json home, const char* realName = nullptr) {
        json u = {{"name", name}};
        if (!uid.is_null()) u["UniqueID"] = uid;
        if (!home.is_null()) u["NFSHomeDirectory"] = home;
        if (realName) u["RealName"] = realName;
        return u;
    };
    root.setAccounts(json::array({
                         user("zoe", "502", "/Users/zoe", "Zoe Berg"),
                         user("Guest2", "601", "/Users/Guest2"),
                         user("_mbsetupuser", "501", "/var/setup"),
                         user("old", "499", "/Users/old"),
                         user("edge", "500", "/Users/edge"),
                         user("alpha", "abc", "/Users/alpha"),
                         user("noid", nullptr, "/Users/noid"),
                         user("varempty", "512", "/var/empty"),
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
    root.setAccounts(json::array(), json::array({"a b", "c"}));
    EXPECT_EQ(LocalAccounts::admins(), (std::vector<std::string>{"a", "b", "c"}));
    // A machine without the tool has no accounts to offer.
    std::filesystem::remove(Paths::dsclTool());
    EXPECT_TRUE(LocalAccounts::enumerateRealUsers("x").empty());
}

}  // namespace
}  // namespace tarvo
