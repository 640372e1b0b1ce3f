#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "UpdaterFixture.h"
#include "core/Paths.h"
#include "core/TimeFormat.h"
#include "updater/Updater.h"

namespace tarvo {
namespace {

using test::EnvGuard;
using test::readText;
using test::UpdaterRoot;
using test::writeText;

TEST(UpdaterVersionOrder, ComparesNumberByNumber) {
    struct Case {
        const char* a;
        const char* b;
        bool newer;
    };
    const Case cases[] = {
        {"0.2.16", "0.2.15", true},
        {"0.2.15", "0.2.15", false},
        {"0.2.15.0", "0.2.15", false},
        {"0.2.15", "0.2.15.0", false},
        {"0.10", "0.9", true},
        {"0.9", "0.10", false},
        {"1.0b2", "1.0", false},
        {"1.0", "1.0b2", false},
        {"1..1", "1.0", true},
        {"0.3", "0.2.99", true},
        {"1.0.1", "1", true},
        {"abc", "0", false},
        {"99999999999999999999999", "1", false},  // an unreadable number counts as 0
        {"2", "10", false},
        {"", "0.0.1", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Updater::isNewer(c.a, c.b), c.newer) << c.a << " vs " << c.b;
}

TEST(UpdaterErrors, DescribeThemselvesExactly) {
    const std::pair<UpdateError, std::string> cases[] = {
        {UpdateError::badManifest("HTTP 500"), "bad manifest: HTTP 500"},
        {UpdateError::checksumMismatch("abc", "def"), "sha256 mismatch (expected abc…, got def…)"},
        {UpdateError::checksumMismatch("0123456789abcdef", "fedcba9876543210ff"),
         "sha256 mismatch (expected 0123456789ab…, got fedcba987654…)"},
        {UpdateError::untrustedPackage("x"), "package failed verification: x"},
        {UpdateError::installFailed("y"), "install failed: y"},
    };
    for (const auto& [error, text] : cases) EXPECT_EQ(error.what(), text);
    // The ellipsis is one character, U+2026.
    EXPECT_NE(std::string(UpdateError::checksumMismatch("a", "b").what()).find("a\xE2\x80\xA6,"),
              std::string::npos);
}

TEST(UpdaterManifestAddress, FirstMatchWins) {
    UpdaterRoot root;
    const std::string fallback =
        "https://tarvo.app/api/MacUpdateManifest?device_id=DEVICE-1&version=0.2.15&os=14.6.0";
    struct Case {
        std::optional<std::string> env;
        std::optional<std::string> config;
        std::string expected;
    };
    const Case cases[] = {
        {"https://env.example/m.json", R"({"update_url":"https://cfg.example/u"})",
         "https://env.example/m.json"},
        {"not a url", R"({"update_url":"https://cfg.example/u"})", "https://cfg.example/u"},
        {std::nullopt, R"({"update_url":"https://cfg.example/u?x=1","api":"https://a.example"})",
         "https://cfg.example/u?x=1"},
        {std::nullopt, R"({"update_url":42,"api":"https://svc.example/base/"})",
         "https://svc.example/base/api/"
         "MacUpdateManifest?device_id=DEVICE-1&version=0.2.15&os=14.6.0"},
        {std::nullopt, R"({"api":"no url"})", fallback},
        {std::nullopt, R"(["https://list.example"])", fallback},
        {std::nullopt, "{broken", fallback},
        {std::nullopt, std::nullopt, fallback},
    };
    for (const auto& c : cases) {
        EnvGuard env("TARVO_UPDATE_URL", c.env);
        std::filesystem::remove(Paths::configFile());
        if (c.config) writeText(Paths::configFile(), *c.config);
        EXPECT_EQ(Updater::manifestURL().value_or("<none>"), c.expected)
            << c.config.value_or("<no config>");
    }
}

// The data directory is writable by every user: a config.json that root did
// not write may be a child's, pointing root's updater at its own server.
TEST(UpdaterManifestAddress, OnlyARootOwnedConfigChoosesTheServer) {
    UpdaterRoot root;
    EnvGuard env("TARVO_UPDATE_URL", std::nullopt);
    const std::string fallback =
        "https://tarvo.app/api/MacUpdateManifest?device_id=DEVICE-1&version=0.2.15&os=14.6.0";
    writeText(Paths::configFile(),
              R"({"update_url":"https://child.example/m","api":"https://c.example"})");
    ASSERT_EQ(::chown(Paths::configFile().c_str(), 65534, 65534), 0);
    EXPECT_EQ(Updater::manifestURL(), fallback);
    EXPECT_EQ(Updater::manifestURL(), fallback);
    const std::string warning = "WARN  ignoring \"update_url\" and \"api\" in " +
                                Paths::configFile() + ": owned by uid 65534, not root";
    const auto lines = root.logLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), warning), 1);
    ASSERT_EQ(::chown(Paths::configFile().c_str(), 0, 0), 0);
    EXPECT_EQ(Updater::manifestURL(), "https://child.example/m");
}

TEST(UpdaterSystemVersion, ShapedAsThreeNumbers) {
    UpdaterRoot root;
    const std::pair<const char*, const char*> cases[] = {
        {"14.6", "14.6.0"},   {"12", "12.0.0"},     {"22.04", "22.4.0"},
        {"1.2.3.4", "1.2.3"}, {"rolling", "0.0.0"}, {"15.1.2", "15.1.2"},
    };
    for (const auto& [id, shaped] : cases) {
        root.setSystemVersion(id);
        EXPECT_EQ(Updater::osVersionString(), shaped) << id;
    }
}

TEST(UpdaterChildPresence, FreshFlagsOnlyAndNothingDeleted) {
    UpdaterRoot root;
    const std::string dir = Paths::activeChildrenDir();
    EXPECT_FALSE(Updater::aChildIsActive()) << "no directory at all";

    struct Case {
        const char* name;
        double secondsAgo;
        bool active;
    };
    const Case cases[] = {
        {"501.flag", 0, true},
        {"501.flag", 59.5, true},
        {"501.flag", 60, false},
        {"501.flag", 3600, false},
        {"501.flg", 0, false},
        {"501.flag.tmp", 0, false},
        // Dated ahead of the clock: counts for at most a minute, never for ever.
        {"501.flag", -59, true},
        {"501.flag", -61, false},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(dir);
        const std::string flag = dir + "/" + c.name;
        writeText(flag, "");
        const double t = toUnixSeconds(root.clock()->now()) - c.secondsAgo;
        timespec times[2];
        times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(t);
        times[0].tv_nsec = times[1].tv_nsec =
            static_cast<long>((t - static_cast<double>(times[0].tv_sec)) * 1e9);
        ASSERT_EQ(::utimensat(AT_FDCWD, flag.c_str(), times, 0), 0);
        EXPECT_EQ(Updater::aChildIsActive(), c.active) << c.name << " " << c.secondsAgo;
        EXPECT_TRUE(test::exists(flag)) << "stale flags are the daemon's to remove";
    }
}

TEST(UpdaterDeferral, CountsFromTheFirstCheckOfAVersion) {
    UpdaterRoot root;
    const std::string marker = Paths::updateDeferralFile();
    const double start = toUnixSeconds(root.clock()->now());

    EXPECT_EQ(Updater::deferralAge("1.0"), 0);
    EXPECT_EQ(readText(marker), "1.0|" + std::string("1767225600.0"));
    root.clock()->advance(std::chrono::seconds(259199));
    EXPECT_DOUBLE_EQ(Updater::deferralAge("1.0"), 259199);
    EXPECT_EQ(readText(marker), "1.0|1767225600.0") << "reading leaves the marker alone";

    // Another version restarts the count.
    EXPECT_EQ(Updater::deferralAge("1.1"), 0);
    EXPECT_EQ(readText(marker), "1.1|1767484799.0");

    // A moment with a fraction is written so that it reads back unchanged.
    root.clock()->setWall(fromUnixSeconds(1767484799.123457));
    EXPECT_EQ(Updater::deferralAge("1.2"), 0);
    EXPECT_EQ(Updater::deferralAge("1.2"), 0) << readText(marker);

    struct Case {
        std::string text;
        double age;  // expected for version 2.0, now = start + 1000
    };
    root.clock()->setWall(fromUnixSeconds(start + 1000));
    const Case cases[] = {
        {"2.0|" + std::to_string(start + 400), 600},
        {"  2.0 | 1767226000.5 \n", 599.5},
        {"2.0|1767226000|7", 0},  // trailing text: not a number
        {"2.0 1767226000", 0},    // no "|"
        {"2.00|1767226000", 0},   // another version text
        {"|1767226000", 0},       // empty version piece
        {"2.0|", 0},              // no time
        {"2.0|nan", 0},           // not a moment
        {"2.0|inf", 0},           //
        {"2.0|1767230000", 0},    // in the future (the clock went back)
        {"2.0|\xff\xfe", 0},      // not UTF-8
    };
    for (const auto& c : cases) {
        writeText(marker, c.text);
        EXPECT_DOUBLE_EQ(Updater::deferralAge("2.0"), c.age) << c.text;
        if (c.age == 0) {
            EXPECT_EQ(readText(marker), "2.0|1767226600.0") << c.text;
        }
    }

    Updater::clearDeferralMarker();
    EXPECT_FALSE(test::exists(marker));
    Updater::clearDeferralMarker();  // absent: ignored
}

TEST(UpdaterDeferral, UnwritableMarkerStaysAtZero) {
    UpdaterRoot root;
    // A directory where the marker should be: it can be neither read nor replaced.
    std::filesystem::create_directories(Paths::updateDeferralFile());
    EXPECT_EQ(Updater::deferralAge("1.0"), 0);
    root.clock()->advance(std::chrono::hours(100));
    EXPECT_EQ(Updater::deferralAge("1.0"), 0);
}

TEST(UpdaterScript, IsTheFixedTextForThisVersionAndPackage) {
    EnvGuard noRoot("TARVO_ROOT", std::nullopt);
    const std::string expected =
        "#!/bin/bash\n"
        "# Detached updater \u2014 survives the daemon it replaces.\n"
        "exec >>\"/Library/Logs/Tarvo/updater.log\" 2>&1\n"
        "echo \"[$(date -u +%FT%TZ)] applying update 1.2.3\"\n"
        "\n"
        "# Give the daemon a moment to finish its current run loop tick.\n"
        "sleep 3\n"
        "\n"
        "/usr/sbin/installer -pkg \"/Library/Logs/Tarvo/Tarvo-Update-1.2.3.pkg\" -target / && \\\n"
        "    echo \"[$(date -u +%FT%TZ)] installed 1.2.3 OK\" || \\\n"
        "    echo \"[$(date -u +%FT%TZ)] install FAILED\"\n"
        "\n"
        "rm -f \"/Library/Logs/Tarvo/Tarvo-Update-1.2.3.pkg\"\n"
        "\n"
        "# Tear down our own launchd job \u2014 last, and only after the package is\n"
        "# gone. `launchctl submit` keeps the job alive, so a job that simply\n"
        "# exits is respawned every 10 seconds forever. This script must NOT\n"
        "# delete itself: doing so made every retry fail with 127 (bash: no such\n"
        "# file), producing exactly that infinite loop. Removing the job stops\n"
        "# the retries; the script file is harmless and is overwritten by the\n"
        "# next update.\n"
        "/bin/launchctl remove app.tarvo.applyupdate";
    const std::string script =
        Updater::installScript("1.2.3", "/Library/Logs/Tarvo/Tarvo-Update-1.2.3.pkg");
    EXPECT_EQ(script, expected);
    EXPECT_EQ(std::count(script.begin(), script.end(), '\n'), 21) << "22 lines, no final newline";
}

TEST(UpdaterTools, CaptureAndJudgeOutput) {
    const std::string bash = "/bin/bash";
    // Combined output in the order written, exit status ignored.
    EXPECT_EQ(Updater::runCapturing(bash, {"-c", "echo out; echo err >&2; exit 3"}), "out\nerr\n");
    EXPECT_EQ(Updater::runCapturing(bash, {"-c", "printf 'ok\\xff'"}), "") << "not UTF-8";
    EXPECT_EQ(Updater::runCapturing("/nonexistent/tool", {}), "");

    auto r = Updater::runTool(bash, {"-c", "printf '  done \\n\\n'"});
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.output, "done");
    r = Updater::runTool(bash, {"-c", "printf 'bad\\xff\\n' >&2; exit 1"});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.output, "bad\xEF\xBF\xBD");
    r = Updater::runTool("/nonexistent/tool", {});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.output, "No such file or directory");
}

TEST(UpdaterChecksum, MatchesPublishedAndIndependentDigests) {
    test::TempDir dir;
    const std::pair<std::string, std::string> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [data, digest] : vectors) {
        writeText(dir / "f", data);
        EXPECT_EQ(Updater::sha256(dir / "f"), digest) << data.size() << " bytes";
    }
    // Several 1 MiB reads and a short last one.
    std::string big;
    for (int i = 0; i < 3 * 1048576 + 7; ++i) big.push_back(static_cast<char>(i * 31 % 251));
    writeText(dir / "big", big);
    EXPECT_EQ(Updater::sha256(dir / "big"), test::sha256Hex(big));
    EXPECT_THROW(Updater::sha256(dir / "missing"), std::system_error);
}

TEST(UpdaterVersionText, OnlyOrdinaryCharacters) {
    for (const char* ok : {"1.2.3", "0.2.16-beta_1+build.7", "A1"})
        EXPECT_TRUE(Updater::isSafeVersionText(ok)) << ok;
    for (const char* bad : {"", "1.2 3", "1.2\"; rm -rf /; \"", "../../etc/x", "1.2$(id)", "1.2\n",
                            "1|2", "1.2`x`", "é"})
        EXPECT_FALSE(Updater::isSafeVersionText(bad)) << bad;
    EXPECT_FALSE(Updater::isSafeVersionText(std::string(101, '1'))) << "too long for a file name";
}

}  // namespace
}  // namespace tarvo
