#include "platform/Machine.h"

#include "platform/linux/LinuxHardwareIdentity.h"

namespace tarvo::platform {

std::shared_ptr<const HardwareIdentity> machineIdentity() {
    static const auto identity = std::make_shared<const LinuxHardwareIdentity>();
    return identity;
}

std::shared_ptr<const HostInfo> machineHostInfo() {
    static const auto host = std::make_shared<const LinuxHostInfo>();
    return host;
}

}  // namespace tarvo::platform
