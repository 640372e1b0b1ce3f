#pragma once

#include <memory>

#include "core/TarvoLog.h"
#include "platform/AccountDirectory.h"
#include "platform/CertificateTrust.h"
#include "platform/LoginSessions.h"
#include "platform/SystemProxy.h"
#include "platform/UpdatePackages.h"

namespace tarvo::app {

// The system services a role is handed. This system's own mechanisms by
// default; the Mac's tools (the stand-ins of a made root) when
// TARVO_PLATFORM=mac and a TARVO_ROOT are both set: the same rule that picks
// the Mac's table of paths (Paths::usesMacLayout()).
bool usesMacTools();

// `log` hears the system proxy's failures and mends.
std::shared_ptr<platform::SystemProxy> makeSystemProxy(std::shared_ptr<const TarvoLog> log);
// logind's sessions; none with the Mac's tools, where the flags alone decide.
std::shared_ptr<platform::LoginSessions> makeLoginSessions();
std::shared_ptr<platform::CertificateTrust> makeCertificateTrust();
std::shared_ptr<platform::AccountDirectory> makeAccountDirectory();
// Update packages: the Mac's installer packages, or signed Debian packages
// installed by dpkg (into TARVO_ROOT when one is set).
std::shared_ptr<platform::UpdatePackages> makeUpdatePackages();

}  // namespace tarvo::app
