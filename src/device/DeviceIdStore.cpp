#include "device/DeviceIdStore.h"

#include <filesystem>
#include <system_error>

#include "core/AtomicFile.h"
#include "core/Json.h"
#include "core/Paths.h"
#include "core/TarvoLog.h"
#include "platform/Machine.h"

namespace tarvo {
namespace {

// Built per use: the log file follows the home of the moment.
TarvoLog deviceLog() {
    return TarvoLog("deviceid", Paths::agentLog());
}

void write(const std::string& id, const std::string& path, const platform::HostInfo& host,
           const Clock& clock) {
    DeviceIdStore::Record record{id, formatIsoUtc(clock.now()),
                                 computerNameFromHostName(host.hostName())};
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    AtomicWriteOptions options;
    // The machine-wide copy lives in a directory every user may write: its
    // mode is set on the temporary file's descriptor before the rename, so no
    // later chmod can be redirected through a path swapped in meanwhile.
    if (path == DeviceIdStore::machineWidePath()) options.mode = 0644;
    try {
        replaceFileAtomically(path, DeviceIdStore::encode(record), options);
    } catch (const std::exception& e) {
        deviceLog().warn("couldn't write device_id to " + path + ": " + e.what());
    }
}

void heal(const std::string& id, const platform::HostInfo& host, const Clock& clock) {
    for (const auto& path : {DeviceIdStore::machineWidePath(), DeviceIdStore::perUserPath()}) {
        auto record = DeviceIdStore::read(path);
        if (record && record->deviceId == id) continue;  // left alone, "created_at" stays
        write(id, path, host, clock);
    }
}

}  // namespace

std::string computerNameFromHostName(std::string hostName) {
    static constexpr std::string_view suffix = ".local";
    if (hostName.size() >= suffix.size() &&
        hostName.compare(hostName.size() - suffix.size(), suffix.size(), suffix) == 0)
        hostName.resize(hostName.size() - suffix.size());
    return hostName;
}

namespace ComputerIdentifier {

Result deviceIdWithStability(const platform::HardwareIdentity& hardware,
                             const platform::HostInfo& host, const Clock& clock) {
    if (auto uuid = hardware.platformUuid(); uuid && !uuid->empty()) return {*uuid, true};
    const auto seconds = static_cast<long long>(
        std::chrono::floor<std::chrono::seconds>(clock.now().time_since_epoch()).count());
    return {"FALLBACK_" + host.hostName() + "_" + std::to_string(seconds), false};
}

}  // namespace ComputerIdentifier

std::string DeviceIdStore::machineWidePath() {
    return Paths::deviceIdFile();
}
std::string DeviceIdStore::perUserPath() {
    return Paths::userDeviceIdFile();
}

std::optional<DeviceIdStore::Record> DeviceIdStore::read(const std::string& path) {
    // The machine-wide copy sits where every user can write, and root reads
    // it for the updater: no links, no FIFOs, no hard links, a few KiB at most.
    auto text = readUntrustedFile(path, 64 * 1024).data;
    if (!text) return std::nullopt;
    auto doc = json::parse(*text);
    if (!doc) return std::nullopt;
    auto id = json::string(*doc, "device_id");
    auto created = json::string(*doc, "created_at");
    auto machine = json::string(*doc, "machine_name");
    if (!id || !created || !machine) return std::nullopt;
    return Record{*id, *created, *machine};
}

std::string DeviceIdStore::encode(const Record& record) {
    json::Json j = {{"device_id", record.deviceId},
                    {"created_at", record.createdAt},
                    {"machine_name", record.machineName}};
    return j.dump(-1, ' ', false, json::Json::error_handler_t::replace);
}

std::string DeviceIdStore::getOrCreate() {
    return getOrCreate(*platform::machineIdentity(), *platform::machineHostInfo(), *systemClock());
}

std::string DeviceIdStore::getOrCreate(const platform::HardwareIdentity& hardware,
                                       const platform::HostInfo& host, const Clock& clock) {
    for (const auto& path : {machineWidePath(), perUserPath()}) {
        if (auto record = read(path); record && !record->deviceId.empty()) {
            heal(record->deviceId, host, clock);
            return record->deviceId;
        }
    }
    auto [id, stable] = ComputerIdentifier::deviceIdWithStability(hardware, host, clock);
    if (stable) {
        write(id, machineWidePath(), host, clock);
        write(id, perUserPath(), host, clock);
        deviceLog().info("generated and persisted new device_id " + id);
    } else {
        deviceLog().warn("hardware identity unavailable — using session-only fallback '" + id +
                         "' and NOT persisting it (will retry next launch)");
    }
    return id;
}

}  // namespace tarvo
