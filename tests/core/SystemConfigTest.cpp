// config.json as every component reads it: the keys, what counts only from
// root or an administrator, and what is refused before it is read.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "core/Paths.h"
#include "core/SystemConfig.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo::test {
namespace {

std::vector<std::string> warnings(const std::string& log) {
    auto lines = logMessages(log);
    std::erase_if(lines, [](const auto& line) { return line.find("WARN") == std::string::npos; });
    return lines;
}

TEST(SystemConfig, KeysCountOnlyFromATrustedRegularFileWithinTheCap) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file to another owner";
    const std::string all =
        R"({"child_users":["kid","Sam"],"api":"http://a.example/","updated_at":"T",)"
        R"("device_id":"D","update_url":"http://u.example/m","extra":1})";
    // Valid JSON of exactly `size` bytes.
    auto padded = [](size_t size) {
        const std::string head = R"({"api":"http://a.example/","pad":")", tail = "\"}";
        return head + std::string(size - head.size() - tail.size(), 'x') + tail;
    };
    const size_t cap = SystemConfig::kMaxConfigBytes;
    struct Case {
        const char* what;
        std::string content;  // empty: no file
        uid_t owner;
        bool link;
        bool trusted;
        std::string warning;  // after "ignoring <path>"
    };
    const std::vector<Case> cases = {
        {"root's", all, 0, false, true, ""},
        {"no file", "", 0, false, false, ""},
        {"another user's", all, kNobody, false, false,
         ": owned by uid " + std::to_string(kNobody) + ", neither root nor an administrator"},
        {"a link to root's", all, 0, true, false, " (symbolic link)"},
        {"at the cap", padded(cap), 0, false, true, ""},
        {"one byte over", padded(cap + 1), 0, false, false,
         " (larger than " + std::to_string(cap) + " bytes)"},
        {"not an object", "[1]", 0, false, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempRoot root;
        const std::string path = Paths::configFile(), log = root.path() + "/test.log";
        std::filesystem::create_directories(Paths::dataDir());
        if (!c.content.empty()) {
            writeText(c.link ? path + ".real" : path, c.content);
            if (c.link) std::filesystem::create_symlink(path + ".real", path);
            ASSERT_EQ(::lchown(path.c_str(), c.owner, c.owner), 0);
        }
        SystemConfigReader reader(TarvoLog("test", log));
        for (int read = 0; read < 2; ++read) {
            const SystemConfig config = reader.read();
            EXPECT_EQ(config.trusted(), c.trusted);
            EXPECT_EQ(config.untrustedOwner.has_value(), c.owner != 0 && !c.content.empty());
            if (!c.trusted) {
                EXPECT_FALSE(config.api || config.childUsers || config.updateUrl);
                continue;
            }
            EXPECT_EQ(config.api, "http://a.example/");
            if (c.content == all) {
                EXPECT_EQ(config.childUsers, (std::vector<std::string>{"kid", "Sam"}));
                EXPECT_EQ(config.deviceId, "D");
                EXPECT_EQ(config.updateUrl, "http://u.example/m");
                EXPECT_EQ(config.updatedAt, "T");
            }
        }
        // Logged once for the reader, however often it reads.
        const std::vector<std::string> want =
            c.warning.empty()
                ? std::vector<std::string>{}
                : std::vector<std::string>{"[test] WARN  ignoring " + path + c.warning};
        EXPECT_EQ(warnings(log), want);
    }
}

}  // namespace
}  // namespace tarvo::test
