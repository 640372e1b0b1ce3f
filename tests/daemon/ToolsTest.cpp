// The macOS tools behind the system proxy settings and the keychain, as
// stand-ins in a made root.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <sstream>

#include "DaemonFixture.h"
#include "core/Paths.h"
#include "daemon/Keychain.h"
#include "daemon/ProxyConfig.h"

namespace tarvo::test {
namespace {
namespace fs = std::filesystem;
using Calls = std::vector<std::vector<std::string>>;

TEST(ProxyConfigTool, ListsEnabledServicesAndSetsBothProxiesOnEach) {
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        {{"Wi-Fi", "USB 10/100/1000 LAN", "*Bluetooth PAN"}, {"Wi-Fi", "USB 10/100/1000 LAN"}},
        {{}, {}},
        {{"*Ethernet", "*Wi-Fi"}, {}},
        {{" Odd Name", "Ethernet"}, {" Odd Name", "Ethernet"}},
    };
    for (const auto& [listed, enabled] : cases) {
        SCOPED_TRACE(listed.empty() ? "none" : listed[0]);
        DaemonRoot root;
        root.setServices(listed);
        ProxyConfig::applyAll("127.0.0.1", 8080);
        Calls expected = {{"-listallnetworkservices"}};
        for (const auto& s : enabled) {
            expected.push_back({"-setwebproxy", s, "127.0.0.1", "8080"});
            expected.push_back({"-setsecurewebproxy", s, "127.0.0.1", "8080"});
            expected.push_back({"-setwebproxystate", s, "on"});
            expected.push_back({"-setsecurewebproxystate", s, "on"});
        }
        EXPECT_EQ(root.networksetupCalls(), expected);
        for (const auto& s : enabled) EXPECT_EQ(root.proxyStates(s), std::make_pair(true, true));
        ProxyConfig::clearAll();
        for (const auto& s : enabled) {
            EXPECT_EQ(root.proxyStates(s), std::make_pair(false, false));
            // Host and port stay recorded; only the states change.
            auto out = ProxyConfig::run(Paths::networksetupTool(), {"-getwebproxy", s});
            EXPECT_NE(out.find("Server: 127.0.0.1\nPort: 8080"), std::string::npos) << out;
        }
    }
    // A silent or missing tool lists no services.
    writeText(Paths::networksetupTool(), "#!/bin/bash\nexit 0\n");
    EXPECT_TRUE(ProxyConfig::networkServices().empty());
    fs::remove(Paths::networksetupTool());
    EXPECT_TRUE(ProxyConfig::networkServices().empty());
}

// The SHA-256 digests the security stand-in's System keychain holds.
std::vector<std::string> keychainDigests(const DaemonRoot& root) {
    std::vector<std::string> out;
    const std::string text = readText(root.root() + "/.standins/security/keychain.json");
    if (text.empty()) return out;
    const auto state = nlohmann::json::parse(text);
    for (const auto& cert : state.value(Paths::systemKeychain(), nlohmann::json::array()))
        out.push_back(cert["sha256"]);
    return out;
}

std::string securityCalls(const DaemonRoot& root) {
    return readText(root.root() + "/.standins/security/calls.log");
}

TEST(KeychainTool, InstallsDetectsAndRemovesTheBundledCertificate) {
    DaemonRoot root;
    const std::string cert = Keychain::defaultCertPath();
    const auto fingerprint = Keychain::bundledCertFingerprint(cert);
    ASSERT_TRUE(fingerprint);
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
    EXPECT_FALSE(Keychain::removeRootCert());

    // The bundled file replaced by another certificate with the same name:
    // its digest matches nothing, the name does.
    ASSERT_TRUE(Keychain::installRootCert(cert));
    ASSERT_TRUE(run({.argv = {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                              "ec_paramgen_curve:prime256v1", "-nodes", "-subj",
                              "/CN=Tarvo Test CA/O=Other", "-keyout", root.root() + "/other.key",
                              "-out", cert, "-days", "1"}})
                    .succeeded());
    EXPECT_TRUE(Keychain::removeRootCert());
    EXPECT_TRUE(keychainDigests(root).empty());
    EXPECT_NE(securityCalls(root).find(R"(["delete-certificate", "-c", "Tarvo Test CA")"),
              std::string::npos);
}

TEST(InstallCert, RefusesPrivateKeysMissingFilesAndOrdinaryUsers) {
    struct Case {
        const char* what;
        std::function<std::string(const DaemonRoot&)> path;  // empty: no argument
        std::optional<uid_t> user;
        int status;
        std::function<std::string(const std::string&)> err;
    };
    const std::vector<Case> cases = {
        {"default certificate", [](const DaemonRoot&) { return std::string(); }, std::nullopt, 0,
         [](const std::string&) { return std::string(); }},
        {"private key refused",
         [](const DaemonRoot& r) { return r.resources() + "/mitmproxy-ca.pem"; }, std::nullopt, 1,
         [](const std::string& p) {
             return "refusing to install " + p +
                    ": it contains a PRIVATE KEY. Install the certificate-only PEM.\n"
                    "certificate not installed: " +
                    p + "\n";
         }},
        {"missing path", [](const DaemonRoot& r) { return r.root() + "/nope.pem"; }, std::nullopt,
         1, [](const std::string& p) { return "certificate not installed: " + p + "\n"; }},
        {"ordinary user", [](const DaemonRoot&) { return std::string(); }, kNobody, 1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DaemonRoot root;
        const std::string path = c.path(root);
        Launch launch{.argv = {tarvoBinary(), "install-cert"}, .user = c.user};
        if (!path.empty()) launch.argv.push_back(path);
        const ProcessResult r = run(launch);
        EXPECT_EQ(r.exitStatus, c.status);
        if (c.err) {
            EXPECT_EQ(r.err, c.err(path));
        }
        const std::string used = path.empty() ? root.resources() + "/rootCert.pem" : path;
        EXPECT_EQ(r.out, c.status == 0 ? "certificate trusted: " + used + "\n" : "");
        EXPECT_EQ(keychainDigests(root).size(), c.status == 0 ? 1u : 0u);
        if (c.status != 0) {
            EXPECT_EQ(securityCalls(root).find("add-trusted-cert"), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace tarvo::test
