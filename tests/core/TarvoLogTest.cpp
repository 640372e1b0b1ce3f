#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <thread>

#include "core/TarvoLog.h"
#include "platform/fake/FakeSystemLog.h"
#include "support/TestSupport.h"

namespace tarvo {
namespace {

using platform::FakeSystemLog;
using platform::SystemLog;

const std::regex kLine(
    R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z \[([a-z]+)\] (DEBUG|INFO |WARN |ERROR) (.*)$)");

TEST(TarvoLog, FileLinesCarryTimestampCategoryFiveCharacterLevelAndMessage) {
    test::TempDir dir;
    auto sys = std::make_shared<FakeSystemLog>();
    const std::string file = dir / "nested/deeper/agent.log";
    TarvoLog log("uninstall", file, sys);
    // The directory exists from construction on, before any entry.
    EXPECT_TRUE(test::exists(dir / "nested/deeper"));
    EXPECT_FALSE(test::exists(file));

    log.debug("d — with an em dash");
    log.info("running uninstall");
    log.warn("w");
    log.error("e");

    const std::string text = test::readText(file);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find("\n\n"), std::string::npos);
    const auto lines = test::readLines(file);
    ASSERT_EQ(lines.size(), 4u);
    const std::pair<std::string, std::string> want[] = {{"DEBUG", "d — with an em dash"},
                                                        {"INFO ", "running uninstall"},
                                                        {"WARN ", "w"},
                                                        {"ERROR", "e"}};
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, kLine)) << lines[i];
        EXPECT_EQ(m[1], "uninstall");
        EXPECT_EQ(m[2], want[i].first);
        EXPECT_EQ(m[3], want[i].second);
    }
    EXPECT_NE(lines[1].find(" [uninstall] INFO  running uninstall"), std::string::npos);

    // The system log receives the bare message with the matching type.
    const auto records = sys->records();
    ASSERT_EQ(records.size(), 4u);
    const SystemLog::Type types[] = {SystemLog::Type::Debug, SystemLog::Type::Info,
                                     SystemLog::Type::Default, SystemLog::Type::Error};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(records[i].category, "uninstall");
        EXPECT_EQ(records[i].type, types[i]);
        EXPECT_EQ(records[i].message, want[i].second);
    }
}

TEST(TarvoLog, AnUnwritableFileNeverReachesTheCaller) {
    test::TempDir dir;
    auto sys = std::make_shared<FakeSystemLog>();
    test::writeText(dir / "blocker", "a file where a directory should be");
    TarvoLog log("agent", dir / "blocker/agent.log", sys);
    EXPECT_NO_THROW(log.error("still reaches the system log"));
    EXPECT_EQ(sys->records().size(), 1u);
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
            const std::string padding(200, static_cast<char>('a' + p));
            for (int i = 0; i < kLines; ++i)
                log.info("p" + std::to_string(p) + " n" + std::to_string(i) + " " + padding);
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
    const std::regex body(R"(p(\d) n(\d+) ([a-z])+)");
    for (const auto& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kLine)) << line;
        const std::string message = m[3];
        std::smatch b;
        ASSERT_TRUE(std::regex_match(message, b, body)) << message;
        int p = std::stoi(b[1]), n = std::stoi(b[2]);
        EXPECT_EQ(message.substr(message.size() - 200),
                  std::string(200, static_cast<char>('a' + p)));
        // Each process's lines appear whole and in its own order.
        EXPECT_EQ(n, nextPerProcess[p]++);
    }
}

}  // namespace
}  // namespace tarvo
