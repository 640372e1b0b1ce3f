// The shared data directory as children meet it: nobody removes or renames
// another user's file there, a config.json no administrator wrote decides
// nothing, and each child's agent still gets its rules to the proxy.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "DaemonFixture.h"
#include "core/Paths.h"
#include "daemon/ChildHandover.h"
#include "support/Accounts.h"
#include "support/FakeService.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A child's home: owned by it, so the agent keeps its log and state there.
struct ChildHome {
    explicit ChildHome(uid_t uid) { ::chown(dir.path().c_str(), uid, uid); }
    std::string agentLog() const { return dir.path() + "/Library/Logs/Tarvo/agent.log"; }
    bool logged(const std::string& text) const {
        return readText(agentLog()).find(text) != std::string::npos;
    }
    TempDir dir;
};

// `tarvo agent` in `home`'s session of `uid`, without a display.
Launch agentAs(uid_t uid, const ChildHome& home, std::optional<std::string> accounts = {}) {
    return {.argv = {tarvoBinary(), "agent"},
            .env = environmentWith(
                {"HOME=" + home.dir.path(), "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="}),
            .user = uid,
            .accounts = std::move(accounts)};
}

// The child renames root's config.json away and writes one listing no
// children, which would let its agent exit as "not a child". The shared
// directories carry the sticky bit: the rename and the removal fail, and a
// config.json the child plants where none was decides nothing.
TEST(SharedDirectory, AChildCanNeitherReplaceRootsConfigNorEscapeWithItsOwn) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as an ordinary user";
    DaemonHarness h;
    h.root.setServices("");
    h.daemon->start();
    for (const std::string& dir : {Paths::dataDir(), Paths::activeChildrenDir()}) {
        struct stat st {};
        ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 01777u) << dir;
    }
    writeText(Paths::configFile(), R"({"child_users":["nobody"]})");
    writeText(Paths::activeChildrenDir() + "/2001.flag", "");  // a sibling's flag
    const std::vector<std::string> env = {"PATH=/usr/bin:/bin", "D=" + Paths::dataDir(),
                                          "F=" + Paths::activeChildrenDir()};
    const char* const attacks[] = {
        R"(mv "$D/config.json" "$D/old.json")",
        R"(rm -f "$D/config.json")",
        R"(mv "$D/proxy_rules.json" "$D/x"; echo '{"whitelist":[]}' > "$D/proxy_rules.json")",
        R"(rm -f "$F/2001.flag")",
    };
    for (const char* attack : attacks) {
        SCOPED_TRACE(attack);
        EXPECT_FALSE(
            run({.argv = {"/bin/bash", "-ec", attack}, .env = env, .user = kNobody}).succeeded());
    }
    EXPECT_EQ(readText(Paths::configFile()), R"({"child_users":["nobody"]})");
    EXPECT_TRUE(exists(Paths::activeChildrenDir() + "/2001.flag"));

    // Where no config.json was, the child's own is no way out either.
    fs::remove(Paths::configFile());
    ASSERT_TRUE(asNobody(R"(echo '{"child_users":[]}' > "$D/config.json")", env));
    ChildHome home(kNobody);
    Process agent(agentAs(kNobody, home));
    EXPECT_TRUE(polling::waitUntil([&] { return home.logged("IS a child"); }, 30s))
        << readText(home.agentLog());
    EXPECT_TRUE(home.logged("ignoring " + Paths::configFile() + ": owned by uid " +
                            std::to_string(kNobody) + ", neither root nor an administrator"));
    EXPECT_FALSE(home.logged("exiting cheaply"));
}

// Two children take turns at the computer. The data directory lets only a
// file's owner replace it, so the daemon hands the rules file and the proxy
// configuration to each child whose flag appears; each child's rules are in
// the rules file, owned by that child, within 5 s of its agent's start.
TEST(SharedDirectory, ChildrenTakingTurnsEachGetTheirRulesToTheProxy) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run agents as other users";
    DaemonRoot root;
    root.setServices("");
    FakeService service([](httplib::Server& server) {
        server.Get("/api/GetUserSettingsByDeviceId",
                   [](const httplib::Request& req, httplib::Response& res) {
                       const std::string user = req.get_param_value("username");
                       res.set_content(nlohmann::json{{"whitelist", {user + ".example"}}}.dump(),
                                       "application/json");
                   });
    });
    writeText(Paths::configFile(),
              nlohmann::json{{"child_users", {"kid1", "kid2"}}, {"api", service.url()}}.dump());
    TempDir accounts;
    writeAccountFiles(accounts.path(),
                      {{"kid1", 2001, 2001, "/nonexistent"}, {"kid2", 2002, 2002, "/nonexistent"}},
                      {});
    std::optional<Process> daemon;
    auto startDaemon = [&] {
        const size_t before = daemonLogCount("[daemon] INFO  proxy started");
        daemon.emplace(Launch{.argv = {tarvoBinary(), "daemon"}});
        return polling::waitUntil(
            [&] { return daemonLogCount("[daemon] INFO  proxy started") > before; });
    };
    ASSERT_TRUE(startDaemon());

    // The last turn begins while the daemon is down (restarting): the agent's
    // writes are refused until the daemon is back and hands the files over.
    struct Turn {
        std::string name;
        uid_t uid;
        bool daemonDown;
    };
    const Turn turns[] = {{"kid1", 2001, false}, {"kid2", 2002, false}, {"kid1", 2001, true}};
    for (const Turn& turn : turns) {
        SCOPED_TRACE(turn.name);
        ChildHome home(turn.uid);
        if (turn.daemonDown) daemon.reset();  // SIGTERM, and waited for
        Process agent(agentAs(turn.uid, home, accounts.path()));
        const std::string refused = "not allowed to replace the proxy's files yet";
        if (turn.daemonDown) {
            ASSERT_TRUE(polling::waitUntil([&] { return home.logged(refused); }))
                << readText(home.agentLog());
            ASSERT_TRUE(startDaemon());
        }
        auto rulesAreTheChilds = [&] {
            struct stat st {};
            const auto rules = nlohmann::json::parse(readText(Paths::rulesFile()), nullptr, false);
            return ::lstat(Paths::rulesFile().c_str(), &st) == 0 && st.st_uid == turn.uid &&
                   rules.is_object() && rules.value("username", "") == turn.name &&
                   rules["whitelist"] == nlohmann::json{turn.name + ".example"};
        };
        EXPECT_TRUE(polling::waitUntil(rulesAreTheChilds, 5s))
            << readText(Paths::rulesFile()) << readText(home.agentLog());
        EXPECT_TRUE(polling::waitUntil(
            [&] {
                return nlohmann::json::parse(readText(Paths::proxyConfigFile()), nullptr, false)
                           .value("username", "") == turn.name;
            },
            5s));
        // After the first turn the files were the other child's: refused
        // until handed over, said once, however many retries it took.
        if (&turn != &turns[0]) {
            const std::string log = readText(home.agentLog());
            const size_t first = log.find(refused);
            EXPECT_NE(first, std::string::npos);
            EXPECT_EQ(log.find(refused, first + 1), std::string::npos);
        }
        agent.kill(SIGTERM);
        EXPECT_EQ(agent.wait(), 0);
    }
}

// A child's first flag is acted on at once: the daemon watches the flag
// directory, so the hand-over does not wait for the next 5 s poll (time
// stands still here; only the watcher can make it happen).
TEST(SharedDirectory, ANewChildsFlagIsActedOnWithoutWaitingForThePoll) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another owner";
    DaemonHarness h;
    h.root.setServices("");
    h.daemon->start();
    h.queue.advance(0ms);  // the first poll: nobody there
    ASSERT_EQ(h.daemon->lastChildPresent(), false);
    writeText(Paths::proxyConfigFile(), "{}");
    h.writeFlag("2001.flag");
    ASSERT_EQ(::chown((Paths::activeChildrenDir() + "/2001.flag").c_str(), 2001, 2001), 0);
    auto ownedBy = [](const std::string& path, uid_t uid) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 && st.st_uid == uid;
    };
    EXPECT_TRUE(h.queue.runUntil([&] {
        return ownedBy(Paths::rulesFile(), 2001) && ownedBy(Paths::proxyConfigFile(), 2001);
    }));
    EXPECT_EQ(h.daemon->lastChildPresent(), true);
    EXPECT_TRUE(h.logged("[daemon] INFO  handed proxy_rules.json to uid 2001"));
}

// The child who owns the rules file may put anything in its place before the
// daemon hands it to the next child: a link to a file of root's, a hard link
// to one, a FIFO. The hand-over changes only a regular file with one link,
// never what a link leads to, and never blocks.
TEST(SharedDirectory, HandingTheFilesOverNeverFollowsWhatAChildPlanted) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant entries as an ordinary user";
    const uid_t next = 2002;
    struct Case {
        const char* what;
        const char* plant;  // run as the child in $D, beside root's $V
        std::string refusal;
        bool handed;
    };
    const Case cases[] = {
        {"the child's own file", R"(echo '{}' > "$D/rules")", "", true},
        {"no file", "true", "", false},
        {"a link to root's file", R"(ln -s "$V" "$D/rules")", "symbolic link", false},
        // (a hard link to root's own files the kernel refuses the child)
        {"a second name of the child's file", R"(echo x > "$D/mine"; ln "$D/mine" "$D/rules")",
         "hard link", false},
        {"a FIFO", R"(mkfifo "$D/rules")", "FIFO", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir top;
        const std::string dir = top.path() + "/data", victim = dir + "/victim";
        ::chmod(top.path().c_str(), 0755);
        fs::create_directory(dir);
        ::chmod(dir.c_str(), 01777);
        writeText(victim, "root's\n");
        ::chmod(victim.c_str(), 0644);
        ASSERT_TRUE(asNobody(c.plant, {"D=" + dir, "V=" + victim}));
        rootfiles::Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        EXPECT_EQ(handover::giveFileTo(dirFd.get(), "rules", next), c.refusal);
        struct stat st {};
        ASSERT_EQ(::stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        const bool there = ::lstat((dir + "/rules").c_str(), &st) == 0;
        EXPECT_EQ(there && st.st_uid == next, c.handed);
        if (c.handed) {
            EXPECT_EQ(st.st_mode & 07777, 0644u);
        }
    }
}

}  // namespace
}  // namespace tarvo::test
