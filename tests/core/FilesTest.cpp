#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <filesystem>
#include <set>

#include "core/AtomicFile.h"
#include "core/Paths.h"
#include "support/TestSupport.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using Step = AtomicWriteError::Step;

// A write(2) that writes 3 bytes, is interrupted, writes 1 byte, then fails with ENOSPC.
std::function<ssize_t(int, const void*, size_t)> flakyWrite() {
    auto calls = std::make_shared<int>(0);
    return [=](int fd, const void* data, size_t size) -> ssize_t {
        const int call = (*calls)++;
        errno = call == 1 ? EINTR : ENOSPC;
        return call == 0 || call == 2 ? ::write(fd, data, std::min<size_t>(size, 3 - call)) : -1;
    };
}

int refusedRename(int, const char*, const char*) {
    errno = EXDEV;
    return -1;
}

// Every writer in the program goes through here; nothing may be written
// through to "victim". The umask is 0: files without a mode must still be
// private to their owner.
TEST(AtomicFile, WritesAndFailures) {
    const std::string data = "new content";
    int fifoReader = -1;
    // Rename refused, so the target is rewritten in place; the temporary file stays.
    auto inPlace = [](AtomicWriteOptions& o) {
        o.tempName = ".t";
        o.calls.rename = refusedRename;
        o.writeInPlaceIfRenameFails = true;
    };
    auto atTemp = [](AtomicWriteOptions& o) { o.tempName = ".t"; };
    // clang-format off
    struct Case {
        const char* name;
        std::function<void(const test::TempDir&)> setUp;
        std::function<void(AtomicWriteOptions&)> configure;
        std::optional<Step> failsAt;
        int err;
        std::optional<std::string> target;  // its content after; none: not a regular file
        std::set<std::string> left;         // the directory's entries besides "victim"
    } cases[] = {
        {"replaces the target, mode set on the descriptor", {},
         [](auto& o) { o.mode = 0644; }, {}, 0, data, {"target"}},
        {"a write that fails after 4 bytes", {},
         [](auto& o) { o.calls.write = flakyWrite(); }, Step::write, ENOSPC, "old", {"target"}},
        {"a rename that fails", {}, [](auto& o) { o.calls.rename = refusedRename; },
         Step::rename, EXDEV, "old", {"target"}},
        {"a link at the temporary name is replaced",
         [](auto& d) { fs::create_symlink(d / "victim", d / ".t"); }, atTemp, {}, 0, data, {"target"}},
        {"a FIFO at the temporary name is replaced",
         [](auto& d) { ASSERT_EQ(::mkfifo((d / ".t").c_str(), 0600), 0); },
         atTemp, {}, 0, data, {"target"}},
        {"in-place fallback onto a link",
         [](auto& d) { fs::remove(d / "target"); fs::create_symlink(d / "victim", d / "target"); },
         inPlace, Step::writeInPlace, ELOOP, std::nullopt, {"target", ".t"}},
        {"in-place fallback onto a FIFO that has a reader",
         [&](auto& d) {
             fs::remove(d / "target");
             ASSERT_EQ(::mkfifo((d / "target").c_str(), 0600), 0);
             fifoReader = ::open((d / "target").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
         },
         inPlace, Step::writeInPlace, EINVAL, std::nullopt, {"target", ".t"}},
    };
    // clang-format on
    const mode_t oldMask = ::umask(0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        test::writeText(dir / "victim", "precious");
        test::writeText(dir / "target", "old");
        ::chmod((dir / "target").c_str(), 0600);
        if (c.setUp) c.setUp(dir);
        AtomicWriteOptions options;
        c.configure(options);
        try {
            replaceFileAtomically(dir / "target", data, options);
            EXPECT_FALSE(c.failsAt) << "no error";
        } catch (const AtomicWriteError& e) {
            ASSERT_TRUE(c.failsAt) << e.what();
            EXPECT_EQ(std::pair(e.step(), e.code().value()), std::pair(*c.failsAt, c.err));
        }
        const std::string target = dir / "target";
        EXPECT_EQ(fs::is_regular_file(fs::symlink_status(target)), c.target.has_value());
        if (c.target) {
            EXPECT_EQ(test::readText(target), *c.target);
            EXPECT_EQ(static_cast<mode_t>(fs::status(target).permissions()),
                      *c.target == data ? options.mode.value_or(0600) : 0600);
        }
        std::set<std::string> left;
        for (const auto& e : fs::directory_iterator(dir.path()))
            if (e.path().filename() != "victim") left.insert(e.path().filename());
        EXPECT_EQ(left, c.left);
        EXPECT_EQ(test::readText(dir / "victim"), "precious");
    }
    ::close(fifoReader);
    ::umask(oldMask);
}

// (Links, hard links and FIFOs planted for it to read: see Hardening.)
TEST(UntrustedFile, NothingOfAFileLargerThanTheCap) {
    test::TempDir dir;
    test::writeText(dir / "big", std::string(101, 'x'));
    const UntrustedFile big = readUntrustedFile(dir / "big", 100);
    EXPECT_EQ(std::pair(big.data, big.why),
              std::pair(std::optional<std::string>(), std::string("larger than 100 bytes")));
}

// $HOME names the home only when it is a directory of the process's own
// user (not one sudo -E kept for root); else the passwd entry does. A
// relative root would move with every change of directory (the proxy
// changes its own): it is made absolute once, at start.
TEST(Paths, HomeIsHonouredOnlyWhenOwnedByTheUserAndARelativeRootIsMadeAbsolute) {
    const std::string passwdHome = getpwuid(getuid())->pw_dir;
    test::TempDir own, foreign;
    ASSERT_EQ(chown(foreign.path().c_str(), getuid() + 1, static_cast<gid_t>(-1)), 0)
        << "the test needs to run as root";
    test::writeText(own / "file", "x");
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {own.path(), own.path()}, {foreign.path(), passwdHome}, {own / "file", passwdHome},
        {"relative", passwdHome}, {std::nullopt, passwdHome},
    };
    for (const auto& [home, want] : cases) {
        test::EnvGuard guard("HOME", home);
        EXPECT_EQ(Paths::home(), want) << home.value_or("(unset)");
    }

    const auto cwd = fs::current_path();
    fs::current_path(own.path());
    test::EnvGuard root("TARVO_ROOT", "demo");
    Paths::makeRootAbsolute();
    fs::current_path("/");
    EXPECT_EQ(Paths::configFile(),
              own.path() + "/demo/Library/Application Support/Tarvo/config.json");
    fs::current_path(cwd);
}

}  // namespace
}  // namespace tarvo
