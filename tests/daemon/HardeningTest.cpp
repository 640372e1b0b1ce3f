// A child (the ordinary user nobody) plants links, FIFOs and directories in
// the shared folders; root's daemon never writes, reads or opens up anything
// through them.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "DaemonFixture.h"
#include "core/Paths.h"
#include "daemon/RootFiles.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Everything under `dir`: type, permissions, owner, size and content, so that
// any write, chmod, creation or deletion shows.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        struct stat st {};
        ::lstat(e.path().c_str(), &st);
        out[e.path()] = std::to_string(st.st_mode) + "/" + std::to_string(st.st_uid) + "/" +
                        std::to_string(st.st_size) + "/" + std::to_string(st.st_nlink) +
                        (S_ISREG(st.st_mode) ? readText(e.path()) : "");
    }
    return out;
}

bool isRealDirOwnedByUs(const std::string& path, mode_t mode) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 07777) == mode;
}

bool logged(const std::string& line) {
    return hasLine(logMessages(Paths::daemonLog()), line);
}

// A daemon whose shared directories an earlier version left open to
// everyone, and a folder of the child's and of root's outside the root where
// planted links may point.
struct Harness : DaemonHarness {
    Harness() {
        ::chmod(outside.path().c_str(), 0755);
        ::chown(outside.path().c_str(), kNobody, kNobody);
        writeText(outside / "victim.txt", "untouched\n");
        ::chown((outside / "victim.txt").c_str(), kNobody, kNobody);
        for (const char* d : {"userdir", "flags"}) {
            fs::create_directories(outside / d);
            ::chown((outside / d).c_str(), kNobody, kNobody);
        }
        fs::create_directories(outside / "rootflags");
        ::chmod((outside / "rootflags").c_str(), 0777);
        writeText(outside / "rootflags/124.flag", "");
        writeText(outside / "root-secret.json", R"({"username":"root-secret"})");
        ::chmod((outside / "root-secret.json").c_str(), 0600);
        writeText(outside / "flags/123.flag", "");
        const timespec old[2] = {{946684800, 0}, {946684800, 0}};  // 2000-01-01
        ::utimensat(AT_FDCWD, (outside / "flags/123.flag").c_str(), old, 0);
        ::utimensat(AT_FDCWD, (outside / "rootflags/124.flag").c_str(), old, 0);
        fs::create_directories(root.dataDir());
        fs::create_directories(Paths::systemLogDir());
        ::chmod(root.dataDir().c_str(), 0777);
        ::chmod(Paths::systemLogDir().c_str(), 0777);
        root.setServices({});  // the ticks here are about files, not settings
    }
    void plant(const std::string& script) {
        ASSERT_TRUE(asNobody(script, {"DATA=" + root.dataDir(), "LOGS=" + Paths::systemLogDir(),
                                      "OUT=" + outside.path()}));
    }
    bool userCanRead(const std::string& path) {
        return run({.argv = {"/bin/cat", path}, .user = kNobody}).succeeded();
    }
    bool startProxy() {
        daemon->start();
        return queue.runUntil([&] { return daemon->proxyPid().has_value(); }, 15s);
    }
    TempDir outside;
};

TEST(Hardening, PlantedEntriesNeverLeadOutsideTheRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant entries as an ordinary user";
    struct Case {
        const char* what;
        std::string before;  // planted before the daemon starts
        std::string after;   // planted while it runs; a proxy restart and a tick follow
        std::function<void(Harness&)> check;
        std::function<void(Harness&)> setup = nullptr;  // by root, first (an earlier build)
    };
    auto noIdentity = [](Harness& h, const char* kind) {
        for (const auto& launch : fakeLaunches(h.root.records()))
            for (const auto& arg : launch.args)
                EXPECT_EQ(arg.find("root-secret"), std::string::npos);
        EXPECT_TRUE(
            logged("[daemon] WARN  ignoring " + Paths::proxyConfigFile() + " (" + kind + ")"));
    };
    const std::vector<Case> cases = {
        {"dangling link where the rules file will be seeded",
         R"(ln -s "$OUT/created-by-root" "$DATA/proxy_rules.json")", "",
         [](Harness& h) {
             struct stat st {};
             ASSERT_EQ(::lstat(Paths::rulesFile().c_str(), &st), 0);
             EXPECT_TRUE(S_ISREG(st.st_mode));
             EXPECT_EQ(st.st_mode & 07777, 0666u);
             EXPECT_EQ(readText(Paths::rulesFile()),
                       readText(h.root.resources() + "/proxy_rules.json"));
         }},
        {"symbolic link at the log file", R"(ln -s "$OUT/victim.txt" "$LOGS/daemon.log")", "",
         [](Harness&) {
             EXPECT_TRUE(isRealDirOwnedByUs(Paths::systemLogDir(), 0755));
             EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Paths::daemonLog())));
         }},
        {"hard link at the log file", R"(ln "$OUT/victim.txt" "$LOGS/daemon.log")", "",
         [](Harness&) {
             EXPECT_EQ(fs::hard_link_count(Paths::daemonLog()), 1u);
             EXPECT_NE(readText(Paths::daemonLog()).find("daemon starting"), std::string::npos);
         }},
        {"FIFO at proxy_config.json", R"(mkfifo "$DATA/proxy_config.json")", "",
         [](Harness& h) {
             EXPECT_TRUE(logged("[daemon] WARN  ignoring " + Paths::proxyConfigFile() + " (FIFO)"));
             for (const auto& launch : fakeLaunches(h.root.records()))
                 EXPECT_EQ(launch.args.size(), 6u);
         }},
        {"someone else's directory at the configuration directory",
         R"(mkdir -m 0755 "$DATA/mitmproxy"; touch "$DATA/mitmproxy/mine")", "",
         [](Harness& h) { EXPECT_FALSE(fs::exists(h.root.dataDir() + "/mitmproxy/mine")); }},
        {"configuration directory renamed away and replaced by a link", "",
         R"(mv "$DATA/mitmproxy" "$DATA/moved"; ln -s "$OUT/userdir" "$DATA/mitmproxy")",
         [](Harness& h) {
             EXPECT_FALSE(h.userCanRead(h.root.dataDir() + "/moved/mitmproxy-ca.pem"));
         }},
        {"flag directory replaced by a link", "",
         R"(mv "$DATA/active-children" "$DATA/old-flags"; ln -s "$OUT/flags" "$DATA/active-children")",
         [](Harness& h) { EXPECT_TRUE(isRealDirOwnedByUs(h.root.flagDir(), 0777)); }},
        {"flag directory is a link to a root-owned directory shaped like it",
         R"(ln -s "$OUT/rootflags" "$DATA/active-children")", "",
         [](Harness& h) { EXPECT_TRUE(isRealDirOwnedByUs(h.root.flagDir(), 0777)); }},
        {"link at updater.log in a log directory others could write",
         R"(ln -s "$OUT/victim.txt" "$LOGS/updater.log"; echo planted > "$LOGS/planted")", "",
         [](Harness&) {
             EXPECT_TRUE(isRealDirOwnedByUs(Paths::systemLogDir(), 0755));
             EXPECT_FALSE(fs::exists(fs::symlink_status(Paths::updaterLog())));
             EXPECT_FALSE(fs::exists(Paths::systemLogDir() + "/planted"));
             EXPECT_TRUE(
                 logged("[daemon] WARN  replaced untrusted log directory (directory "
                        "with mode 0777)"));
         }},
        {"symbolic link at proxy_config.json to a root-only file",
         R"(ln -s "$OUT/root-secret.json" "$DATA/proxy_config.json")", "",
         [&](Harness& h) { noIdentity(h, "symbolic link"); }},
        {"hard link at proxy_config.json to a root-only file", "", "",
         [&](Harness& h) { noIdentity(h, "hard link"); },
         [](Harness& h) {
             ASSERT_EQ(
                 ::link((h.outside / "root-secret.json").c_str(), Paths::proxyConfigFile().c_str()),
                 0);
         }},
        {"root-owned configuration directory open to others", "", "",
         [](Harness& h) {
             EXPECT_FALSE(fs::exists(fs::symlink_status(h.root.dataDir() + "/mitmproxy/planted")));
             EXPECT_TRUE(logged("[daemon] WARN  replaced untrusted " + Paths::mitmproxyDir() +
                                " (directory with mode 0755)"));
         },
         [](Harness& h) {
             fs::create_directories(Paths::mitmproxyDir());
             ::chmod(Paths::mitmproxyDir().c_str(), 0755);
             fs::create_symlink(h.outside / "victim.txt", Paths::mitmproxyDir() + "/planted");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        if (c.setup) c.setup(h);
        const auto before = snapshot(h.outside.path());
        if (!c.before.empty()) h.plant(c.before);
        ASSERT_TRUE(h.startProxy());
        h.queue.advance(0ms);
        if (!c.after.empty()) {
            h.plant(c.after);
            ASSERT_TRUE(h.restartProxy());
            h.queue.advance(5s);
        }
        EXPECT_EQ(snapshot(h.outside.path()), before);
        const std::string key = Paths::mitmproxyDir() + "/mitmproxy-ca.pem";
        EXPECT_EQ(readText(key), readText(h.root.resources() + "/mitmproxy-ca.pem"));
        EXPECT_FALSE(h.userCanRead(key));
        EXPECT_TRUE(isRealDirOwnedByUs(Paths::mitmproxyDir(), 0700));
        // What was moved aside is removed, not left to pile up.
        for (const std::string& dir : {h.root.dataDir(), h.root.root() + "/Library/Logs"})
            for (const auto& e : fs::directory_iterator(dir))
                EXPECT_NE(e.path().filename().string().rfind(".tarvo-aside.", 0), 0u) << e.path();
        c.check(h);
    }
}

// A child renames root's private configuration directory, with the running
// proxy's key in it, to the flag directory's name. The next tick must not
// open it up: it is not the flag directory this daemon made.
TEST(Hardening, RootsOwnDirectoryRenamedToTheFlagNameIsNeverOpenedUp) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant entries as an ordinary user";
    Harness h;
    ASSERT_TRUE(h.startProxy());
    h.queue.advance(0ms);
    rootfiles::Fd conf(::open(Paths::mitmproxyDir().c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(conf);
    h.plant(
        R"(mv "$DATA/active-children" "$DATA/old-flags"; mv "$DATA/mitmproxy" "$DATA/active-children")");
    h.queue.advance(5s);

    struct stat st {};
    ASSERT_EQ(::fstat(conf.get(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << "root's directory was opened up";
    EXPECT_EQ(st.st_nlink, 0u) << "moved aside and removed";
    struct stat flags {};
    ASSERT_EQ(::lstat(h.root.flagDir().c_str(), &flags), 0);
    EXPECT_NE(flags.st_ino, st.st_ino);
    EXPECT_TRUE(isRealDirOwnedByUs(h.root.flagDir(), 0777));
    EXPECT_TRUE(fs::is_empty(h.root.flagDir()));
    EXPECT_TRUE(logged("[daemon] WARN  replaced untrusted " + Paths::activeChildrenDir() +
                       " (directory that is not ours)"));
}

// Between two starts of the proxy another of root's private directories
// takes the configuration directory's place: the key never goes into it.
TEST(Hardening, ConfigurationDirectoryIsCheckedAgainBeforeEveryStart) {
    Harness h;
    ASSERT_TRUE(h.startProxy());
    const std::string conf = Paths::mitmproxyDir();
    const std::string decoy = h.root.dataDir() + "/decoy";
    fs::create_directory(decoy);
    ::chmod(decoy.c_str(), 0700);
    writeText(decoy + "/kept-by-someone", "x");
    fs::rename(conf, h.root.dataDir() + "/elsewhere");
    fs::rename(decoy, conf);
    ASSERT_TRUE(h.restartProxy());
    EXPECT_FALSE(fs::exists(conf + "/kept-by-someone"));
    EXPECT_EQ(readText(conf + "/mitmproxy-ca.pem"),
              readText(h.root.resources() + "/mitmproxy-ca.pem"));
    EXPECT_TRUE(isRealDirOwnedByUs(conf, 0700));
    EXPECT_TRUE(logged("[daemon] WARN  replaced untrusted " + Paths::mitmproxyDir() +
                       " (directory that is not ours)"));
}

}  // namespace
}  // namespace tarvo::test
