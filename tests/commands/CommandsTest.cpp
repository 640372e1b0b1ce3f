// `tarvo status` and `tarvo uninstall` as the real executable in a made root,
// and trusting the filtering proxy's certificate in this system's store with
// the real update-ca-certificates on a made /etc/ssl/certs, checked the way
// OpenSSL programs (curl among them) look it up.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "commands/Uninstall.h"
#include "core/Paths.h"
#include "platform/mac/Keychain.h"
#include "platform/mac/ProxyConfig.h"
#include "platform/system/LinuxCertificateTrust.h"
#include "support/Accounts.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using platform::LinuxCertificateTrust;

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
// run-time state, and calls none of the Mac's tools; an installed executable
// takes its certificate authority from /etc.
TEST(Commands, StatusUninstallAndInstallCertOnThisSystemUseItsOwnMechanismsAndNoMacTool) {
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

    // The certificate authority an installed executable uses is the one its
    // package made in /etc/tarvo; a build tree, and TARVO_RESOURCES, keep it
    // with the resources. install-cert names the certificate it looked for.
    const std::string installed = root.path() + "/usr/bin/tarvo";
    fs::create_directories(fs::path(installed).parent_path());
    fs::copy_file(tarvoBinary(), installed);
    fs::create_directories(root.path() + "/usr/lib/tarvo");
    fs::copy_file(fs::path(tarvoBinary()).replace_filename("libtarvo_roles.so"),
                  root.path() + "/usr/lib/tarvo/libtarvo_roles.so");
    const std::string own = root.path() + "/own";
    // The executable, TARVO_RESOURCES, and the certificate looked for.
    const std::tuple<std::string, std::string, std::string> executables[] = {
        {installed, "", root.path() + "/etc/tarvo/rootCert.pem"},
        {installed, own, own + "/rootCert.pem"},
        {tarvoBinary(), "",
         (fs::path(tarvoBinary()).parent_path().parent_path() / "Resources/rootCert.pem").string()},
    };
    for (const auto& [binary, resources, certificate] : executables) {
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

// A made root with one certificate authority of the system's own, and the
// bundled certificate in TARVO_RESOURCES.
struct StoreRoot {
    StoreRoot() {
        for (const std::string& dir : {resources(), dir_ / "other"})
            EXPECT_TRUE(run({.argv = {sourceDir() + "/scripts/make-test-ca", dir}}).succeeded());
        fs::create_directories(Paths::resolve("/usr/share/ca-certificates/site"));
        fs::create_directories(Paths::resolve("/etc/ssl/certs"));
        fs::copy_file(dir_ / "other/rootCert.pem",
                      Paths::resolve("/usr/share/ca-certificates/site/Other.crt"));
        writeText(Paths::resolve("/etc/ca-certificates.conf"), "site/Other.crt\n");
    }
    std::string resources() const { return dir_ / "Resources"; }
    // Whether OpenSSL finds `cert`'s issuer in the store's hashed directory.
    bool verified(const std::string& cert) const {
        return run({.argv = {"/usr/bin/openssl", "verify", "-no-CAfile", "-CApath",
                             Paths::resolve("/etc/ssl/certs"), cert}})
            .succeeded();
    }

    TempDir dir_;
    LayoutGuard root_{"TARVO_ROOT", dir_.path()};
    LayoutGuard resourcesDir_{"TARVO_RESOURCES", dir_ / "Resources"};
};

// Refused before the store is touched; then trusted in the system store until
// removed, and nothing else touched; a policy file that is not an object, and
// a missing tool, are refused.
TEST(LinuxCertificateTrust, RefusalsTouchNothingThenTrustedUntilRemoved) {
    StoreRoot root;
    const std::string cert = root.resources() + "/rootCert.pem";
    const std::string policies = LinuxCertificateTrust::firefoxPolicies();
    LinuxCertificateTrust trust;
    writeText(root.dir_ / "notes.pem", "hello\n");
    writeText(root.dir_ / "broken.pem", "-----BEGIN CERTIFICATE-----\nMIIB\n");
    const std::string key = root.resources() + "/mitmproxy-ca.pem";
    const std::pair<std::string, std::string> cases[] = {
        {root.dir_ / "missing.pem", ""},
        {key, "refusing to install " + key +
                  ": it contains a PRIVATE KEY. Install the certificate-only PEM.\n"},
        {root.dir_ / "notes.pem",
         "refusing to install " + root.dir_ / "notes.pem" + ": it holds no certificate\n"},
        {root.dir_ / "broken.pem",
         "refusing to install " + root.dir_ / "broken.pem" + ": it holds no certificate\n"},
    };
    for (const auto& [path, message] : cases) {
        std::ostringstream err;
        EXPECT_FALSE(trust.trust(path, err)) << path;
        EXPECT_EQ(err.str(), message);
        EXPECT_FALSE(exists(LinuxCertificateTrust::localCertificate()));
    }
    EXPECT_FALSE(root.verified(cert));
    EXPECT_FALSE(trust.isTrusted());

    // Firefox's policies of the site, merged with, never replaced.
    const std::string site =
        R"({"policies": {"DisableTelemetry": true, "Certificates": {"Install": ["/x.crt"]}}})";
    writeText(policies, site);
    std::ostringstream err;
    ASSERT_TRUE(trust.trust(cert, err)) << err.str();
    EXPECT_TRUE(root.verified(cert));
    EXPECT_TRUE(trust.isTrusted());
    EXPECT_EQ(nlohmann::json::parse(readText(policies)),
              nlohmann::json::parse(R"({"policies": {"DisableTelemetry": true, "Certificates":
                  {"Install": ["/x.crt", ")" +
                                    LinuxCertificateTrust::localCertificate() + R"("]}}})"));
    // Firefox no longer told: not trusted, until the next trust() puts it back.
    const std::string told = readText(policies);
    writeText(policies, site);
    EXPECT_FALSE(trust.isTrusted());
    writeText(policies, told);
    EXPECT_TRUE(root.verified(Paths::resolve("/usr/share/ca-certificates/site/Other.crt")));
    // A bundled file without a certificate is never "trusted".
    const std::string kept = readText(cert);
    writeText(cert, "no certificate here\n");
    EXPECT_FALSE(trust.isTrusted());
    writeText(cert, kept);

    EXPECT_TRUE(trust.remove());
    EXPECT_FALSE(root.verified(cert));
    EXPECT_FALSE(trust.isTrusted());
    // No link of the store is left pointing at the removed certificate.
    for (const auto& entry : fs::directory_iterator(Paths::resolve("/etc/ssl/certs")))
        EXPECT_TRUE(!entry.is_symlink() || fs::exists(entry.path())) << entry.path();
    EXPECT_TRUE(root.verified(Paths::resolve("/usr/share/ca-certificates/site/Other.crt")))
        << "the system's own authorities stay";
    EXPECT_FALSE(trust.remove()) << "nothing of ours left to remove";
    EXPECT_EQ(nlohmann::json::parse(readText(policies)), nlohmann::json::parse(site));

    // A policy file made for the certificate alone goes with it.
    std::filesystem::remove(policies);
    ASSERT_TRUE(trust.trust(cert, err)) << err.str();
    EXPECT_TRUE(trust.isTrusted());
    EXPECT_TRUE(trust.remove());
    EXPECT_FALSE(exists(policies));

    // A policy file that is not an object of policies is never overwritten.
    writeText(policies, "not json");
    std::ostringstream refused;
    EXPECT_FALSE(trust.trust(cert, refused));
    EXPECT_EQ(refused.str(),
              "leaving " + policies + " alone: it is not a JSON object of policies\n");
    EXPECT_EQ(readText(policies), "not json");
    std::ostringstream noTool;
    EXPECT_FALSE(LinuxCertificateTrust(root.dir_ / "no-tool").trust(cert, noTool));
    EXPECT_EQ(noTool.str().rfind("cannot run " + root.dir_ / "no-tool" + ": ", 0), 0u)
        << noTool.str();
}

// What the scenario above does not reach: our certificate listed twice, a
// file without policies, and policies or a list of certificates of another type.
TEST(LinuxCertificateTrust, FirefoxPoliciesAreMergedOnlyWhenTheyAreAnObject) {
    const std::string mine = "/c.crt";
    const std::tuple<std::optional<std::string>, bool, std::optional<std::string>> cases[] = {
        {R"({"policies":{"Certificates":{"Install":["/c.crt"]}}})", true,
         R"({"policies":{"Certificates":{"Install":["/c.crt"]}}})"},
        {R"({"x":1})", false, R"({"x":1})"},
        {R"({"policies":[]})", true, std::nullopt},
        {R"({"policies":{"Certificates":{"Install":"/c.crt"}}})", true, std::nullopt},
    };
    for (const auto& [existing, add, want] : cases) {
        SCOPED_TRACE(existing.value_or("(none)"));
        const auto merged = LinuxCertificateTrust::mergedPolicies(existing, mine, add);
        ASSERT_EQ(merged.has_value(), want.has_value());
        if (want) {
            EXPECT_EQ(nlohmann::json::parse(*merged), nlohmann::json::parse(*want));
        }
    }
}

// Each child's own NSS database (Chromium's store) gets the certificate,
// written as that child; a child whose ~/.pki leads into root's files gets
// nothing written there, and the trust is reported missing.
TEST(LinuxCertificateTrust, EachChildsNssDatabaseIsWrittenAsThatChild) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
    StoreRoot root;
    ::chmod(root.dir_.path().c_str(), 0755);  // reachable by the children
    const std::string kid = root.dir_ / "kid", sneaky = root.dir_ / "sneaky",
                      vault = root.dir_ / "vault", cert = root.resources() + "/rootCert.pem";
    for (const auto& [home, uid] : {std::pair{kid, 4242u}, std::pair{sneaky, 4243u}}) {
        fs::create_directories(home);
        ASSERT_EQ(::chown(home.c_str(), uid, uid), 0);
    }
    fs::create_directories(vault);
    ::chmod(vault.c_str(), 0700);
    fs::create_symlink(vault, sneaky + "/.pki");
    ASSERT_EQ(::lchown((sneaky + "/.pki").c_str(), 4243, 4243), 0);
    // Root's home is a made one too: nothing is ever written there.
    const std::string rootHome = root.dir_ / "roothome";
    fs::create_directories(rootHome);
    writeText(root.dir_ / "passwd", "root:x:0:0::" + rootHome +
                                        ":/bin/bash\nkid:x:4242:4242::" + kid +
                                        ":/bin/sh\nsneaky:x:4243:4243::" + sneaky + ":/bin/sh\n");
    auto listedFor = [](const std::string& home, uid_t uid) {
        const ProcessResult r =
            run({.argv = {"/usr/bin/certutil", "-L", "-d", "sql:" + home + "/.pki/nssdb"},
                 .user = uid});
        return r.out.find("Tarvo filter") != std::string::npos &&
               r.out.find("C,,") != std::string::npos;
    };
    const std::string report = inPrivateMounts({{root.dir_ / "passwd", "/etc/passwd"}}, [&] {
        LinuxCertificateTrust trust;
        // trust() with `children` listed: whether it did, the start of its
        // complaint, and whether the certificate then counts as trusted.
        auto trustFor = [&](const std::string& children) {
            writeText(Paths::configFile(), R"({"child_users": )" + children + "}");
            std::ostringstream err;
            const bool done = trust.trust(cert, err);
            return std::to_string(done) + " '" + err.str().substr(0, err.str().find(':')) +
                   "' trusted " + std::to_string(trust.isTrusted()) + "\n";
        };
        std::string out = "first " + trustFor(R"(["kid", "ghost", "root"])");
        struct stat db {};
        ::stat((kid + "/.pki/nssdb/cert9.db").c_str(), &db);
        out += "root's home " + std::to_string(fs::is_empty(rootHome)) + " kid " +
               std::to_string(listedFor(kid, 4242)) + " owner " + std::to_string(db.st_uid) + "\n";
        out += "sneaky " + trustFor(R"(["kid", "sneaky"])");
        out += "vault " + std::to_string(fs::is_empty(vault)) + "\n";
        writeText(Paths::configFile(), R"({"child_users": ["kid"]})");
        const bool removed = trust.remove();
        return out + "removed " + std::to_string(removed) + " kid " +
               std::to_string(listedFor(kid, 4242)) + "\n";
    });
    EXPECT_EQ(report,
              "first 1 '' trusted 1\n"
              "root's home 1 kid 1 owner 4242\n"
              "sneaky 0 'cannot trust the certificate for sneaky' trusted 0\n"
              "vault 1\n"
              "removed 1 kid 0\n");
}

}  // namespace
}  // namespace tarvo::test
