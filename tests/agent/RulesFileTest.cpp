#include "agent/RulesFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "core/Json.h"
#include "core/Paths.h"
#include "support/TestSupport.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Rules = ServerClient::Rules;
using Outcome = RulesFile::Outcome;

class RulesFileTest : public ::testing::Test {
  protected:
    RulesFileTest() { fs::create_directories(Paths::dataDir()); }

    std::shared_ptr<RulesFile> make() {
        RulesFile::Options options{
            .username = "emma", .uid = 501, .deviceId = "dev-own", .clock = clock_};
        return RulesFile::create(std::move(options), TarvoLog("agent"), inline_);
    }
    static Rules rules(std::vector<std::string> wl, std::vector<std::string> bl) {
        return Rules{std::move(wl), std::move(bl), "dev-rules", {}};
    }
    static std::string path() { return Paths::rulesFile(); }
    static Json onDisk() { return Json::parse(test::readText(path())); }

    test::TempRoot root_;
    std::shared_ptr<VirtualClock> clock_ = std::make_shared<VirtualClock>();
    InlineBackground inline_;
};

const char* kOtherChild =
    R"({"username": "noah", "whitelist": ["a.com", "b.com"], "blacklist": ["x.com"]})";

TEST_F(RulesFileTest, WriteDecisionsOverWhatIsOnDisk) {
    struct Case {
        const char* name;
        std::string existing;
        Rules rules;
        Outcome outcome;
    } cases[] = {
        {"empty lists over a non-empty whitelist", kOtherChild, rules({}, {}),
         Outcome::keptExisting},
        {"empty lists over an empty whitelist", R"({"whitelist": [], "blacklist": ["x.com"]})",
         rules({}, {}), Outcome::written},
        {"an empty whitelist with a blacklist", kOtherChild, rules({}, {"y.com"}),
         Outcome::written},
        {"a whitelist alone", kOtherChild, rules({"a.com"}, {}), Outcome::written},
        {"another child's file with the same lists", kOtherChild,
         rules({"a.com", "b.com"}, {"x.com"}), Outcome::unchanged},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::writeText(path(), c.existing);
        auto file = make();
        EXPECT_EQ(file->writeNow(c.rules), c.outcome);
        if (c.outcome == Outcome::written) {
            EXPECT_EQ(onDisk(), (Json{{"updated_at", "2026-01-01T00:00:00Z"},
                                      {"username", "emma"},
                                      {"device_id", "dev-rules"},
                                      {"whitelist", c.rules.whitelist},
                                      {"blacklist", c.rules.blacklist}}));
            EXPECT_FALSE(test::exists(file->tempPath()));
            continue;
        }
        EXPECT_EQ(test::readText(path()), c.existing);  // not touched at all
    }
    EXPECT_THROW(make()->writeNow(rules({"bad\xff.com"}, {})), RulesFile::Error);
}

// At start another child's rules are clamped, not our own.
TEST_F(RulesFileTest, StartUpClampOfAnotherChildsRules) {
    const std::string own = R"({"username": "emma", "whitelist": ["a.com"]})";
    test::writeText(path(), own);
    make()->neutralizeStaleRulesIfNotMine();
    EXPECT_EQ(test::readText(path()), own);
    test::writeText(path(), R"({"username": "Emma", "whitelist": ["a.com"]})");  // exact comparison
    make()->neutralizeStaleRulesIfNotMine();
    EXPECT_EQ(onDisk()["whitelist"], Json::array({"tarvo.app"}));

    // The server unreachable: our own cached rules take the place of another
    // child's; without a cache they stay; once the file is ours, it is kept.
    const Rules cached{{"c.com", "d.com"}, {"z.com"}, "dev-cache", {{1, 480, 720, 0}}};
    int reads = 0;
    std::optional<std::vector<AccessWindow>> replayed;
    auto recover = [&](bool haveCache) {
        make()->recoverFromCacheIfClamped(
            [&]() -> std::optional<Rules> {
                ++reads;
                return haveCache ? std::optional(cached) : std::nullopt;
            },
            [&](std::vector<AccessWindow> windows) { replayed = std::move(windows); });
    };
    test::writeText(path(), kOtherChild);
    recover(false);
    EXPECT_FALSE(replayed);
    EXPECT_EQ(test::readText(path()), kOtherChild);
    recover(true);
    EXPECT_EQ(replayed, cached.accessWindows);
    EXPECT_EQ(onDisk()["whitelist"], Json(cached.whitelist));
    recover(true);
    EXPECT_EQ(reads, 2);
}

}  // namespace
}  // namespace tarvo
