#include <gtest/gtest.h>

#include <filesystem>

#include "server/SettingsCache.h"
#include "support/FakeService.h"

namespace tarvo {
namespace {

using nlohmann::json;
using test::logLinesWith;

const std::string kRules = R"({"whitelist":["a.com"],"blacklist":["b.com"]})";

TEST(SettingsCache, EnvelopeRoundTripAndOwnership) {
    test::TempRoot root;
    SettingsCache::save(kRules, "Kid", "DEV-1", fromUnixSeconds(1'767'225'600));
    auto envelope = json::parse(test::readText(SettingsCache::path()));
    EXPECT_EQ(envelope, (json{{"schema", 1},
                              {"username", "Kid"},
                              {"device_id", "DEV-1"},
                              {"cached_at", "2026-01-01T00:00:00Z"},
                              {"payload", json::parse(kRules)}}));
    // Pretty-printed: one key per line.
    EXPECT_GE(test::readLines(SettingsCache::path()).size(), 6u);
    EXPECT_EQ(logLinesWith("[cache] DEBUG cached settings for 'Kid' (" +
                           std::to_string(kRules.size()) + " bytes)")
                  .size(),
              1u);

    // Another letter case is the same account.
    auto loaded = SettingsCache::load("kID");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(json::parse(*loaded), json::parse(kRules));
    EXPECT_EQ(logLinesWith("[cache] DEBUG using settings cached at 2026-01-01T00:00:00Z for 'Kid'")
                  .size(),
              1u);
    EXPECT_EQ(SettingsCache::cachedAt(), "2026-01-01T00:00:00Z");

    // Another child: warned once, deleted, then silently absent.
    EXPECT_FALSE(SettingsCache::load("sibling"));
    EXPECT_FALSE(test::exists(SettingsCache::path()));
    EXPECT_FALSE(SettingsCache::load("sibling"));
    EXPECT_EQ(
        logLinesWith("[cache] WARN  cached settings belong to 'Kid', not 'sibling' — discarding "
                     "rather than replaying another child's whitelist")
            .size(),
        1u);
    EXPECT_EQ(logLinesWith("WARN").size(), 1u);
}

TEST(SettingsCache, WhatLoadMakesOfEachFile) {
    struct Case {
        const char* name;
        std::optional<std::string> file;
        std::optional<std::string> want;  // compared as JSON
        std::string logged;               // a line that must appear ("" = no line at all)
        bool kept = true;
    } cases[] = {
        {"missing", {}, {}, ""},
        {"not JSON", "{oops", {}, ""},
        {"bare settings of an older build", kRules, kRules,
         "[cache] DEBUG cache has no envelope (written by an older build) — accepting"},
        {"schema 0 is no envelope", R"({"schema":0,"whitelist":["x"]})",
         R"({"schema":0,"whitelist":["x"]})", "no envelope"},
        {"envelope without cached_at", R"({"schema":2,"username":"kid","payload":{"a":1}})",
         R"({"a":1})", ""},
        {"envelope without payload",
         R"({"schema":1,"username":"kid"})",
         {},
         "[cache] WARN  cached settings envelope has no usable payload"},
        {"envelope without username",
         R"({"schema":1,"payload":{}})",
         {},
         "belong to '', not 'kid'",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempRoot root;
        if (c.file) test::writeText(SettingsCache::path(), *c.file);
        auto got = SettingsCache::load("kid");
        ASSERT_EQ(got.has_value(), c.want.has_value());
        if (got) {
            EXPECT_EQ(json::parse(*got), json::parse(*c.want));
        }
        // The older file is handed on byte for byte.
        if (c.file && got && c.logged.find("no envelope") != std::string::npos) {
            EXPECT_EQ(*got, *c.file);
        }
        auto lines = test::readLines(Paths::agentLog());
        if (c.logged.empty()) {
            EXPECT_TRUE(lines.empty());
        } else {
            EXPECT_EQ(logLinesWith(c.logged).size(), 1u);
        }
        EXPECT_EQ(test::exists(SettingsCache::path()), c.file.has_value() && c.kept);
    }
}

TEST(SettingsCache, FailedSavesLeaveTheFileAlone) {
    test::TempRoot root;
    SettingsCache::save(kRules, "kid", "D");
    const std::string before = test::readText(SettingsCache::path());
    SettingsCache::save("<html>502</html>", "kid", "D");
    EXPECT_EQ(test::readText(SettingsCache::path()), before);
    EXPECT_EQ(logLinesWith("[cache] WARN  refusing to cache a response that isn't JSON").size(),
              1u);

    // In another home whose data directory is a file, nothing can be written:
    // the failure is logged and no file appears.
    test::TempRoot other;
    const std::string dir = std::filesystem::path(SettingsCache::path()).parent_path().string();
    test::writeText(dir, "not a directory");
    SettingsCache::save(kRules, "kid", "D");
    EXPECT_EQ(logLinesWith("[cache] WARN  couldn't cache settings: ").size(), 1u);
    EXPECT_EQ(test::readText(dir), "not a directory");
    EXPECT_FALSE(SettingsCache::cachedAt());
}

}  // namespace
}  // namespace tarvo
