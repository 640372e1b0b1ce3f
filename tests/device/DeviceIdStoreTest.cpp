#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>

#include "core/Paths.h"
#include "core/VirtualTime.h"
#include "device/DeviceIdStore.h"
#include "platform/fake/FakeSystemLog.h"
#include "support/TestSupport.h"

namespace tarvo {
namespace {

namespace fs = std::filesystem;
using platform::FakeHardwareIdentity;
using platform::FakeHostInfo;

const std::string kUuid = "0F3A5C21-9B7E-4D2A-8C11-5E6F7A8B9C0D";

std::string record(const std::string& id, const std::string& created = "2025-03-01T10:00:00Z") {
    return DeviceIdStore::encode({id, created, "kids-mac"});
}

std::vector<std::string> logLinesWith(const std::string& text) {
    std::vector<std::string> out;
    for (const auto& line : test::readLines(Paths::agentLog()))
        if (line.find(text) != std::string::npos) out.push_back(line);
    return out;
}

TEST(ComputerName, OneTrailingDotLocalIsRemoved) {
    struct Case {
        std::string host, want;
    } cases[] = {{"kids-mac.local", "kids-mac"},
                 {"kids-mac", "kids-mac"},
                 {"kids-mac.local.local", "kids-mac.local"},
                 {"kids-mac.LOCAL", "kids-mac.LOCAL"},
                 {".local", ""},
                 {"mac.localdomain", "mac.localdomain"}};
    for (const auto& c : cases) EXPECT_EQ(computerNameFromHostName(c.host), c.want) << c.host;
}

// Every state of the two copies, with and without a hardware identity.
TEST(DeviceIdStore, StatesOfTheTwoCopies) {
    struct Case {
        const char* name;
        std::optional<std::string> machine, user;  // file contents; none = absent
        std::optional<std::string> uuid;
        std::string want;
        std::optional<std::string> wantMachine, wantUser;  // ids after; none = absent
        bool machineUntouched = false;
    };
    const std::string garbage = "{not json";
    const std::string noMachineName = R"({"device_id":"M-1","created_at":"2025-01-01T00:00:00Z"})";
    const std::string numericId = R"({"device_id":7,"created_at":"x","machine_name":"y"})";
    const Case cases[] = {
        {"first run", {}, {}, kUuid, kUuid, kUuid, kUuid},
        {"machine-wide only", record("M-1"), {}, kUuid, "M-1", "M-1", "M-1", true},
        {"per-user only", {}, record("U-1"), kUuid, "U-1", "U-1", "U-1"},
        {"both differ", record("M-1"), record("U-1"), kUuid, "M-1", "M-1", "M-1", true},
        {"both agree", record("M-1"), record("M-1"), {}, "M-1", "M-1", "M-1", true},
        {"machine-wide empty id", record(""), record("U-1"), kUuid, "U-1", "U-1", "U-1"},
        {"machine-wide lacks a key", noMachineName, record("M-1"), kUuid, "M-1", "M-1", "M-1"},
        {"machine-wide id not a string", numericId, {}, kUuid, kUuid, kUuid, kUuid},
        {"both corrupt", garbage, garbage, kUuid, kUuid, kUuid, kUuid},
        {"hardware UUID empty, machine-wide present",
         record("M-1"),
         {},
         std::string(),
         "M-1",
         "M-1",
         "M-1",
         true},
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

        auto m = DeviceIdStore::read(DeviceIdStore::machineWidePath());
        auto u = DeviceIdStore::read(DeviceIdStore::perUserPath());
        ASSERT_EQ(m.has_value(), c.wantMachine.has_value());
        ASSERT_EQ(u.has_value(), c.wantUser.has_value());
        if (m) {
            EXPECT_EQ(m->deviceId, *c.wantMachine);
        }
        if (u) {
            EXPECT_EQ(u->deviceId, *c.wantUser);
        }
        if (c.machineUntouched) {
            EXPECT_EQ(test::readText(DeviceIdStore::machineWidePath()), *c.machine);
        } else if (m) {
            EXPECT_EQ(m->createdAt, "2026-01-01T00:00:00Z");
            EXPECT_EQ(m->machineName, "kids-mac");
        }
        EXPECT_EQ(
            logLinesWith("[deviceid] INFO  generated and persisted new device_id " + kUuid).size(),
            c.want == kUuid ? 1u : 0u);
    }
}

TEST(DeviceIdStore, WithoutHardwareIdentityNothingIsPersisted) {
    test::TempRoot root;
    VirtualClock clock;
    FakeHostInfo host("kids-mac.local");
    const std::optional<std::string> uuids[] = {std::nullopt, std::string()};
    const char* wants[] = {"FALLBACK_kids-mac.local_1767225600",
                           "FALLBACK_kids-mac.local_1767225601"};
    for (int i = 0; i < 2; ++i) {
        FakeHardwareIdentity hw(uuids[i]);
        // The full host name, ".local" included, and whole Unix seconds.
        EXPECT_EQ(DeviceIdStore::getOrCreate(hw, host, clock), wants[i]);
        EXPECT_FALSE(test::exists(DeviceIdStore::machineWidePath()));
        EXPECT_FALSE(test::exists(DeviceIdStore::perUserPath()));
        clock.advance(std::chrono::milliseconds(1500));
    }
    auto warns = logLinesWith("[deviceid] WARN  ");
    ASSERT_EQ(warns.size(), 2u);
    EXPECT_NE(
        warns[0].find("WARN  hardware identity unavailable — using session-only fallback "
                      "'FALLBACK_kids-mac.local_1767225600' and NOT persisting it (will retry "
                      "next launch)"),
        std::string::npos);
    EXPECT_NE(warns[1].find("'FALLBACK_kids-mac.local_1767225601'"), std::string::npos);
}

TEST(DeviceIdStore, MachineWideCopyIs0644WhateverTheUmask) {
    test::TempRoot root;
    const mode_t old = ::umask(077);
    VirtualClock clock;
    FakeHardwareIdentity hw(kUuid);
    FakeHostInfo host;
    DeviceIdStore::getOrCreate(hw, host, clock);
    ::umask(old);
    struct stat st {};
    ASSERT_EQ(::stat(DeviceIdStore::machineWidePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(DeviceIdStore, SwappedInSymlinkIsReplacedNotFollowed) {
    test::TempRoot root;
    const std::string victim = root.path() + "/victim";
    test::writeText(victim, "precious");
    ::chmod(victim.c_str(), 0600);
    fs::create_directories(fs::path(DeviceIdStore::machineWidePath()).parent_path());
    fs::create_symlink(victim, DeviceIdStore::machineWidePath());
    VirtualClock clock;
    FakeHardwareIdentity hw(kUuid);
    FakeHostInfo host;
    EXPECT_EQ(DeviceIdStore::getOrCreate(hw, host, clock), kUuid);
    EXPECT_EQ(test::readText(victim), "precious");
    struct stat st {};
    ASSERT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::lstat(DeviceIdStore::machineWidePath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(DeviceIdStore, UnwritableMachineWideDirectoryStillWritesPerUserCopy) {
    test::TempRoot root;
    // A file where the directory should be: nothing can be created beneath it.
    const std::string dir = fs::path(DeviceIdStore::machineWidePath()).parent_path().string();
    test::writeText(dir, "not a directory");
    VirtualClock clock;
    FakeHardwareIdentity hw(kUuid);
    FakeHostInfo host;
    EXPECT_EQ(DeviceIdStore::getOrCreate(hw, host, clock), kUuid);
    ASSERT_TRUE(DeviceIdStore::read(DeviceIdStore::perUserPath()));
    auto warns = logLinesWith("[deviceid] WARN  couldn't write device_id to " +
                              DeviceIdStore::machineWidePath() + ": ");
    EXPECT_EQ(warns.size(), 1u);
    // Later calls find the per-user copy and retry the machine-wide one, warning again.
    EXPECT_EQ(DeviceIdStore::getOrCreate(hw, host, clock), kUuid);
    EXPECT_EQ(logLinesWith("couldn't write device_id to ").size(), 2u);
}

}  // namespace
}  // namespace tarvo
