// The shared data directory as children meet it: nobody removes or renames
// another user's file there, a config.json no administrator wrote decides
// nothing, and each child's agent still gets its rules to the proxy.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "core/Paths.h"
#include "daemon/ChildHandover.h"
#include "support/Accounts.h"
#include "support/DaemonFixture.h"
#include "support/FakeService.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A child's home: owned by it, so the agent keeps its log and state there.
struct ChildHome {
    explicit ChildHome(uid_t uid) : uid(uid) { ::chown(dir.path().c_str(), uid, uid); }
    std::string agentLog() const { return dir.path() + "/Library/Logs/Tarvo/agent.log"; }
    bool logged(const std::string& text) const {
        return readText(agentLog()).find(text) != std::string::npos;
    }
    // `tarvo agent` in this home's session of the child, without a display.
    Launch agent(std::optional<std::string> accounts = {}) const {
        return {.argv = {tarvoBinary(), "agent"},
                .env = environmentWith(
                    {"HOME=" + dir.path(), "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM="}),
                .user = uid,
                .accounts = std::move(accounts)};
    }
    uid_t uid;
    TempDir dir;
};

// The child renames root's config.json away and writes one listing no
// children, which would let its agent exit as "not a child". The shared
// directories carry the sticky bit: the rename and the removal fail, and a
// config.json the child plants where none was decides nothing.
TEST(SharedDirectory, AChildCanNeitherReplaceRootsConfigNorEscapeWithItsOwn) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as an ordinary user";
    DaemonHarness h;
    h.root.setServices("");
    h.daemon->start();
    for (const std::string& dir : {Paths::dataDir(), Paths::activeChildrenDir()})
        EXPECT_EQ(entryAt(dir), "directory 1777 uid 0") << dir;
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
    Process agent(home.agent());
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
    // After the first turn the files were the other child's: refused until
    // handed over, said once, however many retries it took.
    const std::tuple<std::string, uid_t, bool, bool> turns[] = {
        {"kid1", 2001, false, false}, {"kid2", 2002, false, true}, {"kid1", 2001, true, true}};
    for (const auto& [name, uid, daemonDown, refusedOnce] : turns) {
        SCOPED_TRACE(name);
        ChildHome home(uid);
        if (daemonDown) daemon.reset();  // SIGTERM, and waited for
        Process agent(home.agent(accounts.path()));
        const std::string refused = "not allowed to replace the proxy's files yet";
        if (daemonDown) {
            ASSERT_TRUE(polling::waitUntil([&] { return home.logged(refused); }))
                << readText(home.agentLog());
            ASSERT_TRUE(startDaemon());
        }
        // Both files the child's own and naming it; its rules in the rules file.
        auto childs = [&](const std::string& path) {
            const bool owned = entryAt(path).ends_with(" uid " + std::to_string(uid));
            const auto json = nlohmann::json::parse(readText(path), nullptr, false);
            const bool named = json.is_object() && json.value("username", "") == name;
            return owned && named ? json : nlohmann::json();
        };
        EXPECT_TRUE(polling::waitUntil(
            [&] {
                return childs(Paths::proxyConfigFile()).is_object() &&
                       childs(Paths::rulesFile())["whitelist"] == nlohmann::json{name + ".example"};
            },
            5s))
            << readText(Paths::rulesFile()) << readText(home.agentLog());
        const std::string log = readText(home.agentLog());
        const size_t said = log.find(refused);
        EXPECT_EQ(said != std::string::npos && said == log.rfind(refused), refusedOnce) << log;
        agent.kill(SIGTERM);
        EXPECT_EQ(agent.wait(), 0);
    }
}

// The child who owns the rules file may put anything in its place before the
// daemon hands it to the next child: a link to a file of root's, a hard link
// to one, a FIFO. The hand-over changes only a regular file with one link,
// never what a link leads to, and never blocks.
TEST(SharedDirectory, HandingTheFilesOverNeverFollowsWhatAChildPlanted) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant entries as an ordinary user";
    const uid_t next = 2002;
    struct Case {
        const char* plant;  // run as the child in $D, beside root's $V
        std::string refusal;
        std::string after;  // what stands at the name then
    };
    const Case cases[] = {
        {R"(echo '{}' > "$D/rules")", "", "regular file 0644 uid 2002"},
        {"true", "", "missing"},
        {R"(ln -s "$V" "$D/rules")", "symbolic link", "symbolic link 0777 uid 65534"},
        // (a hard link to root's own files the kernel refuses the child)
        {R"(echo x > "$D/mine"; ln "$D/mine" "$D/rules")", "hard link",
         "regular file 0644 links 2 uid 65534"},
        {R"(mkfifo "$D/rules")", "FIFO", "FIFO 0644 uid 65534"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plant);
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
        EXPECT_EQ(entryAt(victim), "regular file 0644 uid 0");
        EXPECT_EQ(entryAt(dir + "/rules"), c.after);
    }
}

}  // namespace
}  // namespace tarvo::test
