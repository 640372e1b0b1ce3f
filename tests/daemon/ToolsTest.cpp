#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "DaemonFixture.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "daemon/Keychain.h"
#include "daemon/ProxyConfig.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using Calls = std::vector<std::vector<std::string>>;

TEST(ProxyConfigTool, ListsEnabledServicesAndSetsBothProxiesOnEach) {
    struct Case {
        const char* what;
        std::vector<std::string> listed;
        std::vector<std::string> enabled;
    };
    const std::vector<Case> cases = {
        {"blanks and a disabled one",
         {"Wi-Fi", "USB 10/100/1000 LAN", "*Bluetooth PAN"},
         {"Wi-Fi", "USB 10/100/1000 LAN"}},
        {"header only", {}, {}},
        {"all disabled", {"*Ethernet", "*Wi-Fi"}, {}},
        {"leading blank kept", {" Odd Name", "Ethernet"}, {" Odd Name", "Ethernet"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DaemonRoot root;
        root.setServices(c.listed);
        EXPECT_EQ(ProxyConfig::networkServices(), c.enabled);

        const size_t before = root.networksetupCalls().size();
        ProxyConfig::applyAll("127.0.0.1", 8080);
        Calls expected = {{"-listallnetworkservices"}};
        for (const auto& s : c.enabled) {
            expected.push_back({"-setwebproxy", s, "127.0.0.1", "8080"});
            expected.push_back({"-setsecurewebproxy", s, "127.0.0.1", "8080"});
            expected.push_back({"-setwebproxystate", s, "on"});
            expected.push_back({"-setsecurewebproxystate", s, "on"});
        }
        Calls calls = root.networksetupCalls();
        EXPECT_EQ(Calls(calls.begin() + before, calls.end()), expected);
        for (const auto& s : c.enabled) EXPECT_EQ(root.proxyStates(s), std::make_pair(true, true));

        ProxyConfig::clearAll();
        for (const auto& s : c.enabled) {
            EXPECT_EQ(root.proxyStates(s), std::make_pair(false, false));
            // Host and port stay recorded; only the states change.
            auto out = ProxyConfig::run(Paths::networksetupTool(), {"-getwebproxy", s});
            EXPECT_NE(out.find("Server: 127.0.0.1\nPort: 8080"), std::string::npos) << out;
        }
    }
}

TEST(ProxyConfigTool, SilentOrMissingToolMeansNoServices) {
    DaemonRoot root;
    const std::string tool = Paths::networksetupTool();
    writeText(tool, "#!/bin/bash\nexit 0\n");
    EXPECT_TRUE(ProxyConfig::networkServices().empty());
    fs::remove(tool);
    EXPECT_TRUE(ProxyConfig::networkServices().empty());
    ProxyConfig::applyAll("127.0.0.1", 8080);  // nothing to do, nothing thrown
}

// Keychain state of the security stand-in: the SHA-256 digests it holds.
std::vector<std::string> keychainDigests(const DaemonRoot& root) {
    std::vector<std::string> out;
    const std::string text = readText(root.root() + "/.standins/security/keychain.json");
    if (text.empty()) return out;
    auto state = nlohmann::json::parse(text);
    for (const auto& cert : state[Paths::systemKeychain()]) out.push_back(cert["sha256"]);
    return out;
}

std::string securityCalls(const DaemonRoot& root) {
    return readText(root.root() + "/.standins/security/calls.log");
}

TEST(KeychainTool, InstallsDetectsAndRemovesTheBundledCertificate) {
    DaemonRoot root;
    const std::string cert = Keychain::defaultCertPath();
    auto fingerprint = Keychain::bundledCertFingerprint(cert);
    ASSERT_TRUE(fingerprint);
    EXPECT_EQ(fingerprint->size(), 64u);
    EXPECT_EQ(fingerprint->find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(Keychain::bundledCertCommonName(cert), std::optional<std::string>("Tarvo Test CA"));

    EXPECT_FALSE(Keychain::isRootCertInstalled());
    std::ostringstream err;
    EXPECT_TRUE(Keychain::installRootCert(cert, err));
    EXPECT_EQ(err.str(), "");
    // The stand-in digests the certificate on its own; the two must agree.
    EXPECT_EQ(keychainDigests(root), std::vector<std::string>{*fingerprint});
    EXPECT_TRUE(Keychain::isRootCertInstalled());

    EXPECT_TRUE(Keychain::removeRootCert());
    EXPECT_TRUE(keychainDigests(root).empty());
    EXPECT_NE(securityCalls(root).find(R"(["delete-certificate", "-Z", ")" + *fingerprint),
              std::string::npos);
    EXPECT_FALSE(Keychain::removeRootCert());  // nothing left by digest nor by name
}

TEST(KeychainTool, RemovalFallsBackToTheCommonName) {
    DaemonRoot root;
    ASSERT_TRUE(Keychain::installRootCert(Keychain::defaultCertPath()));
    // The bundled file is replaced by another certificate with the same name:
    // its digest matches nothing, the name does.
    runOrFail(
        "/usr/bin/openssl",
        {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Tarvo Test CA/O=Other",
         "-keyout", root.root() + "/other.key", "-out", Keychain::defaultCertPath(), "-days", "1"});
    EXPECT_TRUE(Keychain::removeRootCert());
    EXPECT_TRUE(keychainDigests(root).empty());
    EXPECT_NE(securityCalls(root).find(R"(["delete-certificate", "-c", "Tarvo Test CA")"),
              std::string::npos);
}

TEST(KeychainTool, LowerCaseFingerprintWithColonsStillMatches) {
    DaemonRoot root;
    ASSERT_TRUE(Keychain::installRootCert(Keychain::defaultCertPath()));
    const std::string digest = keychainDigests(root).at(0);
    std::string lower;
    for (size_t i = 0; i < digest.size(); i += 2) {
        if (i) lower += ':';
        lower += static_cast<char>(std::tolower(digest[i]));
        lower += static_cast<char>(std::tolower(digest[i + 1]));
    }
    const std::string reader = Paths::opensslTool();
    fs::remove(reader);
    writeText(reader, "#!/bin/bash\necho 'SHA256 Fingerprint=" + lower + "'\n");
    fs::permissions(reader, fs::perms::owner_all);
    EXPECT_EQ(Keychain::bundledCertFingerprint(Keychain::defaultCertPath()), digest);
    EXPECT_TRUE(Keychain::isRootCertInstalled());
}

TEST(KeychainTool, WithoutTheBundledFileNothingIsFoundOrRemoved) {
    DaemonRoot root;
    ASSERT_TRUE(Keychain::installRootCert(Keychain::defaultCertPath()));
    fs::remove(Keychain::defaultCertPath());
    EXPECT_FALSE(Keychain::isRootCertInstalled());
    EXPECT_FALSE(Keychain::removeRootCert());
    EXPECT_EQ(keychainDigests(root).size(), 1u);
}

TEST(InstallCert, CommandExitStatusAndMessages) {
    struct Case {
        const char* what;
        std::function<std::string(const DaemonRoot&)> path;  // empty result: no argument
        int status;
        // The tool's and the check's messages first, then one closing line.
        std::function<std::string(const std::string&)> stderrText;
        size_t certsAfter;
    };
    const std::vector<Case> cases = {
        {"default certificate", [](const DaemonRoot&) { return std::string(); }, 0,
         [](const std::string&) { return std::string(); }, 1},
        {"private key refused",
         [](const DaemonRoot& r) { return r.resources() + "/mitmproxy-ca.pem"; }, 1,
         [](const std::string& p) {
             return "refusing to install " + p +
                    ": it contains a PRIVATE KEY. Install the certificate-only PEM.\n"
                    "certificate not installed: " +
                    p + "\n";
         },
         0},
        {"missing path", [](const DaemonRoot& r) { return r.root() + "/nope.pem"; }, 1,
         [](const std::string& p) { return "certificate not installed: " + p + "\n"; }, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DaemonRoot root;
        const std::string path = c.path(root);
        std::vector<std::string> args = {"install-cert"};
        if (!path.empty()) args.push_back(path);
        ProcessResult r = runProcess(tarvoBinary(), args);
        EXPECT_EQ(r.exitStatus, c.status);
        EXPECT_EQ(r.err, c.stderrText(path));
        const std::string used = path.empty() ? root.resources() + "/rootCert.pem" : path;
        EXPECT_EQ(r.out, c.status == 0 ? "certificate trusted: " + used + "\n" : "");
        EXPECT_EQ(keychainDigests(root).size(), c.certsAfter);
        if (c.status != 0) {
            EXPECT_EQ(securityCalls(root).find("add-trusted-cert"), std::string::npos);
        }
    }
}

TEST(InstallCert, FailsWithoutRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the command as another user";
    DaemonRoot root;
    ProcessResult r = runProcess(
        "/usr/bin/setpriv",
        {"--reuid=65534", "--regid=65534", "--clear-groups", tarvoBinary(), "install-cert"});
    EXPECT_EQ(r.exitStatus, 1) << r.err;
    EXPECT_TRUE(keychainDigests(root).empty());
}

}  // namespace
}  // namespace tarvo::test
