#pragma once

#include <memory>

#include "platform/HardwareIdentity.h"

namespace tarvo::platform {

// This machine's identity and host name as the operating system tells them;
// one instance each per process, shared by whoever asks.
std::shared_ptr<const HardwareIdentity> machineIdentity();
std::shared_ptr<const HostInfo> machineHostInfo();

}  // namespace tarvo::platform
