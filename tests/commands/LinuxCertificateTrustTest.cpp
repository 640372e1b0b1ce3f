// Trusting the filtering proxy's certificate in this system's store, with the
// real update-ca-certificates on a made /etc/ssl/certs, checked the way
// OpenSSL programs (curl among them) look it up.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>
#include <tuple>

#include <nlohmann/json.hpp>

#include "core/Paths.h"
#include "platform/system/LinuxCertificateTrust.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using platform::LinuxCertificateTrust;

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

TEST(LinuxCertificateTrust, TrustedInTheSystemStoreUntilRemovedAndNothingElseTouched) {
    StoreRoot root;
    const std::string cert = root.resources() + "/rootCert.pem";
    LinuxCertificateTrust trust;
    EXPECT_FALSE(root.verified(cert));
    EXPECT_FALSE(trust.isTrusted());

    // Firefox's policies of the site, merged with, never replaced.
    const std::string site =
        R"({"policies": {"DisableTelemetry": true, "Certificates": {"Install": ["/x.crt"]}}})";
    const std::string policies = LinuxCertificateTrust::firefoxPolicies();
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
}

TEST(LinuxCertificateTrust, FirefoxPoliciesAreMergedOnlyWhenTheyAreAnObject) {
    const std::string mine = "/c.crt";
    const std::tuple<std::optional<std::string>, bool, std::optional<std::string>> cases[] = {
        {std::nullopt, true, R"({"policies":{"Certificates":{"Install":["/c.crt"]}}})"},
        {R"({"policies":{"Certificates":{"Install":["/c.crt"]}}})", true,
         R"({"policies":{"Certificates":{"Install":["/c.crt"]}}})"},
        {R"({"policies":{"Certificates":{"Install":["/c.crt"]}}})", false, "{}"},
        {R"({"policies":{"Certificates":{"Install":["/d.crt","/c.crt"]}}})", false,
         R"({"policies":{"Certificates":{"Install":["/d.crt"]}}})"},
        {R"({"x":1})", false, R"({"x":1})"},
        {"not json", true, std::nullopt},
        {"[]", true, std::nullopt},
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

// Refused before the store is touched; a missing tool says so.
TEST(LinuxCertificateTrust, RefusesKeysNonCertificatesAndMissingFiles) {
    StoreRoot root;
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
    LinuxCertificateTrust trust;
    for (const auto& [path, message] : cases) {
        std::ostringstream err;
        EXPECT_FALSE(trust.trust(path, err)) << path;
        EXPECT_EQ(err.str(), message);
        EXPECT_FALSE(exists(LinuxCertificateTrust::localCertificate()));
    }
    // A policy file that is not an object of policies is never overwritten.
    const std::string policies = LinuxCertificateTrust::firefoxPolicies();
    writeText(policies, "not json");
    std::ostringstream refused;
    EXPECT_FALSE(trust.trust(root.resources() + "/rootCert.pem", refused));
    EXPECT_EQ(refused.str(),
              "leaving " + policies + " alone: it is not a JSON object of policies\n");
    EXPECT_EQ(readText(policies), "not json");
    std::ostringstream err;
    EXPECT_FALSE(LinuxCertificateTrust(root.dir_ / "no-tool")
                     .trust(root.resources() + "/rootCert.pem", err));
    EXPECT_EQ(err.str().rfind("cannot run " + root.dir_ / "no-tool" + ": ", 0), 0u) << err.str();
}

}  // namespace
}  // namespace tarvo::test
