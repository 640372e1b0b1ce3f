#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "DaemonFixture.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "daemon/RootFiles.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uid_t kUser = 65534;  // nobody: an ordinary user with no rights of its own

// Everything under `dir`: type, permissions, owner, size and content, so that
// any write, chmod, creation or deletion shows.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        struct stat st {};
        ::lstat(e.path().c_str(), &st);
        std::string v = std::to_string(st.st_mode) + "/" + std::to_string(st.st_uid) + "/" +
                        std::to_string(st.st_size) + "/" + std::to_string(st.st_nlink);
        if (S_ISREG(st.st_mode)) v += "/" + readText(e.path().string());
        out[e.path().string()] = v;
    }
    return out;
}

ProcessResult asUser(const std::string& script, const std::string& data, const std::string& logs,
                     const std::string& outside) {
    ProcessOptions options;
    options.environment = std::vector<std::string>{"PATH=/usr/bin:/bin", "DATA=" + data,
                                                   "LOGS=" + logs, "OUT=" + outside};
    return runProcess("/usr/bin/setpriv",
                      {"--reuid=" + std::to_string(kUser), "--regid=" + std::to_string(kUser),
                       "--clear-groups", "/bin/bash", "-ec", script},
                      options);
}

struct Harness {
    Harness() {
        ::chmod(outside.path().c_str(), 0755);
        ::chown(outside.path().c_str(), kUser, kUser);
        const std::string victim = outside / "victim.txt";
        writeText(victim, "untouched\n");
        ::chown(victim.c_str(), kUser, kUser);
        ::chmod(victim.c_str(), 0644);
        for (const char* d : {"userdir", "flags"}) {
            fs::create_directories(outside / d);
            ::chown((outside / d).c_str(), kUser, kUser);
        }
        // Root's own things outside the root, where a link may point: a
        // directory shaped like the flag directory and a root-only file.
        fs::create_directories(outside / "rootflags");
        ::chmod((outside / "rootflags").c_str(), 0777);
        writeText(outside / "rootflags/124.flag", "");
        writeText(outside / "root-secret.json", R"({"username":"root-secret"})");
        ::chmod((outside / "root-secret.json").c_str(), 0600);
        writeText(outside / "flags/123.flag", "");
        writeText(outside / "flags/keep.txt", "keep");
        timespec old[2] = {{946684800, 0}, {946684800, 0}};  // 2000-01-01
        ::utimensat(AT_FDCWD, (outside / "flags/123.flag").c_str(), old, 0);
        ::utimensat(AT_FDCWD, (outside / "rootflags/124.flag").c_str(), old, 0);
        // What an earlier version left: shared directories open to everyone.
        fs::create_directories(root.dataDir());
        fs::create_directories(Paths::systemLogDir());
        ::chmod(root.dataDir().c_str(), 0777);
        ::chmod(Paths::systemLogDir().c_str(), 0777);
        Daemon::Options options;
        options.exitProcess = [](int) {};
        // No network services: the ticks here are about files, not settings.
        root.setServices({});
        daemon = Daemon::create(queue, clock, options);
    }
    ~Harness() { daemon.reset(); }

    void plant(const std::string& script) {
        ProcessResult r = asUser(script, root.dataDir(), Paths::systemLogDir(), outside.path());
        ASSERT_TRUE(r.succeeded()) << script << ": " << r.err;
    }
    bool userCanRead(const std::string& path) {
        return asUser("cat \"" + path + "\" >/dev/null 2>&1", "", "", "").succeeded();
    }
    bool waitForProxy() {
        return queue.runUntil([&] { return daemon->proxyPid().has_value(); }, 15s);
    }

    TempDir outside;
    DaemonRoot root;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    VirtualMainQueue queue{clock};
    std::shared_ptr<Daemon> daemon;
};

bool isRealDirOwnedByUs(const std::string& path, mode_t mode) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 07777) == mode;
}

TEST(Hardening, PlantedEntriesNeverLeadOutsideTheRoot) {
    if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv"))
        GTEST_SKIP() << "needs root and setpriv to plant entries as an ordinary user";
    struct Case {
        const char* what;
        std::string before;  // planted before the daemon starts
        std::string after;   // planted while it runs; a proxy restart and a tick follow
        std::function<void(Harness&)> check;
        // Made by root before anything else (what an earlier build left).
        std::function<void(Harness&)> setup = nullptr;
    };
    auto noIdentityFrom = [](Harness& h, const std::string& secret) {
        for (const auto& launch : fakeLaunches(h.root.records()))
            for (const auto& arg : launch.args) EXPECT_EQ(arg.find(secret), std::string::npos);
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
             EXPECT_TRUE(
                 hasLine(logMessages(Paths::daemonLog()),
                         "[daemon] WARN  ignoring " + Paths::proxyConfigFile() + " (FIFO)"));
             for (const auto& launch : fakeLaunches(h.root.records()))
                 EXPECT_EQ(launch.args.size(), 6u);
         }},
        {"someone else's directory at the configuration directory",
         R"(mkdir -m 0755 "$DATA/mitmproxy"; touch "$DATA/mitmproxy/mine")", "",
         [](Harness& h) {
             EXPECT_TRUE(isRealDirOwnedByUs(h.root.dataDir() + "/mitmproxy", 0700));
             EXPECT_FALSE(fs::exists(h.root.dataDir() + "/mitmproxy/mine"));
         }},
        {"configuration directory renamed away and replaced by a link", "",
         R"(mv "$DATA/mitmproxy" "$DATA/moved"; ln -s "$OUT/userdir" "$DATA/mitmproxy")",
         [](Harness& h) {
             EXPECT_TRUE(isRealDirOwnedByUs(h.root.dataDir() + "/mitmproxy", 0700));
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
             EXPECT_TRUE(hasLine(logMessages(Paths::daemonLog()),
                                 "[daemon] WARN  replaced untrusted log directory (directory "
                                 "with mode 0777)"));
         }},
        {"symbolic link at proxy_config.json to a root-only file",
         R"(ln -s "$OUT/root-secret.json" "$DATA/proxy_config.json")", "",
         [&](Harness& h) {
             noIdentityFrom(h, "root-secret");
             EXPECT_TRUE(hasLine(
                 logMessages(Paths::daemonLog()),
                 "[daemon] WARN  ignoring " + Paths::proxyConfigFile() + " (symbolic link)"));
         }},
        {"hard link at proxy_config.json to a root-only file", "", "",
         [&](Harness& h) {
             noIdentityFrom(h, "root-secret");
             EXPECT_TRUE(
                 hasLine(logMessages(Paths::daemonLog()),
                         "[daemon] WARN  ignoring " + Paths::proxyConfigFile() + " (hard link)"));
         },
         [](Harness& h) {
             ASSERT_EQ(::link((h.outside / "root-secret.json").c_str(),
                              (h.root.dataDir() + "/proxy_config.json").c_str()),
                       0);
         }},
        {"root-owned configuration directory open to others", "", "",
         [](Harness& h) {
             EXPECT_FALSE(fs::exists(fs::symlink_status(h.root.dataDir() + "/mitmproxy/planted")));
             EXPECT_TRUE(hasLine(logMessages(Paths::daemonLog()),
                                 "[daemon] WARN  replaced untrusted " + Paths::mitmproxyDir() +
                                     " (directory with mode 0755)"));
         },
         [](Harness& h) {
             const std::string conf = h.root.dataDir() + "/mitmproxy";
             fs::create_directories(conf);
             ::chmod(conf.c_str(), 0755);
             fs::create_symlink(h.outside / "victim.txt", conf + "/planted");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h;
        if (c.setup) c.setup(h);
        const auto before = snapshot(h.outside.path());
        if (!c.before.empty()) h.plant(c.before);
        h.daemon->start();
        ASSERT_TRUE(h.waitForProxy());
        h.queue.advance(0ms);
        if (!c.after.empty()) {
            h.plant(c.after);
            const pid_t pid = *h.daemon->proxyPid();
            ::kill(pid, SIGKILL);
            ASSERT_TRUE(h.queue.runUntil([&] { return !h.daemon->proxyPid(); }, 15s));
            h.queue.advance(5s);
            ASSERT_TRUE(h.waitForProxy());
        }
        EXPECT_EQ(snapshot(h.outside.path()), before);
        EXPECT_TRUE(h.daemon->shouldRun());
        const std::string key = h.root.dataDir() + "/mitmproxy/mitmproxy-ca.pem";
        EXPECT_EQ(readText(key), readText(h.root.resources() + "/mitmproxy-ca.pem"));
        EXPECT_FALSE(h.userCanRead(key));
        EXPECT_TRUE(isRealDirOwnedByUs(h.root.dataDir() + "/mitmproxy", 0700));
        // What was moved aside is removed, not left to pile up.
        for (const std::string& dir : {h.root.dataDir(), h.root.root() + "/Library/Logs"})
            for (const auto& e : fs::directory_iterator(dir))
                EXPECT_NE(e.path().filename().string().rfind(".tarvo-aside.", 0), 0u) << e.path();
        c.check(h);
    }
}

}  // namespace
}  // namespace tarvo::test

namespace tarvo::test {
namespace {

bool rootAndSetpriv() {
    return ::geteuid() == 0 && fs::exists("/usr/bin/setpriv");
}

std::vector<std::string> asideEntries(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().rfind(".tarvo-aside.", 0) == 0) out.push_back(e.path());
    return out;
}

// A child renames root's private configuration directory, with the running
// proxy's key in it, to the flag directory's name. The next tick must not
// open it up: it is not the flag directory this daemon made.
TEST(Hardening, RootsOwnDirectoryRenamedToTheFlagNameIsNeverOpenedUp) {
    if (!rootAndSetpriv()) GTEST_SKIP() << "needs root and setpriv";
    Harness h;
    h.daemon->start();
    ASSERT_TRUE(h.waitForProxy());
    h.queue.advance(0ms);
    const std::string conf = h.root.dataDir() + "/mitmproxy";
    rootfiles::Fd confFd(::open(conf.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(confFd);
    struct stat flagsBefore {};
    ASSERT_EQ(::stat(h.root.flagDir().c_str(), &flagsBefore), 0);
    h.plant(
        R"(mv "$DATA/active-children" "$DATA/old-flags"; mv "$DATA/mitmproxy" "$DATA/active-children")");
    h.queue.advance(5s);

    struct stat st {};
    ASSERT_EQ(::fstat(confFd.get(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << "root's directory was opened up";
    EXPECT_EQ(st.st_nlink, 0u) << "moved aside and removed";
    EXPECT_TRUE(asideEntries(h.root.dataDir()).empty());
    struct stat flags {};
    ASSERT_EQ(::lstat(h.root.flagDir().c_str(), &flags), 0);
    EXPECT_TRUE(S_ISDIR(flags.st_mode));
    EXPECT_NE(flags.st_ino, st.st_ino);
    EXPECT_EQ(flags.st_mode & 07777, 0777u);
    EXPECT_TRUE(fs::is_empty(h.root.flagDir()));
    EXPECT_TRUE(hasLine(logMessages(Paths::daemonLog()), "[daemon] WARN  replaced untrusted " +
                                                             Paths::activeChildrenDir() +
                                                             " (directory that is not ours)"));
}

// Between two starts of the proxy another of root's private directories
// takes the configuration directory's place: the key never goes into it.
TEST(Hardening, ConfigurationDirectoryIsCheckedAgainBeforeEveryStart) {
    if (!rootAndSetpriv()) GTEST_SKIP() << "needs root and setpriv";
    Harness h;
    h.daemon->start();
    ASSERT_TRUE(h.waitForProxy());
    const std::string conf = h.root.dataDir() + "/mitmproxy";
    const std::string decoy = h.root.dataDir() + "/decoy";
    fs::create_directory(decoy);
    ::chmod(decoy.c_str(), 0700);
    writeText(decoy + "/kept-by-someone", "x");
    fs::rename(conf, h.root.dataDir() + "/elsewhere");
    fs::rename(decoy, conf);

    ::kill(*h.daemon->proxyPid(), SIGKILL);
    ASSERT_TRUE(h.queue.runUntil([&] { return !h.daemon->proxyPid(); }, 15s));
    h.queue.advance(2s);
    ASSERT_TRUE(h.waitForProxy());
    EXPECT_FALSE(fs::exists(conf + "/kept-by-someone"));
    EXPECT_EQ(readText(conf + "/mitmproxy-ca.pem"),
              readText(h.root.resources() + "/mitmproxy-ca.pem"));
    EXPECT_TRUE(isRealDirOwnedByUs(conf, 0700));
    EXPECT_TRUE(hasLine(logMessages(Paths::daemonLog()), "[daemon] WARN  replaced untrusted " +
                                                             Paths::mitmproxyDir() +
                                                             " (directory that is not ours)"));
}

}  // namespace
}  // namespace tarvo::test
