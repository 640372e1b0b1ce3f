// The core's pieces: atomic writes, the paths, config.json as every component
// reads it, the serial queue, subprocesses, and text.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <map>
#include <set>

#include "core/AtomicFile.h"
#include "core/Background.h"
#include "core/Paths.h"
#include "core/SerialQueue.h"
#include "core/Subprocess.h"
#include "core/SystemConfig.h"
#include "core/Text.h"
#include "core/TimeFormat.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;
using namespace text;
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
        std::function<void(const TempDir&)> setUp;
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
        TempDir dir;
        writeText(dir / "victim", "precious");
        writeText(dir / "target", "old");
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
            EXPECT_EQ(readText(target), *c.target);
            EXPECT_EQ(static_cast<mode_t>(fs::status(target).permissions()),
                      *c.target == data ? options.mode.value_or(0600) : 0600);
        }
        std::set<std::string> left;
        for (const auto& e : fs::directory_iterator(dir.path()))
            if (e.path().filename() != "victim") left.insert(e.path().filename());
        EXPECT_EQ(left, c.left);
        EXPECT_EQ(readText(dir / "victim"), "precious");
    }
    ::close(fifoReader);
    ::umask(oldMask);
}

// The paths an environment of just `vars` describes.
Paths::Layout layoutOf(const std::map<std::string, std::optional<std::string>>& vars) {
    return Paths::layoutFrom([&](const char* name) -> const char* {
        const auto it = vars.find(name);
        return it != vars.end() && it->second ? it->second->c_str() : nullptr;
    });
}

// $HOME names the home only when it is a directory of the process's own
// user (not one sudo -E kept for root); else the passwd entry does. A
// relative root would move with every change of directory (the proxy
// changes its own): it is made absolute once, at start.
TEST(Paths, HomeIsHonouredOnlyWhenOwnedByTheUserAndARelativeRootIsMadeAbsolute) {
    const std::string passwdHome = getpwuid(getuid())->pw_dir;
    TempDir own, foreign;
    ASSERT_EQ(chown(foreign.path().c_str(), getuid() + 1, static_cast<gid_t>(-1)), 0)
        << "the test needs to run as root";
    writeText(own / "file", "x");
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {own.path(), own.path()}, {foreign.path(), passwdHome}, {own / "file", passwdHome},
        {"relative", passwdHome}, {std::nullopt, passwdHome},
    };
    for (const auto& [home, want] : cases)
        EXPECT_EQ(layoutOf({{"HOME", home}}).home, want) << home.value_or("(unset)");

    const auto cwd = fs::current_path();
    fs::current_path(own.path());
    EnvGuard root("TARVO_ROOT", "demo");
    Paths::makeRootAbsolute();
    ScopedLayout layout;  // as main() takes it
    fs::current_path("/");
    EXPECT_EQ(Paths::configFile(), own.path() + "/demo/var/lib/tarvo/config.json");
    fs::current_path(cwd);
}

using Accessor = std::string (*)();

// Each layout's directories (the Mac's, then this system's; "R" stands for
// the root, "H" for the home), the names the files take in them (the same on
// both), and the Mac's own locations, which only the Mac's implementation and
// its install and update steps use (the same on both too). What other tests
// name by its literal path (the data and update directories, the config,
// rules, log and update files, the Mac's tools the stand-ins answer for) is
// pinned there.
TEST(Paths, EachLayoutsTableTheMacsNeedsARootAndAnInstalledExecutablesPrefix) {
    TempRoot root;
    const std::tuple<Accessor, std::string, std::string> dirs[] = {
        {Paths::activeChildrenDir, "R/Library/Application Support/Tarvo/active-children",
         "R/run/tarvo/active-children"},
        {Paths::systemLogDir, "R/Library/Logs/Tarvo", "R/var/log/tarvo"},
        {Paths::daemonLockFile, "R/var/run/app.tarvo.daemon/daemon.lock",
         "R/run/tarvo/daemon.lock"},
        {Paths::userDataDir, "H/Library/Application Support/Tarvo", "H/.local/state/tarvo"},
        {Paths::userLogDir, "H/Library/Logs/Tarvo", "H/.local/state/tarvo/logs"},
    };
    const std::tuple<Accessor, Accessor, const char*> files[] = {
        {Paths::deviceIdFile, Paths::dataDir, "device_id.json"},
        {Paths::perUserScreenTimeStateFile, Paths::userDataDir, "screen_time_state.json"},
        {Paths::cachedSettingsFile, Paths::userDataDir, "cached_settings.json"},
        {Paths::cachedAppLimitsFile, Paths::userDataDir, "cached_app_limits.json"},
        {Paths::userDeviceIdFile, Paths::userDataDir, "device_id.json"},
        {Paths::chatHistoryFile, Paths::userDataDir, "Chat/messages.json"},
        {Paths::managerLog, Paths::userLogDir, "manager.log"},
    };
    const std::pair<Accessor, std::string> macOnly[] = {
        {Paths::daemonPlist, "/Library/LaunchDaemons/app.tarvo.daemon.plist"},
        {Paths::agentPlist, "/Library/LaunchAgents/app.tarvo.agent.plist"},
        {Paths::managerApp, "/Applications/Tarvo Manager.app"},
        {Paths::agentApp, "/Applications/Tarvo.app"},
        {Paths::systemKeychain, "/Library/Keychains/System.keychain"},
        {Paths::installerTool, "/usr/sbin/installer"},
    };
    for (const bool onMac : {true, false}) {
        SCOPED_TRACE(onMac ? "the Mac's" : "this system's");
        ScopedLayout layout(layoutOf({{"TARVO_ROOT", root.path()},
                                      {"HOME", root.path() + "/home"},
                                      {"TARVO_PLATFORM", onMac ? "mac" : "linux"}}));
        ASSERT_EQ(Paths::usesMacLayout(), onMac);
        for (const auto& [get, mac, linux] : dirs)
            EXPECT_EQ(get(), root.path() + (mac[0] == 'H' ? "/home" : "") +
                                 (onMac ? mac : linux).substr(1));
        for (const auto& [get, dir, file] : files) EXPECT_EQ(get(), dir() + "/" + file);
        for (const auto& [get, want] : macOnly) EXPECT_EQ(get(), root.path() + want);
    }
    // An executable in a usr/bin directory is still the Mac's bundle layout.
    EXPECT_EQ(Paths::installedPrefix("/usr/bin/tarvo"), std::nullopt);

    // The Mac's table is never chosen on a real system: TARVO_PLATFORM=mac
    // counts only together with a root ("/" is none).
    const std::tuple<std::optional<std::string>, std::optional<std::string>, std::string> cases[] =
        {
            {"mac", std::nullopt, "/var/lib/tarvo"},
            {"mac", "", "/var/lib/tarvo"},
            {"mac", "/", "/var/lib/tarvo"},
            {"linux", "/r", "/r/var/lib/tarvo"},
            {std::nullopt, "/r", "/r/var/lib/tarvo"},
            {"Mac", "/r", "/r/var/lib/tarvo"},
            {"mac", "/r", "/r/Library/Application Support/Tarvo"},
        };
    for (const auto& [platform, made, want] : cases) {
        ScopedLayout layout(layoutOf({{"TARVO_PLATFORM", platform}, {"TARVO_ROOT", made}}));
        EXPECT_EQ(Paths::dataDir(), want)
            << platform.value_or("(unset)") << " " << made.value_or("(unset)");
    }

    // An executable installed as …/usr/bin/tarvo (also unpacked into a made
    // root) loads its libraries from …/usr/lib/tarvo and its resources from
    // …/usr/share/tarvo; anywhere else (a build tree) it keeps its own directory.
    ScopedLayout layout(layoutOf({}));
    const std::pair<std::string, std::optional<std::string>> executables[] = {
        {"/usr/bin/tarvo", "/usr"},
        {"/tmp/made/usr/bin/tarvo", "/tmp/made/usr"},
        {"/usr/local/bin/tarvo", std::nullopt},
        {"/bin/tarvo", std::nullopt},
        {"/usr/sbin/tarvo", std::nullopt},
        {"/work/build/src/tarvo", std::nullopt},
        {"/work/usr/build/tarvo", std::nullopt},
    };
    for (const auto& [exe, want] : executables) EXPECT_EQ(Paths::installedPrefix(exe), want) << exe;
    // The test itself runs from the build tree.
    const fs::path self = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(Paths::libraryDir(), self.parent_path().string());
    EXPECT_EQ(Paths::bundleResources(), (self.parent_path().parent_path() / "Resources").string());
}

// An XDG variable counts only as an absolute path; for root (these tests run
// as root) only inside root's own home, so sudo -E never writes where the
// invoking user's variables point.
TEST(Paths, XdgDirectoriesAreAbsoluteAndForRootInsideItsHome) {
    ASSERT_EQ(::geteuid(), 0u) << "the test needs to run as root";
    TempRoot root;
    const std::string home = root.path() + "/home";
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, home + "/.local/state/tarvo"},
        {"", home + "/.local/state/tarvo"},
        {"state", home + "/.local/state/tarvo"},
        {"./" + home, home + "/.local/state/tarvo"},
        {home + "/st", home + "/st/tarvo"},
        {home + "/st/", home + "/st/tarvo"},
        {home, home + "/tarvo"},
        {home + "/a/../st", home + "/st/tarvo"},
        {home + "/../elsewhere", home + "/.local/state/tarvo"},
        {home + "x/st", home + "/.local/state/tarvo"},
        {"/tmp/st", home + "/.local/state/tarvo"},
    };
    for (const auto& [value, want] : cases) {
        ScopedLayout layout(
            layoutOf({{"TARVO_ROOT", root.path()}, {"HOME", home}, {"XDG_STATE_HOME", value}}));
        EXPECT_EQ(Paths::userDataDir(), want) << value.value_or("(unset)");
        EXPECT_EQ(Paths::agentLog(), want + "/logs/agent.log") << value.value_or("(unset)");
    }
    // An ordinary user's absolute value counts wherever it points; a relative
    // one is ignored. Checked in a child that becomes nobody.
    TempDir own;
    ASSERT_EQ(::chown(own.path().c_str(), kNobody, static_cast<gid_t>(-1)), 0);
    const std::string seen = inPrivateMounts({}, [&]() -> std::string {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) return "no setuid";
        std::string dirs;
        using Value = std::optional<std::string>;
        for (const Value& value : {Value("/tmp/st"), Value("st"), Value()}) {
            Paths::install(layoutOf({{"HOME", own.path()}, {"XDG_STATE_HOME", value}}));
            dirs += Paths::userDataDir() + "|";
        }
        return dirs;
    });
    EXPECT_EQ(seen, "/tmp/st/tarvo|" + own.path() + "/.local/state/tarvo|" + own.path() +
                        "/.local/state/tarvo|");
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
        EXPECT_EQ(logMessages(log),
                  c.warning.empty()
                      ? std::vector<std::string>{}
                      : std::vector<std::string>{"[test] WARN  ignoring " + path + c.warning});
    }
}

TEST(SerialQueue, TasksFromManyThreadsNeverOverlapKeepEachPostersOrderAndSurviveAThrow) {
    ThreadPoolBackground background(4);
    SerialQueue queue(background);
    std::atomic<int> inside{0}, overlaps{0};
    // Written only inside tasks: a data race here is what the queue rules out.
    std::vector<int> lastSeen(6, -1);
    queue.post([] { throw std::runtime_error("a throwing task stalls nothing"); });
    std::vector<std::thread> posters;
    for (int p = 0; p < 6; ++p)
        posters.emplace_back([&, p] {
            for (int i = 0; i < 300; ++i)
                queue.post([&, p, i] {
                    if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
                    if (lastSeen[p] == i - 1) lastSeen[p] = i;
                    std::this_thread::yield();
                    inside.fetch_sub(1);
                });
        });
    for (auto& t : posters) t.join();
    std::promise<void> done;
    queue.post([&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(30s), std::future_status::ready);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(lastSeen, std::vector<int>(6, 299));
}

TEST(Subprocess, ArgumentsOutputsLaunchFailuresTimeoutsAndStandardInput) {
    // printf repeats its format for every argument: one NUL-terminated field each.
    EXPECT_EQ(runProcess("/usr/bin/printf", {"%s\\0", "a b", "$HOME", "`id`; rm -rf /", ""}).out,
              "a b\0$HOME\0`id`; rm -rf /\0\0"s);
    // (Separate standard output and error, and the status: see TarvoBinary.)
    auto merged = runProcess("/bin/sh", {"-c", "echo out; echo err >&2"}, {.mergeStderr = true});
    EXPECT_EQ(merged.out + "|" + merged.err, "out\nerr\n|");
    // More than a pipe buffer on both streams at once must not deadlock.
    auto big = runProcess("/bin/sh", {"-c", "head -c 300000 /dev/zero | tee /dev/stderr"});
    EXPECT_EQ(big.out.size() + big.err.size(), 600000u);
    // A child that never reads a large input must not take us down with SIGPIPE.
    EXPECT_TRUE(runProcess("/bin/true", {}, {.input = std::string(1 << 20, 'x')}).succeeded());
    EXPECT_FALSE(runProcess("/no/such/tool", {}).launched);
    auto r = runProcess("/bin/sleep", {"30"}, {.timeout = std::chrono::milliseconds(200)});
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.termSignal, SIGKILL);

    // Captured tools (and detached ones, spawned alike) read nothing of ours; a
    // tool shown to the person at the terminal reads what they type.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int savedStdin = dup(0);
    ASSERT_EQ(dup2(fds[0], 0), 0);
    close(fds[0]);
    ASSERT_EQ(write(fds[1], "from the terminal\n", 18), 18);
    close(fds[1]);
    const std::vector<std::string> readsALine{"-c", "read x && [ \"$x\" = \"from the terminal\" ]"};
    // /dev/null for the first leaves the line in our pipe for the last.
    EXPECT_NE(runProcess("/bin/sh", readsALine).exitStatus, 0);
    EXPECT_EQ(runShowingOutput("/bin/sh", readsALine), 0);
    dup2(savedStdin, 0);
    close(savedStdin);
}

TEST(Text, Utf8ValidityReplacementCharacterLimitAndTrimming) {
    const std::string x = "\xEF\xBF\xBD";  // U+FFFD
    // Overlong, surrogate, past U+10FFFF, cut off, then U+10FFFF.
    const std::pair<std::string, std::string> cases[] = {{"\xC0\xAF", x + x},
                                                         {"a\xED\xA0\x80z", "a" + x + x + x + "z"},
                                                         {"\xF4\x90\x80\x80", x + x + x + x},
                                                         {"ok\xE2\x80", "ok" + x + x},
                                                         {"\xF5\x80\x80\x80", x + x + x + x},
                                                         {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"}};
    for (const auto& [bytes, cleaned] : cases) {
        EXPECT_EQ(isValidUtf8(bytes), bytes == cleaned) << cleaned;
        EXPECT_EQ(replaceInvalidUtf8(bytes), cleaned);
    }
    // A limit in characters never cuts inside one; a replaced byte counts as one.
    EXPECT_EQ(replaceInvalidUtf8("a\xE2\x80\x94\xF0\x9F\x98\x80", 2), "a\xE2\x80\x94");
    EXPECT_EQ(replaceInvalidUtf8("\xFFxyz", 2), x + "x");

    // What a typed chat message is trimmed of: white space and line breaks,
    // ASCII and Unicode, at either end only; a character that merely ends in
    // a space's bytes stays whole.
    const std::pair<std::string, std::string> trims[] = {
        {"\xE2\x80\xA8 hi \xE2\x80\xA9", "hi"},                      // U+2028, U+2029
        {"\xC2\x85\v\fhi\xE3\x80\x80\r\n", "hi"},                    // U+0085, U+3000
        {"a\u3000b", "a\u3000b"},                                    // inside: kept
        {"\xE2\x80\x8Bx\xE2\x80\x8B", "\xE2\x80\x8Bx\xE2\x80\x8B"},  // U+200B is no space
        {"\xC3\xA9", "\xC3\xA9"},
        {"\t\xC2\xA0\xE2\x80\x8A \n", ""},
        {"", ""},
    };
    for (const auto& [in, out] : trims) EXPECT_EQ(trimUnicodeWhitespace(in), out) << in;
}

// (Offsets, fractions and formatting: see ChatMessageDecoding.)
TEST(TimeFormat, ParsesOnlyRealDaysAndWhatTheClockCanHold) {
    const std::pair<const char*, std::optional<double>> cases[] = {
        {"2025-02-29T12:00:00Z", std::nullopt},
        // A leap second is the next minute's first.
        {"2016-12-31T23:59:60Z", 1483228800.0},
        {"2262-04-11T23:47:17Z", std::nullopt},
        {"2025-12-06T16:32:45Zjunk", std::nullopt},
        // An offset holds up to 23 hours and 59 minutes.
        {"2025-03-01T12:00:00+23:59", 1740744060.0},
        {"2025-03-01T12:00:00+24:00", std::nullopt},
    };
    for (const auto& [text, unix] : cases) {
        const auto got = parseIsoUtc(text);
        EXPECT_EQ(got ? std::optional(toUnixSeconds(*got)) : std::nullopt, unix) << text;
    }
}

}  // namespace
}  // namespace tarvo::test
