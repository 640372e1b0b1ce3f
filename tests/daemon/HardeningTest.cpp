// A child (the ordinary user nobody) plants links, FIFOs and directories in
// the shared folders; root's daemon never writes, reads or opens up anything
// through them.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "DaemonFixture.h"
#include "core/Paths.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Everything under `dir`: type, permissions, owner, links and content, so
// that any write, chmod, creation or deletion shows.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        struct stat st {};
        ::lstat(e.path().c_str(), &st);
        out[e.path()] = std::to_string(st.st_mode) + "/" + std::to_string(st.st_uid) + "/" +
                        std::to_string(st.st_nlink) +
                        (S_ISREG(st.st_mode) ? readText(e.path()) : "");
    }
    return out;
}

bool isRealDirOwnedByUs(const std::string& path, mode_t mode) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 07777) == mode;
}

TEST(Hardening, PlantedEntriesNeverLeadOutsideTheRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant entries as an ordinary user";
    struct Case {
        const char* what;
        std::string before;  // planted before the daemon starts
        std::string after;   // planted while it runs; a proxy restart and a tick follow
        std::string warning;
        std::vector<std::string> gone;  // under the data directory
        bool byRoot = false;            // planted by root (an earlier build, or root's own)
    };
    // "$DATA" in a warning stands for the data directory.
    const std::string ignoring = "ignoring $DATA/proxy_config.json";
    const std::string notOurs = " (directory that is not ours)";
    const std::vector<Case> cases = {
        {"dangling link where the rules file will be seeded",
         R"(ln -s "$OUT/created-by-root" "$DATA/proxy_rules.json")"},
        {"symbolic link at the log file", R"(ln -s "$OUT/victim.txt" "$LOGS/daemon.log")"},
        {"hard link at the log file", R"(ln "$OUT/victim.txt" "$LOGS/daemon.log")"},
        {"FIFO at proxy_config.json", R"(mkfifo "$DATA/proxy_config.json")", "",
         ignoring + " (FIFO)"},
        {"someone else's directory at the configuration directory",
         R"(mkdir -m 0755 "$DATA/mitmproxy"; touch "$DATA/mitmproxy/mine")",
         "",
         "",
         {"mitmproxy/mine"}},
        {"configuration directory renamed away and replaced by a link", "",
         R"(mv "$DATA/mitmproxy" "$DATA/moved"; ln -s "$OUT/userdir" "$DATA/mitmproxy")"},
        {"flag directory replaced by a link", "",
         R"(mv "$DATA/active-children" "$DATA/old"; ln -s "$OUT/flags" "$DATA/active-children")"},
        {"flag directory is a link to a root-owned directory shaped like it",
         R"(ln -s "$OUT/rootflags" "$DATA/active-children")"},
        {"root's configuration directory renamed to the flag directory's name", "",
         R"(mv "$DATA/active-children" "$DATA/old"; mv "$DATA/mitmproxy" "$DATA/active-children")",
         "replaced untrusted $DATA/active-children" + notOurs},
        {"link at updater.log in a log directory others could write",
         R"(ln -s "$OUT/victim.txt" "$LOGS/updater.log"; echo planted > "$LOGS/planted")", "",
         "replaced untrusted log directory (directory with mode 0777)"},
        {"symbolic link at proxy_config.json to a root-only file",
         R"(ln -s "$OUT/root-secret.json" "$DATA/proxy_config.json")", "",
         ignoring + " (symbolic link)"},
        {"hard link at proxy_config.json to a root-only file",
         R"(umask 077; echo '{"username":"root-secret"}' > "$DATA/../secret"; ln "$DATA/../secret" "$DATA/proxy_config.json")",
         "",
         ignoring + " (hard link)",
         {},
         true},
        {"root-owned configuration directory open to others",
         R"(mkdir -m 755 "$DATA/mitmproxy"; ln -s "$OUT/victim.txt" "$DATA/mitmproxy/planted")",
         "",
         "replaced untrusted $DATA/mitmproxy (directory with mode 0755)",
         {"mitmproxy/planted"},
         true},
        {"another of root's private directories in the configuration directory's place",
         "",
         R"(mkdir -m 700 "$DATA/decoy"; touch "$DATA/decoy/kept"; mv "$DATA/mitmproxy" "$DATA/x"; mv "$DATA/decoy" "$DATA/mitmproxy")",
         "replaced untrusted $DATA/mitmproxy" + notOurs,
         {"mitmproxy/kept"},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DaemonHarness h;
        h.root.setServices("");  // the ticks here are about files, not settings
        TempDir out;
        auto sh = [&](const std::string& script, bool byRoot) {
            const std::vector<std::string> env = {
                "DATA=" + h.root.dataDir(), "LOGS=" + Paths::systemLogDir(), "OUT=" + out.path()};
            if (!byRoot) return asNobody(script, env);
            return run({.argv = {"/bin/bash", "-ec", script}, .env = environmentWith(env)})
                .succeeded();
        };
        // Shared directories an earlier version left open to everyone, and a
        // folder of the child's outside the root where planted links may point.
        ASSERT_TRUE(sh(R"(cd "$OUT"; echo untouched > victim.txt; mkdir flags rootflags userdir
touch -d 2000-01-01 flags/123.flag rootflags/124.flag; chmod 777 rootflags
chown 65534:65534 . victim.txt flags userdir; chmod 755 .
(umask 077; echo '{"username":"root-secret"}' > root-secret.json)
mkdir -p "$DATA" "$LOGS"; chmod 777 "$DATA" "$LOGS")",
                       true));
        const std::string conf = Paths::mitmproxyDir();
        const auto before = snapshot(out.path());
        if (!c.before.empty()) {
            ASSERT_TRUE(sh(c.before, c.byRoot));
        }
        h.daemon->start();
        ASSERT_TRUE(h.queue.runUntil([&] { return h.daemon->proxyPid().has_value(); }, 15s));
        h.queue.advance(0ms);
        const int held = ::open(conf.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (!c.after.empty()) {
            ASSERT_TRUE(sh(c.after, c.byRoot));
            ASSERT_TRUE(h.restartProxy());
            h.queue.advance(5s);
        }
        EXPECT_EQ(snapshot(out.path()), before);
        // Root's configuration directory as it was is never opened up, and
        // the one in use is real, private and holds the staged key.
        struct stat st {};
        EXPECT_EQ(::fstat(held, &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        ::close(held);
        EXPECT_TRUE(isRealDirOwnedByUs(conf, 0700));
        const std::string key = conf + "/mitmproxy-ca.pem";
        EXPECT_EQ(readText(key), readText(h.root.resources() + "/mitmproxy-ca.pem"));
        EXPECT_FALSE(run({.argv = {"/bin/cat", key}, .user = kNobody}).succeeded());
        EXPECT_TRUE(isRealDirOwnedByUs(Paths::systemLogDir(), 0755));
        EXPECT_TRUE(isRealDirOwnedByUs(h.root.flagDir(), 0777));
        ASSERT_EQ(::lstat(Paths::daemonLog().c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1);
        EXPECT_EQ(h.count("[daemon] INFO  daemon starting"), 1u);
        ASSERT_EQ(::lstat(Paths::rulesFile().c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0666);
        EXPECT_EQ(readText(Paths::rulesFile()), readText(h.root.resources() + "/proxy_rules.json"));
        for (const auto& launch : fakeLaunches(h.root.records()))
            EXPECT_EQ(launch.second.size(), 9u) << "no identity read through a planted file";
        if (!c.warning.empty()) {
            std::string line = "[daemon] WARN  " + c.warning;
            if (const size_t at = line.find("$DATA"); at != std::string::npos)
                line.replace(at, 5, h.root.dataDir());
            EXPECT_TRUE(h.logged(line)) << line;
        }
        for (const auto& g : c.gone)
            EXPECT_FALSE(fs::exists(fs::symlink_status(h.root.dataDir() + "/" + g))) << g;
        // What was moved aside is removed, not left to pile up.
        for (const std::string& dir : {h.root.dataDir(), h.root.root() + "/Library/Logs"})
            for (const auto& e : fs::directory_iterator(dir))
                EXPECT_NE(e.path().filename().string().rfind(".tarvo-aside.", 0), 0u) << e.path();
    }
}

}  // namespace
}  // namespace tarvo::test
