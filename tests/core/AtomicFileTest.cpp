#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <future>
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

namespace tarvo {
namespace {

// Per-user state (cached settings, screen time, chat history, the per-user
// device id) is written without an explicit mode: it must be private to its
// owner whatever the umask, also when a leftover temporary file is replaced.
TEST(AtomicFile, FilesWithoutAModeArePrivateWhateverTheUmask) {
    test::TempDir dir;
    const mode_t oldMask = umask(0);
    replaceFileAtomically(dir / "fresh.json", "x");
    test::writeText(dir / ".left.tmp", "leftover");
    replaceFileAtomically(dir / "after-leftover.json", "y", {.tempName = ".left.tmp"});
    umask(oldMask);
    for (const char* name : {"fresh.json", "after-leftover.json"}) {
        struct stat st {};
        ASSERT_EQ(stat((dir / name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
    }
}

// What a root process reads from a directory every user can write.
TEST(UntrustedFile, ReadsOnlyASingleLinkRegularFileWithinTheCap) {
    test::TempDir dir;
    test::writeText(dir / "secret", "root only");
    test::writeText(dir / "plain.json", "{\"a\":1}");
    test::writeText(dir / "big", std::string(101, 'x'));
    test::writeText(dir / "log", "earlier\nlater\n");
    fs::create_symlink(dir / "secret", dir / "link");
    fs::create_hard_link(dir / "secret", dir / "hard");
    fs::create_directory(dir / "subdir");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0666), 0);
    struct Case {
        const char* name;
        off_t offset;
        std::optional<std::string> data;
        std::string why;
    };
    const Case cases[] = {
        {"plain.json", 0, "{\"a\":1}", ""},
        {"log", 8, "later\n", ""},
        {"link", 0, std::nullopt, "symbolic link"},
        {"hard", 0, std::nullopt, "hard link"},
        {"fifo", 0, std::nullopt, "FIFO"},
        {"subdir", 0, std::nullopt, "directory"},
        {"big", 0, std::nullopt, "larger than 100 bytes"},
        {"missing", 0, std::nullopt, std::strerror(ENOENT)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A FIFO opened without O_NONBLOCK would wait for a writer for ever:
        // the read runs apart, and a writer is supplied if it hangs.
        auto reading = std::async(std::launch::async,
                                  [&] { return readUntrustedFile(dir / c.name, 100, c.offset); });
        if (reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            const int unblock = ::open((dir / c.name).c_str(), O_WRONLY | O_NONBLOCK);
            reading.wait();
            ::close(unblock);
            ADD_FAILURE() << "the read blocked";
            continue;
        }
        const UntrustedFile file = reading.get();
        EXPECT_EQ(file.data, c.data);
        EXPECT_EQ(file.why, c.why);
        if (file.data) {
            EXPECT_EQ(file.owner, ::geteuid());
        }
    }
    EXPECT_EQ(readUntrustedFile(dir / "missing", 100).error, ENOENT);
    struct stat st {};
    EXPECT_EQ(inspectUntrustedFileAt(AT_FDCWD, dir / "hard", st), "hard link");
    EXPECT_EQ(inspectUntrustedFileAt(AT_FDCWD, dir / "link", st), "symbolic link");
    EXPECT_EQ(inspectUntrustedFileAt(AT_FDCWD, dir / "plain.json", st), "");
    EXPECT_EQ(st.st_size, 7);
}

}  // namespace
}  // namespace tarvo
