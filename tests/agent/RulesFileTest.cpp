#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <future>
#include <thread>

#include "agent/RulesFile.h"
#include "core/AtomicFile.h"
#include "core/Json.h"
#include "core/Paths.h"
#include "platform/fake/FakeSystemLog.h"
#include "server/SettingsCache.h"
#include "support/TestSupport.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Rules = ServerClient::Rules;
using Outcome = RulesFile::Outcome;
using platform::SystemLog;

constexpr uid_t kUid = 501;

class RulesFileTest : public ::testing::Test {
  protected:
    RulesFileTest() {
        fs::create_directories(Paths::dataDir());
        clock_->advance(std::chrono::hours(24 * 340) + std::chrono::seconds(5));
    }

    std::shared_ptr<RulesFile> make(Background& background,
                                    std::function<int(const char*, const char*)> rename = {}) {
        RulesFile::Options options;
        options.username = "emma";
        options.uid = kUid;
        options.deviceId = "dev-own";
        options.clock = clock_;
        options.rename = std::move(rename);
        return RulesFile::create(std::move(options), TarvoLog("agent", std::nullopt, syslog_),
                                 background);
    }
    std::shared_ptr<RulesFile> make() { return make(inline_); }

    static Rules rules(std::vector<std::string> wl, std::vector<std::string> bl,
                       std::string deviceId = "dev-rules") {
        return Rules{std::move(wl), std::move(bl), std::move(deviceId), {}};
    }
    static std::string rulesPath() { return Paths::rulesFile(); }
    static std::string tempPath() { return rulesPath() + ".tmp.501"; }
    static Json onDisk() { return Json::parse(test::readText(rulesPath())); }

    // Every message logged at `type`, in order.
    std::vector<std::string> logged(SystemLog::Type type) const {
        std::vector<std::string> out;
        for (const auto& r : syslog_->records())
            if (r.type == type) out.push_back(r.message);
        return out;
    }
    std::vector<std::string> warnings() const { return logged(SystemLog::Type::Default); }

    test::TempRoot root_;
    std::shared_ptr<VirtualClock> clock_ = std::make_shared<VirtualClock>();
    std::shared_ptr<platform::FakeSystemLog> syslog_ = std::make_shared<platform::FakeSystemLog>();
    InlineBackground inline_;
};

int failingRename(const char*, const char*) {
    errno = EXDEV;
    return -1;
}

const char* kOtherChild = R"({"username": "noah", "device_id": "dev-noah",
    "updated_at": "2026-01-01T00:00:00Z", "whitelist": ["a.com", "b.com"], "blacklist": ["x.com"]})";

TEST_F(RulesFileTest, WriteDecisionsOverWhatIsOnDisk) {
    struct Case {
        const char* name;
        std::optional<std::string> existing;  // none: no file
        Rules rules;
        Outcome outcome;
        std::optional<std::string> log;  // the WARN or DEBUG line, when one is expected
    } cases[] = {
        {"no file, empty lists", std::nullopt, rules({}, {}), Outcome::written, std::nullopt},
        {"empty lists over a non-empty whitelist", std::string(kOtherChild), rules({}, {}),
         Outcome::keptExisting,
         "server returned an empty ruleset — keeping the existing 2-entry whitelist rather than "
         "blocking everything"},
        {"empty lists over an empty whitelist and a blacklist",
         R"({"username": "noah", "whitelist": [], "blacklist": ["x.com"]})", rules({}, {}),
         Outcome::written, std::nullopt},
        {"an empty whitelist with a blacklist", std::string(kOtherChild), rules({}, {"y.com"}),
         Outcome::written, std::nullopt},
        {"another child's file with the same lists", std::string(kOtherChild),
         rules({"a.com", "b.com"}, {"x.com"}), Outcome::unchanged,
         "rules unchanged (2 wl / 1 bl) — skipping write"},
        {"the same lists reordered", std::string(kOtherChild), rules({"b.com", "a.com"}, {"x.com"}),
         Outcome::written, std::nullopt},
        {"entries differ only in case", std::string(kOtherChild),
         rules({"A.com", "b.com"}, {"x.com"}), Outcome::written, std::nullopt},
        {"corrupt file", std::string("{\"whitelist\": [\"a.com\""), rules({}, {}), Outcome::written,
         std::nullopt},
        {"the daemon's seeded default with keys of its own",
         R"({"version": 1, "whitelist": ["tarvo.app"], "blacklist": [], "comment": "seed"})",
         rules({"tarvo.app", "khanacademy.org"}, {}), Outcome::written, std::nullopt},
        {"whitelist of the wrong type counts as empty",
         R"({"username": "noah", "whitelist": "a.com", "blacklist": []})", rules({}, {}),
         Outcome::unchanged, "rules unchanged (0 wl / 0 bl) — skipping write"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(rulesPath());
        if (c.existing) test::writeText(rulesPath(), *c.existing);
        const size_t logsBefore = syslog_->records().size();
        auto file = make();

        EXPECT_EQ(file->writeNow(c.rules), c.outcome);

        const auto records = syslog_->records();
        std::vector<std::string> lines;
        for (size_t i = logsBefore; i < records.size(); ++i) lines.push_back(records[i].message);
        if (c.log) {
            EXPECT_EQ(lines, std::vector<std::string>{*c.log});
        } else {
            EXPECT_TRUE(lines.empty()) << lines.front();
        }
        if (c.outcome != Outcome::written) {
            EXPECT_EQ(test::readText(rulesPath()), *c.existing);  // not touched at all
            EXPECT_EQ(file->rulesOnDiskOwner(), "noah");          // so the owner stays
            continue;
        }
        const Json written = onDisk();
        EXPECT_EQ(written, (Json{{"updated_at", "2026-12-07T00:00:05Z"},
                                 {"username", "emma"},
                                 {"device_id", "dev-rules"},
                                 {"whitelist", c.rules.whitelist},
                                 {"blacklist", c.rules.blacklist}}));
        EXPECT_FALSE(test::exists(tempPath()));
        EXPECT_EQ(file->rulesOnDiskOwner(), "emma");
    }
}

TEST_F(RulesFileTest, AFailedRenameFallsBackToAPlainWriteAndLeavesTheTemporaryFile) {
    test::writeText(rulesPath(), kOtherChild);
    auto file = make(inline_, failingRename);
    EXPECT_EQ(file->writeNow(rules({"c.com"}, {})), Outcome::written);
    EXPECT_EQ(warnings(), std::vector<std::string>{"atomic rename failed (errno " +
                                                   std::to_string(EXDEV) + "); doing plain write"});
    EXPECT_EQ(onDisk()["whitelist"], Json::array({"c.com"}));
    EXPECT_EQ(onDisk()["username"], "emma");
    ASSERT_TRUE(test::exists(tempPath()));
    EXPECT_EQ(test::readText(tempPath()), test::readText(rulesPath()));

    // The next write replaces the leftover temporary file.
    EXPECT_EQ(file->writeNow(rules({"d.com"}, {})), Outcome::written);
    EXPECT_EQ(Json::parse(test::readText(tempPath()))["whitelist"], Json::array({"d.com"}));
    EXPECT_EQ(onDisk()["whitelist"], Json::array({"d.com"}));
}

TEST_F(RulesFileTest, FailuresAreReportedAndNothingIsWrittenThroughPlantedLinks) {
    const std::string victim = root_.path() + "/victim.txt";
    struct Case {
        const char* name;
        std::function<void()> setUp;
        Rules rules;
        bool renameFails;
        const char* errorFragment;
    } cases[] = {
        {"data directory missing", [] { fs::remove_all(Paths::dataDir()); }, rules({"a.com"}, {}),
         false, "cannot create"},
        {"text that is not UTF-8", [] {}, rules({"bad\xff.com"}, {}), false, "cannot serialise"},
        {"plain write onto a symbolic link", [&] { fs::create_symlink(victim, rulesPath()); },
         rules({"a.com"}, {}), true, "cannot open"},
        {"plain write onto a directory", [] { fs::create_directories(rulesPath()); },
         rules({"a.com"}, {}), true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(Paths::dataDir());
        test::writeText(victim, "precious");
        fs::create_directories(Paths::dataDir());
        c.setUp();
        auto file = c.renameFails ? make(inline_, failingRename) : make();
        try {
            file->writeNow(c.rules);
            ADD_FAILURE() << "no error";
        } catch (const RulesFile::Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.errorFragment), std::string::npos) << e.what();
        }
        EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(rulesPath())));
        EXPECT_EQ(test::readText(victim), "precious");
    }
}

TEST_F(RulesFileTest, StartUpClampOfAnotherChildsRules) {
    struct Case {
        std::optional<std::string> content;
        bool clamped;
    } cases[] = {
        {std::string(kOtherChild), true},
        {R"({"username": "Emma", "whitelist": ["a.com"]})", true},  // exact comparison
        {R"({"username": "emma", "whitelist": ["a.com"]})", false},
        {"not json", false},
        {std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.value_or("(no file)"));
        fs::remove(rulesPath());
        if (c.content) test::writeText(rulesPath(), *c.content);
        const size_t warnsBefore = warnings().size();
        make()->neutralizeStaleRulesIfNotMine();
        if (!c.clamped) {
            EXPECT_EQ(warnings().size(), warnsBefore);
            if (c.content) {
                EXPECT_EQ(test::readText(rulesPath()), *c.content);
            } else {
                EXPECT_FALSE(test::exists(rulesPath()));
            }
            continue;
        }
        const std::string owner = Json::parse(*c.content)["username"];
        EXPECT_EQ(warnings().back(), "rules on disk belong to '" + owner +
                                         "', not 'emma' — clamping to fail-closed until our own "
                                         "fetch lands");
        EXPECT_EQ(onDisk(), (Json{{"updated_at", "2026-12-07T00:00:05Z"},
                                  {"username", "emma"},
                                  {"device_id", "dev-own"},
                                  {"whitelist", {"tarvo.app"}},
                                  {"blacklist", Json::array()}}));
    }
}

TEST_F(RulesFileTest, RecoveryFromTheCache) {
    const Rules cached{{"c.com", "d.com", "e.com"}, {"z.com"}, "dev-cache", {{1, 480, 720, 0}}};
    struct Case {
        const char* name;
        std::optional<std::string> existing;
        bool haveCache;
        bool breakWrites;
        bool replayed;
        std::optional<std::string> line;  // the one line logged
    } cases[] = {
        {"another child's file", std::string(kOtherChild), true, false, true,
         "server unreachable — replayed cached rules for 'emma' (3 wl) instead of staying "
         "fail-closed"},
        {"no file at all", std::nullopt, true, false, true,
         "server unreachable — replayed cached rules for 'emma' (3 wl) instead of staying "
         "fail-closed"},
        {"no cache", std::string(kOtherChild), false, false, false,
         "rules on disk aren't ours and there's no cache for 'emma' — staying fail-closed until "
         "the server answers"},
        {"the write fails", std::string(kOtherChild), true, true, false, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(Paths::dataDir());
        fs::create_directories(Paths::dataDir());
        if (c.existing) test::writeText(rulesPath(), *c.existing);
        if (c.breakWrites) fs::create_directories(tempPath() + "/inner");
        const size_t logsBefore = syslog_->records().size();
        int cacheReads = 0;
        std::optional<std::vector<AccessWindow>> replayedWindows;

        make()->recoverFromCacheIfClamped(
            [&]() -> std::optional<Rules> {
                ++cacheReads;
                if (!c.haveCache) return std::nullopt;
                return cached;
            },
            [&](std::vector<AccessWindow> windows) { replayedWindows = std::move(windows); });

        const auto records = syslog_->records();
        ASSERT_EQ(records.size(), logsBefore + ((c.line || c.breakWrites) ? 1 : 0));
        if (c.line) {
            EXPECT_EQ(records.back().message, *c.line);
        }
        if (c.breakWrites) {
            EXPECT_EQ(records.back().type, SystemLog::Type::Error);
            EXPECT_EQ(
                records.back().message.rfind("couldn't replay cached rules: cannot create", 0), 0u)
                << records.back().message;
        }
        EXPECT_EQ(replayedWindows.has_value(), c.replayed);
        if (!c.replayed) {
            EXPECT_EQ(cacheReads, c.haveCache && !c.breakWrites ? 0 : 1);
            if (c.existing) {
                EXPECT_EQ(test::readText(rulesPath()), *c.existing);
            }
            continue;
        }
        EXPECT_EQ(*replayedWindows, cached.accessWindows);
        EXPECT_EQ(onDisk()["whitelist"], Json(cached.whitelist));
        EXPECT_EQ(onDisk()["device_id"], "dev-cache");
        EXPECT_EQ(onDisk()["username"], "emma");
        EXPECT_EQ(cacheReads, 1);
    }
}

TEST_F(RulesFileTest, QueuedWritesLandInTheOrderAskedAndReportTheirResults) {
    ManualBackground background;
    auto file = make(background);
    std::vector<std::pair<std::string, std::optional<Outcome>>> results;
    auto note = [&](std::string name) {
        return [&results, name](const RulesFile::WriteResult& r) {
            results.emplace_back(name, r.outcome);
        };
    };
    file->writeRulesFile(rules({"a.com"}, {}), note("first"));
    file->writeRulesFile(rules({"a.com"}, {}), note("same again"));
    file->writeRulesFile(rules({"b.com"}, {"bad\xff"}), note("unserialisable"));
    file->writeRulesFile(rules({"c.com"}, {}), note("last"));
    EXPECT_EQ(file->pendingWrites(), 4u);
    EXPECT_FALSE(test::exists(rulesPath()));  // nothing happens on the caller's thread
    background.runAll();
    const std::vector<std::pair<std::string, std::optional<Outcome>>> want = {
        {"first", Outcome::written},
        {"same again", Outcome::unchanged},
        {"unserialisable", std::nullopt},
        {"last", Outcome::written}};
    EXPECT_EQ(results, want);
    EXPECT_EQ(onDisk()["whitelist"], Json::array({"c.com"}));
}

}  // namespace
}  // namespace tarvo
