// The updater against a local HTTPS update service in a made root with the
// stand-in tools (submitted jobs are recorded, not run).

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <atomic>
#include <set>

#include "core/Json.h"
#include "core/Paths.h"
#include "core/TimeFormat.h"
#include "platform/fake/FakeSystemLog.h"
#include "platform/mac/MacUpdatePackages.h"
#include "platform/system/LinuxDetachedJobs.h"
#include "platform/system/LinuxUpdatePackages.h"
#include "service/ServiceProcess.h"
#include "support/Processes.h"
#include "support/TestSupport.h"
#include "support/VirtualTime.h"
#include "updater/Updater.h"

namespace tarvo::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::LinuxUpdatePackages;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kPackage = "xar!-package-bytes\x01\x02 not really a pkg";
const std::string kShaField =
    R"(,"sha256":"4f6d95becce957a93175b0abfb1a16bcf9af66d979e4b8a1f888e973073efc00")";
const std::string kTrusted =
    "   Status: signed by a developer certificate issued by Apple for distribution\n"
    "    1. Developer ID Installer: Tarvo Ltd (QK4R7TZW9N)\n";

// A Debian package `name` at `version` in `dir`, holding usr/share/tarvo/VERSION;
// `preinst` runs before it is unpacked. Unchecked, so any version text goes in.
std::string makeDeb(const std::string& dir, const std::string& name, const std::string& version,
                    const std::string& preinst = "") {
    const std::string tree = dir + "/tree-" + name + "-" + version;
    writeText(tree + "/DEBIAN/control", "Package: " + name + "\nVersion: " + version +
                                            "\nArchitecture: all\nMaintainer: Tarvo "
                                            "<dev@tarvo.local>\nDescription: update\n");
    writeText(tree + "/usr/share/tarvo/VERSION", version + "\n");
    if (!preinst.empty()) {
        writeText(tree + "/DEBIAN/preinst", "#!/bin/sh\n" + preinst + "\n");
        fs::permissions(tree + "/DEBIAN/preinst", fs::perms(0755));
    }
    const std::string deb = dir + "/" + name + "_" + version + "_all.deb";
    EXPECT_TRUE(run({.argv = {"/usr/bin/dpkg-deb", "--nocheck", "--root-owner-group", "--build",
                              tree, deb}})
                    .succeeded());
    return deb;
}

// scripts/sign-package: a key pair made in `dir`, or `pkg` signed with `key`.
void signPackage(const std::string& keyOrFlag, const std::string& target) {
    EXPECT_TRUE(
        run({.argv = {sourceDir() + "/scripts/sign-package", keyOrFlag, target}}).succeeded());
}

// What `start` says of a hand-off, or the message of the package error it throws.
template <typename Start>
std::string outcomeOf(Start start) {
    try {
        return start();
    } catch (const platform::PackageError& e) {
        return e.what();
    }
}

// A made root, updaters on a virtual clock with the Mac's packages, and an
// update service on 127.0.0.1 whose self-signed certificate is trusted
// through SSL_CERT_FILE.
class Updates : public ::testing::Test {
  protected:
    using Limits = Updater::Environment::Limits;
    Updates() {
        EXPECT_TRUE(run({.argv = {sourceDir() + "/scripts/make-root", root.path()}}).succeeded());
        fs::create_directories(logDir);
        writeText(root.path() + "/etc/os-release", "VERSION_ID=\"22.04.1.7\"\n");
        server.Get("/(manifest|pkg)", [this](const httplib::Request& req, httplib::Response& res) {
            const bool pkg = req.matches[1] == "pkg";
            res.set_content(pkg ? kPackage : manifest,
                            pkg ? "application/octet-stream" : "application/json");
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        standin("launchctl", "hold", "");
    }
    ~Updates() override {
        server.stop();
        thread.join();
    }
    // A fresh updater whose manifest address is set to `address`.
    Updater& use(std::optional<std::string> address, Limits limits = {}) {
        updater.emplace(Updater::Environment{clock, std::make_shared<platform::FakeSystemLog>(),
                                             [] { return std::string("DEVICE-1"); },
                                             std::move(address), limits,
                                             std::make_shared<platform::MacUpdatePackages>()});
        return *updater;
    }
    // One check of 0.2.15 against `json` served at `path`: its last log line.
    std::string check(const std::string& json, const std::string& path = "/manifest",
                      Limits limits = {}) {
        manifest = json;
        fs::remove(Paths::daemonLog());
        use(url(path), limits).checkAndInstall("0.2.15");
        return logLines().empty() ? "" : logLines().back();
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
    std::string manifestFor(const std::string& version, const std::string& extra = "",
                            const std::string& package = "/pkg") const {
        return R"({"version":")" + version + R"(","url":")" + url(package) + "\"" + extra + "}";
    }

    TempRoot root;
    std::string logDir = root.path() + "/Library/Logs/Tarvo";
    EnvGuard certFile{"SSL_CERT_FILE", certificates() + "/cert.pem"};
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    std::optional<Updater> updater;
    httplib::SSLServer server{(certificates() + "/cert.pem").c_str(),
                              (certificates() + "/key.pem").c_str()};
    std::thread thread;
    int port = 0;
    std::string manifest;
};

// Versions, the manifest's address, presence and the deferral marker, then a
// deferred update handed over to launchd or, when launchd refuses, spawned.
TEST_F(Updates, RulesThenDeferralAndHandOver) {
    // Only the leading digits of a piece count, an unreadable number as 0;
    // empty pieces are dropped.
    const std::tuple<const char*, const char*, bool> order[] = {
        {"0.10", "0.9", true},         {"0.9", "0.10", false},
        {"0.2.15.0", "0.2.15", false}, {"1.0.1", "1", true},
        {"1.0b2", "1.0", false},       {"1.2b", "1.1", true},
        {"1..2", "1.1", true},         {"99999999999999999999999", "1", false}};
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
    const std::tuple<std::optional<std::string>, std::string, std::string> cases[] = {
        {set, R"({"update_url":"https://cfg.example/u"})", set},
        {"not a url", R"({"update_url":"https://cfg.example/u"})", cfg},
        {std::nullopt, R"({"update_url":42,"api":"https://svc.example/base/"})",
         "https://svc.example/base/" + query},
        {std::nullopt, R"({"update_url":"no url","api":"none either"})", fallback},
        {std::nullopt, "{broken", fallback},
    };
    for (const auto& [address, config, expected] : cases) {
        writeText(Paths::configFile(), config);
        EXPECT_EQ(use(address).manifestURL().value_or("<none>"), expected) << config;
    }
    // The data directory is writable by every user: a config.json root did
    // not write may be a child's, pointing root's updater at its own server.
    writeText(Paths::configFile(), R"({"update_url":"https://child.example/m"})");
    ASSERT_EQ(::chown(Paths::configFile().c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(use(std::nullopt).manifestURL(), fallback);
    EXPECT_EQ(logLines().back(), "WARN  ignoring " + Paths::configFile() +
                                     ": owned by uid 65534, neither root nor an administrator");

    // A flag a minute old is stale (the window's inner side is pinned with
    // the daemon's scan); a stale one stays: the daemon's to remove.
    childIsActive(60s);
    EXPECT_FALSE(updater->aChildIsActive());
    EXPECT_TRUE(exists(Paths::activeChildrenDir() + "/501.flag"));

    // The deferral marker: one dated ahead of the clock, of another version or
    // without "|" restarts the count; a well-formed one is read back trimmed.
    const std::string marker = Paths::updateDeferralFile();
    clock->setWall(fromUnixSeconds(1767226600));
    for (const char* text : {"1.0|1767230000", "0.9|1767220000", "1.0 1767220000"}) {
        writeText(marker, text);
        EXPECT_EQ(updater->deferralAge("1.0"), 0) << text;
        EXPECT_EQ(readText(marker), "1.0|1767226600.0");
    }
    writeText(marker, " 1.0 | 1767220000.5\n");
    EXPECT_EQ(updater->deferralAge("1.0"), 6599.5);

    // While a child is active an update waits, 72 hours at most; a handed-over
    // package clears the marker.
    const std::string deferring =
        "INFO  update 0.6.0 available, but a child is active — deferring (";
    for (const auto& [advance, hours] : {std::pair{0s, "0h"}, {1h, "1h"}, {259199s - 1h, "71h"}}) {
        clock->advance(advance);
        childIsActive();
        EXPECT_EQ(check(manifestFor("0.6.0", kShaField)), deferring + hours + " of max 72h)");
    }
    EXPECT_THAT(logDirExtras(), ElementsAre("update-deferred-since.txt")) << "nothing downloaded";
    const std::string since = "0.6.0|1767226600.0";  // the first check's moment
    EXPECT_EQ(readText(marker), since);

    clock->advance(1s);
    childIsActive();
    standin("pkgutil", "signature", "");
    check(manifestFor("0.6.0", kShaField));
    EXPECT_EQ(logLines().at(0),
              "WARN  update 0.6.0 deferred for over 72h — installing now despite active session");
    EXPECT_EQ(readText(marker), since) << "a failed install keeps the marker";

    // An address that is not text gives way to "pkg_url"; the scheme counts in any case.
    standin("pkgutil", "signature", kTrusted);
    EXPECT_EQ(check(R"({"version":"0.6.0","url":12,"pkg_url":"HTTPS)" + url("/pkg").substr(5) +
                    "\"" + kShaField + "}"),
              "INFO  update 0.6.0 submitted to launchd as app.tarvo.applyupdate "
              "— daemon will be restarted by the package");
    EXPECT_THAT(logLines(), ::testing::Contains("DEBUG sha256 verified"));
    EXPECT_EQ(fs::status(Paths::updateScript()).permissions(), fs::perms::owner_all);
    EXPECT_EQ(readText(root.path() + "/.standins/launchctl/calls.log"),
              "remove app.tarvo.applyupdate\nsubmit -l app.tarvo.applyupdate -- " + root.path() +
                  "/bin/bash " + Paths::updateScript() + "\n");
    EXPECT_THAT(logDirExtras(), ElementsAre("Tarvo-Update-0.6.0.pkg", "tarvo-apply-update.sh"))
        << "no temporary download nor deferral marker left behind";

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
        {"echo '" + applying + ".1' >>'" + log + "'", "", failed},  // nor another version's
        {"sleep 3", "", handed},                                    // still running after a second
        {"exit 1", "link", failed},  // the install log is never used through a planted link
        {"echo '" + applying + "' >>'" + log + "'", "hard link", handed},  // nor a second name
    };
    writeText(victim, applying + "\n");
    for (const auto& [script, before, last] : spawns) {
        fs::remove(log);
        if (before == "link") fs::create_symlink(victim, log);
        if (before == "hard link") fs::create_hard_link(victim, log);
        if (!before.empty() && !before.ends_with("link")) writeText(log, before);
        fs::remove(nohup);
        writeText(nohup, "#!/bin/bash\n" + script + "\n");
        ::chmod(nohup.c_str(), 0755);
        EXPECT_EQ(check(manifestFor("0.7.0")), last) << script;
        EXPECT_THAT(logLines(), ::testing::Contains("WARN  launchctl submit failed (Bootstrap "
                                                    "failed: 5: Input/output error) — falling back "
                                                    "to a direct spawn"));
    }
    EXPECT_EQ(readText(victim), applying + "\n");
}

// Every way a check ends early, with nothing left behind: what the manifest
// says, a package that fails verification, a download directory others can
// write (refused as it is), and a server that sends without end or a byte at
// a time, where every cap ends the check as soon as it is passed.
TEST_F(Updates, EveryRefusalLeavesNothingBehind) {
    std::atomic<size_t> sent{0};
    // Without end, a byte at a time, or without end behind a refusal.
    server.Get("/(endless|trickle|refused)",
               [&sent](const httplib::Request& req, httplib::Response& res) {
                   const bool slow = req.matches[1] == "trickle";
                   if (req.matches[1] == "refused") res.status = 503;
                   res.set_chunked_content_provider(
                       "application/octet-stream", [&sent, slow](size_t, httplib::DataSink& sink) {
                           const std::string piece(slow ? 1 : 16384, ' ');
                           if (slow) std::this_thread::sleep_for(100ms);
                           if (!sink.is_writable() || !sink.write(piece.data(), piece.size()))
                               return false;
                           sent += piece.size();
                           return true;
                       });
               });
    const std::string m = "/manifest", v = "9.0", upToDate = manifestFor("0.2.15");
    // Caps of a second, and of exactly the manifest's and the package's size.
    const Limits quick{.manifestTime = 1s, .packageBytes = 1024 * 1024, .packageTime = 1s};
    const Limits wholeCheck{.checkTime = 1s};
    const Limits exact{.manifestBytes = upToDate.size(), .packageBytes = kPackage.size()};
    const Limits under{.manifestBytes = upToDate.size() - 1, .packageBytes = kPackage.size() - 1};
    auto from = [&](const char* package) { return manifestFor(v, "", package); };
    auto signature = [&](const std::string& at) {
        return manifestFor(v, R"(,"signature_url":")" + at + "\"");
    };
    const std::string skip = "DEBUG no update manifest configured — skipping";
    const std::string bad = "ERROR update failed: bad manifest: ";
    const std::string failed = "ERROR update failed: package failed verification: ";
    const std::string team = failed + "signed by a different team (expected QK4R7TZW9N)";
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
        {m, R"({"version":"","url":"https://x/a.pkg"})", skip},
        {m, R"({"version":"9.0","pkg_url":7})", skip},
        {m, R"({"version":"9.0","url":"https://"})", skip},
        {m, "{not json", std::string("ERROR update failed: ") + json::NotJson().what()},
        {m, "[1]", bad + "not a JSON object"},
        {"/redirect", "", bad + "HTTP 300"},
        {m, R"({"version":"9.0","url":"http://x/a.pkg"})", bad + "package URL is not https"},
        {m, manifestFor(v, R"(,"minimumSystemVersion":"23")"),
         "WARN  update 9.0 needs macOS 23 — this Mac is older; skipping"},
        // Refused before anything (a marker, a package) is named after it.
        {m, manifestFor("1.0\\\"; touch /tmp/owned; \\\""),
         bad + "version text may hold only letters, digits, \".\", \"-\", \"+\" and \"_\""},
        {m, manifestFor(v, wrongSha),
         "ERROR update failed: sha256 mismatch (expected abc000000000…, got 4f6d95becce9…)"},
        // An empty checksum is none; a system as new as the minimum will do.
        {m, manifestFor(v, R"(,"sha256":"","minimumSystemVersion":"22.4.1")"), team, otherTeam},
        {m, manifestFor(v, kShaField), team, bareTeam},
        {m, manifestFor(v), failed + "not signed by a trusted Apple-issued certificate", ""},
        {m, manifestFor(v), shared, kTrusted, {}, 0775},
        {"/endless", "", bad + "manifest larger than 65536 bytes"},
        {m, upToDate,
         bad + "manifest larger than " + std::to_string(under.manifestBytes) + " bytes", kTrusted,
         under},
        {m, upToDate, "DEBUG up to date (0.2.15, latest 0.2.15)", kTrusted, exact},
        {"/trickle", "", bad + "manifest not received within 1 s", kTrusted, quick},
        {"/trickle", "", bad + "update check took longer than 1 s", kTrusted, wholeCheck},
        {m, from("/endless"), bad + "package larger than 1048576 bytes", kTrusted, quick},
        {m, from("/pkg"),
         bad + "package larger than " + std::to_string(under.packageBytes) + " bytes", kTrusted,
         under},
        {m, from("/pkg"), team, otherTeam, exact},
        {m, from("/trickle"), bad + "package not received within 1 s", kTrusted, quick},
        {m, from("/none"), bad + "package HTTP 404"},
        {m, from("/refused"), bad + "package HTTP 503"},  // its body never read
        {m, signature("http://x/a.sig"), bad + "signature URL is not https"},
        // The package came, its signature did not: neither stays.
        {m, signature(url("/none")), bad + "signature HTTP 404"},
        {m, signature(url("/endless")), bad + "signature larger than 4096 bytes"},
    };
    server.Get("/redirect",
               [](const httplib::Request&, httplib::Response& res) { res.status = 300; });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body + " " + c.line);
        standin("pkgutil", "signature", c.signature);
        ASSERT_EQ(::chmod(logDir.c_str(), c.mode), 0);
        sent = 0;
        EXPECT_EQ(check(c.body, c.path, c.limits), c.line);
        EXPECT_LT(sent.load(), 8u * 1024 * 1024) << "stopped at the cap";
        EXPECT_THAT(logDirExtras(), ElementsAre()) << "nothing written";
        EXPECT_EQ(fs::status(logDir).permissions(), fs::perms(c.mode)) << "never changed";
    }

    // A check that starts while another runs on the same updater is skipped;
    // once that one has ended, checks run again.
    Updater& busy = use(url("/trickle"), wholeCheck);
    fs::remove(Paths::daemonLog());
    sent = 0;
    std::thread first([&] { busy.checkAndInstall("0.2.15"); });
    ASSERT_TRUE(polling::waitUntil([&] { return sent > 0; }));
    busy.checkAndInstall("0.2.15");
    first.join();
    busy.checkAndInstall("0.2.15");
    const std::string late = bad + "update check took longer than 1 s";
    EXPECT_THAT(logLines(),
                ElementsAre("DEBUG an update check is already running — skipping", late, late));
}

// Debian packages: only ours, signed with a trusted key and newer by dpkg's
// order, pass; the key for tests counts only in a made root.
TEST_F(Updates, OnlyOurSignedNewerDebianPackage) {
    TempDir dir;
    signPackage("--make-key", dir / "ours");
    signPackage("--make-key", dir / "other");
    const std::string pub = readText(dir / "ours/update-signing.pub");
    LinuxUpdatePackages debs({.keys = {pub}});
    const std::string notNewer = " is not newer than 0.2.15";
    const std::string mismatch = "signature does not match the pinned key";
    const std::string verified = "package signature verified — Ed25519 key, tarvo ";
    const struct {
        std::string name, version, tamper, outcome, running = "0.2.15";
    } cases[] = {
        {"tarvo", "0.2.15-1", "", verified + "0.2.15-1"},
        {"tarvo", "0.2.16", "package", mismatch},
        {"tarvo", "0.2.16", "signature", mismatch},
        {"tarvo", "0.2.16", "other", mismatch},  // signed with another key
        {"tarvo", "0.2.16", "unsigned", "no detached signature offered"},
        {"tarvo-tools", "0.2.16", "", "package is tarvo-tools, not tarvo"},
        {"tarvo", "0.2.15", "", "package version 0.2.15" + notNewer},
        {"tarvo", "0.2.14", "", "package version 0.2.14" + notNewer},
        // What dpkg cannot read: the package's version, or the running one.
        {"tarvo", "x0.3", "", "not a Debian package: dpkg-deb: error: parsing file"},
        {"tarvo", "0.3", "", "package version 0.3 cannot be compared with abc: dpkg: warning",
         "abc"},
        {"tarvo", "0.3", "", "package version 0.3 cannot be compared with 1 x: dpkg: error", "1 x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + " " + c.version + " " + c.tamper);
        const std::string deb = makeDeb(dir.path(), c.name, c.version);
        signPackage(
            dir / ((c.tamper == "other" ? "other" : "ours") + std::string("/update-signing.key")),
            deb);
        // One flipped bit, in the middle of the file.
        if (c.tamper == "package" || c.tamper == "signature") {
            const std::string path = c.tamper == "package" ? deb : deb + ".sig";
            std::string bytes = readText(path);
            bytes[bytes.size() / 2] ^= 0x01;
            writeText(path, bytes);
        }
        platform::PackageFiles files{deb, deb + ".sig"};
        if (c.tamper == "unsigned") files.signature.reset();
        const std::string outcome = outcomeOf([&] { return debs.verify(files, c.running); });
        EXPECT_EQ(outcome.substr(0, c.outcome.size()), c.outcome);
    }

    // The key for tests: honoured under TARVO_ROOT (set by the fixture) only.
    EnvGuard testKey("TARVO_TEST_UPDATE_KEY", dir / "ours/update-signing.pub");
    EXPECT_THAT(LinuxUpdatePackages::trustedKeys(),
                ElementsAre(LinuxUpdatePackages::releaseKey(), pub));
    LayoutGuard noRoot("TARVO_ROOT", "");
    EXPECT_THAT(LinuxUpdatePackages::trustedKeys(), ElementsAre(LinuxUpdatePackages::releaseKey()));
    EXPECT_THAT(LinuxUpdatePackages::releaseKey(), HasSubstr("BEGIN PUBLIC KEY"));
}

// The installer's job: a transient unit when systemd runs the machine (its
// systemd-run a recording double; when it refuses nothing starts, since a
// process of the daemon's unit dies with it), else a double fork into a
// session of its own.
TEST_F(Updates, DetachedJobsUnderSystemdOrInTheirOwnSession) {
    TempDir dir;
    const std::string systemd = dir / "run-systemd-system", tool = dir / "systemd-run";
    const std::string calls = dir / "calls", out = dir / "job", script = dir / "script";
    // The job writes its session and its parent (/proc/PID/stat fields 6 and 4).
    writeText(script, "read -r s < /proc/$$/stat; set -- $s; echo \"$6 $4\" > " + out + "\n");
    const auto jobs = std::make_shared<platform::LinuxDetachedJobs>(
        platform::LinuxDetachedJobs::Options{systemd, tool});
    LinuxUpdatePackages debs({.jobs = jobs});
    const std::string bus = "Failed to connect to bus: No such file or directory";
    // What systemd-run does (none, last: systemd does not run), what the hand-off says.
    const std::pair<std::string, std::string> cases[] = {
        {"exit 0",
         "update 0.3.0 submitted to systemd as tarvo-apply-update — daemon will be "
         "restarted by the package"},
        {"echo '" + bus + "'; exit 1", "systemd-run failed (" + bus + ")"},
        {"exit 3", "systemd-run failed (exit status 3)"},
        {"", "update 0.3.0 handed to detached installer (fallback path)"},
    };
    for (const auto& [answer, said] : cases) {
        SCOPED_TRACE(answer);
        fs::remove_all(systemd);
        fs::remove(out);
        fs::remove(calls);
        if (!answer.empty()) fs::create_directories(systemd);
        writeText(tool, "#!/bin/sh\necho \"$*\" >> " + calls + "\n" + answer + "\n");
        fs::permissions(tool, fs::perms(0755));
        std::string handedOff;
        const auto start = [&] {
            debs.start(script, "0.3.0", {[&](const std::string& l) { handedOff = l; }, {}});
            return handedOff;
        };
        EXPECT_EQ(outcomeOf(start), said);
        if (!answer.empty()) {
            EXPECT_EQ(readText(calls),
                      "--unit=tarvo-apply-update --collect --quiet -- /bin/bash " + script + "\n");
            EXPECT_FALSE(exists(out)) << "the double only records";
            continue;
        }
        ASSERT_TRUE(polling::waitUntil([&] { return readText(out).ends_with("\n"); }));
        std::istringstream line(readText(out));
        pid_t session = 0, parent = 0;
        line >> session >> parent;
        EXPECT_NE(session, ::getsid(0)) << "a session of its own";
        EXPECT_NE(parent, ::getpid()) << "not our child";
    }
    const auto missing = jobs->start("tarvo-apply-update", {dir / "missing"});
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.error, dir / "missing" + ": No such file or directory");
}

// The whole update on this system: the real service offers a signed .deb, a
// real `tarvo check-update` in a made root fetches and checks it and hands it
// to a detached job, whose dpkg installs it into the root (dpkg --root) after
// the updater's whole process group has been killed.
TEST_F(Updates, SignedDebianPackageFromTheServiceInstalledByDpkgInADetachedJob) {
    if (::geteuid() != 0) GTEST_SKIP() << "check-update and dpkg need root";
    TempDir offered, keys, made, data;
    const std::string linuxRoot = made.path();
    signPackage("--make-key", keys.path());
    // The package waits for the test's word before dpkg unpacks it.
    const std::string deb = makeDeb(offered.path(), "tarvo", "0.3.0",
                                    R"(while [ ! -e "$DPKG_ROOT/gate" ]; do sleep 0.05; done)");
    signPackage(keys / "update-signing.key", deb);
    ServiceProcess service(
        data.path(), {"--updates", offered.path(), "--cert", certificates() + "/cert.pem", "--key",
                      certificates() + "/key.pem"});
    service.start();
    const std::string files = service.origin() + "/updates/tarvo_0.3.0_all.deb";
    writeText(offered / "manifest.json", json::Json{{"version", "0.3.0"},
                                                    {"url", files},
                                                    {"sha256", Updater::sha256(deb)},
                                                    {"signature_url", files + ".sig"}}
                                             .dump());

    for (const char* d : {"/var/lib/dpkg/info", "/var/lib/dpkg/updates", "/var/lib/dpkg/triggers",
                          "/var/cache/tarvo", "/var/log/tarvo"})
        fs::create_directories(linuxRoot + d);
    writeText(linuxRoot + "/var/lib/dpkg/status", "");
    const std::string daemonLog = linuxRoot + "/var/log/tarvo/daemon.log";
    const std::string installLog = linuxRoot + "/var/log/tarvo/updater.log";
    // A link left in the log's place: root's script never appends through it.
    writeText(data / "victim", "");
    fs::create_symlink(data / "victim", installLog);

    SpawnedProcess check = spawnProcess(
        tarvoBinary(), {"check-update"},
        {.captureStdout = false,
         .captureStderr = false,
         .environment =
             environmentWith({"TARVO_PLATFORM=", "TARVO_ROOT=" + linuxRoot, "HOME=" + linuxRoot,
                              "TARVO_UPDATE_URL=" + service.origin() + "/api/MacUpdateManifest",
                              "SSL_CERT_FILE=" + certificates() + "/cert.pem",
                              "TARVO_TEST_UPDATE_KEY=" + keys / "update-signing.pub"}),
         .newSession = true,
         .discardUncaptured = true});
    const std::string handed = "update 0.3.0 handed to detached installer (fallback path)";
    auto holds = [](const std::string& path, const std::string& text) {
        return readText(path).find(text) != std::string::npos;
    };
    ASSERT_TRUE(polling::waitUntil([&] { return holds(daemonLog, handed); }))
        << readText(daemonLog);
    EXPECT_THAT(readText(daemonLog),
                HasSubstr("package signature verified — Ed25519 key, tarvo 0.3.0"));
    // The updater's process group dies, as with the daemon's; the job lives on.
    ::kill(-check.pid, SIGKILL);
    int status = 0;
    ::waitpid(check.pid, &status, 0);
    ASSERT_TRUE(polling::waitUntil([&] { return holds(installLog, "applying update 0.3.0\n"); }));
    EXPECT_EQ(readText(installLog).find("installed"), std::string::npos) << "still waiting";
    writeText(linuxRoot + "/gate", "");
    ASSERT_TRUE(polling::waitUntil([&] { return holds(installLog, "installed 0.3.0 OK\n"); }))
        << readText(installLog);
    EXPECT_EQ(readText(linuxRoot + "/usr/share/tarvo/VERSION"), "0.3.0\n");
    EXPECT_EQ(readText(data / "victim"), "");
    EXPECT_THAT(readText(linuxRoot + "/var/lib/dpkg/status"), HasSubstr("Version: 0.3.0"));
    // dpkg's own log stays in the root.
    EXPECT_THAT(readText(linuxRoot + "/var/log/dpkg.log"),
                HasSubstr(" status installed tarvo:all 0.3.0\n"));
    EXPECT_TRUE(polling::waitUntil([&] {
        return !fs::exists(linuxRoot + "/var/cache/tarvo/Tarvo-Update-0.3.0.deb") &&
               !fs::exists(linuxRoot + "/var/cache/tarvo/Tarvo-Update-0.3.0.deb.sig");
    })) << "the package and its signature are removed";
}

}  // namespace
}  // namespace tarvo::test
