#include "app/PlatformServices.h"

#include "core/Paths.h"
#include "platform/mac/MacServices.h"
#include "platform/mac/MacUpdatePackages.h"
#include "platform/system/LinuxAccountDirectory.h"
#include "platform/system/LinuxCertificateTrust.h"
#include "platform/system/LinuxDetachedJobs.h"
#include "platform/system/LinuxSystemProxy.h"
#include "platform/system/LinuxUpdatePackages.h"
#include "platform/system/SdLoginSessions.h"

namespace tarvo::app {

bool usesMacTools() {
    return Paths::usesMacLayout();
}

std::shared_ptr<platform::SystemProxy> makeSystemProxy(std::shared_ptr<const TarvoLog> log) {
    if (usesMacTools()) return std::make_shared<platform::MacSystemProxy>();
    return std::make_shared<platform::LinuxSystemProxy>(
        platform::LinuxSystemProxy::Options{.log = std::move(log)});
}

std::shared_ptr<platform::LoginSessions> makeLoginSessions() {
    if (usesMacTools()) return nullptr;
    return std::make_shared<platform::SdLoginSessions>();
}

std::shared_ptr<platform::CertificateTrust> makeCertificateTrust() {
    if (usesMacTools()) return std::make_shared<platform::MacCertificateTrust>();
    return std::make_shared<platform::LinuxCertificateTrust>();
}

std::shared_ptr<platform::AccountDirectory> makeAccountDirectory() {
    if (usesMacTools()) return std::make_shared<platform::MacAccountDirectory>();
    return std::make_shared<platform::LinuxAccountDirectory>();
}

}  // namespace tarvo::app

namespace tarvo::app {

std::shared_ptr<platform::UpdatePackages> makeUpdatePackages() {
    if (usesMacTools()) return std::make_shared<platform::MacUpdatePackages>();
    return std::make_shared<platform::LinuxUpdatePackages>(platform::LinuxUpdatePackages::Options{
        .keys = platform::LinuxUpdatePackages::trustedKeys(),
        .jobs = std::make_shared<platform::LinuxDetachedJobs>(),
        .root = Paths::root()});
}

}  // namespace tarvo::app
