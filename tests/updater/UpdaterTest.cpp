// The updater against a local HTTPS update service in a made root with the
// stand-in tools (submitted jobs are recorded, not run).

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "core/Json.h"
#include "core/Paths.h"
#include "core/TimeFormat.h"
#include "platform/fake/FakeSystemLog.h"
#include "platform/mac/MacUpdatePackages.h"
#include "support/Processes.h"
#include "support/TestSupport.h"
#include "support/VirtualTime.h"
#include "updater/Updater.h"

namespace tarvo::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::ElementsAre;

const std::string kPackage = "xar!-package-bytes\x01\x02 not really a pkg";
const std::string kShaField =
    R"(,"sha256":"4f6d95becce957a93175b0abfb1a16bcf9af66d979e4b8a1f888e973073efc00")";
const std::string kTrusted =
    "   Status: signed by a developer certificate issued by Apple for distribution\n"
    "    1. Developer ID Installer: Tarvo Ltd (QK4R7TZW9N)\n";

// A made root, the updater on a virtual clock, and an update service on
// 127.0.0.1 whose self-signed certificate is trusted through SSL_CERT_FILE.
class Updates : public ::testing::Test {
  protected:
    Updates() {
        EXPECT_TRUE(run({.argv = {sourceDir() + "/scripts/make-root", root.path()}}).succeeded());
        fs::create_directories(logDir);
        writeText(root.path() + "/etc/os-release", "VERSION_ID=\"22.04.1.7\"\n");
        Updater::setEnvironment(environment());
        server.Get("/manifest", [this](const httplib::Request&, httplib::Response& res) {
            res.set_content(manifest, "application/json");
        });
        server.Get("/pkg", [this](const httplib::Request&, httplib::Response& res) {
            ++packageRequests;
            res.set_content(kPackage, "application/octet-stream");
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        standin("launchctl", "hold", "");
    }
    ~Updates() override {
        server.stop();
        thread.join();
        Updater::setEnvironment({});
    }
    Updater::Environment environment(Updater::Environment::Limits limits = {}) const {
        return {clock, std::make_shared<platform::FakeSystemLog>(),
                [] { return std::string("DEVICE-1"); }, limits,
                std::make_shared<platform::MacUpdatePackages>()};
    }
    static const std::string& certificates() {  // made once, for 127.0.0.1
        static TempDir dir;
        static const bool made =
            run({.argv = {"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                          "-keyout", dir / "key.pem", "-out", dir / "cert.pem", "-subj",
                          "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"}})
                .succeeded();
        EXPECT_TRUE(made);
        return dir.path();
    }
    void standin(const std::string& tool, const std::string& name, const std::string& text) const {
        writeText(root.path() + "/.standins/" + tool + "/" + name, text);
    }
    // The updater's messages in daemon.log as "LEVEL message" ("INFO  updating …").
    std::vector<std::string> logLines() const {
        auto lines = readLines(Paths::daemonLog());
        for (auto& line : lines) line.erase(0, line.find(" [updater] ") + 11);
        return lines;
    }
    std::string lastLogLine() const { return logLines().empty() ? "" : logLines().back(); }
    // A presence flag dated `ago` back on the virtual clock.
    void childIsActive(std::chrono::seconds ago = 0s) const {
        const std::string flag = Paths::activeChildrenDir() + "/501.flag";
        writeText(flag, "");
        fs::last_write_time(flag, std::chrono::file_clock::from_sys(clock->now() - ago));
    }
    std::set<std::string> logDirExtras() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(logDir)) names.insert(e.path().filename());
        names.erase("daemon.log");
        return names;
    }
    std::string url(const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(port) + path;
    }
    void offer(const std::string& json) {
        manifest = json;
        fs::remove(Paths::daemonLog());
    }
    std::string manifestFor(const std::string& version, const std::string& extra = "",
                            const std::string& package = "/pkg") const {
        return R"({"version":")" + version + R"(","url":")" + url(package) + "\"" + extra + "}";
    }

    TempRoot root;
    std::string logDir = root.path() + "/Library/Logs/Tarvo";
    EnvGuard updateUrl{"TARVO_UPDATE_URL", std::nullopt};
    EnvGuard certFile{"SSL_CERT_FILE", certificates() + "/cert.pem"};
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    httplib::SSLServer server{(certificates() + "/cert.pem").c_str(),
                              (certificates() + "/key.pem").c_str()};
    std::thread thread;
    int port = 0;
    std::string manifest;
    std::atomic<int> packageRequests{0};
};

// Versions, the manifest's address, presence and the deferral marker, then a
// deferred update handed over to launchd or, when launchd refuses, spawned.
TEST_F(Updates, RulesThenDeferralAndHandOver) {
    // An unreadable number counts as 0.
    const std::tuple<const char*, const char*, bool> order[] = {
        {"0.10", "0.9", true}, {"0.2.15.0", "0.2.15", false},
        {"1.0.1", "1", true},  {"1.0b2", "1.0", false},
        {"1..1", "1.0", true}, {"99999999999999999999999", "1", false}};
    for (const auto& [a, b, newer] : order)
        EXPECT_EQ(Updater::isNewer(a, b), newer) << a << " vs " << b;
    for (const std::string& text : {std::string("0.2.16-Beta_1+build.7"), std::string(100, 'z')})
        EXPECT_TRUE(Updater::isSafeVersionText(text)) << text;
    // One character at a time: each could reach a shell or the deferral marker.
    for (const std::string& text : std::vector<std::string>{
             std::string(101, '1'), "", "1/", "1$", "1(", "1)", "1|", "1 ", "1\n", "\xC3\xA9"})
        EXPECT_FALSE(Updater::isSafeVersionText(text)) << text;

    // The system's version shaped as three numbers: 22.04.1.7 is 22.4.1.
    const std::string query = "api/MacUpdateManifest?device_id=DEVICE-1&version=0.2.15&os=22.4.1";
    const std::string fallback = "https://tarvo.app/" + query, cfg = "https://cfg.example/u";
    const std::string set = "https://env.example/m.json";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {set, R"({"update_url":"https://cfg.example/u"})", set},
        {"not a url", R"({"update_url":"https://cfg.example/u"})", cfg},
        {"", R"({"update_url":42,"api":"https://svc.example/base/"})",
         "https://svc.example/base/" + query},
        {"", "{broken", fallback},
    };
    for (const auto& [env, config, expected] : cases) {
        EnvGuard guard("TARVO_UPDATE_URL", env);
        writeText(Paths::configFile(), config);
        EXPECT_EQ(Updater::manifestURL().value_or("<none>"), expected) << config;
    }
    // The data directory is writable by every user: a config.json root did
    // not write may be a child's, pointing root's updater at its own server.
    writeText(Paths::configFile(), R"({"update_url":"https://child.example/m"})");
    ASSERT_EQ(::chown(Paths::configFile().c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(Updater::manifestURL(), fallback);
    EXPECT_EQ(lastLogLine(), "WARN  ignoring " + Paths::configFile() +
                                 ": owned by uid 65534, neither root nor an administrator");

    // A stale flag does not count, and stays: the daemon's to remove.
    childIsActive(60s);
    EXPECT_FALSE(Updater::aChildIsActive());
    EXPECT_TRUE(exists(Paths::activeChildrenDir() + "/501.flag"));

    // The deferral marker: one dated ahead of the clock restarts the count, as
    // one of another version does (0.6.0's below replaces this 1.0 marker).
    const std::string marker = Paths::updateDeferralFile();
    clock->setWall(fromUnixSeconds(1767226600));
    writeText(marker, "1.0|1767230000");
    EXPECT_EQ(Updater::deferralAge("1.0"), 0);
    EXPECT_EQ(readText(marker), "1.0|1767226600.0");

    // While a child is active an update waits, 72 hours at most; a handed-over
    // package clears the marker.
    EnvGuard at("TARVO_UPDATE_URL", url("/manifest"));
    const std::string deferring =
        "INFO  update 0.6.0 available, but a child is active — deferring (";
    offer(manifestFor("0.6.0", kShaField));
    for (const auto& [advance, hours] : {std::pair{0s, "0h"}, {1h, "1h"}, {259199s - 1h, "71h"}}) {
        clock->advance(advance);
        childIsActive();
        Updater::checkAndInstall("0.2.15");
        EXPECT_EQ(lastLogLine(), deferring + hours + " of max 72h)");
    }
    EXPECT_EQ(packageRequests, 0);
    const std::string since = "0.6.0|1767226600.0";  // the first check's moment
    EXPECT_EQ(readText(marker), since);

    clock->advance(1s);
    childIsActive();
    standin("pkgutil", "signature", "");
    offer(manifestFor("0.6.0", kShaField));
    Updater::checkAndInstall("0.2.15");
    EXPECT_EQ(logLines().at(0),
              "WARN  update 0.6.0 deferred for over 72h — installing now despite active session");
    EXPECT_EQ(readText(marker), since) << "a failed install keeps the marker";

    // An address that is not text gives way to "pkg_url".
    standin("pkgutil", "signature", kTrusted);
    offer(R"({"version":"0.6.0","url":12,"pkg_url":")" + url("/pkg") + "\"" + kShaField + "}");
    Updater::checkAndInstall("0.2.15");
    EXPECT_EQ(lastLogLine(),
              "INFO  update 0.6.0 submitted to launchd as app.tarvo.applyupdate "
              "— daemon will be restarted by the package");
    EXPECT_FALSE(exists(Paths::updateDeferralFile()));
    EXPECT_EQ(fs::status(Paths::updateScript()).permissions(), fs::perms::owner_all);
    EXPECT_EQ(readText(root.path() + "/.standins/launchctl/calls.log"),
              "remove app.tarvo.applyupdate\nsubmit -l app.tarvo.applyupdate -- " + root.path() +
                  "/bin/bash " + Paths::updateScript() + "\n");
    EXPECT_THAT(logDirExtras(), ElementsAre("Tarvo-Update-0.6.0.pkg", "tarvo-apply-update.sh"))
        << "no temporary download left behind";

    // Launchd refuses: a direct spawn, judged by the installer's own log.
    fs::remove_all(Paths::activeChildrenDir());
    standin("launchctl", "submit-fails", "Bootstrap failed: 5: Input/output error\n");
    const std::string log = Paths::updaterLog(), nohup = root.path() + "/usr/bin/nohup";
    const std::string applying = "[t] applying update 0.7.0", victim = root.path() + "/victim.log";
    const std::string failed =
        "ERROR update failed: install failed: installer child died immediately — update 0.7.0 "
        "was not applied";
    const std::string handed = "INFO  update 0.7.0 handed to detached installer (fallback path)";
    // The installer's script, what the install log held before, the outcome.
    const std::tuple<std::string, std::string, std::string> spawns[] = {
        {"echo '" + applying + "' >>'" + log + "'", "", handed},
        {"exit 1", applying + "\n", failed},  // an earlier attempt's line does not count
        {"sleep 3", "", handed},              // still running after a second
        {"exit 1", "link", failed},  // the install log is never used through a planted link
    };
    writeText(victim, applying + "\n");
    for (const auto& [script, before, last] : spawns) {
        fs::remove(log);
        if (before == "link") fs::create_symlink(victim, log);
        if (!before.empty() && before != "link") writeText(log, before);
        fs::remove(nohup);
        writeText(nohup, "#!/bin/bash\n" + script + "\n");
        ::chmod(nohup.c_str(), 0755);
        offer(manifestFor("0.7.0"));
        Updater::checkAndInstall("0.2.15");
        EXPECT_THAT(logLines(), ::testing::Contains("WARN  launchctl submit failed (Bootstrap "
                                                    "failed: 5: Input/output error) — falling back "
                                                    "to a direct spawn"));
        EXPECT_EQ(lastLogLine(), last) << script;
    }
    EXPECT_EQ(readText(victim), applying + "\n");

    EXPECT_EQ(packageRequests, 6);
}

// Every way a check ends early, with nothing left behind: what the manifest
// says, a package that fails verification, a download directory others can
// write (refused as it is), and a server that sends without end or a byte at
// a time, where every cap ends the check as soon as it is passed.
TEST_F(Updates, EveryRefusalLeavesNothingBehind) {
    std::atomic<size_t> sent{0};
    server.Get("/(endless|trickle)", [&sent](const httplib::Request& req, httplib::Response& res) {
        const bool slow = req.matches[1] == "trickle";
        res.set_chunked_content_provider(
            "application/octet-stream", [&sent, slow](size_t, httplib::DataSink& sink) {
                const std::string piece(slow ? 1 : 16384, ' ');
                if (slow) std::this_thread::sleep_for(100ms);
                if (!sink.is_writable() || !sink.write(piece.data(), piece.size())) return false;
                sent += piece.size();
                return true;
            });
    });
    using Limits = Updater::Environment::Limits;
    Limits quick, wholeCheck;
    quick.manifestTime = quick.packageTime = wholeCheck.checkTime = 1s;
    quick.packageBytes = 1024 * 1024;
    const std::string m = "/manifest", v = "9.0";
    auto from = [&](const char* package) { return manifestFor(v, "", package); };
    const std::string skip = "DEBUG no update manifest configured — skipping";
    const std::string bad = "ERROR update failed: bad manifest: ";
    const std::string failed = "ERROR update failed: package failed verification: ";
    const std::string team = failed + "signed by a different team (expected QK4R7TZW9N)";
    const std::string untrusted = failed + "not signed by a trusted Apple-issued certificate";
    const std::string byMacOs = "   Status: signed by a certificate trusted by macOS\n";
    const std::string otherTeam = byMacOs + "    1. Developer ID Installer: Other (AB12CD34EF)\n";
    const std::string bareTeam = byMacOs + "    team QK4R7TZW9N\n";  // without the parentheses
    const std::string wrongSha = R"(,"sha256":"ABC0)" + std::string(60, '0') + "\"";
    const std::string shared = "ERROR update failed: install failed: " + logDir +
                               " is writable by other users \xE2\x80\x94 refusing to use it";
    const struct {
        std::string path, body, line, signature = kTrusted;
        Limits limits = {};
        mode_t mode = 0755;  // the download directory's
    } cases[] = {
        {"/none", "", skip},
        {m, "{not json", std::string("ERROR update failed: ") + json::NotJson().what()},
        {m, manifestFor("0.2.15"), "DEBUG up to date (0.2.15, latest 0.2.15)"},
        {m, R"({"version":"9.0","url":"http://x/a.pkg"})", bad + "package URL is not https"},
        {m, manifestFor(v, R"(,"minimumSystemVersion":"23")"),
         "WARN  update 9.0 needs macOS 23 — this Mac is older; skipping"},
        // Refused before anything (a marker, a package) is named after it.
        {m, manifestFor("1.0\\\"; touch /tmp/owned; \\\""),
         bad + "version text may hold only letters, digits, \".\", \"-\", \"+\" and \"_\""},
        {m, manifestFor(v, wrongSha),
         "ERROR update failed: sha256 mismatch (expected abc000000000…, got 4f6d95becce9…)"},
        {m, manifestFor(v), team, otherTeam},
        {m, manifestFor(v, kShaField), team, bareTeam},
        {m, manifestFor(v), untrusted, ""},
        {m, manifestFor(v), shared, kTrusted, {}, 0775},
        {"/endless", "", bad + "manifest larger than 65536 bytes"},
        {"/trickle", "", bad + "manifest not received within 1 s", kTrusted, quick},
        {"/trickle", "", bad + "update check took longer than 1 s", kTrusted, wholeCheck},
        {m, from("/endless"), bad + "package larger than 1048576 bytes", kTrusted, quick},
        {m, from("/trickle"), bad + "package not received within 1 s", kTrusted, quick},
        {m, from("/none"), bad + "package HTTP 404"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Updater::setEnvironment(environment(c.limits));
        standin("pkgutil", "signature", c.signature);
        ASSERT_EQ(::chmod(logDir.c_str(), c.mode), 0);
        EnvGuard at("TARVO_UPDATE_URL", url(c.path));
        offer(c.body);
        sent = 0;
        Updater::checkAndInstall("0.2.15");
        EXPECT_EQ(lastLogLine(), c.line);
        EXPECT_LT(sent.load(), 8u * 1024 * 1024) << "stopped at the cap";
        EXPECT_THAT(logDirExtras(), ElementsAre()) << "nothing written";
        EXPECT_EQ(fs::status(logDir).permissions(), fs::perms(c.mode)) << "never changed";
    }
}

}  // namespace
}  // namespace tarvo::test
