// `tarvo check-update` as the real executable in a made root: as root it
// installs through the tools and the detached script; as anyone else it
// refuses before touching the network.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "UpdaterFixture.h"
#include "support/Processes.h"

namespace tarvo::test {
namespace {

using ::testing::HasSubstr;

TEST(CheckUpdateCommand, InstallsAsRootAndRefusesOthers) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    UpdaterRoot root;
    HttpsServer server;
    const std::string package = std::string(3 << 20, 'p') + "end";
    server.routes().Get("/manifest", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(R"({"version":"9.9.9","url":")" + server.url("/pkg") + R"(","sha256":")" +
                            sha256Hex(package) + "\"}",
                        "application/json");
    });
    server.routes().Get("/pkg", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(package, "application/octet-stream");
    });
    root.standinFixture("pkgutil", "signature",
                        "   Status: signed by a certificate trusted by macOS\n"
                        "    1. Developer ID Installer: Tarvo Ltd (QK4R7TZW9N)\n");
    Launch launch{.argv = {tarvoBinary(), "check-update"},
                  .env = std::vector<std::string>{"PATH=/usr/bin:/bin", "TARVO_ROOT=" + root.path(),
                                                  "HOME=" + root.path() + "/home",
                                                  "TARVO_UPDATE_URL=" + server.url("/manifest"),
                                                  "SSL_CERT_FILE=" + HttpsServer::authority()},
                  .user = kNobody};
    const ProcessResult refused = run(launch);
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_EQ(refused.err, "check-update must run as root (installing a .pkg needs it)\n");
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(server.requestsFor(""), 0);
    EXPECT_FALSE(exists(root.at("/Library/Logs/Tarvo/daemon.log")));

    launch.user.reset();
    const ProcessResult r = run(launch);
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    const std::string pkg = root.at("/Library/Logs/Tarvo/Tarvo-Update-9.9.9.pkg");
    const std::string installed = root.path() + "/.standins/installer/installed.log";
    // The detached script sleeps 3 seconds first.
    ASSERT_TRUE(polling::waitUntil([&] { return exists(installed); }))
        << readText(root.at("/Library/Logs/Tarvo/daemon.log"));
    EXPECT_EQ(readText(installed), pkg + "|/|" + sha256Hex(package) + "\n");
    // The script's last line removes its own job.
    ASSERT_TRUE(polling::waitUntil(
        [&] { return !exists(root.path() + "/.standins/launchctl/jobs/app.tarvo.applyupdate"); }));
    const std::string log = readText(root.at("/Library/Logs/Tarvo/updater.log"));
    EXPECT_THAT(log, HasSubstr("] applying update 9.9.9\n"));
    EXPECT_THAT(log, HasSubstr("] installed 9.9.9 OK\n"));
    EXPECT_FALSE(exists(pkg)) << "the script deletes the package";
}

}  // namespace
}  // namespace tarvo::test
