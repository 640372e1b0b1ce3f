#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "CommandsFixture.h"
#include "core/Paths.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;

// Sets the modification time of `path` to `ageSeconds` ago.
void age(const std::string& path, int ageSeconds) {
    timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= ageSeconds;
    times[1] = times[0];
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(Status, ReportsByteForByte) {
    struct Case {
        const char* name;
        bool rules;
        bool config;
        bool cert;
        std::vector<std::string> services;  // empty: the stand-in's defaults
        // "dir": a flag folder with the files below; "file": a file where it belongs; "": none
        std::string flagDir;
        std::vector<std::string> flags;
        std::vector<std::string> wantServices;
        std::vector<std::string> wantFlags;
    } cases[] = {
        {"fresh machine",
         false,
         false,
         false,
         {},
         "",
         {},
         {"Ethernet", "Wi-Fi", "Thunderbolt Bridge"},
         {}},
        {"everything in place",
         true,
         true,
         true,
         {"Wi-Fi", "*Bluetooth PAN", "USB 10/100/1000 LAN"},
         "dir",
         {"501.flag", "notes.txt", "1000.flag", "A.flag", ".hidden"},
         {"Wi-Fi", "USB 10/100/1000 LAN"},
         {".hidden", "1000.flag", "501.flag", "A.flag", "notes.txt"}},
        {"no enabled service, empty flag folder",
         true,
         false,
         false,
         {"*Wi-Fi"},
         "dir",
         {},
         {},
         {}},
        {"flag folder unlistable",
         false,
         true,
         false,
         {},
         "file",
         {},
         {"Ethernet", "Wi-Fi", "Thunderbolt Bridge"},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::CommandRoot root;
        const std::string data = root.path() + "/Library/Application Support/Tarvo";
        if (c.rules) test::writeText(data + "/proxy_rules.json", "{}");
        if (c.config) test::writeText(data + "/config.json", R"({"child_users":["emma"]})");
        if (c.cert) root.trustCertificate();
        if (!c.services.empty()) root.setServices(c.services);
        if (c.flagDir == "dir") fs::create_directories(data + "/active-children");
        if (c.flagDir == "file") test::writeText(data + "/active-children", "");
        for (const auto& f : c.flags) test::writeText(data + "/active-children/" + f, "");
        if (!c.flags.empty()) age(data + "/active-children/501.flag", 3600);  // long stale

        std::string want = "tarvo status\n";
        want += "  rules:   " + data + "/proxy_rules.json" + (c.rules ? "" : " (missing)") + "\n";
        want += std::string("  cert:    ") +
                (c.cert ? "trusted in System keychain" : "MISSING from System keychain") + "\n";
        want +=
            "  config:  " +
            (c.config ? data + "/config.json"
                      : std::string("(no config.json \xE2\x80\x94 every user treated as parent)")) +
            "\n";
        want += "  network proxy services:\n";
        for (const auto& s : c.wantServices) want += "    - " + s + "\n";
        want += "  active children flag dir: " + data + "/active-children\n";
        for (const auto& f : c.wantFlags) want += "    - " + f + "\n";

        const ProcessResult r = test::runTarvo({"status"});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(r.out, want);
        EXPECT_EQ(r.err, "");
        // The report only looks: the stale flag and the stranger are still there.
        for (const auto& f : c.flags)
            EXPECT_TRUE(test::exists(data + "/active-children/" + f)) << f;
    }
}

TEST(Status, NeedsNoPrivileges) {
    test::CommandRoot root;
    // A root-made root: the stand-ins' state folders exist and only root may write them.
    for (const char* tool : {"networksetup", "security"})
        std::filesystem::create_directories(Paths::root() + "/.standins/" + tool);
    const ProcessResult r = test::runTarvoAsNobody({"status"});
    EXPECT_EQ(r.out.find("Traceback"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Ethernet"), std::string::npos) << r.out;
    ASSERT_TRUE(r.launched) << r.launchError;
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out.rfind("tarvo status\n  rules:   " + Paths::rulesFile() + " (missing)\n", 0), 0u)
        << r.out;
}

}  // namespace
}  // namespace tarvo
