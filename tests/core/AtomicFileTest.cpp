#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <future>
#include <set>
#include <thread>

#include "core/AtomicFile.h"
#include "support/TestSupport.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using Step = AtomicWriteError::Step;

// A write(2) that writes at most `chunk` bytes a call, is interrupted every
// other call, and fails with `err` once `limit` bytes are written.
std::function<ssize_t(int, const void*, size_t)> flakyWrite(size_t chunk, size_t limit, int err) {
    auto written = std::make_shared<size_t>(0);
    auto calls = std::make_shared<int>(0);
    return [=](int fd, const void* data, size_t size) -> ssize_t {
        if ((*calls)++ % 2 == 1) {
            errno = EINTR;
            return -1;
        }
        if (*written >= limit) {
            errno = err;
            return err == 0 ? 0 : -1;
        }
        const ssize_t n = ::write(fd, data, std::min({size, chunk, limit - *written}));
        if (n > 0) *written += static_cast<size_t>(n);
        return n;
    };
}

int refusedRename(int, const char*, const char*) {
    errno = EXDEV;
    return -1;
}

// Every writer in the program goes through here: each case plants what it
// needs beside "target" (which holds "old"), writes "new content" with its
// options and checks the outcome, what is left in the directory, and that
// nothing was written through to "victim".
TEST(AtomicFile, WritesAndFailures) {
    const std::string data = "new content";
    int fifoReader = -1;
    // Rename refused, so the target is rewritten in place; the temporary file stays.
    auto inPlace = [](AtomicWriteOptions& o) {
        o.tempName = ".t";
        o.calls.rename = refusedRename;
        o.writeInPlaceIfRenameFails = true;
    };
    // clang-format off
    struct Case {
        const char* name;
        std::function<void(const test::TempDir&)> setUp;
        std::function<void(AtomicWriteOptions&)> configure;
        std::optional<Step> failsAt;
        int err;
        std::optional<std::string> target;  // its content after; none: not a regular file
        std::set<std::string> left;         // the directory's entries besides "victim"
        std::string path = "target";
        const char* what = "";  // part of the error's text
    } cases[] = {
        // name, set-up, options, failing step and errno, target after, entries left
        {"replaces the target, mode set on the descriptor", {},
         [](auto& o) { o.mode = 0644; }, {}, 0, data, {"target"}},
        {"short and interrupted writes", {},
         [](auto& o) { o.calls.write = flakyWrite(3, SIZE_MAX, 0); }, {}, 0, data, {"target"}},
        {"a write that fails after 4 bytes", {},
         [](auto& o) { o.calls.write = flakyWrite(3, 4, ENOSPC); },
         Step::write, ENOSPC, "old", {"target"}},
        {"a write that makes no progress", {},
         [](auto& o) { o.calls.write = flakyWrite(100, 2, 0); },
         Step::write, EIO, "old", {"target"}},
        {"a rename that fails", {}, [](auto& o) { o.calls.rename = refusedRename; },
         Step::rename, EXDEV, "old", {"target"}},
        {"a rename onto a directory",
         [](auto& d) { fs::remove(d / "target"); fs::create_directories(d / "target/in"); },
         {}, Step::rename, EISDIR, std::nullopt, {"target"}},
        {"a link at the temporary name is replaced",
         [](auto& d) { fs::create_symlink(d / "victim", d / ".t"); },
         [](auto& o) { o.tempName = ".t"; }, {}, 0, data, {"target"}},
        {"a FIFO at the temporary name is replaced",
         [](auto& d) { ASSERT_EQ(::mkfifo((d / ".t").c_str(), 0600), 0); },
         [](auto& o) { o.tempName = ".t"; }, {}, 0, data, {"target"}},
        {"a directory at the temporary name",
         [](auto& d) { fs::create_directories(d / ".t/in"); },
         [](auto& o) { o.tempName = ".t"; }, Step::create, EEXIST, "old", {"target", ".t"}},
        {"a missing directory", {}, {},
         Step::create, ENOENT, std::nullopt, {"target"}, "missing/target"},
        {"a missing directory, created", {}, [](auto& o) { o.createDirectories = true; },
         {}, 0, data, {"target", "missing"}, "missing/target"},
        {"in-place fallback after a failed rename", {}, inPlace,
         {}, 0, data, {"target", ".t"}},
        {"in-place fallback onto a link",
         [](auto& d) { fs::remove(d / "target"); fs::create_symlink(d / "victim", d / "target"); },
         inPlace, Step::writeInPlace, ELOOP, std::nullopt, {"target", ".t"}},
        {"in-place fallback onto a FIFO that has a reader",
         [&](auto& d) {
             fs::remove(d / "target");
             ASSERT_EQ(::mkfifo((d / "target").c_str(), 0600), 0);
             fifoReader = ::open((d / "target").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
         },
         inPlace, Step::writeInPlace, EINVAL, std::nullopt, {"target", ".t"}, "target",
         "not a regular file"},
        {"no replacing an existing target", {}, [](auto& o) { o.replaceExisting = false; },
         Step::link, EEXIST, "old", {"target"}},
        {"no replacing, nothing there", [](auto& d) { fs::remove(d / "target"); },
         [](auto& o) { o.replaceExisting = false; o.mode = 0644; }, {}, 0, data, {"target"}},
    };
    // clang-format on
    const mode_t oldMask = ::umask(0077);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        test::writeText(dir / "victim", "precious");
        test::writeText(dir / "target", "old");
        if (c.setUp) c.setUp(dir);
        AtomicWriteOptions options;
        if (c.configure) c.configure(options);
        int renameErr = 0;
        options.onRenameFailed = [&](int err) { renameErr = err; };
        try {
            replaceFileAtomically(dir / c.path, data, options);
            EXPECT_FALSE(c.failsAt) << "no error";
        } catch (const AtomicWriteError& e) {
            ASSERT_TRUE(c.failsAt) << e.what();
            EXPECT_EQ(e.step(), *c.failsAt) << e.what();
            EXPECT_EQ(e.code().value(), c.err) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.what), std::string::npos) << e.what();
        }
        EXPECT_EQ(renameErr, options.writeInPlaceIfRenameFails ? EXDEV : 0);
        const std::string target = dir / c.path;
        if (c.target) {
            ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
            EXPECT_EQ(test::readText(target), *c.target);
            const mode_t want = *c.target == data ? options.mode.value_or(0600) : 0600;
            struct stat st {};
            ASSERT_EQ(::stat(target.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, want);
        } else {
            EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(target)));
        }
        std::set<std::string> left;
        for (const auto& e : fs::directory_iterator(dir.path()))
            if (e.path().filename() != "victim") left.insert(e.path().filename());
        EXPECT_EQ(left, c.left);
        if (c.left.count(".t") && fs::is_regular_file(dir / ".t")) {
            EXPECT_EQ(test::readText(dir / ".t"), data);
        }
        EXPECT_EQ(test::readText(dir / "victim"), "precious");
        if (fifoReader >= 0) {
            char byte;
            EXPECT_LE(::read(fifoReader, &byte, 1), 0);  // nothing was written into it
            ::close(fifoReader);
            fifoReader = -1;
        }
    }
    ::umask(oldMask);
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
