// `tarvo status` and `tarvo uninstall` as the real executable in a made root.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "commands/Uninstall.h"
#include "core/Paths.h"
#include "daemon/Keychain.h"
#include "daemon/ProxyConfig.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;

// A root laid out by scripts/make-root, with TARVO_RESOURCES holding a fresh
// test certificate authority.
struct CommandRoot {
    CommandRoot() {
        ::chmod(root.path().c_str(), 0755);  // reachable by the unprivileged runs
        EXPECT_TRUE(run({.argv = {sourceDir() + "/scripts/make-root", root.path()}}).succeeded());
        EXPECT_TRUE(run({.argv = {sourceDir() + "/scripts/make-test-ca", cert}}).succeeded());
        cert += "/rootCert.pem";
    }
    ProcessResult tarvo(const std::string& command, std::optional<uid_t> user = {}) const {
        return run({.argv = {tarvoBinary(), command}, .user = user});
    }
    TempRoot root;
    std::string cert = root.path() + "/Resources";
    EnvGuard resources{"TARVO_RESOURCES", cert};
};

TEST(Status, ReportsByteForByteAndOnlyLooks) {
    const std::vector<std::string> defaults = {"Ethernet", "Wi-Fi", "Thunderbolt Bridge"};
    const struct {
        const char* name;
        bool installed;
        std::string services;  // empty: the stand-in's defaults
        std::vector<std::string> wantServices, wantFlags;
    } cases[] = {
        {"fresh machine", false, "", defaults, {}},
        {"everything in place",
         true,
         "Wi-Fi\n*Bluetooth PAN\nUSB 10/100/1000 LAN\n",
         {"Wi-Fi", "USB 10/100/1000 LAN"},
         {".hidden", "501.flag", "notes.txt"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CommandRoot root;
        const std::string data = Paths::dataDir();
        if (c.installed) {
            writeText(Paths::rulesFile(), "{}");
            writeText(Paths::configFile(), R"({"child_users":["emma"]})");
            ASSERT_TRUE(Keychain::installRootCert(root.cert));
            // A stale flag is listed, not removed: status only looks.
            fs::create_directories(Paths::activeChildrenDir());
            for (const auto& f : {"501.flag", "notes.txt", ".hidden"})
                writeText(Paths::activeChildrenDir() + "/" + f, "");
            const timespec old[2] = {{946684800, 0}, {946684800, 0}};
            ::utimensat(AT_FDCWD, (Paths::activeChildrenDir() + "/501.flag").c_str(), old, 0);
        }
        if (!c.services.empty())
            writeText(root.root.path() + "/.standins/networksetup/services", c.services);

        std::string want =
            "tarvo status\n  rules:   " + data + "/proxy_rules.json" +
            (c.installed ? "" : " (missing)") + "\n  cert:    " +
            (c.installed ? "trusted in System keychain" : "MISSING from System keychain") +
            "\n  config:  " +
            (c.installed ? data + "/config.json"
                         : "(no config.json \xE2\x80\x94 every user treated as parent)") +
            "\n  network proxy services:\n";
        for (const auto& s : c.wantServices) want += "    - " + s + "\n";
        want += "  active children flag dir: " + data + "/active-children\n";
        for (const auto& f : c.wantFlags) want += "    - " + f + "\n";
        // Root, and an ordinary user for whom the stand-ins' state is read-only.
        for (const std::optional<uid_t> user : {std::optional<uid_t>(), std::optional(kNobody)}) {
            const ProcessResult r = root.tarvo("status", user);
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(r.out, want);
            EXPECT_EQ(r.err, "");
        }
        for (const auto& f : c.wantFlags) EXPECT_TRUE(exists(data + "/active-children/" + f));
    }
}

TEST(Uninstall, RemovesEverythingStopsTheJobsAndRefusesOthers) {
    for (const uid_t consoleOwner : {501u, 0u}) {
        SCOPED_TRACE(consoleOwner);
        CommandRoot root;
        // Everything an installed, running system leaves on the machine.
        writeText(Paths::activeChildrenDir() + "/501.flag", "");
        writeText(Paths::daemonLog(), "old line\n");
        for (const std::string& p :
             {Paths::daemonPlist(), Paths::agentPlist(), Paths::agentApp() + "/Contents/Info.plist",
              Paths::managerApp() + "/Contents/MacOS/tarvo",
              Paths::userDataDir() + "/cached_settings.json"})
            writeText(p, "x");
        ASSERT_TRUE(Keychain::installRootCert(root.cert));
        ProxyConfig::applyAll("127.0.0.1", 8080);
        ASSERT_EQ(::chown(Paths::console().c_str(), consoleOwner, 0), 0);

        const ProcessResult refused = root.tarvo("uninstall", kNobody);
        EXPECT_EQ(refused.exitStatus, 1);
        EXPECT_EQ(refused.err,
                  "uninstall must run as root (sudo \"/Applications/Tarvo "
                  "Manager.app/Contents/MacOS/tarvo\" uninstall)\n");
        for (const std::string& path : Uninstall::removedPaths()) EXPECT_TRUE(fs::exists(path));
        EXPECT_EQ(readText(Paths::daemonLog()), "old line\n");
        EXPECT_TRUE(Keychain::isRootCertInstalled());

        std::string want;
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE(run);
            const ProcessResult r = root.tarvo("uninstall");
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            for (const std::string& path : Uninstall::removedPaths())
                EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
            EXPECT_NE(ProxyConfig::run(Paths::networksetupTool(), {"-getwebproxy", "Wi-Fi"})
                          .find("Enabled: No"),
                      std::string::npos);
            EXPECT_FALSE(Keychain::isRootCertInstalled());
            EXPECT_TRUE(exists(Paths::userDataDir() + "/cached_settings.json"));
            want += "bootout system " + Paths::daemonPlist() + "\n";
            if (consoleOwner) want += "bootout gui/501 " + Paths::agentPlist() + "\n";
            EXPECT_EQ(readText(root.root.path() + "/.standins/launchctl/calls.log"), want);
        }
    }
}

}  // namespace
}  // namespace tarvo::test
