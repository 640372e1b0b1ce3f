#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>

#include "core/Paths.h"
#include "device/DeviceIdStore.h"
#include "platform/fake/FakeSystemLog.h"
#include "support/FakeService.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using platform::FakeHardwareIdentity;
using platform::FakeHostInfo;

const std::string kUuid = "0F3A5C21-9B7E-4D2A-8C11-5E6F7A8B9C0D";

std::string record(const std::string& id) {
    return DeviceIdStore::encode({id, "2025-03-01T10:00:00Z", "kids-mac"});
}

// Every state of the two copies, with and without a hardware identity.
TEST(DeviceIdStore, StatesOfTheTwoCopies) {
    struct Case {
        const char* name;
        std::optional<std::string> machine, user;  // file contents; none = absent
        std::optional<std::string> uuid;
        std::string want;  // the id returned and then held by both copies
        bool machineUntouched = false;
    };
    const std::string garbage = "{not json";
    const Case cases[] = {
        {"first run", {}, {}, kUuid, kUuid},
        {"machine-wide only", record("M-1"), {}, kUuid, "M-1", true},
        {"per-user only", {}, record("U-1"), kUuid, "U-1"},
        {"both differ", record("M-1"), record("U-1"), kUuid, "M-1", true},
        {"both agree, no hardware identity", record("M-1"), record("M-1"), {}, "M-1", true},
        {"machine-wide empty id", record(""), record("U-1"), kUuid, "U-1"},
        {"both corrupt", garbage, garbage, kUuid, kUuid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempRoot root;
        if (c.machine) test::writeText(DeviceIdStore::machineWidePath(), *c.machine);
        if (c.user) test::writeText(DeviceIdStore::perUserPath(), *c.user);
        VirtualClock clock;
        FakeHardwareIdentity hw(c.uuid);
        FakeHostInfo host("kids-mac.local");
        EXPECT_EQ(DeviceIdStore::getOrCreate(hw, host, clock), c.want);
        const auto m = DeviceIdStore::read(DeviceIdStore::machineWidePath());
        const auto u = DeviceIdStore::read(DeviceIdStore::perUserPath());
        ASSERT_TRUE(m && u);
        EXPECT_EQ(m->deviceId, c.want);
        EXPECT_EQ(u->deviceId, c.want);
        if (c.machineUntouched) {
            EXPECT_EQ(test::readText(DeviceIdStore::machineWidePath()), *c.machine);
        } else {
            EXPECT_EQ(m->createdAt, "2026-01-01T00:00:00Z");
            EXPECT_EQ(m->machineName, "kids-mac");
        }
        EXPECT_EQ(
            test::logLinesWith("[deviceid] INFO  generated and persisted new device_id " + kUuid)
                .size(),
            c.want == kUuid ? 1u : 0u);
    }
}

TEST(DeviceIdStore, WithoutHardwareIdentityNothingIsPersisted) {
    test::TempRoot root;
    VirtualClock clock;
    FakeHostInfo host("kids-mac.local");
    for (const auto& [uuid, want] : std::vector<std::pair<std::optional<std::string>, std::string>>{
             {std::nullopt, "FALLBACK_kids-mac.local_1767225600"},
             {std::string(), "FALLBACK_kids-mac.local_1767225601"}}) {
        FakeHardwareIdentity hw(uuid);
        // The full host name, ".local" included, and whole Unix seconds.
        EXPECT_EQ(DeviceIdStore::getOrCreate(hw, host, clock), want);
        EXPECT_FALSE(test::exists(DeviceIdStore::machineWidePath()));
        EXPECT_FALSE(test::exists(DeviceIdStore::perUserPath()));
        EXPECT_EQ(test::logLinesWith(
                      "WARN  hardware identity unavailable — using session-only fallback '" + want +
                      "' and NOT persisting it (will retry next launch)")
                      .size(),
                  1u);
        clock.advance(std::chrono::milliseconds(1500));
    }
}

// A link swapped in at the machine-wide copy is replaced, not followed, and
// the copy is readable by every user whatever the umask.
TEST(DeviceIdStore, MachineWideCopyIsAFileOfItsOwnReadableByAll) {
    test::TempRoot root;
    const std::string victim = root.path() + "/victim";
    test::writeText(victim, "precious");
    ::chmod(victim.c_str(), 0600);
    fs::create_directories(fs::path(DeviceIdStore::machineWidePath()).parent_path());
    fs::create_symlink(victim, DeviceIdStore::machineWidePath());
    const mode_t old = ::umask(077);
    VirtualClock clock;
    FakeHardwareIdentity hw(kUuid);
    FakeHostInfo host;
    EXPECT_EQ(DeviceIdStore::getOrCreate(hw, host, clock), kUuid);
    ::umask(old);
    EXPECT_EQ(test::readText(victim), "precious");
    struct stat st {};
    ASSERT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::lstat(DeviceIdStore::machineWidePath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    // Where it cannot be written, the per-user copy still is, and each call
    // retries and warns again.
    fs::remove(DeviceIdStore::machineWidePath());
    fs::remove(DeviceIdStore::perUserPath());
    fs::remove_all(fs::path(DeviceIdStore::machineWidePath()).parent_path());
    test::writeText(fs::path(DeviceIdStore::machineWidePath()).parent_path(), "not a directory");
    for (size_t call = 1; call <= 2; ++call) {
        EXPECT_EQ(DeviceIdStore::getOrCreate(hw, host, clock), kUuid);
        ASSERT_TRUE(DeviceIdStore::read(DeviceIdStore::perUserPath()));
        EXPECT_EQ(test::logLinesWith("[deviceid] WARN  couldn't write device_id to " +
                                     DeviceIdStore::machineWidePath() + ": ")
                      .size(),
                  call);
    }
}

}  // namespace
}  // namespace tarvo
