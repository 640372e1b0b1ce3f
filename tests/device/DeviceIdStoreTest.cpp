#include <gtest/gtest.h>
#include <sys/stat.h>

#include "device/DeviceIdStore.h"
#include "platform/fake/FakeSystemLog.h"
#include "support/TestSupport.h"
#include "support/VirtualTime.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using platform::FakeHardwareIdentity;
using platform::FakeHostInfo;

const std::string kUuid = "0F3A5C21-9B7E-4D2A-8C11-5E6F7A8B9C0D";

std::string record(const std::string& id, const std::string& created = "2025-03-01T10:00:00Z") {
    return DeviceIdStore::encode({id, created, "kids-mac"});
}

// The machine-wide copy wins where it holds an id; the id found, or made from
// the hardware identity, ends up in both copies.
TEST(DeviceIdStore, TheTwoCopies) {
    const FakeHardwareIdentity hw(kUuid);
    VirtualClock clock;
    // The machine-wide and the per-user file, and the id returned.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {record("M-1"), record("U-1"), "M-1"},
        {record(""), record("U-1"), "U-1"},
        {"{not json", "{not json", kUuid},
    };
    for (const auto& [machine, user, want] : cases) {
        test::TempRoot root;
        test::writeText(DeviceIdStore::machineWidePath(), machine);
        test::writeText(DeviceIdStore::perUserPath(), user);
        EXPECT_EQ(DeviceIdStore::getOrCreate(hw, FakeHostInfo("kids-mac.local"), clock), want);
        EXPECT_EQ(DeviceIdStore::read(DeviceIdStore::perUserPath()).value().deviceId, want);
        // The machine-wide copy is untouched where it won, else written anew.
        EXPECT_EQ(test::readText(DeviceIdStore::machineWidePath()),
                  want == "M-1" ? machine : record(want, "2026-01-01T00:00:00Z"));
    }
    // Without a hardware identity the id lasts the session (the full host
    // name and whole Unix seconds) and is never written.
    test::TempRoot root;
    clock.advance(std::chrono::milliseconds(1500));
    EXPECT_EQ(
        DeviceIdStore::getOrCreate(FakeHardwareIdentity(""), FakeHostInfo("kids-mac.local"), clock),
        "FALLBACK_kids-mac.local_1767225601");
    EXPECT_FALSE(test::exists(DeviceIdStore::machineWidePath()) ||
                 test::exists(DeviceIdStore::perUserPath()));

    // A link swapped in at the machine-wide copy is replaced, not followed, and
    // the copy is readable by all whatever the umask.
    const fs::path machine = DeviceIdStore::machineWidePath();
    const std::string victim = root.path() + "/victim";
    test::writeText(victim, "precious");
    ::chmod(victim.c_str(), 0600);
    fs::create_directories(machine.parent_path());
    fs::create_symlink(victim, machine);
    const mode_t old = ::umask(077);
    EXPECT_EQ(DeviceIdStore::getOrCreate(hw, FakeHostInfo(), clock), kUuid);
    ::umask(old);
    EXPECT_EQ(test::readText(victim), "precious");
    EXPECT_EQ(fs::status(victim).permissions(), fs::perms(0600));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(machine)));
    EXPECT_EQ(fs::status(machine).permissions(), fs::perms(0644));

    // Where it cannot be written, the per-user copy still is.
    fs::remove(DeviceIdStore::perUserPath());
    fs::remove_all(machine.parent_path());
    test::writeText(machine.parent_path(), "not a directory");
    EXPECT_EQ(DeviceIdStore::getOrCreate(hw, FakeHostInfo(), clock), kUuid);
    EXPECT_TRUE(DeviceIdStore::read(DeviceIdStore::perUserPath()));
}

}  // namespace
}  // namespace tarvo
