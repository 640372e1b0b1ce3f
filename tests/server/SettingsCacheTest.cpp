#include "server/SettingsCache.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/FakeService.h"

namespace tarvo {
namespace {

using nlohmann::json;

TEST(SettingsCache, EnvelopeOwnershipAndWhatLoadMakesOfEachFile) {
    const std::string rules = R"({"whitelist":["a.com"]})";
    const std::string envelope = R"({"schema":1,"username":"Kid","payload":{"a":1}})";
    struct Case {
        const char* name;
        std::string file;
        std::string user;
        std::optional<std::string> want;
        bool kept;
    } cases[] = {
        {"not JSON", "{oops", "kid", {}, true},
        {"bare settings of an older build", rules, "kid", rules, true},
        {"envelope, another letter case", envelope, "kID", R"({"a":1})", true},
        {"envelope without payload", R"({"schema":1,"username":"kid"})", "kid", {}, true},
        {"another child's envelope is deleted", envelope, "sibling", {}, false},
        {"envelope without username", R"({"schema":1,"payload":{}})", "kid", {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempRoot root;
        test::writeText(SettingsCache::path(), c.file);
        auto got = SettingsCache::load(c.user);
        ASSERT_EQ(got.has_value(), c.want.has_value());
        if (got) {
            EXPECT_EQ(json::parse(*got), json::parse(*c.want));
        }
        EXPECT_EQ(test::exists(SettingsCache::path()), c.kept);
    }

    test::TempRoot root;
    SettingsCache::save(rules, "Kid", "DEV-1", fromUnixSeconds(1'767'225'600));
    SettingsCache::save("<html>502</html>", "Kid", "D");  // refused: the file stays
    EXPECT_EQ(json::parse(test::readText(SettingsCache::path())),
              (json{{"schema", 1},
                    {"username", "Kid"},
                    {"device_id", "DEV-1"},
                    {"cached_at", "2026-01-01T00:00:00Z"},
                    {"payload", json::parse(rules)}}));
    // Where the data directory is a file, nothing can be written.
    test::TempRoot other;
    test::writeText(std::filesystem::path(SettingsCache::path()).parent_path(), "not a directory");
    SettingsCache::save(rules, "kid", "D");
    EXPECT_EQ(test::logLinesWith("[cache] WARN  couldn't cache settings: ").size(), 1u);
}

}  // namespace
}  // namespace tarvo
