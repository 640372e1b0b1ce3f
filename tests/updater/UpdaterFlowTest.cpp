// Whole checks against a local HTTPS update service, in a made root with the
// stand-in tools.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "UpdaterFixture.h"
#include "core/Json.h"
#include "core/Paths.h"
#include "updater/Updater.h"

namespace tarvo {
namespace {

using test::EnvGuard;
using test::exists;
using test::HttpsServer;
using test::readText;
using test::UpdaterRoot;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kPackage = "xar!-package-bytes\x01\x02 not really a pkg";
const std::string kTrusted =
    "   Status: signed by a developer certificate issued by Apple for distribution\n"
    "   Certificate Chain:\n"
    "    1. Developer ID Installer: Tarvo Ltd (QK4R7TZW9N)\n"
    "       Expires: 2030-01-01 00:00:00 +0000\n";

class UpdaterFlow : public ::testing::Test {
  protected:
    UpdaterFlow() : url_("TARVO_UPDATE_URL", server_.url("/manifest")) {
        server_.routes().Get("/manifest", [this](const httplib::Request&, httplib::Response& res) {
            res.status = manifestStatus_;
            res.set_content(manifest_, "application/json");
        });
        server_.routes().Get("/pkg", [this](const httplib::Request&, httplib::Response& res) {
            res.status = packageStatus_;
            res.set_content(kPackage, "application/octet-stream");
        });
        // Signed by our team unless a test says otherwise; submitted jobs are
        // recorded, not run.
        root_.standinFixture("pkgutil", "signature", kTrusted);
        root_.standinFixture("launchctl", "hold", "");
    }

    void offer(const std::string& json, int status = 200) {
        manifest_ = json;
        manifestStatus_ = status;
    }
    std::string offerVersion(const std::string& version, const std::string& extra = "") {
        offer(R"({"version":")" + version + R"(","url":")" + server_.url("/pkg") + "\"" + extra +
              "}");
        return root_.at("/Library/Logs/Tarvo/Tarvo-Update-" + version + ".pkg");
    }
    std::string shaField() const { return R"(,"sha256":")" + test::sha256Hex(kPackage) + "\""; }

    UpdaterRoot root_;
    HttpsServer server_;
    EnvGuard url_;
    std::string manifest_;
    int manifestStatus_ = 200;
    int packageStatus_ = 200;
};

TEST_F(UpdaterFlow, ManifestJudgements) {
    const std::string pkg = server_.url("/pkg");
    struct Case {
        int status;
        std::string body;
        std::string line;  // the one line the check logs
    };
    const Case cases[] = {
        {404, "", "DEBUG no update manifest configured — skipping"},
        {500, "oops", "ERROR update failed: bad manifest: HTTP 500"},
        {302, "", "ERROR update failed: bad manifest: HTTP 302"},
        {200, "[1,2]", "ERROR update failed: bad manifest: not a JSON object"},
        {200, R"({"version":"","url":")" + pkg + "\"}",
         "DEBUG no update manifest configured — skipping"},
        {200, R"({"version":7,"url":")" + pkg + "\"}",
         "DEBUG no update manifest configured — skipping"},
        {200, R"({"version":"9.0"})", "DEBUG no update manifest configured — skipping"},
        {200, R"({"version":"9.0","url":"https://"})",
         "DEBUG no update manifest configured — skipping"},
        {200, R"({"version":"0.2.15","url":")" + pkg + "\"}",
         "DEBUG up to date (0.2.15, latest 0.2.15)"},
        {200, R"({"version":"0.2.9","pkg_url":")" + pkg + "\"}",
         "DEBUG up to date (0.2.15, latest 0.2.9)"},
        {200, R"({"version":"9.0","url":"http://127.0.0.1/x.pkg"})",
         "ERROR update failed: bad manifest: package URL is not https"},
        {200, R"({"version":"9.0","url":3,"pkg_url":"ftp://host/x.pkg"})",
         "ERROR update failed: bad manifest: package URL is not https"},
        {200, R"({"version":"9.0","url":"127.0.0.1/x.pkg"})",
         "ERROR update failed: bad manifest: package URL is not https"},
        {200, R"({"version":"9.0","url":")" + pkg + R"(","minimumSystemVersion":"15"})",
         "WARN  update 9.0 needs macOS 15 — this Mac is older; skipping"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(Paths::daemonLog());
        offer(c.body, c.status);
        Updater::checkAndInstall("0.2.15");
        EXPECT_THAT(root_.logLines(), ElementsAre(c.line)) << c.status << " " << c.body;
        EXPECT_THAT(root_.logDirExtras(), ElementsAre()) << "nothing written: " << c.body;
    }
    EXPECT_EQ(server_.requestsFor("/pkg"), 0);

    std::filesystem::remove(Paths::daemonLog());
    offer("{not json");
    Updater::checkAndInstall("0.2.15");
    // In the service client's words.
    EXPECT_EQ(root_.lastLogLine(),
              std::string("ERROR update failed: ") + tarvo::json::NotJson().what());
}

TEST_F(UpdaterFlow, InstallsAVerifiedPackageFromEitherAddressKey) {
    const std::string pkg = root_.at("/Library/Logs/Tarvo/Tarvo-Update-0.3.0.pkg");
    const std::string bodies[] = {
        R"({"version":"0.3.0","pkg_url":")" + server_.url("/pkg") + "\"" + shaField() + "}",
        R"({"version":"0.3.0","url":12,"pkg_url":")" + server_.url("/pkg") + "\"" + shaField() +
            "}",
    };
    for (const auto& body : bodies) {
        std::filesystem::remove(Paths::daemonLog());
        std::filesystem::remove(root_.path() + "/.standins/launchctl/calls.log");
        std::filesystem::remove_all(root_.path() + "/.standins/launchctl/jobs");
        test::writeText(Paths::updateDeferralFile(), "0.2.99|1767225600.0");
        offer(body);
        Updater::checkAndInstall("0.2.15");

        EXPECT_THAT(root_.logLines(),
                    ElementsAre("INFO  updating 0.2.15 → 0.3.0", "INFO  downloaded 0.3.0 package",
                                "DEBUG sha256 verified",
                                "INFO  package signature verified — Developer ID, team QK4R7TZW9N",
                                "INFO  update 0.3.0 submitted to launchd as app.tarvo.applyupdate "
                                "— daemon will be restarted by the package"))
            << body;
        EXPECT_EQ(readText(pkg), kPackage);
        EXPECT_FALSE(exists(Paths::updateDeferralFile())) << "a hand-off clears the marker";
        const std::string script = Paths::updateScript();
        struct stat st {};
        ASSERT_EQ(::stat(script.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_EQ(readText(script), Updater::installScript("0.3.0", pkg));
        EXPECT_EQ(root_.standinState("launchctl", "calls.log"),
                  "remove app.tarvo.applyupdate\nsubmit -l app.tarvo.applyupdate -- " +
                      root_.at("/bin/bash") + " " + script + "\n");
        EXPECT_EQ(root_.standinState("pkgutil", "calls.log").find("--check-signature " + pkg), 0u);
    }
    EXPECT_THAT(root_.logDirExtras(),
                ElementsAre("Tarvo-Update-0.3.0.pkg", "tarvo-apply-update.sh"))
        << "no temporary download left behind";
}

TEST_F(UpdaterFlow, VerificationFailuresDeleteThePackage) {
    struct Case {
        std::string signature;  // pkgutil's verdict
        std::string sha;        // manifest field, "" for none
        std::string error;
    };
    const std::string wrongSha =
        R"(,"sha256":"ABC0000000000000000000000000000000000000000000000000000000000000")";
    const Case cases[] = {
        {kTrusted, wrongSha,
         "ERROR update failed: sha256 mismatch (expected abc000000000…, got " +
             test::sha256Hex(kPackage).substr(0, 12) + "…)"},
        {"   Status: signed by a certificate trusted by macOS\n    1. Developer ID Installer: "
         "Other (AB12CD34EF)\n",
         "",
         "ERROR update failed: package failed verification: signed by a different team "
         "(expected QK4R7TZW9N)"},
        {"   Status: signed by a certificate trusted by macOS\n    team QK4R7TZW9N\n", shaField(),
         "ERROR update failed: package failed verification: signed by a different team "
         "(expected QK4R7TZW9N)"},
        {"", "",
         "ERROR update failed: package failed verification: not signed by a trusted "
         "Apple-issued certificate"},
        {"   Status: signed by an untrusted certificate (QK4R7TZW9N)\n", "",
         "ERROR update failed: package failed verification: not signed by a trusted "
         "Apple-issued certificate"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(Paths::daemonLog());
        root_.standinFixture("pkgutil", "signature", c.signature);
        const std::string pkg = offerVersion("0.4.0", c.sha);
        Updater::checkAndInstall("0.2.15");
        EXPECT_EQ(root_.lastLogLine(), c.error) << c.signature;
        EXPECT_FALSE(exists(pkg)) << c.signature;
        EXPECT_FALSE(exists(Paths::updateScript())) << "nothing handed over";
        const auto lines = root_.logLines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "DEBUG sha256 verified"),
                  c.sha == shaField() ? 1 : 0)
            << "no checksum line without a checksum";
    }
}

TEST_F(UpdaterFlow, RefusedDownloadLeavesNoFile) {
    packageStatus_ = 403;
    offerVersion("0.5.0");
    Updater::checkAndInstall("0.2.15");
    EXPECT_EQ(root_.lastLogLine(), "ERROR update failed: bad manifest: package HTTP 403");
    EXPECT_THAT(root_.logDirExtras(), ElementsAre());
}

TEST_F(UpdaterFlow, HostileVersionIsRefusedBeforeAnythingIsWritten) {
    root_.childIsActive();
    for (const std::string version : {"1.0\\\"; touch /tmp/owned; \\\"", "1.0/../../x", "2.0|1"}) {
        std::filesystem::remove(Paths::daemonLog());
        offer(R"({"version":")" + version + R"(","url":")" + server_.url("/pkg") + "\"}");
        Updater::checkAndInstall("0.2.15");
        EXPECT_THAT(root_.logLines(),
                    ElementsAre("ERROR update failed: bad manifest: version text may hold only "
                                "letters, digits, \".\", \"-\", \"+\" and \"_\""))
            << version;
        EXPECT_THAT(root_.logDirExtras(), ElementsAre()) << "no marker, package or script";
    }
    EXPECT_EQ(server_.requestsFor("/pkg"), 0);
}

TEST_F(UpdaterFlow, DefersWhileAChildIsActiveForAtMost72Hours) {
    offerVersion("0.6.0", shaField());
    const std::string deferring =
        "INFO  update 0.6.0 available, but a child is active — deferring (";
    struct Step {
        std::chrono::milliseconds advance;
        std::string line;
    };
    const Step steps[] = {
        {std::chrono::milliseconds(0), deferring + "0h of max 72h)"},
        {std::chrono::hours(1), deferring + "1h of max 72h)"},
        {std::chrono::seconds(259199 - 3600), deferring + "71h of max 72h)"},
    };
    for (const auto& step : steps) {
        root_.clock()->advance(step.advance);
        root_.childIsActive();
        Updater::checkAndInstall("0.2.15");
        EXPECT_EQ(root_.lastLogLine(), step.line);
    }
    EXPECT_EQ(server_.requestsFor("/pkg"), 0);
    EXPECT_EQ(readText(Paths::updateDeferralFile()), "0.6.0|1767225600.0");

    root_.clock()->advance(std::chrono::seconds(1));
    root_.childIsActive();
    std::filesystem::remove(Paths::daemonLog());
    Updater::checkAndInstall("0.2.15");
    const auto lines = root_.logLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "WARN  update 0.6.0 deferred for over 72h — installing now despite active session");
    EXPECT_EQ(lines[1], "INFO  updating 0.2.15 → 0.6.0");
    EXPECT_THAT(lines.back(), HasSubstr("submitted to launchd"));
    EXPECT_FALSE(exists(Paths::updateDeferralFile()));
}

TEST_F(UpdaterFlow, FailedHandOffKeepsTheDeferralMarker) {
    offerVersion("0.6.1");
    root_.childIsActive();
    Updater::checkAndInstall("0.2.15");
    root_.clock()->advance(std::chrono::hours(73));
    root_.childIsActive();
    root_.standinFixture("pkgutil", "signature", "");
    Updater::checkAndInstall("0.2.15");
    EXPECT_THAT(root_.lastLogLine(),
                StartsWith("ERROR update failed: package failed verification"));
    EXPECT_EQ(readText(Paths::updateDeferralFile()), "0.6.1|1767225600.0");
}

TEST_F(UpdaterFlow, FallsBackToADirectSpawnWhenLaunchdRefuses) {
    root_.standinFixture("launchctl", "submit-fails", "Bootstrap failed: 5: Input/output error\n");
    const std::string log = root_.at("/Library/Logs/Tarvo/updater.log");
    const std::string started = "echo \"[t] applying update 0.7.0\" >>\"" + log + "\"";
    struct Case {
        std::string nohup;      // body of the root's nohup
        std::string logBefore;  // install log before the check
        std::string last;       // final log line
    };
    const std::string failed =
        "ERROR update failed: install failed: installer child died immediately — update 0.7.0 "
        "was not applied";
    const std::string handed = "INFO  update 0.7.0 handed to detached installer (fallback path)";
    const Case cases[] = {
        {started + "\nexit 0", "", handed},
        {"exit 1", "", failed},
        // An earlier attempt's line does not count for this one.
        {"exit 1", "[t] applying update 0.7.0\n", failed},
        {"echo \"[t] applying update 0.7.0.1\" >>\"" + log + "\"", "", failed},
        {"sleep 3", "", handed},  // still running after a second
    };
    for (const auto& c : cases) {
        std::filesystem::remove(Paths::daemonLog());
        std::filesystem::remove(log);
        if (!c.logBefore.empty()) test::writeText(log, c.logBefore);
        root_.replaceNohup(c.nohup);
        offerVersion("0.7.0");
        Updater::checkAndInstall("0.2.15");
        const auto lines = root_.logLines();
        EXPECT_THAT(lines, ::testing::Contains(
                               "WARN  launchctl submit failed (Bootstrap failed: 5: Input/output "
                               "error) — falling back to a direct spawn"));
        EXPECT_EQ(root_.lastLogLine(), c.last) << c.nohup;
    }
}

TEST_F(UpdaterFlow, RefusesALogDirectoryOthersCanWrite) {
    for (const mode_t mode : {0777, 0775, 0757}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(::chmod(root_.at("/Library/Logs/Tarvo").c_str(), mode), 0);
        offerVersion("0.8.0");
        Updater::checkAndInstall("0.2.15");
        EXPECT_THAT(root_.lastLogLine(),
                    HasSubstr("update failed: install failed: " + root_.at("/Library/Logs/Tarvo") +
                              " is writable by other users"));
        EXPECT_EQ(server_.requestsFor("/pkg"), 0);
        struct stat st {};
        ::stat(root_.at("/Library/Logs/Tarvo").c_str(), &st);
        EXPECT_EQ(st.st_mode & 0777, mode) << "the updater never changes the directory's mode";
    }
}

// A server the updater is pointed at may send without end or trickle a
// byte at a time: every cap ends the check as soon as it is passed.
TEST_F(UpdaterFlow, CapsWhatAServerCanMakeACheckHoldOrSpend) {
    std::atomic<size_t> sent{0};
    auto endless = [&sent](bool slow) {
        return [&sent, slow](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "application/octet-stream", [&sent, slow](size_t, httplib::DataSink& sink) {
                    const std::string piece(slow ? 1 : 16384, ' ');
                    if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    if (!sink.is_writable() || !sink.write(piece.data(), piece.size()))
                        return false;
                    sent += piece.size();
                    return true;
                });
        };
    };
    server_.routes().Get("/endless", endless(false));
    server_.routes().Get("/trickle", endless(true));
    struct Case {
        const char* manifestPath;
        const char* packagePath;
        Updater::Environment::Limits limits;
        std::string line;
    };
    Updater::Environment::Limits quick;
    quick.manifestTime = std::chrono::seconds(1);
    quick.packageBytes = 1024 * 1024;
    quick.packageTime = std::chrono::seconds(1);
    Updater::Environment::Limits wholeCheck;
    wholeCheck.checkTime = std::chrono::seconds(1);
    const Case cases[] = {
        {"/endless", "", {}, "bad manifest: manifest larger than 65536 bytes"},
        {"/trickle", "", quick, "bad manifest: manifest not received within 1 s"},
        {"/trickle", "", wholeCheck, "bad manifest: update check took longer than 1 s"},
        {"/manifest", "/endless", quick, "bad manifest: package larger than 1048576 bytes"},
        {"/manifest", "/trickle", quick, "bad manifest: package not received within 1 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        root_.setLimits(c.limits);
        EnvGuard url("TARVO_UPDATE_URL", server_.url(c.manifestPath));
        offer(R"({"version":"0.9.0","url":")" + server_.url(c.packagePath) + "\"}");
        sent = 0;
        Updater::checkAndInstall("0.2.15");
        EXPECT_EQ(root_.lastLogLine(), "ERROR update failed: " + c.line);
        // Stopped at the cap, not after reading what the server could send.
        EXPECT_LT(sent.load(), 8u * 1024 * 1024);
        EXPECT_TRUE(root_.logDirExtras().empty());
    }
}

// The install log is appended to by the root script and read back by the
// updater; a link planted there is neither written nor read through.
TEST_F(UpdaterFlow, TheInstallLogIsNeverUsedThroughALink) {
    root_.standinFixture("launchctl", "submit-fails", "Bootstrap failed: 5: Input/output error\n");
    const std::string victim = root_.at("/victim.log");
    test::writeText(victim, "[t] applying update 0.7.0\n");
    std::filesystem::create_symlink(victim, Paths::updaterLog());
    root_.replaceNohup("exit 1");
    offerVersion("0.7.0");
    Updater::checkAndInstall("0.2.15");
    EXPECT_EQ(root_.lastLogLine(),
              "ERROR update failed: install failed: installer child died immediately — update "
              "0.7.0 was not applied");
    EXPECT_EQ(readText(victim), "[t] applying update 0.7.0\n");
    EXPECT_FALSE(std::filesystem::is_symlink(Paths::updaterLog()));
}

}  // namespace
}  // namespace tarvo
