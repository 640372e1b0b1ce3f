// `tarvo status` and `tarvo uninstall` as the real executable in a made root.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "commands/Uninstall.h"
#include "core/Paths.h"
#include "daemon/Keychain.h"
#include "daemon/ProxyConfig.h"
#include "platform/fake/FakeSystemLog.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;

// A root laid out by scripts/make-root, with TARVO_ROOT, HOME and
// TARVO_RESOURCES (a fresh test certificate authority) pointing into it.
struct CommandRoot {
    CommandRoot() {
        ::chmod(root.path().c_str(), 0755);  // reachable by the unprivileged runs
        EXPECT_TRUE(run({.argv = {sourceDir() + "/scripts/make-root", root.path()}}).succeeded());
        EXPECT_TRUE(
            run({.argv = {sourceDir() + "/scripts/make-test-ca", resources()}}).succeeded());
    }
    std::string resources() const { return root.path() + "/Resources"; }
    std::string data() const { return root.path() + "/Library/Application Support/Tarvo"; }
    std::pair<bool, bool> proxyStates(const std::string& service) const {
        std::ifstream in(root.path() + "/.standins/networksetup/state.json");
        const auto state = nlohmann::json::parse(in, nullptr, false);
        auto on = [&](const char* kind) {
            return state.is_object() && state.contains(service) &&
                   state[service].value(kind, nlohmann::json::object()).value("enabled", false);
        };
        return {on("web"), on("secureweb")};
    }
    // Everything an installed, running system leaves on the machine.
    void install() {
        writeText(Paths::configFile(), R"({"child_users":["emma"]})");
        writeText(Paths::rulesFile(), "{}");
        writeText(Paths::activeChildrenDir() + "/501.flag", "");
        writeText(Paths::daemonLog(), "old line\n");
        for (const std::string& p : {Paths::daemonPlist(), Paths::agentPlist(),
                                     Paths::agentApp() + "/Contents/Info.plist"})
            writeText(p, "<plist/>");
        writeText(Paths::managerApp() + "/Contents/MacOS/tarvo", "binary");
        writeText(Paths::userDataDir() + "/cached_settings.json", "{}");
        writeText(Paths::agentLog(), "user line\n");
        ASSERT_TRUE(Keychain::installRootCert(resources() + "/rootCert.pem"));
        ProxyConfig::applyAll("127.0.0.1", 8080);
        ASSERT_EQ(proxyStates("Wi-Fi"), std::make_pair(true, true));
    }
    std::vector<std::string> launchctlCalls() const {
        const std::string log = root.path() + "/.standins/launchctl/calls.log";
        return exists(log) ? readLines(log) : std::vector<std::string>{};
    }
    TempRoot root;
    EnvGuard resourcesGuard{"TARVO_RESOURCES", root.path() + "/Resources"};
};

ProcessResult tarvo(const std::vector<std::string>& args, std::optional<uid_t> user = {}) {
    Launch launch{.argv = {tarvoBinary()}, .user = user};
    launch.argv.insert(launch.argv.end(), args.begin(), args.end());
    return run(launch);
}

TEST(Status, ReportsByteForByteAndOnlyLooks) {
    const std::vector<std::string> defaults = {"Ethernet", "Wi-Fi", "Thunderbolt Bridge"};
    struct Case {
        const char* name;
        bool rules, config, cert;
        std::vector<std::string> services;  // empty: the stand-in's defaults
        std::string flagDir;  // "dir": a folder with `flags`; "file": a file in its place
        std::vector<std::string> flags, wantServices, wantFlags;
    } cases[] = {
        {"fresh machine", false, false, false, {}, "", {}, defaults, {}},
        {"everything in place",
         true,
         true,
         true,
         {"Wi-Fi", "*Bluetooth PAN", "USB 10/100/1000 LAN"},
         "dir",
         {"501.flag", "notes.txt", "1000.flag", ".hidden"},
         {"Wi-Fi", "USB 10/100/1000 LAN"},
         {".hidden", "1000.flag", "501.flag", "notes.txt"}},
        {"flag folder unlistable", false, true, false, {"*Wi-Fi"}, "file", {}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CommandRoot root;
        const std::string data = root.data();
        if (c.rules) writeText(data + "/proxy_rules.json", "{}");
        if (c.config) writeText(data + "/config.json", R"({"child_users":["emma"]})");
        if (c.cert) {
            ASSERT_TRUE(Keychain::installRootCert(root.resources() + "/rootCert.pem"));
        }
        std::string services;
        for (const auto& s : c.services) services += s + "\n";
        if (!c.services.empty())
            writeText(root.root.path() + "/.standins/networksetup/services", services);
        if (c.flagDir == "dir") fs::create_directories(data + "/active-children");
        if (c.flagDir == "file") writeText(data + "/active-children", "");
        for (const auto& f : c.flags) writeText(data + "/active-children/" + f, "");
        const timespec old[2] = {{946684800, 0}, {946684800, 0}};  // long stale
        if (!c.flags.empty())
            ::utimensat(AT_FDCWD, (data + "/active-children/501.flag").c_str(), old, 0);

        std::string want =
            "tarvo status\n  rules:   " + data + "/proxy_rules.json" +
            (c.rules ? "" : " (missing)") + "\n  cert:    " +
            (c.cert ? "trusted in System keychain" : "MISSING from System keychain") +
            "\n  config:  " +
            (c.config ? data + "/config.json"
                      : "(no config.json \xE2\x80\x94 every user treated as parent)") +
            "\n  network proxy services:\n";
        for (const auto& s : c.wantServices) want += "    - " + s + "\n";
        want += "  active children flag dir: " + data + "/active-children\n";
        for (const auto& f : c.wantFlags) want += "    - " + f + "\n";
        // Root, and an ordinary user for whom the stand-ins' state is read-only.
        for (const std::optional<uid_t> user : {std::optional<uid_t>(), std::optional(kNobody)}) {
            const ProcessResult r = tarvo({"status"}, user);
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(r.out, want);
            EXPECT_EQ(r.err, "");
        }
        for (const auto& f : c.flags) EXPECT_TRUE(exists(data + "/active-children/" + f)) << f;
    }
}

TEST(Uninstall, RemovesEverythingStopsTheJobsAndRefusesOthers) {
    const std::string refusal =
        "uninstall must run as root (sudo \"/Applications/Tarvo Manager.app/Contents/MacOS/tarvo\" "
        "uninstall)\n";
    for (const uid_t consoleOwner : {501u, 0u}) {
        SCOPED_TRACE(consoleOwner);
        CommandRoot root;
        root.install();
        ASSERT_EQ(::chown(Paths::console().c_str(), consoleOwner, 0), 0);
        const ProcessResult refused = tarvo({"uninstall"}, kNobody);
        EXPECT_EQ(refused.exitStatus, 1);
        EXPECT_EQ(refused.err, refusal);
        for (const std::string& path : Uninstall::removedPaths()) EXPECT_TRUE(fs::exists(path));
        EXPECT_EQ(readText(Paths::daemonLog()), "old line\n");
        EXPECT_TRUE(Keychain::isRootCertInstalled());

        std::vector<std::string> want;
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE(run);
            const ProcessResult r = tarvo({"uninstall"});
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            for (const std::string& path : Uninstall::removedPaths())
                EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
            EXPECT_EQ(root.proxyStates("Wi-Fi"), std::make_pair(false, false));
            EXPECT_EQ(root.proxyStates("Ethernet"), std::make_pair(false, false));
            EXPECT_FALSE(Keychain::isRootCertInstalled());
            EXPECT_TRUE(exists(Paths::userDataDir() + "/cached_settings.json"));
            EXPECT_TRUE(exists(Paths::agentLog()));
            want.push_back("bootout system " + Paths::daemonPlist());
            if (consoleOwner) want.push_back("bootout gui/501 " + Paths::agentPlist());
            EXPECT_EQ(root.launchctlCalls(), want);
        }
    }
}

// The last line goes only to the system log: the log file went with its folder.
TEST(Uninstall, LogsBothLinesTheLastOnlyToTheSystemLog) {
    CommandRoot root;
    auto systemLog = std::make_shared<platform::FakeSystemLog>();
    platform::setDefaultSystemLog(systemLog);
    root.install();
    std::ostringstream err;
    EXPECT_EQ(Uninstall::run(err, 501), 1) << "refused whoever calls it";
    EXPECT_TRUE(fs::exists(Paths::dataDir()));
    EXPECT_EQ(Uninstall::run(err, 0), 0);
    std::vector<std::string> lines;
    for (const auto& rec : systemLog->records())
        if (rec.category == "uninstall") lines.push_back(rec.message);
    EXPECT_EQ(lines, (std::vector<std::string>{"running uninstall", "uninstall complete"}));
    EXPECT_FALSE(fs::exists(Paths::systemLogDir()));
    platform::setDefaultSystemLog(nullptr);
}

}  // namespace
}  // namespace tarvo::test
