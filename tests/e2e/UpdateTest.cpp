// Updates with the real binaries: a newer package published on a real
// tarvo-service (over HTTPS, trusted through a test authority) is found by the
// daemon's own update checks; while the child's agent keeps its presence flag
// fresh the update waits, and once the agent has gone the daemon downloads
// it, checks it and hands it to the stand-in launchd, whose job runs the
// stand-in installer on exactly the published package.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "DaemonFixture.h"
#include "E2eSupport.h"
#include "ServiceProcess.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "core/Version.h"

namespace tarvo::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kDevice = "DEV-E2E-UPDATE";
constexpr const char* kNewVersion = "0.3.0";

size_t linesWith(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
        return l.find(text) != std::string::npos;
    }));
}

TEST(UpdateEndToEnd, NewerPackageWaitsWhileTheChildIsPresentAndInstallsOnceTheChildHasGone) {
    DaemonRoot root;
    EnvGuard home("HOME", root.root() + "/Users/child");
    std::filesystem::create_directories(root.root() + "/Users/child");
    const TestCertificates& certs = TestCertificates::get();

    // The package as it is published: any bytes; the installer records their hash.
    TempDir updates;
    const std::string pkgName = std::string("Tarvo-") + kNewVersion + ".pkg";
    writeText(updates.path() + "/" + pkgName, "xar!\x01 Tarvo " + std::string(kNewVersion));
    const ProcessResult sum = runProcess("/usr/bin/sha256sum", {updates.path() + "/" + pkgName});
    ASSERT_TRUE(sum.succeeded()) << sum.err;
    const std::string sha256 = sum.out.substr(0, 64);

    TempDir data;
    ServiceProcess service(data.path(),
                           {"--seed-demo", std::string(kDevice) + ":" + userName(), "--updates",
                            updates.path(), "--cert", certs.certFile, "--key", certs.keyFile});
    service.start();
    writeText(updates.path() + "/manifest.json", json{{"version", kNewVersion},
                                                      {"url", service.url() + "updates/" + pkgName},
                                                      {"sha256", sha256}}
                                                     .dump());
    // The signature the package tool reports: the product's own team.
    writeText(root.root() + "/.standins/pkgutil/signature",
              "   Status: signed by a developer certificate issued by Apple for distribution\n"
              "   Certificate Chain:\n"
              "    1. Developer ID Installer: Tarvo Labs (QK4R7TZW9N)\n");
    writeChildConfig(service.url(), kDevice);

    // The presence folder as the daemon leaves it on an installed computer,
    // so that the agent started first keeps its flag there.
    std::filesystem::create_directories(Paths::activeChildrenDir());
    ::chmod(Paths::activeChildrenDir().c_str(), 0777);

    const std::string trust = "SSL_CERT_FILE=" + certs.caFile;
    auto agent = std::make_unique<TarvoProcess>(
        "agent", environmentWith({"DISPLAY=", "QT_QPA_PLATFORM=offscreen", trust}));
    const std::string flag =
        Paths::activeChildrenDir() + "/" + std::to_string(::getuid()) + ".flag";
    ASSERT_TRUE(waitUntil([&] { return exists(flag); })) << readText(Paths::agentLog());

    TarvoProcess daemon(
        "daemon", environmentWith({trust, "TARVO_UPDATE_URL=", "TARVO_TEST_UPDATE_SECONDS=1"}));
    const std::string log = Paths::daemonLog();
    const std::string deferring = std::string("[updater] INFO  update ") + kNewVersion +
                                  " available, but a child is active \xE2\x80\x94 deferring (0h "
                                  "of max 72h)";
    // Two checks in a row find the child and wait.
    ASSERT_TRUE(waitUntil([&] { return countLinesStartingWith(logMessages(log), deferring) >= 2; }))
        << readText(log);
    const std::string marker = Paths::systemLogDir() + "/update-deferred-since.txt";
    EXPECT_EQ(readText(marker).rfind(std::string(kNewVersion) + "|", 0), 0u) << readText(marker);
    EXPECT_EQ(linesWith(logMessages(log), "updating "), 0u) << readText(log);
    EXPECT_FALSE(exists(root.root() + "/.standins/installer/installed.log"));

    // The child logs out: the agent ends and takes its flag with it.
    ASSERT_EQ(::kill(agent->pid(), SIGTERM), 0);
    EXPECT_EQ(agent->wait(), 0);
    agent.reset();
    EXPECT_FALSE(exists(flag));

    const std::string submitted = std::string("[updater] INFO  update ") + kNewVersion +
                                  " submitted to launchd as app.tarvo.applyupdate \xE2\x80\x94 "
                                  "daemon will be restarted by the package";
    ASSERT_TRUE(waitUntil([&] { return hasLine(logMessages(log), submitted); })) << readText(log);
    // The package would restart the daemon; here it simply stops.
    ASSERT_EQ(::kill(daemon.pid(), SIGTERM), 0);
    EXPECT_EQ(daemon.wait(), 0);

    const auto lines = logMessages(log);
    EXPECT_TRUE(hasLine(lines, std::string("[updater] INFO  updating ") + appVersion +
                                   " \xE2\x86\x92 " + kNewVersion));
    EXPECT_TRUE(hasLine(lines,
                        "[updater] INFO  package signature verified \xE2\x80\x94 "
                        "Developer ID, team QK4R7TZW9N"));
    EXPECT_EQ(linesWith(lines, "update failed"), 0u) << readText(log);
    EXPECT_FALSE(exists(marker)) << "a successful hand-off ends the deferral";

    // The detached job installs the downloaded package, then tidies up after
    // itself: the package goes and launchd forgets the job.
    const std::string installedLog = root.root() + "/.standins/installer/installed.log";
    const std::string pkg = Paths::systemLogDir() + "/Tarvo-Update-" + kNewVersion + ".pkg";
    const std::string jobs = root.root() + "/.standins/launchctl/jobs";
    // Every job that started (a check may have slipped in before the daemon
    // stopped) has finished.
    auto occurrences = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    ASSERT_TRUE(waitUntil([&] {
        const std::string jobLog = readText(Paths::updaterLog());
        const size_t started = occurrences(jobLog, std::string("applying update ") + kNewVersion);
        return started > 0 &&
               started == occurrences(jobLog, " OK\n") + occurrences(jobLog, "install FAILED") &&
               std::filesystem::is_empty(jobs) && !exists(pkg);
    })) << readText(Paths::updaterLog());
    const auto installs = readLines(installedLog);
    ASSERT_FALSE(installs.empty());
    // Every install is of the published bytes, on the boot volume.
    for (const auto& line : installs) EXPECT_EQ(line, pkg + "|/|" + sha256);
    EXPECT_NE(readText(Paths::updaterLog()).find(std::string("] installed ") + kNewVersion + " OK"),
              std::string::npos)
        << readText(Paths::updaterLog());
}

}  // namespace
}  // namespace tarvo::test
