#pragma once

#include <string>

#include "platform/HardwareIdentity.h"

namespace tarvo::platform {

// DMI product UUID when readable (root only on most machines), else the
// systemd machine id shaped as an upper-case 8-4-4-4-12 UUID, else none.
class LinuxHardwareIdentity : public HardwareIdentity {
  public:
    LinuxHardwareIdentity(std::string productUuidPath = "/sys/class/dmi/id/product_uuid",
                          std::string machineIdPath = "/etc/machine-id");
    std::optional<std::string> platformUuid() const override;

    // Shapes 32 hex digits (dashes allowed) as an upper-case UUID; none otherwise.
    static std::optional<std::string> shapeUuid(const std::string& raw);

  private:
    std::string productUuidPath_;
    std::string machineIdPath_;
};

class LinuxHostInfo : public HostInfo {
  public:
    std::string hostName() const override;
};

}  // namespace tarvo::platform
