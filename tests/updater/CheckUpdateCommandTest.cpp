// `tarvo check-update` as the real executable in a made root.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "UpdaterFixture.h"
#include "core/Subprocess.h"

namespace tarvo {
namespace {

using test::exists;
using test::HttpsServer;
using test::readText;
using test::UpdaterRoot;
using ::testing::HasSubstr;

class CheckUpdateCommand : public ::testing::Test {
  protected:
    CheckUpdateCommand() {
        server_.routes().Get("/manifest", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(R"({"version":"9.9.9","url":")" + server_.url("/pkg") +
                                R"(","sha256":")" + test::sha256Hex(package_) + "\"}",
                            "application/json");
        });
        server_.routes().Get("/pkg", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(package_, "application/octet-stream");
        });
    }

    std::vector<std::string> environment() const {
        return {"PATH=/usr/bin:/bin", "TARVO_ROOT=" + root_.path(),
                "HOME=" + root_.path() + "/home", "TARVO_UPDATE_URL=" + server_.url("/manifest"),
                "SSL_CERT_FILE=" + test::TestAuthority::get().caFile};
    }

    // Waits in real time for the detached script, which sleeps 3 seconds first.
    static bool eventually(const std::function<bool()>& done) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return true;
    }

    UpdaterRoot root_;
    HttpsServer server_;
    std::string package_ = std::string(3 << 20, 'p') + "end";
};

TEST_F(CheckUpdateCommand, AsRootInstallsTheServedPackageThroughTheTools) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    root_.standinFixture("pkgutil", "signature",
                         "   Status: signed by a certificate trusted by macOS\n"
                         "    1. Developer ID Installer: Tarvo Ltd (QK4R7TZW9N)\n");
    ProcessOptions options;
    options.environment = environment();
    const ProcessResult r = runProcess(test::tarvoBinary(), {"check-update"}, options);
    ASSERT_TRUE(r.launched) << r.launchError;
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;

    const std::string pkg = root_.at("/Library/Logs/Tarvo/Tarvo-Update-9.9.9.pkg");
    const std::string installed = root_.path() + "/.standins/installer/installed.log";
    ASSERT_TRUE(eventually([&] { return exists(installed); }))
        << readText(root_.at("/Library/Logs/Tarvo/daemon.log"));
    EXPECT_EQ(readText(installed), pkg + "|/|" + test::sha256Hex(package_) + "\n");
    // The script's last line removes its own job.
    ASSERT_TRUE(eventually([&] {
        return root_.standinState("launchctl", "calls.log")
                       .find("remove app.tarvo.applyupdate\nsubmit") != std::string::npos &&
               !exists(root_.path() + "/.standins/launchctl/jobs/app.tarvo.applyupdate");
    }));
    const std::string log = readText(root_.at("/Library/Logs/Tarvo/updater.log"));
    EXPECT_THAT(log, HasSubstr("] applying update 9.9.9\n"));
    EXPECT_THAT(log, HasSubstr("] installed 9.9.9 OK\n"));
    EXPECT_FALSE(exists(pkg)) << "the script deletes the package";
    EXPECT_TRUE(exists(root_.at("/Library/Logs/Tarvo/tarvo-apply-update.sh")));
    EXPECT_THAT(root_.logLines(),
                ::testing::Contains(
                    "INFO  update 9.9.9 submitted to launchd as app.tarvo.applyupdate — daemon "
                    "will be restarted by the package"));
}

TEST_F(CheckUpdateCommand, AsAnotherUserRefusesWithoutTouchingTheNetwork) {
    std::vector<std::string> args;
    std::string tool = test::tarvoBinary();
    if (::geteuid() == 0) {
        // Drop to "nobody" for the run.
        args = {"--reuid=65534", "--regid=65534", "--clear-groups", tool, "check-update"};
        tool = "/usr/bin/setpriv";
    } else {
        args = {"check-update"};
    }
    ProcessOptions options;
    options.environment = environment();
    const ProcessResult r = runProcess(tool, args, options);
    ASSERT_TRUE(r.launched) << r.launchError;
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "check-update must run as root (installing a .pkg needs it)\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(server_.requests(), 0);
    EXPECT_FALSE(exists(root_.at("/Library/Logs/Tarvo/daemon.log")));
}

}  // namespace
}  // namespace tarvo
