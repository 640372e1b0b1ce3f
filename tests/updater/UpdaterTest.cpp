// The updater's rules one by one, then whole checks against a local HTTPS
// update service in a made root with the stand-in tools.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "UpdaterFixture.h"
#include "core/Json.h"
#include "core/Paths.h"
#include "core/TimeFormat.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::EnvGuard;
using test::exists;
using test::readText;
using test::UpdaterRoot;
using test::writeText;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(UpdaterRules, VersionOrderAndVersionText) {
    const std::tuple<const char*, const char*, bool> order[] = {
        {"0.2.16", "0.2.15", true},
        {"0.2.15", "0.2.15", false},
        {"0.2.15.0", "0.2.15", false},
        {"0.10", "0.9", true},
        {"1.0b2", "1.0", false},
        {"1.0", "1.0b2", false},
        {"1..1", "1.0", true},
        {"0.3", "0.2.99", true},
        {"1.0.1", "1", true},
        {"2", "10", false},
        {"", "0.0.1", false},
        {"99999999999999999999999", "1", false},  // an unreadable number counts as 0
    };
    for (const auto& [a, b, newer] : order)
        EXPECT_EQ(Updater::isNewer(a, b), newer) << a << " vs " << b;
    const std::pair<std::string, bool> texts[] = {
        {"1.2.3", true},
        {"0.2.16-beta_1+build.7", true},
        {"zZ9", true},
        {std::string(100, '1'), true},
        {"", false},
        {std::string(101, '1'), false},
        {"1.2 3", false},
        {"1.2\"; rm -rf /; \"", false},
        {"../../etc/x", false},
        {"1.2$(id)", false},
        {"1|2", false},
        {"1.2\n", false},
        {"\xC3\xA9", false},
        {"1/2", false},
    };
    for (const auto& [text, safe] : texts)
        EXPECT_EQ(Updater::isSafeVersionText(text), safe) << text;
}

TEST(UpdaterRules, ManifestAddressFromAFirstMatchAndARootOwnedConfigOnly) {
    UpdaterRoot root;
    const std::string fallback =
        "https://tarvo.app/api/MacUpdateManifest?device_id=DEVICE-1&version=0.2.15&os=14.6.0";
    const std::tuple<std::optional<std::string>, std::optional<std::string>, std::string> cases[] =
        {
            {"https://env.example/m.json", R"({"update_url":"https://cfg.example/u"})",
             "https://env.example/m.json"},
            {"not a url", R"({"update_url":"https://cfg.example/u"})", "https://cfg.example/u"},
            {std::nullopt, R"({"update_url":42,"api":"https://svc.example/base/"})",
             "https://svc.example/base/api/"
             "MacUpdateManifest?device_id=DEVICE-1&version=0.2.15&os=14.6.0"},
            {std::nullopt, R"({"api":"no url"})", fallback},
            {std::nullopt, R"(["https://list.example"])", fallback},
            {std::nullopt, "{broken", fallback},
            {std::nullopt, std::nullopt, fallback},
        };
    for (const auto& [env, config, expected] : cases) {
        EnvGuard guard("TARVO_UPDATE_URL", env);
        fs::remove(Paths::configFile());
        if (config) writeText(Paths::configFile(), *config);
        EXPECT_EQ(Updater::manifestURL().value_or("<none>"), expected) << config.value_or("-");
    }
    // The data directory is writable by every user: a config.json root did
    // not write may be a child's, pointing root's updater at its own server.
    writeText(Paths::configFile(), R"({"update_url":"https://child.example/m"})");
    ASSERT_EQ(::chown(Paths::configFile().c_str(), 65534, 65534), 0);
    EXPECT_EQ(Updater::manifestURL(), fallback);
    EXPECT_EQ(root.lastLogLine(), "WARN  ignoring \"update_url\" and \"api\" in " +
                                      Paths::configFile() + ": owned by uid 65534, not root");
    ASSERT_EQ(::chown(Paths::configFile().c_str(), 0, 0), 0);
    EXPECT_EQ(Updater::manifestURL(), "https://child.example/m");

    for (const auto& [id, shaped] : std::vector<std::pair<std::string, std::string>>{
             {"12", "12.0.0"}, {"22.04", "22.4.0"}, {"1.2.3.4", "1.2.3"}, {"rolling", "0.0.0"}}) {
        root.setSystemVersion(id);
        EXPECT_EQ(Updater::osVersionString(), shaped) << id;
    }
}

TEST(UpdaterRules, ChildPresenceSeesFreshFlagsOnlyAndDeletesNothing) {
    UpdaterRoot root;
    EXPECT_FALSE(Updater::aChildIsActive()) << "no directory at all";
    const std::tuple<const char*, double, bool> cases[] = {
        {"501.flag", 59.5, true},   {"501.flag", 60, false}, {"501.flg", 0, false},
        {"501.flag.tmp", 0, false}, {"501.flag", -59, true}, {"501.flag", -61, false},
    };
    for (const auto& [name, ago, active] : cases) {
        fs::remove_all(Paths::activeChildrenDir());
        root.childIsActive(ago, name);
        EXPECT_EQ(Updater::aChildIsActive(), active) << name << " " << ago;
        EXPECT_TRUE(exists(Paths::activeChildrenDir() + "/" + name)) << "the daemon's to remove";
    }
}

TEST(UpdaterRules, DeferralCountsFromTheFirstCheckOfAVersion) {
    UpdaterRoot root;
    const std::string marker = Paths::updateDeferralFile();
    const double start = toUnixSeconds(root.clock()->now());
    EXPECT_EQ(Updater::deferralAge("1.0"), 0);
    root.clock()->advance(259199s);
    EXPECT_DOUBLE_EQ(Updater::deferralAge("1.0"), 259199);
    EXPECT_EQ(readText(marker), "1.0|1767225600.0") << "reading leaves the marker alone";
    EXPECT_EQ(Updater::deferralAge("1.1"), 0) << "another version restarts the count";
    EXPECT_EQ(readText(marker), "1.1|1767484799.0");
    // A moment with a fraction is written so that it reads back unchanged.
    root.clock()->setWall(fromUnixSeconds(1767484799.123457));
    EXPECT_EQ(Updater::deferralAge("1.2"), 0);
    EXPECT_EQ(Updater::deferralAge("1.2"), 0) << readText(marker);

    root.clock()->setWall(fromUnixSeconds(start + 1000));
    const std::pair<std::string, double> cases[] = {
        {"2.0|" + std::to_string(start + 400), 600},
        {"  2.0 | 1767226000.5 \n", 599.5},
        {"2.0|1767226000|7", 0},
        {"2.0 1767226000", 0},
        {"2.00|1767226000", 0},
        {"|1767226000", 0},
        {"2.0|", 0},
        {"2.0|nan", 0},
        {"2.0|inf", 0},
        {"2.0|\xff\xfe", 0},
        {"2.0|1767230000", 0},  // in the future (the clock went back)
    };
    for (const auto& [text, age] : cases) {
        writeText(marker, text);
        EXPECT_DOUBLE_EQ(Updater::deferralAge("2.0"), age) << text;
        if (age == 0) {
            EXPECT_EQ(readText(marker), "2.0|1767226600.0") << text;
        }
    }
    // A directory where the marker should be: never read nor replaced, so 0.
    fs::remove(marker);
    fs::create_directories(marker);
    root.clock()->advance(100h);
    EXPECT_EQ(Updater::deferralAge("2.0"), 0);
}

const std::string kPackage = "xar!-package-bytes\x01\x02 not really a pkg";
const std::string kTrusted =
    "   Status: signed by a developer certificate issued by Apple for distribution\n"
    "   Certificate Chain:\n"
    "    1. Developer ID Installer: Tarvo Ltd (QK4R7TZW9N)\n";

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
        fs::remove(Paths::daemonLog());
    }
    std::string offerVersion(const std::string& version, const std::string& extra = "") {
        offer(R"({"version":")" + version + R"(","url":")" + server_.url("/pkg") + "\"" + extra +
              "}");
        return root_.at("/Library/Logs/Tarvo/Tarvo-Update-" + version + ".pkg");
    }
    std::string shaField() const { return R"(,"sha256":")" + test::sha256Hex(kPackage) + "\""; }

    UpdaterRoot root_;
    test::HttpsServer server_;
    EnvGuard url_;
    std::string manifest_;
    int manifestStatus_ = 200;
    int packageStatus_ = 200;
};

TEST_F(UpdaterFlow, ManifestJudgements) {
    const std::string pkg = server_.url("/pkg");
    const std::string skip = "DEBUG no update manifest configured — skipping";
    const std::string notHttps = "ERROR update failed: bad manifest: package URL is not https";
    const std::string badText =
        "ERROR update failed: bad manifest: version text may hold only letters, digits, \".\", "
        "\"-\", \"+\" and \"_\"";
    const std::tuple<int, std::string, std::string> cases[] = {
        {404, "", skip},
        {500, "oops", "ERROR update failed: bad manifest: HTTP 500"},
        {200, "[1,2]", "ERROR update failed: bad manifest: not a JSON object"},
        {200, "{not json", std::string("ERROR update failed: ") + json::NotJson().what()},
        {200, R"({"version":"","url":")" + pkg + "\"}", skip},
        {200, R"({"version":7,"url":")" + pkg + "\"}", skip},
        {200, R"({"version":"9.0","url":"https://"})", skip},
        {200, R"({"version":"0.2.15","url":")" + pkg + "\"}",
         "DEBUG up to date (0.2.15, latest 0.2.15)"},
        {200, R"({"version":"0.2.9","pkg_url":")" + pkg + "\"}",
         "DEBUG up to date (0.2.15, latest 0.2.9)"},
        {200, R"({"version":"9.0","url":"http://127.0.0.1/x.pkg"})", notHttps},
        {200, R"({"version":"9.0","url":3,"pkg_url":"ftp://host/x.pkg"})", notHttps},
        {200, R"({"version":"9.0","url":")" + pkg + R"(","minimumSystemVersion":"15"})",
         "WARN  update 9.0 needs macOS 15 — this Mac is older; skipping"},
        // Hostile version texts are refused before anything is written, even
        // while a child is active (the deferral marker holds the version).
        {200, R"({"version":"1.0\\\"; touch /tmp/owned; \\\"","url":")" + pkg + "\"}", badText},
        {200, R"({"version":"1.0/../../x","url":")" + pkg + "\"}", badText},
        {200, R"({"version":"2.0|1","url":")" + pkg + "\"}", badText},
    };
    root_.childIsActive();
    for (const auto& [status, body, line] : cases) {
        offer(body, status);
        Updater::checkAndInstall("0.2.15");
        EXPECT_THAT(root_.logLines(), ElementsAre(line)) << status << " " << body;
        EXPECT_THAT(root_.logDirExtras(), ElementsAre()) << "nothing written: " << body;
    }
    EXPECT_EQ(server_.requestsFor("/pkg"), 0);
    fs::remove_all(Paths::activeChildrenDir());
    packageStatus_ = 403;
    offerVersion("0.5.0");
    Updater::checkAndInstall("0.2.15");
    EXPECT_EQ(root_.lastLogLine(), "ERROR update failed: bad manifest: package HTTP 403");
    EXPECT_THAT(root_.logDirExtras(), ElementsAre());
}

TEST_F(UpdaterFlow, InstallsAVerifiedPackageFromEitherAddressKey) {
    const std::string pkg = root_.at("/Library/Logs/Tarvo/Tarvo-Update-0.3.0.pkg");
    for (const std::string key : {R"("pkg_url")", R"("url":12,"pkg_url")"}) {
        fs::remove(root_.path() + "/.standins/launchctl/calls.log");
        writeText(Paths::updateDeferralFile(), "0.2.99|1767225600.0");
        offer(R"({"version":"0.3.0",)" + key + R"(:")" + server_.url("/pkg") + "\"" + shaField() +
              "}");
        Updater::checkAndInstall("0.2.15");
        EXPECT_THAT(root_.logLines(),
                    ElementsAre("INFO  updating 0.2.15 → 0.3.0", "INFO  downloaded 0.3.0 package",
                                "DEBUG sha256 verified",
                                "INFO  package signature verified — Developer ID, team QK4R7TZW9N",
                                "INFO  update 0.3.0 submitted to launchd as app.tarvo.applyupdate "
                                "— daemon will be restarted by the package"));
        EXPECT_EQ(readText(pkg), kPackage);
        EXPECT_FALSE(exists(Paths::updateDeferralFile())) << "a hand-off clears the marker";
        struct stat st {};
        ASSERT_EQ(::stat(Paths::updateScript().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_EQ(readText(Paths::updateScript()), Updater::installScript("0.3.0", pkg));
        EXPECT_EQ(root_.standinState("launchctl", "calls.log"),
                  "remove app.tarvo.applyupdate\nsubmit -l app.tarvo.applyupdate -- " +
                      root_.at("/bin/bash") + " " + Paths::updateScript() + "\n");
    }
    EXPECT_THAT(root_.logDirExtras(),
                ElementsAre("Tarvo-Update-0.3.0.pkg", "tarvo-apply-update.sh"))
        << "no temporary download left behind";
}

TEST_F(UpdaterFlow, VerificationFailuresDeleteThePackage) {
    const std::string team =
        "ERROR update failed: package failed verification: signed by a different team (expected "
        "QK4R7TZW9N)";
    const std::string untrusted =
        "ERROR update failed: package failed verification: not signed by a trusted Apple-issued "
        "certificate";
    const std::string trustedBy = "   Status: signed by a certificate trusted by macOS\n";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {kTrusted,
         R"(,"sha256":"ABC0000000000000000000000000000000000000000000000000000000000000")",
         "ERROR update failed: sha256 mismatch (expected abc000000000…, got " +
             test::sha256Hex(kPackage).substr(0, 12) + "…)"},
        {trustedBy + "    1. Developer ID Installer: Other (AB12CD34EF)\n", "", team},
        {trustedBy + "    team QK4R7TZW9N\n", shaField(), team},  // the team without parentheses
        {"", "", untrusted},
        {"   Status: signed by an untrusted certificate (QK4R7TZW9N)\n", "", untrusted},
    };
    for (const auto& [signature, sha, error] : cases) {
        root_.standinFixture("pkgutil", "signature", signature);
        const std::string pkg = offerVersion("0.4.0", sha);
        Updater::checkAndInstall("0.2.15");
        EXPECT_EQ(root_.lastLogLine(), error) << signature;
        EXPECT_FALSE(exists(pkg)) << signature;
        EXPECT_FALSE(exists(Paths::updateScript())) << "nothing handed over";
    }
}

TEST_F(UpdaterFlow, DefersWhileAChildIsActiveForAtMost72Hours) {
    offerVersion("0.6.0", shaField());
    const std::string deferring =
        "INFO  update 0.6.0 available, but a child is active — deferring (";
    const std::pair<std::chrono::seconds, std::string> steps[] = {
        {0s, deferring + "0h of max 72h)"},
        {1h, deferring + "1h of max 72h)"},
        {259199s - 1h, deferring + "71h of max 72h)"},
    };
    for (const auto& [advance, line] : steps) {
        root_.clock()->advance(advance);
        root_.childIsActive();
        Updater::checkAndInstall("0.2.15");
        EXPECT_EQ(root_.lastLogLine(), line);
    }
    EXPECT_EQ(server_.requestsFor("/pkg"), 0);
    EXPECT_EQ(readText(Paths::updateDeferralFile()), "0.6.0|1767225600.0");

    // A failed hand-off keeps the marker.
    root_.clock()->advance(1s);
    root_.childIsActive();
    root_.standinFixture("pkgutil", "signature", "");
    offerVersion("0.6.0", shaField());
    Updater::checkAndInstall("0.2.15");
    EXPECT_EQ(root_.logLines().at(0),
              "WARN  update 0.6.0 deferred for over 72h — installing now despite active session");
    EXPECT_EQ(readText(Paths::updateDeferralFile()), "0.6.0|1767225600.0");

    root_.standinFixture("pkgutil", "signature", kTrusted);
    offerVersion("0.6.0", shaField());
    Updater::checkAndInstall("0.2.15");
    EXPECT_THAT(root_.lastLogLine(), HasSubstr("submitted to launchd"));
    EXPECT_FALSE(exists(Paths::updateDeferralFile()));
}

TEST_F(UpdaterFlow, FallsBackToADirectSpawnWhenLaunchdRefuses) {
    root_.standinFixture("launchctl", "submit-fails", "Bootstrap failed: 5: Input/output error\n");
    const std::string log = Paths::updaterLog();
    const std::string failed =
        "ERROR update failed: install failed: installer child died immediately — update 0.7.0 "
        "was not applied";
    const std::string handed = "INFO  update 0.7.0 handed to detached installer (fallback path)";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"echo \"[t] applying update 0.7.0\" >>\"" + log + "\"\nexit 0", "", handed},
        {"exit 1", "", failed},
        // An earlier attempt's line does not count for this one.
        {"exit 1", "[t] applying update 0.7.0\n", failed},
        {"echo \"[t] applying update 0.7.0.1\" >>\"" + log + "\"", "", failed},
        {"sleep 3", "", handed},  // still running after a second
    };
    for (const auto& [nohup, before, last] : cases) {
        fs::remove(log);
        if (!before.empty()) writeText(log, before);
        root_.replaceNohup(nohup);
        offerVersion("0.7.0");
        Updater::checkAndInstall("0.2.15");
        EXPECT_THAT(root_.logLines(),
                    ::testing::Contains("WARN  launchctl submit failed (Bootstrap failed: 5: "
                                        "Input/output error) — falling back to a direct spawn"));
        EXPECT_EQ(root_.lastLogLine(), last) << nohup;
    }
    // The install log is never used through a link planted there.
    const std::string victim = root_.at("/victim.log");
    writeText(victim, "[t] applying update 0.7.0\n");
    fs::remove(log);
    fs::create_symlink(victim, log);
    root_.replaceNohup("exit 1");
    offerVersion("0.7.0");
    Updater::checkAndInstall("0.2.15");
    EXPECT_EQ(root_.lastLogLine(), failed);
    EXPECT_EQ(readText(victim), "[t] applying update 0.7.0\n");
    EXPECT_FALSE(fs::is_symlink(log));
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

// A server may send without end or trickle a byte at a time: every cap ends
// the check as soon as it is passed.
TEST_F(UpdaterFlow, CapsWhatAServerCanMakeACheckHoldOrSpend) {
    std::atomic<size_t> sent{0};
    auto endless = [&sent](bool slow) {
        return [&sent, slow](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "application/octet-stream", [&sent, slow](size_t, httplib::DataSink& sink) {
                    const std::string piece(slow ? 1 : 16384, ' ');
                    if (slow) std::this_thread::sleep_for(100ms);
                    if (!sink.is_writable() || !sink.write(piece.data(), piece.size()))
                        return false;
                    sent += piece.size();
                    return true;
                });
        };
    };
    server_.routes().Get("/endless", endless(false));
    server_.routes().Get("/trickle", endless(true));
    Updater::Environment::Limits quick;
    quick.manifestTime = quick.packageTime = 1s;
    quick.packageBytes = 1024 * 1024;
    Updater::Environment::Limits wholeCheck;
    wholeCheck.checkTime = 1s;
    const std::tuple<const char*, const char*, Updater::Environment::Limits, std::string> cases[] =
        {
            {"/endless", "", {}, "manifest larger than 65536 bytes"},
            {"/trickle", "", quick, "manifest not received within 1 s"},
            {"/trickle", "", wholeCheck, "update check took longer than 1 s"},
            {"/manifest", "/endless", quick, "package larger than 1048576 bytes"},
            {"/manifest", "/trickle", quick, "package not received within 1 s"},
        };
    for (const auto& [manifest, package, limits, line] : cases) {
        SCOPED_TRACE(line);
        root_.setLimits(limits);
        EnvGuard url("TARVO_UPDATE_URL", server_.url(manifest));
        offer(R"({"version":"0.9.0","url":")" + server_.url(package) + "\"}");
        sent = 0;
        Updater::checkAndInstall("0.2.15");
        EXPECT_EQ(root_.lastLogLine(), "ERROR update failed: bad manifest: " + line);
        EXPECT_LT(sent.load(), 8u * 1024 * 1024) << "stopped at the cap";
        EXPECT_TRUE(root_.logDirExtras().empty());
    }
}

}  // namespace
}  // namespace tarvo
