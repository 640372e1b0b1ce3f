#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "core/AtomicFile.h"
#include "support/TestSupport.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;

TEST(AtomicFile, ReplacesContentAndSetsTheModeBeforeTheRename) {
    test::TempDir dir;
    const std::string path = dir / "rules.json";
    test::writeText(path, "old");
    const mode_t oldMask = umask(0077);
    replaceFileAtomically(path, "new content", {.mode = 0644});
    umask(oldMask);
    EXPECT_EQ(test::readText(path), "new content");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    // Nothing but the file itself is left in the directory.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(AtomicFile, NamedTemporaryFileNeverFollowsAPlantedLink) {
    test::TempDir dir;
    const std::string victim = dir / "victim";
    test::writeText(victim, "precious");
    fs::create_symlink(victim, dir / ".rules.tmp");
    replaceFileAtomically(dir / "rules.json", "data", {.tempName = ".rules.tmp"});
    EXPECT_EQ(test::readText(victim), "precious");
    EXPECT_EQ(test::readText(dir / "rules.json"), "data");
    EXPECT_FALSE(test::exists(dir / ".rules.tmp"));
}

TEST(AtomicFile, FailureLeavesTheOldFileAndNoTemporary) {
    test::TempDir dir;
    // The target is a non-empty directory: rename must fail.
    fs::create_directories(dir / "target/inside");
    EXPECT_THROW(replaceFileAtomically(dir / "target", "x"), std::system_error);
    EXPECT_TRUE(fs::is_directory(dir / "target/inside"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    // A missing directory is an error unless asked to create it.
    EXPECT_THROW(replaceFileAtomically(dir / "missing/file", "x"), std::system_error);
    replaceFileAtomically(dir / "missing/file", "x", {.createDirectories = true});
    EXPECT_EQ(test::readText(dir / "missing/file"), "x");
}

TEST(AtomicFile, AConcurrentReaderSeesOnlyWholeVersions) {
    test::TempDir dir;
    const std::string path = dir / "shared.json";
    const std::string a(256 * 1024, 'a'), b(512 * 1024, 'b');
    replaceFileAtomically(path, a);
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0}, torn{0};
    std::thread reader([&] {
        while (!stop) {
            auto content = readFile(path);
            if (!content) {
                ++torn;  // the file must never be missing either
                continue;
            }
            if (*content != a && *content != b) ++torn;
            ++reads;
        }
    });
    for (int i = 0; i < 200; ++i) replaceFileAtomically(path, i % 2 ? a : b);
    while (reads < 50) std::this_thread::yield();
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST(AtomicFile, ReadFileRefusesWhatIsNotAReadableFile) {
    test::TempDir dir;
    EXPECT_FALSE(readFile(dir / "missing"));
    EXPECT_FALSE(readFile(dir.path()));
    test::writeText(dir / "empty", "");
    EXPECT_EQ(readFile(dir / "empty"), "");
}

}  // namespace
}  // namespace tarvo
