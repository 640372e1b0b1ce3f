#include <unistd.h>

#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "CommandsFixture.h"
#include "commands/Uninstall.h"
#include "core/Paths.h"
#include "daemon/Keychain.h"
#include "daemon/ProxyConfig.h"
#include "platform/fake/FakeSystemLog.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;

const std::string kRefusal =
    "uninstall must run as root (sudo \"/Applications/Tarvo Manager.app/Contents/MacOS/tarvo\" "
    "uninstall)\n";

// Everything an installed, running system leaves on the machine.
void install(test::CommandRoot& root) {
    test::writeText(Paths::configFile(), R"({"child_users":["emma"]})");
    test::writeText(Paths::rulesFile(), "{}");
    test::writeText(Paths::activeChildrenDir() + "/501.flag", "");
    test::writeText(Paths::daemonLog(), "old line\n");
    test::writeText(Paths::daemonPlist(), "<plist/>");
    test::writeText(Paths::agentPlist(), "<plist/>");
    test::writeText(Paths::managerApp() + "/Contents/MacOS/tarvo", "binary");
    test::writeText(Paths::agentApp() + "/Contents/Info.plist", "<plist/>");
    test::writeText(Paths::userDataDir() + "/cached_settings.json", "{}");
    test::writeText(Paths::agentLog(), "user line\n");
    root.trustCertificate();
    ProxyConfig::applyAll("127.0.0.1", 8080);
    ASSERT_EQ(root.proxyStates("Wi-Fi"), std::make_pair(true, true));
}

TEST(Uninstall, RemovesEverythingAndStopsTheJobs) {
    struct Case {
        const char* name;
        uid_t consoleOwner;
        std::vector<std::string> wantBootouts;  // after ROOT is put in front of the paths
    } cases[] = {
        {"parent at the console",
         501,
         {"bootout system ROOT/Library/LaunchDaemons/app.tarvo.daemon.plist",
          "bootout gui/501 ROOT/Library/LaunchAgents/app.tarvo.agent.plist"}},
        {"nobody logged in",
         0,
         {"bootout system ROOT/Library/LaunchDaemons/app.tarvo.daemon.plist"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::CommandRoot root;
        install(root);
        ASSERT_EQ(::chown(Paths::console().c_str(), c.consoleOwner, 0), 0);

        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE("run " + std::to_string(run));
            const ProcessResult r = test::runTarvo({"uninstall"});
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            for (const std::string& path : Uninstall::removedPaths())
                EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
            EXPECT_EQ(root.proxyStates("Wi-Fi"), std::make_pair(false, false));
            EXPECT_EQ(root.proxyStates("Ethernet"), std::make_pair(false, false));
            EXPECT_FALSE(Keychain::isRootCertInstalled());
            // Per-user files stay.
            EXPECT_TRUE(test::exists(Paths::userDataDir() + "/cached_settings.json"));
            EXPECT_TRUE(test::exists(Paths::agentLog()));

            std::vector<std::string> want;
            for (int i = 0; i < run; ++i)
                for (std::string line : c.wantBootouts)
                    want.push_back(line.replace(line.find("ROOT"), 4, root.path()));
            EXPECT_EQ(root.launchctlCalls(), want);
        }
    }
}

TEST(Uninstall, LogsBothLinesTheLastOnlyToTheSystemLog) {
    test::CommandRoot root;
    auto systemLog = std::make_shared<platform::FakeSystemLog>();
    platform::setDefaultSystemLog(systemLog);
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        install(root);
        std::ostringstream err;
        EXPECT_EQ(Uninstall::run(err, 0), 0);
        EXPECT_EQ(err.str(), "");
        std::vector<std::string> lines;
        for (const auto& rec : systemLog->records())
            if (rec.category == "uninstall") lines.push_back(rec.message);
        std::vector<std::string> want;
        for (int i = 0; i < run; ++i) {
            want.push_back("running uninstall");
            want.push_back("uninstall complete");
        }
        EXPECT_EQ(lines, want);
        // The file got the first line, then went with its folder; nothing made it again.
        EXPECT_FALSE(fs::exists(Paths::systemLogDir()));
    }
    platform::setDefaultSystemLog(nullptr);
}

TEST(Uninstall, RefusesAnyoneButRootAndTouchesNothing) {
    test::CommandRoot root;
    install(root);
    const ProcessResult r = test::runTarvoAsNobody({"uninstall"});
    ASSERT_TRUE(r.launched) << r.launchError;
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, kRefusal);
    EXPECT_EQ(r.out, "");
    for (const std::string& path : Uninstall::removedPaths()) EXPECT_TRUE(fs::exists(path)) << path;
    EXPECT_EQ(test::readText(Paths::daemonLog()), "old line\n");
    EXPECT_EQ(root.proxyStates("Wi-Fi"), std::make_pair(true, true));
    EXPECT_TRUE(Keychain::isRootCertInstalled());
    EXPECT_TRUE(root.launchctlCalls().empty());

    // The operation itself refuses too, whoever calls it.
    std::ostringstream err;
    EXPECT_EQ(Uninstall::run(err, 501), 1);
    EXPECT_EQ(err.str(), kRefusal);
    EXPECT_TRUE(fs::exists(Paths::dataDir()));
}

}  // namespace
}  // namespace tarvo
