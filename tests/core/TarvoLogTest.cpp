#include "core/TarvoLog.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <regex>

#include "platform/fake/FakeSystemLog.h"
#include "support/TestSupport.h"

namespace tarvo {
namespace {

using platform::FakeSystemLog;
using platform::SystemLog;

const std::regex kLine(
    R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z \[([a-z]+)\] (DEBUG|INFO |WARN |ERROR) (.*)$)");

TEST(TarvoLog, FileLinesCarryTimestampCategoryLevelAndMessage) {
    test::TempDir dir;
    auto sys = std::make_shared<FakeSystemLog>();
    const std::string file = dir / "nested/agent.log";
    TarvoLog log("uninstall", file, sys);
    log.debug("d — with an em dash");
    log.info("i");
    log.warn("w");
    log.error("e");
    const std::pair<std::string, SystemLog::Type> want[] = {
        {"DEBUG d — with an em dash", SystemLog::Type::Debug},
        {"INFO  i", SystemLog::Type::Info},
        {"WARN  w", SystemLog::Type::Default},
        {"ERROR e", SystemLog::Type::Error}};
    const auto lines = test::readLines(file);
    const auto records = sys->records();
    ASSERT_EQ(lines.size(), 4u);
    ASSERT_EQ(records.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, kLine)) << lines[i];
        EXPECT_EQ(m[1], "uninstall");
        EXPECT_EQ(m[2].str() + " " + m[3].str(), want[i].first);
        // The system log receives the bare message with the matching type.
        EXPECT_EQ(records[i].type, want[i].second);
        EXPECT_EQ(records[i].message, m[3]);
    }
    // An unwritable file never reaches the caller.
    test::writeText(dir / "blocker", "a file where a directory should be");
    TarvoLog broken("agent", dir / "blocker/agent.log", sys);
    EXPECT_NO_THROW(broken.error("still reaches the system log"));
    EXPECT_EQ(sys->records().size(), 5u);
}

TEST(TarvoLog, SeveralProcessesAppendingLoseAndTearNoLine) {
    test::TempDir dir;
    const std::string file = dir / "shared.log";
    constexpr int kProcesses = 6, kLines = 300;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // Each child creates its own logger: all of them race to create the file.
            TarvoLog log("agent", file, std::make_shared<FakeSystemLog>());
            for (int i = 0; i < kLines; ++i)
                log.info(std::to_string(p) + " " + std::to_string(i) + " " + std::string(200, 'x'));
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto lines = test::readLines(file);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kProcesses * kLines));
    std::map<int, int> nextPerProcess;
    const std::regex body(R"((\d) (\d+) x{200})");
    for (const auto& line : lines) {
        std::smatch m, b;
        ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
        const std::string message = m[3];
        ASSERT_TRUE(std::regex_match(message, b, body)) << message;
        // Each process's lines appear whole and in its own order.
        EXPECT_EQ(std::stoi(b[2]), nextPerProcess[std::stoi(b[1])]++);
    }
}

}  // namespace
}  // namespace tarvo
