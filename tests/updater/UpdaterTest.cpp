// The updater's rules, then whole checks against a local HTTPS update service
// in a made root with the stand-in tools (submitted jobs are recorded, not run).

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <thread>

#include "core/Json.h"
#include "core/Paths.h"
#include "core/TimeFormat.h"
#include "platform/fake/FakeSystemLog.h"
#include "support/Processes.h"
#include "support/TestSupport.h"
#include "support/VirtualTime.h"
#include "updater/Updater.h"

namespace tarvo::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A made root, the updater on a virtual clock, and a self-signed certificate
// for 127.0.0.1 trusted through SSL_CERT_FILE.
struct UpdaterRoot {
    UpdaterRoot() {
        EXPECT_TRUE(run({.argv = {sourceDir() + "/scripts/make-root", root.path()}}).succeeded());
        fs::create_directories(logDir);
        ::chmod(logDir.c_str(), 0755);
        setSystemVersion("14.6");
        setLimits({});
    }
    ~UpdaterRoot() { Updater::setEnvironment({}); }
    static const std::string& certificates() {
        static TempDir dir;
        static const std::string path =
            run({.argv = {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                          "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", dir / "key.pem",
                          "-out", dir / "cert.pem", "-days", "2", "-subj", "/CN=127.0.0.1",
                          "-addext", "subjectAltName=IP:127.0.0.1"}})
                    .succeeded()
                ? dir.path()
                : "";
        return path;
    }
    void setLimits(const Updater::Environment::Limits& limits) const {
        Updater::setEnvironment({clock, std::make_shared<platform::FakeSystemLog>(),
                                 [] { return std::string("DEVICE-1"); }, limits});
    }
    void setSystemVersion(const std::string& id) const {
        writeText(root.path() + "/etc/os-release", "VERSION_ID=\"" + id + "\"\n");
    }
    void standin(const std::string& tool, const std::string& name, const std::string& text) const {
        writeText(root.path() + "/.standins/" + tool + "/" + name, text);
    }
    // The updater's messages in daemon.log as "LEVEL message" ("INFO  updating …").
    std::vector<std::string> logLines() const {
        std::vector<std::string> messages;
        for (const auto& line : readLines(Paths::daemonLog()))
            if (const size_t at = line.find(" [updater] "); at != std::string::npos)
                messages.push_back(line.substr(at + 11));
        return messages;
    }
    std::string lastLogLine() const {
        const auto lines = logLines();
        return lines.empty() ? std::string() : lines.back();
    }
    // A presence flag dated `secondsAgo` before the virtual clock's now.
    void childIsActive(double secondsAgo = 0, const std::string& name = "501.flag") const {
        const std::string flag = Paths::activeChildrenDir() + "/" + name;
        writeText(flag, "");
        const double t = toUnixSeconds(clock->now()) - secondsAgo;
        const timespec at{static_cast<time_t>(std::floor(t)),
                          static_cast<long>((t - std::floor(t)) * 1e9)};
        const timespec times[2] = {at, at};
        ::utimensat(AT_FDCWD, flag.c_str(), times, 0);
    }
    std::vector<std::string> logDirExtras() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(logDir))
            if (entry.path().filename() != "daemon.log") names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    TempRoot root;
    std::string logDir = root.path() + "/Library/Logs/Tarvo";
    EnvGuard updateUrl{"TARVO_UPDATE_URL", std::nullopt};
    EnvGuard certFile{"SSL_CERT_FILE", certificates() + "/cert.pem"};
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
};

TEST(UpdaterRules, VersionOrderAndVersionText) {
    // An unreadable number counts as 0.
    const std::tuple<const char*, const char*, bool> order[] = {
        {"0.2.16", "0.2.15", true}, {"0.2.15.0", "0.2.15", false},
        {"0.10", "0.9", true},      {"1.0b2", "1.0", false},
        {"1.0", "1.0b2", false},    {"1..1", "1.0", true},
        {"1.0.1", "1", true},       {"2", "10", false},
        {"", "0.0.1", false},       {"99999999999999999999999", "1", false}};
    for (const auto& [a, b, newer] : order)
        EXPECT_EQ(Updater::isNewer(a, b), newer) << a << " vs " << b;
    for (const std::string& text : {std::string("0.2.16-Beta_1+build.7"), std::string(100, 'z')})
        EXPECT_TRUE(Updater::isSafeVersionText(text)) << text;
    for (const std::string& text :
         {std::string(101, '1'), std::string(), std::string("../x"), std::string("(x)"),
          std::string("1.2$HOME"), std::string("1.2\n"), std::string("\xC3\xA9")})
        EXPECT_FALSE(Updater::isSafeVersionText(text)) << text;
}

TEST(UpdaterRules, ManifestAddressOsVersionAndChildPresence) {
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
            {std::nullopt, "{broken", fallback},
        };
    for (const auto& [env, config, expected] : cases) {
        EnvGuard guard("TARVO_UPDATE_URL", env);
        if (config) writeText(Paths::configFile(), *config);
        EXPECT_EQ(Updater::manifestURL().value_or("<none>"), expected) << config.value_or("-");
    }
    // The data directory is writable by every user: a config.json root did
    // not write may be a child's, pointing root's updater at its own server.
    writeText(Paths::configFile(), R"({"update_url":"https://child.example/m"})");
    ASSERT_EQ(::chown(Paths::configFile().c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(Updater::manifestURL(), fallback);
    EXPECT_EQ(root.lastLogLine(), "WARN  ignoring \"update_url\" and \"api\" in " +
                                      Paths::configFile() + ": owned by uid 65534, not root");

    root.setSystemVersion("22.04.1.7");  // shaped as three numbers
    EXPECT_EQ(Updater::osVersionString(), "22.4.1");

    // Fresh flags only, dated at most a minute either way; the daemon's to remove.
    EXPECT_FALSE(Updater::aChildIsActive()) << "no directory at all";
    const std::tuple<const char*, double, bool> flags[] = {
        {"501.flag", 59.5, true},   {"501.flag", 60, false}, {"501.flg", 0, false},
        {"501.flag.tmp", 0, false}, {"501.flag", -60, true}, {"501.flag", -61, false},
    };
    for (const auto& [name, ago, active] : flags) {
        fs::remove_all(Paths::activeChildrenDir());
        root.childIsActive(ago, name);
        EXPECT_EQ(Updater::aChildIsActive(), active) << name << " " << ago;
        EXPECT_TRUE(exists(Paths::activeChildrenDir() + "/" + name));
    }
}

TEST(UpdaterRules, DeferralCountsFromTheFirstCheckOfAVersion) {
    UpdaterRoot root;
    const std::string marker = Paths::updateDeferralFile();
    EXPECT_EQ(Updater::deferralAge("1.0"), 0);
    root.clock->advance(259199s);
    EXPECT_DOUBLE_EQ(Updater::deferralAge("1.0"), 259199);
    EXPECT_EQ(readText(marker), "1.0|1767225600.0") << "reading leaves the marker alone";
    EXPECT_EQ(Updater::deferralAge("1.1"), 0) << "another version restarts the count";
    // A moment with a fraction is written so that it reads back unchanged.
    root.clock->setWall(fromUnixSeconds(1767226000.123457));
    EXPECT_EQ(Updater::deferralAge("2.0"), 0);
    EXPECT_EQ(Updater::deferralAge("2.0"), 0) << readText(marker);

    root.clock->setWall(fromUnixSeconds(1767226600));
    writeText(marker, "  2.0 | 1767226000.5 \n");
    EXPECT_DOUBLE_EQ(Updater::deferralAge("2.0"), 599.5);
    // Any other text restarts the count; the last one is dated in the future.
    for (const char* text :
         {"2.0|1767226000|7", "2.0 1767226000", "2.00|1767226000", "2.0|nan", "2.0|1767230000"}) {
        writeText(marker, text);
        EXPECT_EQ(Updater::deferralAge("2.0"), 0) << text;
        EXPECT_EQ(readText(marker), "2.0|1767226600.0") << text;
    }
    // A directory where the marker should be: never read nor replaced, so 0.
    fs::remove(marker);
    fs::create_directories(marker);
    root.clock->advance(100h);
    EXPECT_EQ(Updater::deferralAge("2.0"), 0);
}

const std::string kPackage = "xar!-package-bytes\x01\x02 not really a pkg";
const std::string kPackageSha = "4f6d95becce957a93175b0abfb1a16bcf9af66d979e4b8a1f888e973073efc00";
const std::string kTrusted =
    "   Status: signed by a developer certificate issued by Apple for distribution\n"
    "   Certificate Chain:\n"
    "    1. Developer ID Installer: Tarvo Ltd (QK4R7TZW9N)\n";

class UpdaterFlow : public ::testing::Test {
  protected:
    UpdaterFlow() {
        server_.Get("/manifest", [this](const httplib::Request&, httplib::Response& res) {
            res.status = manifestStatus_;
            res.set_content(manifest_, "application/json");
        });
        server_.Get("/pkg", [this](const httplib::Request&, httplib::Response& res) {
            ++packageRequests_;
            res.status = packageStatus_;
            res.set_content(kPackage, "application/octet-stream");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        root_.standin("pkgutil", "signature", kTrusted);
        root_.standin("launchctl", "hold", "");
    }
    ~UpdaterFlow() override {
        server_.stop();
        thread_.join();
    }
    std::string url(const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(port_) + path;
    }
    void offer(const std::string& json, int status = 200) {
        manifest_ = json;
        manifestStatus_ = status;
        fs::remove(Paths::daemonLog());
    }
    // Offers `version` and returns where its package would be downloaded.
    std::string offerVersion(const std::string& version, const std::string& extra = "") {
        offer(R"({"version":")" + version + R"(","url":")" + url("/pkg") + "\"" + extra + "}");
        return root_.logDir + "/Tarvo-Update-" + version + ".pkg";
    }
    std::string shaField() const { return R"(,"sha256":")" + kPackageSha + "\""; }

    UpdaterRoot root_;
    httplib::SSLServer server_{(UpdaterRoot::certificates() + "/cert.pem").c_str(),
                               (UpdaterRoot::certificates() + "/key.pem").c_str()};
    std::thread thread_;
    int port_ = 0;
    std::string manifest_;
    int manifestStatus_ = 200, packageStatus_ = 200;
    std::atomic<int> packageRequests_{0};
};

TEST_F(UpdaterFlow, ManifestJudgements) {
    EnvGuard at("TARVO_UPDATE_URL", url("/manifest"));
    const std::string pkg = url("/pkg");
    const std::string skip = "DEBUG no update manifest configured — skipping";
    const std::string bad = "ERROR update failed: bad manifest: ";
    const std::string badText = bad +
                                "version text may hold only letters, digits, \".\", \"-\", \"+\" "
                                "and \"_\"";
    const std::tuple<int, std::string, std::string> cases[] = {
        {404, "", skip},
        {500, "oops", bad + "HTTP 500"},
        {200, "[1,2]", bad + "not a JSON object"},
        {200, "{not json", std::string("ERROR update failed: ") + json::NotJson().what()},
        {200, R"({"version":"","url":")" + pkg + "\"}", skip},
        {200, R"({"version":"9.0","url":"https://"})", skip},
        {200, R"({"version":"0.2.15","url":")" + pkg + "\"}",
         "DEBUG up to date (0.2.15, latest 0.2.15)"},
        {200, R"({"version":"9.0","url":"http://127.0.0.1/x.pkg"})",
         bad + "package URL is not https"},
        {200, R"({"version":"9.0","url":")" + pkg + R"(","minimumSystemVersion":"15"})",
         "WARN  update 9.0 needs macOS 15 — this Mac is older; skipping"},
        // Hostile version texts are refused before anything is written, even
        // while a child is active (the deferral marker holds the version).
        {200, R"({"version":"1.0\\\"; touch /tmp/owned; \\\"","url":")" + pkg + "\"}", badText},
        {200, R"({"version":"2.0|1","url":")" + pkg + "\"}", badText},
    };
    root_.childIsActive();
    for (const auto& [status, body, line] : cases) {
        offer(body, status);
        Updater::checkAndInstall("0.2.15");
        EXPECT_THAT(root_.logLines(), ElementsAre(line)) << status << " " << body;
        EXPECT_THAT(root_.logDirExtras(), ElementsAre()) << "nothing written: " << body;
    }
    EXPECT_EQ(packageRequests_, 0);
    fs::remove_all(Paths::activeChildrenDir());
    packageStatus_ = 403;
    offerVersion("0.5.0");
    Updater::checkAndInstall("0.2.15");
    EXPECT_EQ(root_.lastLogLine(), bad + "package HTTP 403");
    EXPECT_THAT(root_.logDirExtras(), ElementsAre());
}

TEST_F(UpdaterFlow, InstallsAVerifiedPackageAndDeletesOneThatFailsVerification) {
    EnvGuard at("TARVO_UPDATE_URL", url("/manifest"));
    const std::string pkg = root_.logDir + "/Tarvo-Update-0.3.0.pkg";
    writeText(Paths::updateDeferralFile(), "0.2.99|1767225600.0");
    // An address that is not text gives way to "pkg_url".
    offer(R"({"version":"0.3.0","url":12,"pkg_url":")" + url("/pkg") + "\"" + shaField() + "}");
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
    EXPECT_EQ(readText(root_.root.path() + "/.standins/launchctl/calls.log"),
              "remove app.tarvo.applyupdate\nsubmit -l app.tarvo.applyupdate -- " +
                  root_.root.path() + "/bin/bash " + Paths::updateScript() + "\n");
    EXPECT_THAT(root_.logDirExtras(),
                ElementsAre("Tarvo-Update-0.3.0.pkg", "tarvo-apply-update.sh"))
        << "no temporary download left behind";
    fs::remove(Paths::updateScript());

    const std::string failed = "ERROR update failed: package failed verification: ";
    const std::string team = failed + "signed by a different team (expected QK4R7TZW9N)";
    const std::string untrusted = failed + "not signed by a trusted Apple-issued certificate";
    const std::string trustedBy = "   Status: signed by a certificate trusted by macOS\n";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {kTrusted,
         R"(,"sha256":"ABC0000000000000000000000000000000000000000000000000000000000000")",
         "ERROR update failed: sha256 mismatch (expected abc000000000…, got " +
             kPackageSha.substr(0, 12) + "…)"},
        {trustedBy + "    1. Developer ID Installer: Other (AB12CD34EF)\n", "", team},
        {trustedBy + "    team QK4R7TZW9N\n", shaField(), team},  // the team without parentheses
        {"", "", untrusted},
        {"   Status: signed by an untrusted certificate (QK4R7TZW9N)\n", "", untrusted},
    };
    for (const auto& [signature, sha, error] : cases) {
        root_.standin("pkgutil", "signature", signature);
        const std::string pkg = offerVersion("0.4.0", sha);
        Updater::checkAndInstall("0.2.15");
        EXPECT_EQ(root_.lastLogLine(), error) << signature;
        EXPECT_FALSE(exists(pkg)) << signature;
        EXPECT_FALSE(exists(Paths::updateScript())) << "nothing handed over";
    }
}

TEST_F(UpdaterFlow, DefersWhileAChildIsActiveForAtMost72Hours) {
    EnvGuard at("TARVO_UPDATE_URL", url("/manifest"));
    offerVersion("0.6.0", shaField());
    const std::string deferring =
        "INFO  update 0.6.0 available, but a child is active — deferring (";
    for (const auto& [advance, hours] : {std::pair{0s, "0h"}, {1h, "1h"}, {259199s - 1h, "71h"}}) {
        root_.clock->advance(advance);
        root_.childIsActive();
        Updater::checkAndInstall("0.2.15");
        EXPECT_EQ(root_.lastLogLine(), deferring + hours + " of max 72h)");
    }
    EXPECT_EQ(packageRequests_, 0);
    EXPECT_EQ(readText(Paths::updateDeferralFile()), "0.6.0|1767225600.0");

    // A failed hand-off keeps the marker.
    root_.clock->advance(1s);
    root_.childIsActive();
    root_.standin("pkgutil", "signature", "");
    offerVersion("0.6.0", shaField());
    Updater::checkAndInstall("0.2.15");
    EXPECT_EQ(root_.logLines().at(0),
              "WARN  update 0.6.0 deferred for over 72h — installing now despite active session");
    EXPECT_EQ(readText(Paths::updateDeferralFile()), "0.6.0|1767225600.0");
    root_.standin("pkgutil", "signature", kTrusted);
    offerVersion("0.6.0", shaField());
    Updater::checkAndInstall("0.2.15");
    EXPECT_THAT(root_.lastLogLine(), HasSubstr("submitted to launchd"));
    EXPECT_FALSE(exists(Paths::updateDeferralFile()));
}

TEST_F(UpdaterFlow, FallsBackToADirectSpawnWhenLaunchdRefusesAndNeverUsesSharedPlaces) {
    EnvGuard at("TARVO_UPDATE_URL", url("/manifest"));
    root_.standin("launchctl", "submit-fails", "Bootstrap failed: 5: Input/output error\n");
    const std::string log = Paths::updaterLog(), nohup = root_.root.path() + "/usr/bin/nohup";
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
        // The install log is never used through a link planted there.
        {"exit 1", "link", failed},
    };
    const std::string victim = root_.root.path() + "/victim.log";
    writeText(victim, "[t] applying update 0.7.0\n");
    for (const auto& [script, before, last] : cases) {
        fs::remove(log);
        if (before == "link") fs::create_symlink(victim, log);
        if (!before.empty() && before != "link") writeText(log, before);
        fs::remove(nohup);
        writeText(nohup, "#!/bin/bash\n" + script + "\n");
        ::chmod(nohup.c_str(), 0755);
        offerVersion("0.7.0");
        Updater::checkAndInstall("0.2.15");
        EXPECT_THAT(root_.logLines(),
                    ::testing::Contains("WARN  launchctl submit failed (Bootstrap failed: 5: "
                                        "Input/output error) — falling back to a direct spawn"));
        EXPECT_EQ(root_.lastLogLine(), last) << script;
    }
    EXPECT_EQ(readText(victim), "[t] applying update 0.7.0\n");
    EXPECT_FALSE(fs::is_symlink(log));

    // A download directory others (or the group) can write is refused as it is.
    for (const mode_t mode : {0777, 0775, 0757}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(::chmod(root_.logDir.c_str(), mode), 0);
        offerVersion("0.8.0");
        Updater::checkAndInstall("0.2.15");
        EXPECT_THAT(root_.lastLogLine(), HasSubstr("update failed: install failed: " +
                                                   root_.logDir + " is writable by other users"));
        struct stat st {};
        ::stat(root_.logDir.c_str(), &st);
        EXPECT_EQ(st.st_mode & 0777, mode) << "the updater never changes the directory's mode";
    }
    EXPECT_EQ(packageRequests_, 6);
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
    server_.Get("/endless", endless(false));
    server_.Get("/trickle", endless(true));
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
        EnvGuard at("TARVO_UPDATE_URL", url(manifest));
        offer(R"({"version":"0.9.0","url":")" + url(package) + "\"}");
        sent = 0;
        Updater::checkAndInstall("0.2.15");
        EXPECT_EQ(root_.lastLogLine(), "ERROR update failed: bad manifest: " + line);
        EXPECT_LT(sent.load(), 8u * 1024 * 1024) << "stopped at the cap";
        EXPECT_TRUE(root_.logDirExtras().empty());
    }
}

}  // namespace
}  // namespace tarvo::test
