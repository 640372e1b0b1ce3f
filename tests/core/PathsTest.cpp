#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <optional>

#include "core/Paths.h"
#include "support/TestSupport.h"

namespace tarvo {
namespace {

using test::EnvGuard;
using test::TempDir;

struct PathCase {
    const char* name;
    std::string (*get)();
    const char* macPath;
};

const PathCase kSystemPaths[] = {
    {"dataDir", Paths::dataDir, "/Library/Application Support/Tarvo"},
    {"configFile", Paths::configFile, "/Library/Application Support/Tarvo/config.json"},
    {"rulesFile", Paths::rulesFile, "/Library/Application Support/Tarvo/proxy_rules.json"},
    {"proxyConfigFile", Paths::proxyConfigFile,
     "/Library/Application Support/Tarvo/proxy_config.json"},
    {"activeChildrenDir", Paths::activeChildrenDir,
     "/Library/Application Support/Tarvo/active-children"},
    {"deviceIdFile", Paths::deviceIdFile, "/Library/Application Support/Tarvo/device_id.json"},
    {"mitmproxyDir", Paths::mitmproxyDir, "/Library/Application Support/Tarvo/mitmproxy"},
    {"daemonLog", Paths::daemonLog, "/Library/Logs/Tarvo/daemon.log"},
    {"updaterLog", Paths::updaterLog, "/Library/Logs/Tarvo/updater.log"},
    {"updateScript", Paths::updateScript, "/Library/Logs/Tarvo/tarvo-apply-update.sh"},
    {"updatePackagePrefix", Paths::updatePackagePrefix, "/Library/Logs/Tarvo/Tarvo-Update-"},
    {"updateDeferralFile", Paths::updateDeferralFile,
     "/Library/Logs/Tarvo/update-deferred-since.txt"},
    {"daemonPlist", Paths::daemonPlist, "/Library/LaunchDaemons/app.tarvo.daemon.plist"},
    {"agentPlist", Paths::agentPlist, "/Library/LaunchAgents/app.tarvo.agent.plist"},
    {"managerApp", Paths::managerApp, "/Applications/Tarvo Manager.app"},
    {"agentApp", Paths::agentApp, "/Applications/Tarvo.app"},
    {"systemKeychain", Paths::systemKeychain, "/Library/Keychains/System.keychain"},
    {"console", Paths::console, "/dev/console"},
    {"securityTool", Paths::securityTool, "/usr/bin/security"},
    {"opensslTool", Paths::opensslTool, "/usr/bin/openssl"},
    {"networksetupTool", Paths::networksetupTool, "/usr/sbin/networksetup"},
    {"dsclTool", Paths::dsclTool, "/usr/bin/dscl"},
    {"launchctlTool", Paths::launchctlTool, "/bin/launchctl"},
    {"pkgutilTool", Paths::pkgutilTool, "/usr/sbin/pkgutil"},
    {"installerTool", Paths::installerTool, "/usr/sbin/installer"},
    {"bashTool", Paths::bashTool, "/bin/bash"},
    {"nohupTool", Paths::nohupTool, "/usr/bin/nohup"},
};

TEST(Paths, SystemPathsAreRelocatedUnderTheRootAndOnlyThere) {
    for (const char* rootValue : {"/tmp/some root", "/tmp/some root/"}) {
        EnvGuard root("TARVO_ROOT", rootValue);
        for (const auto& c : kSystemPaths)
            EXPECT_EQ(c.get(), std::string("/tmp/some root") + c.macPath)
                << c.name << " " << rootValue;
    }
    for (const char* none : {"", "/"}) {
        EnvGuard root("TARVO_ROOT", none);
        for (const auto& c : kSystemPaths) EXPECT_EQ(c.get(), c.macPath) << c.name;
    }
    EnvGuard unset("TARVO_ROOT", std::nullopt);
    for (const auto& c : kSystemPaths) EXPECT_EQ(c.get(), c.macPath) << c.name;
}

TEST(Paths, PerUserPathsFollowHomeAndIgnoreTheRoot) {
    TempDir home;
    EnvGuard root("TARVO_ROOT", "/tmp/r");
    EnvGuard homeVar("HOME", home.path());
    const std::string h = home.path();
    const std::pair<std::string, std::string> cases[] = {
        {Paths::perUserScreenTimeStateFile(),
         h + "/Library/Application Support/Tarvo/screen_time_state.json"},
        {Paths::cachedSettingsFile(),
         h + "/Library/Application Support/Tarvo/cached_settings.json"},
        {Paths::userDeviceIdFile(), h + "/Library/Application Support/Tarvo/device_id.json"},
        {Paths::chatHistoryFile(), h + "/Library/Application Support/Tarvo/Chat/messages.json"},
        {Paths::agentLog(), h + "/Library/Logs/Tarvo/agent.log"},
        {Paths::managerLog(), h + "/Library/Logs/Tarvo/manager.log"},
    };
    for (const auto& [got, want] : cases) EXPECT_EQ(got, want);
}

// $HOME names the home only when it is a directory of the process's own
// user; anything else (sudo -E keeping a user's HOME for root, a missing or
// relative path) falls back to the passwd entry.
TEST(Paths, HomeIsHonouredOnlyWhenOwnedByTheUser) {
    const passwd* pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr);
    const std::string passwdHome = pw->pw_dir;
    TempDir own;
    TempDir foreign;
    ASSERT_EQ(chown(foreign.path().c_str(), getuid() + 1, static_cast<gid_t>(-1)), 0)
        << "the test needs to run as root";
    const std::string file = own / "plain-file";
    test::writeText(file, "x");
    const struct {
        std::optional<std::string> home;
        std::string want;
    } cases[] = {
        {own.path(), own.path()},
        {foreign.path(), passwdHome},
        {file, passwdHome},
        {own.path() + "/missing", passwdHome},
        {"relative/home", passwdHome},
        {std::nullopt, passwdHome},
    };
    for (const auto& c : cases) {
        EnvGuard home("HOME", c.home);
        EXPECT_EQ(Paths::home(), c.want) << c.home.value_or("(unset)");
    }
}

TEST(Paths, ARelativeRootIsMadeAbsoluteOnce) {
    TempDir dir;
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    {
        EnvGuard root("TARVO_ROOT", "demo");
        Paths::makeRootAbsolute();
        EXPECT_EQ(Paths::configFile(),
                  dir.path() + "/demo/Library/Application Support/Tarvo/config.json");
        EXPECT_EQ(chdir("/"), 0);  // a later change of directory no longer moves it
        EXPECT_EQ(Paths::root(), dir.path() + "/demo");
    }
    {
        EnvGuard root("TARVO_ROOT", "/abs");
        Paths::makeRootAbsolute();
        EXPECT_EQ(Paths::root(), "/abs");
    }
    ASSERT_EQ(chdir(cwd), 0);
}

TEST(Paths, ResourcesFromTheEnvironmentAreUsedUnchanged) {
    EnvGuard res("TARVO_RESOURCES", "/does/not/exist/");
    EXPECT_EQ(Paths::bundleResources(), "/does/not/exist/");
}

TEST(Paths, ResourcesSitBesideTheRealExecutableWhenStartedThroughALink) {
    namespace fs = std::filesystem;
    EnvGuard res("TARVO_RESOURCES", std::nullopt);
    TempDir dir;
    const std::string macos = dir / "Tarvo Manager.app/Contents/MacOS";
    fs::create_directories(macos);
    test::writeText(macos + "/tarvo", "");
    fs::create_directories(dir / "bin");
    fs::create_symlink(macos + "/tarvo", dir / "bin/tarvo");

    const std::string saved = Paths::executablePath();
    Paths::setExecutablePath(dir / "bin/tarvo");
    const std::string viaLink = Paths::bundleResources();
    Paths::setExecutablePath(macos + "/tarvo");
    const std::string direct = Paths::bundleResources();
    Paths::setExecutablePath(saved);

    EXPECT_EQ(viaLink, dir / "Tarvo Manager.app/Contents/Resources");
    EXPECT_EQ(direct, viaLink);
}

TEST(Paths, RelativeExecutablePathResolvesAgainstTheWorkingDirectory) {
    namespace fs = std::filesystem;
    EnvGuard res("TARVO_RESOURCES", std::nullopt);
    TempDir dir;
    fs::create_directories(dir / "App/Contents/MacOS");
    test::writeText(dir / "App/Contents/MacOS/tarvo", "");
    const auto savedCwd = fs::current_path();
    const std::string saved = Paths::executablePath();
    fs::current_path(dir / "App/Contents");
    Paths::setExecutablePath("MacOS/tarvo");
    const std::string got = Paths::bundleResources();
    fs::current_path(savedCwd);
    Paths::setExecutablePath(saved);
    EXPECT_EQ(got, dir / "App/Contents/Resources");
}

}  // namespace
}  // namespace tarvo
