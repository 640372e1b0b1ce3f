#pragma once

#include <optional>
#include <string>

namespace tarvo::platform {

// The hardware's own identifier (IOPlatformUUID on a Mac), as an upper-case
// 8-4-4-4-12 UUID; none when the machine offers nothing usable.
class HardwareIdentity {
  public:
    virtual ~HardwareIdentity() = default;
    virtual std::optional<std::string> platformUuid() const = 0;
};

// The machine's network host name.
class HostInfo {
  public:
    virtual ~HostInfo() = default;
    virtual std::string hostName() const = 0;
};

}  // namespace tarvo::platform
