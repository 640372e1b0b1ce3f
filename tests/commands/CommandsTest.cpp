// `tarvo status` and `tarvo uninstall` as the real executable in a made root.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "commands/Uninstall.h"
#include "core/Paths.h"
#include "platform/mac/Keychain.h"
#include "platform/mac/ProxyConfig.h"
#include "support/Accounts.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;

// `tarvo status` on a fresh and on an installed machine, where it only looks;
// then `tarvo uninstall`, refused to an ordinary user and run twice by root.
TEST(Commands, StatusReportsByteForByteAndUninstallRemovesEverything) {
    TempRoot root;
    const std::string resources = root.path() + "/Resources";
    LayoutGuard resourcesDir("TARVO_RESOURCES", resources);
    ::chmod(root.path().c_str(), 0755);  // reachable by the unprivileged runs
    EXPECT_TRUE(run({.argv = {sourceDir() + "/scripts/make-root", root.path()}}).succeeded());
    EXPECT_TRUE(run({.argv = {sourceDir() + "/scripts/make-test-ca", resources}}).succeeded());
    const std::string data = Paths::dataDir(), flags = Paths::activeChildrenDir();
    // For root, and for an ordinary user to whom the stand-ins' state is read-only.
    auto expectStatus = [&](const std::string& want, const std::string& listed) {
        for (const std::optional<uid_t> user : {std::optional<uid_t>(), std::optional(kNobody)}) {
            const ProcessResult r = run({.argv = {tarvoBinary(), "status"}, .user = user});
            EXPECT_EQ(r.exitStatus, 0) << r.err;
            EXPECT_EQ(r.out, "tarvo status\n  rules:   " + data + "/proxy_rules.json" + want +
                                 "  active children flag dir: " + flags + "\n" + listed);
            EXPECT_EQ(r.err, "");
        }
    };
    expectStatus(
        " (missing)\n  cert:    MISSING from System keychain\n  config:  (no config.json "
        "\xE2\x80\x94 every user treated as parent)\n  network proxy services:\n"
        "    - Ethernet\n    - Wi-Fi\n    - Thunderbolt Bridge\n",
        "");

    writeText(Paths::rulesFile(), "{}");
    writeText(Paths::configFile(), R"({"child_users":["emma"]})");
    ASSERT_TRUE(Keychain::installRootCert(resources + "/rootCert.pem"));
    writeText(root.path() + "/.standins/networksetup/services",
              "Wi-Fi\n*Bluetooth PAN\nUSB 10/100/1000 LAN\n");
    // A stale flag is listed, not removed: status only looks.
    for (const auto& f : {"501.flag", "notes.txt", ".hidden"}) writeText(flags + "/" + f, "");
    fs::last_write_time(flags + "/501.flag", fs::last_write_time(flags) - std::chrono::hours(1));
    expectStatus(
        "\n  cert:    trusted in System keychain\n  config:  " + data +
            "/config.json\n  network proxy services:\n    - Wi-Fi\n    - USB 10/100/1000 LAN\n",
        "    - .hidden\n    - 501.flag\n    - notes.txt\n");
    EXPECT_TRUE(exists(flags + "/501.flag"));

    // The rest of what an installed, running system leaves on the machine.
    for (const std::string& p :
         {Paths::daemonLog(), Paths::daemonPlist(), Paths::agentPlist(),
          Paths::agentApp() + "/Contents/Info.plist", Paths::managerApp() + "/Contents/MacOS/tarvo",
          Paths::userDataDir() + "/cached_settings.json"})
        writeText(p, "x");
    ProxyConfig::applyAll("127.0.0.1", 8080);

    const ProcessResult refused = run({.argv = {tarvoBinary(), "uninstall"}, .user = kNobody});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_EQ(refused.err,
              "uninstall must run as root (sudo \"/Applications/Tarvo "
              "Manager.app/Contents/MacOS/tarvo\" uninstall)\n");
    for (const std::string& path : Uninstall::removedPaths()) EXPECT_TRUE(fs::exists(path));
    EXPECT_TRUE(Keychain::isRootCertInstalled());

    // Twice, the second time with nothing left; the agent's job in the
    // console user's session is stopped only when a user, not root, owns it.
    std::string want;
    for (const uid_t consoleOwner : {501u, 0u}) {
        SCOPED_TRACE(consoleOwner);
        ASSERT_EQ(::chown(Paths::console().c_str(), consoleOwner, 0), 0);
        const ProcessResult r = run({.argv = {tarvoBinary(), "uninstall"}});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        for (const std::string& path : Uninstall::removedPaths())
            EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
        EXPECT_THAT(ProxyConfig::run(Paths::networksetupTool(), {"-getwebproxy", "Wi-Fi"}),
                    ::testing::HasSubstr("Enabled: No"));
        EXPECT_FALSE(Keychain::isRootCertInstalled());
        EXPECT_TRUE(exists(Paths::userDataDir() + "/cached_settings.json"));
        want += "bootout system " + Paths::daemonPlist() + "\n";
        if (consoleOwner) want += "bootout gui/501 " + Paths::agentPlist() + "\n";
        EXPECT_EQ(readText(root.path() + "/.standins/launchctl/calls.log"), want);
    }
}

// On this system status reports its mechanisms as they really stand (nothing
// in force here), and the Mac's tools only when asked for with a root; then
// uninstall takes away the data, the logs, the downloaded updates and the
// run-time state, and calls none of the Mac's tools.
TEST(Commands, StatusAndUninstallOnThisSystemUseItsOwnMechanismsAndNoMacTool) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
    NetNamespace ns;  // the firewall table read and cleared is this namespace's
    ASSERT_TRUE(ns.entered()) << ns.error();
    TempRoot root;
    LayoutGuard platform("TARVO_PLATFORM", std::nullopt);
    const std::string thisSystem = "  system web proxy:\n    - desktop proxy settings: off\n";
    // The environment, the user (an ordinary one cannot read the firewall: it
    // is said so, and nothing goes to standard error), and what status shows.
    const std::tuple<std::vector<std::string>, std::optional<uid_t>, std::string> cases[] = {
        {{"TARVO_PLATFORM="}, {}, thisSystem + "    - firewall: off\n"},
        {{"TARVO_PLATFORM=linux"}, {}, thisSystem + "    - firewall: off\n"},
        {{"TARVO_PLATFORM="},
         kNobody,
         thisSystem + "    - firewall: unknown (reading it needs root)\n"},
        {{"TARVO_PLATFORM=mac", "TARVO_ROOT="}, {}, "  system web proxy:\n"},
        {{"TARVO_PLATFORM=mac"}, {}, "  network proxy services:\n"},
    };
    for (const auto& [env, user, want] : cases) {
        SCOPED_TRACE(env.back());
        const ProcessResult r =
            run({.argv = {tarvoBinary(), "status"}, .env = environmentWith(env), .user = user});
        EXPECT_EQ(std::tie(r.exitStatus, r.err), std::tuple(0, ""));
        EXPECT_NE(r.out.find(want), std::string::npos) << r.out;
        EXPECT_EQ(
            r.out.find("  cert:    MISSING from system certificate store\n") != std::string::npos,
            want.starts_with("  system web proxy"))
            << r.out;
    }
    const std::string called = root.path() + "/launchctl-called";
    writeText(Paths::launchctlTool(), "#!/bin/sh\ntouch " + called + "\n");
    fs::permissions(Paths::launchctlTool(), fs::perms::owner_all);
    writeText(Paths::console(), "");
    ASSERT_EQ(::chown(Paths::console().c_str(), 501, 0), 0);
    for (const std::string& p :
         {Paths::configFile(), Paths::daemonLog(), Paths::updateScript(), Paths::daemonLockFile(),
          Paths::activeChildrenDir() + "/501.flag", Paths::perUserScreenTimeStateFile()})
        writeText(p, "x");
    const std::vector<std::string> removed = Uninstall::removedPaths();
    EXPECT_EQ(removed, (std::vector<std::string>{
                           root.path() + "/var/lib/tarvo", root.path() + "/var/log/tarvo",
                           root.path() + "/var/cache/tarvo", root.path() + "/run/tarvo"}));
    // A package being removed keeps every file (purge takes them later); a
    // plain uninstall takes them all.
    for (const bool keep : {true, false}) {
        std::vector<std::string> argv = {tarvoBinary(), "uninstall"};
        if (keep) argv.push_back(Uninstall::kKeepFilesOption);
        const ProcessResult r = run({.argv = argv, .env = environmentWith({"TARVO_PLATFORM="})});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        for (const std::string& path : removed) EXPECT_EQ(exists(path), keep) << path;
        EXPECT_EQ(exists(Paths::configFile()), keep);
    }
    EXPECT_FALSE(exists(called));
    EXPECT_TRUE(exists(Paths::perUserScreenTimeStateFile()));
}

// The certificate authority an installed executable uses is the one its
// package made in /etc/tarvo; a build tree, and TARVO_RESOURCES, keep it with
// the resources. install-cert names the certificate it looked for.
TEST(Commands, AnInstalledExecutableTakesItsCertificateAuthorityFromEtc) {
    TempRoot root;
    LayoutGuard platform("TARVO_PLATFORM", std::nullopt);
    const std::string installed = root.path() + "/usr/bin/tarvo";
    fs::create_directories(fs::path(installed).parent_path());
    fs::copy_file(tarvoBinary(), installed);
    fs::create_directories(root.path() + "/usr/lib/tarvo");
    fs::copy_file(fs::path(tarvoBinary()).replace_filename("libtarvo_roles.so"),
                  root.path() + "/usr/lib/tarvo/libtarvo_roles.so");
    const std::string own = root.path() + "/own";
    // The executable, TARVO_RESOURCES, and the certificate looked for.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {installed, "", root.path() + "/etc/tarvo/rootCert.pem"},
        {installed, own, own + "/rootCert.pem"},
        {tarvoBinary(), "",
         (fs::path(tarvoBinary()).parent_path().parent_path() / "Resources/rootCert.pem").string()},
    };
    for (const auto& [binary, resources, certificate] : cases) {
        const ProcessResult r =
            run({.argv = {binary, "install-cert"},
                 .env = environmentWith({"TARVO_PLATFORM=", "TARVO_RESOURCES=" + resources})});
        EXPECT_EQ(r.exitStatus, 1) << binary;
        EXPECT_EQ(r.err, "certificate not installed: " + certificate + "\n") << binary;
    }
}

// config.json counts only from root or an administrator (a member of sudo,
// wheel or admin, or one whose primary group is one of them), as the group
// database of the accounts below says; status shows a file that does not.
TEST(Commands, StatusShowsAConfigNoAdministratorOwnsAsIgnored) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for the accounts' mount namespace";
    TempRoot root;
    TempDir accounts;
    writeAccountFiles(accounts.path(),
                      {{"kid", 2001, 2001, "/nonexistent"},
                       {"viasudo", 2002, 2002, "/nonexistent"},
                       {"viawheel", 2003, 2003, "/nonexistent"},
                       {"viaadmin", 2004, 2004, "/nonexistent"},
                       {"byprimary", 2005, 2900, "/nonexistent"}},
                      {{"sudo", 2900, {"viasudo"}},
                       {"wheel", 2901, {"viawheel"}},
                       {"admin", 2902, {"viaadmin"}},
                       {"kids", 2903, {"kid"}}});
    writeText(Paths::configFile(), R"({"child_users":["kid"]})");
    const std::string path = Paths::configFile();
    const std::pair<uid_t, bool> owners[] = {{0, true},     {2002, true},    {2003, true},
                                             {2004, true},  {2005, true},    {2001, false},
                                             {2006, false}, {kNobody, false}};
    for (const auto& [owner, trusted] : owners) {
        SCOPED_TRACE(owner);
        ASSERT_EQ(::chown(path.c_str(), owner, 0), 0);
        const ProcessResult r =
            run({.argv = {tarvoBinary(), "status"}, .accounts = accounts.path()});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        const std::string line = "  config:  " + path +
                                 (trusted ? ""
                                          : " (ignored: owned by uid " + std::to_string(owner) +
                                                ", not root or an administrator)") +
                                 "\n";
        EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
    }
}

}  // namespace
}  // namespace tarvo::test
