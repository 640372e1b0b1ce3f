// How the daemon is started at boot (its system unit) and the agent in each
// session: the systemd user unit, and the supervisor of the autostart entry,
// run with a stand-in agent that records its starts.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>

#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo::test {
namespace {
using namespace std::chrono_literals;

std::string resource(const std::string& name) {
    return sourceDir() + "/resources/linux/" + name;
}

// systemd-analyze's complaints about a unit (`scope` "--user" or
// "--system"), its ExecStart pointed at an existing program; empty when it has
// none. A user manager's check needs a runtime directory, which a session
// would give it.
std::string verifyUnit(const std::string& text, const std::string& name = "tarvo-agent.service",
                       const std::string& scope = "--user") {
    TempDir dir;
    ::mkdir((dir / "run").c_str(), 0700);
    writeText(dir / name, std::regex_replace(text, std::regex("/usr/bin/tarvo "), "/bin/true "));
    const ProcessResult r = run({.argv = {"/usr/bin/systemd-analyze", scope, "verify", dir / name},
                                 .env = environmentWith({"XDG_RUNTIME_DIR=" + dir / "run"})});
    return r.succeeded() ? r.out + r.err : "failed: " + r.launchError + r.out + r.err;
}

// The daemon's system unit (from boot, started again 10 s after any exit) and
// the agent's user unit (started again within seconds, its autostart entry
// out of the way where the unit runs): systemd-analyze finds nothing wrong in
// either, and does find a bad line.
TEST(Units, VerifyCleanlyAndRestartTheirProgram) {
    const struct {
        const char *file, *scope;
        std::vector<std::string> lines;
    } units[] = {
        {"tarvo.service",
         "--system",
         {"ExecStart=/usr/bin/tarvo daemon", "Restart=always", "RestartSec=10",
          "WantedBy=multi-user.target"}},
        {"tarvo-agent.service",
         "--user",
         {"ExecStart=/usr/bin/tarvo agent", "Restart=always", "RestartSec=2"}},
        {"tarvo-agent.desktop",
         "",
         {"X-GNOME-HiddenUnderSystemd=true",
          "Exec=/usr/lib/tarvo/tarvo-agent-supervisor /usr/bin/tarvo agent"}},
    };
    for (const auto& u : units) {
        SCOPED_TRACE(u.file);
        const std::string text = readText(resource(u.file));
        if (*u.scope) {
            EXPECT_EQ(verifyUnit(text, u.file, u.scope), "");
            EXPECT_NE(verifyUnit(text + "RestartSec=soon\n", u.file, u.scope), "")
                << "the check sees a bad line";
        }
        for (const std::string& line : u.lines)
            EXPECT_NE(text.find("\n" + line + "\n"), std::string::npos) << line;
    }
}

// A stand-in agent that records each start, then behaves as `how` says
// ("sleep 1000", "exit 0", ...); systemctl stood in for, answering is-enabled
// and is-active with the status in answer-is-enabled and answer-is-active
// (1 when missing) and recording its calls.
struct SupervisedAgent {
    explicit SupervisedAgent(const std::string& how = "exec sleep 1000") {
        ::mkdir((dir / "run").c_str(), 0700);
        ::mkdir((dir / "bin").c_str(), 0755);
        writeText(dir / "agent", "#!/bin/sh\necho $$ >> '" + dir / "starts'\n" + how + "\n");
        writeText(dir / "bin/systemctl", "#!/bin/sh\necho \"$*\" >> '" +
                                             dir / "systemctl.calls'\nexit $(cat '" +
                                             dir / "answer-'\"$3\" 2>/dev/null || echo 1)\n");
        ::chmod((dir / "agent").c_str(), 0755);
        ::chmod((dir / "bin/systemctl").c_str(), 0755);
    }
    Launch launch() const {
        return {.argv = {resource("tarvo-agent-supervisor"), dir / "agent"},
                .env = environmentWith(
                    {"XDG_RUNTIME_DIR=" + dir / "run", "PATH=" + dir / "bin:/usr/bin:/bin"})};
    }
    std::vector<std::string> starts() const { return readLines(dir / "starts"); }
    bool startsReach(size_t n, std::chrono::milliseconds limit = 10s) const {
        return polling::waitUntil([&] { return starts().size() >= n; }, limit);
    }
    TempDir dir;
};

TEST(AgentSupervisor, AKilledAgentIsBackWithinTenSecondsAndOnlyOneSupervisorRuns) {
    SupervisedAgent agent;
    Process supervisor(agent.launch());
    ASSERT_TRUE(agent.startsReach(1));
    const pid_t first = std::stoi(agent.starts()[0]);
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    ASSERT_TRUE(agent.startsReach(2)) << supervisor.err();
    const pid_t second = std::stoi(agent.starts()[1]);
    EXPECT_NE(second, first);

    // A second supervisor finds the lock taken and starts nothing, unless
    // the user unit is enabled and the graphical session (which starts it) runs.
    const std::tuple<const char*, const char*, std::string> cases[] = {
        {"1", "0", "another agent supervisor of uid"},
        {"0", "1", "another agent supervisor of uid"},
        {"0", "0", "tarvo-agent.service starts the agent in this session"},
    };
    for (const auto& [enabled, active, message] : cases) {
        SCOPED_TRACE(std::string("enabled ") + enabled + ", active " + active);
        writeText(agent.dir / "answer-is-enabled", enabled);
        writeText(agent.dir / "answer-is-active", active);
        const ProcessResult again = run(agent.launch());
        EXPECT_EQ(again.exitStatus, 0);
        EXPECT_NE(again.err.find(message), std::string::npos) << again.err;
    }
    EXPECT_EQ(readLines(agent.dir / "systemctl.calls").back(),
              "--user --quiet is-active graphical-session.target");
    EXPECT_EQ(readLines(agent.dir / "systemctl.calls").front(),
              "--user --quiet is-enabled tarvo-agent.service");
    EXPECT_EQ(agent.starts().size(), 2u);

    // Stopped, it ends its agent and starts no other.
    supervisor.kill(SIGTERM);
    EXPECT_EQ(supervisor.wait(10s), std::optional<int>(0));
    EXPECT_TRUE(polling::waitUntil([&] { return ::kill(second, 0) != 0; }, 10s));
    EXPECT_EQ(agent.starts().size(), 2u);
}

// An agent that ends by itself at once with status 0 (a user who is not a
// child) is left ended after three tries; one that fails is started again,
// until the package that brought it is removed.
TEST(AgentSupervisor, AnAgentThatEndsAtOnceCleanlyIsLeftEndedAFailingOneIsNot) {
    SupervisedAgent clean("exit 0");
    Process quitter(clean.launch());
    EXPECT_EQ(quitter.wait(20s), std::optional<int>(0)) << quitter.err();
    EXPECT_EQ(clean.starts().size(), 3u);

    SupervisedAgent failing("exit 1");
    Process restarter(failing.launch());
    EXPECT_TRUE(failing.startsReach(4, 20s)) << restarter.err();
    EXPECT_FALSE(restarter.wait(0ms));
    ::unlink((failing.dir / "agent").c_str());
    EXPECT_EQ(restarter.wait(20s), std::optional<int>(0)) << restarter.err();
    EXPECT_NE(restarter.err().find("is gone; not starting it again"), std::string::npos);
}

// Without a runtime directory of its own the lock is in /tmp, where another
// user may have put something first: a link or someone else's file there is
// refused. Run as nobody over a private /tmp, with an agent that ends at once
// so that a supervisor that got going ends too.
TEST(AgentSupervisor, RefusesALockFileThatIsALinkOrSomeoneElses) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as nobody over a private /tmp";
    const std::string lock = "/tmp/tarvo-agent-" + std::to_string(kNobody) + ".lock";
    const std::tuple<std::string, int, std::string> cases[] = {
        {"ln -s /tmp/elsewhere " + lock, 1, "refusing lock file " + lock},
        {"touch " + lock, 1, "refusing lock file " + lock},
        {"touch " + lock + "; chown nobody " + lock, 0, "agent started"},
        {"true", 0, "agent started"},
    };
    for (const auto& [plant, code, message] : cases) {
        SCOPED_TRACE(plant);
        const ProcessResult r =
            // The supervisor is copied into the private /tmp: the checkout
            // itself may lie under the /tmp that the mount hides.
            run({.argv =
                     {"/usr/bin/unshare", "--mount", "--propagation", "private", "--", "/bin/sh",
                      "-ec",
                      "script=$(cat \"$1\"); mount -t tmpfs tmpfs /tmp; "
                      "printf '%s\\n' \"$script\" >/tmp/supervisor; chmod 755 /tmp/supervisor; " +
                          plant +
                          "; exec setpriv --reuid=65534 --regid=65534 --clear-groups -- "
                          "/tmp/supervisor /bin/true",
                      "-", resource("tarvo-agent-supervisor")},
                 .env = environmentWith({"XDG_RUNTIME_DIR=", "PATH=/usr/bin:/bin"})},
                30s);
        EXPECT_EQ(r.exitStatus, code) << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace tarvo::test
