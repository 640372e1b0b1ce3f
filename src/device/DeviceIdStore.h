#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/Clock.h"
#include "platform/HardwareIdentity.h"

namespace tarvo {

// The name this machine goes by toward the service: the network host name
// with one trailing ".local" removed (exact, case-sensitive suffix).
std::string computerNameFromHostName(std::string hostName);

// Derives the device identifier from the hardware.
namespace ComputerIdentifier {

struct Result {
    std::string id;
    bool isStable = false;
};

// The platform UUID exactly as the hardware reports it, stable; else the
// session-only "FALLBACK_" + full host name + "_" + whole Unix seconds.
Result deviceIdWithStability(const platform::HardwareIdentity& hardware,
                             const platform::HostInfo& host, const Clock& clock);

}  // namespace ComputerIdentifier

// Finds or creates the identifier every request names this machine by. Two
// copies are kept, one machine-wide and one per user; the machine-wide copy
// wins, and each call heals the other copy to match it.
class DeviceIdStore {
  public:
    // The JSON object of either file: "device_id", "created_at", "machine_name".
    struct Record {
        std::string deviceId;
        std::string createdAt;
        std::string machineName;
    };

    // Never fails; always returns an identifier. The production defaults are
    // the platform's hardware identity, host name and the system clock.
    static std::string getOrCreate();
    static std::string getOrCreate(const platform::HardwareIdentity& hardware,
                                   const platform::HostInfo& host, const Clock& clock);

    static std::string machineWidePath();  // /Library/Application Support/Tarvo/device_id.json
    static std::string perUserPath();      // ~/Library/Application Support/Tarvo/device_id.json

    // The record of one file; none when it cannot be read, is not JSON, or
    // lacks one of the three string keys.
    static std::optional<Record> read(const std::string& path);
    static std::string encode(const Record& record);
};

}  // namespace tarvo
