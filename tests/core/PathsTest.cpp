#include "core/Paths.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "support/TestSupport.h"

namespace tarvo {
namespace {

using test::EnvGuard;
using test::TempDir;

// $HOME names the home only when it is a directory of the process's own
// user; anything else (sudo -E keeping a user's HOME for root, a missing or
// relative path) falls back to the passwd entry.
TEST(Paths, HomeIsHonouredOnlyWhenOwnedByTheUser) {
    const std::string passwdHome = getpwuid(getuid())->pw_dir;
    TempDir own, foreign;
    ASSERT_EQ(chown(foreign.path().c_str(), getuid() + 1, static_cast<gid_t>(-1)), 0)
        << "the test needs to run as root";
    test::writeText(own / "file", "x");
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {own.path(), own.path()}, {foreign.path(), passwdHome}, {own / "file", passwdHome},
        {"relative", passwdHome}, {std::nullopt, passwdHome},
    };
    for (const auto& [home, want] : cases) {
        EnvGuard guard("HOME", home);
        EXPECT_EQ(Paths::home(), want) << home.value_or("(unset)");
    }
}

TEST(Paths, ResourcesSitBesideTheRealExecutableWhenStartedThroughALink) {
    EnvGuard res("TARVO_RESOURCES", std::nullopt);
    TempDir dir;
    const std::string macos = dir / "Tarvo Manager.app/Contents/MacOS";
    std::filesystem::create_directories(macos);
    test::writeText(macos + "/tarvo", "");
    std::filesystem::create_symlink(macos + "/tarvo", dir / "link");
    const std::string saved = Paths::executablePath();
    Paths::setExecutablePath(dir / "link");
    const std::string viaLink = Paths::bundleResources();
    Paths::setExecutablePath(saved);
    EXPECT_EQ(viaLink, dir / "Tarvo Manager.app/Contents/Resources");
}

// A relative root would move with every change of directory (the proxy
// changes its own): it is made absolute once, at start.
TEST(Paths, ARelativeRootIsMadeAbsoluteOnce) {
    TempDir dir;
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EnvGuard root("TARVO_ROOT", "demo");
    Paths::makeRootAbsolute();
    EXPECT_EQ(chdir("/"), 0);
    EXPECT_EQ(Paths::configFile(),
              dir.path() + "/demo/Library/Application Support/Tarvo/config.json");
    ASSERT_EQ(chdir(cwd), 0);
}

}  // namespace
}  // namespace tarvo
