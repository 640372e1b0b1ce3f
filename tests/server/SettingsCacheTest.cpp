#include "server/SettingsCache.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/FakeService.h"

namespace tarvo {
namespace {

using nlohmann::json;
using test::logLinesWith;

const std::string kRules = R"({"whitelist":["a.com"]})";

TEST(SettingsCache, EnvelopeRoundTripAndOwnership) {
    test::TempRoot root;
    SettingsCache::save(kRules, "Kid", "DEV-1", fromUnixSeconds(1'767'225'600));
    EXPECT_EQ(json::parse(test::readText(SettingsCache::path())),
              (json{{"schema", 1},
                    {"username", "Kid"},
                    {"device_id", "DEV-1"},
                    {"cached_at", "2026-01-01T00:00:00Z"},
                    {"payload", json::parse(kRules)}}));
    EXPECT_EQ(SettingsCache::load("kID"), kRules);  // another letter case is the same account
    // A failed save leaves the file alone.
    SettingsCache::save("<html>502</html>", "Kid", "D");
    EXPECT_EQ(json::parse(SettingsCache::load("kid").value()), json::parse(kRules));

    // Another child: warned once, deleted, then silently absent.
    EXPECT_FALSE(SettingsCache::load("sibling"));
    EXPECT_FALSE(test::exists(SettingsCache::path()));
    EXPECT_EQ(logLinesWith("[cache] WARN  cached settings belong to 'Kid', not 'sibling'").size(),
              1u);
}

TEST(SettingsCache, WhatLoadMakesOfEachFile) {
    struct Case {
        const char* name;
        std::string file;
        std::optional<std::string> want;
        bool kept;
    } cases[] = {
        {"not JSON", "{oops", {}, true},
        {"bare settings of an older build", kRules, kRules, true},
        {"envelope without cached_at", R"({"schema":2,"username":"kid","payload":{"a":1}})",
         R"({"a":1})", true},
        {"envelope without payload", R"({"schema":1,"username":"kid"})", {}, true},
        {"envelope without username", R"({"schema":1,"payload":{}})", {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempRoot root;
        test::writeText(SettingsCache::path(), c.file);
        auto got = SettingsCache::load("kid");
        ASSERT_EQ(got.has_value(), c.want.has_value());
        if (got) {
            EXPECT_EQ(json::parse(*got), json::parse(*c.want));
        }
        EXPECT_EQ(test::exists(SettingsCache::path()), c.kept);
    }

    // Where the data directory is a file, nothing can be written.
    test::TempRoot other;
    const std::string dir = std::filesystem::path(SettingsCache::path()).parent_path().string();
    test::writeText(dir, "not a directory");
    SettingsCache::save(kRules, "kid", "D");
    EXPECT_EQ(logLinesWith("[cache] WARN  couldn't cache settings: ").size(), 1u);
}

}  // namespace
}  // namespace tarvo
