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

// A relative root would move with every change of directory (the proxy
// changes its own): it is made absolute once, at start.
TEST(Paths, ARelativeRootIsMadeAbsoluteOnce) {
    TempDir dir;
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    {
        EnvGuard root("TARVO_ROOT", "demo");
        Paths::makeRootAbsolute();
        EXPECT_EQ(chdir("/"), 0);
        EXPECT_EQ(Paths::configFile(),
                  dir.path() + "/demo/Library/Application Support/Tarvo/config.json");
    }
    {
        EnvGuard root("TARVO_ROOT", "/abs");
        Paths::makeRootAbsolute();
        EXPECT_EQ(Paths::root(), "/abs");
    }
    ASSERT_EQ(chdir(cwd), 0);
}

}  // namespace
}  // namespace tarvo
