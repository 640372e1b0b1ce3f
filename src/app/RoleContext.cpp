#include "app/RoleContext.h"

#include <cstdlib>

#include "device/DeviceIdStore.h"
#include "platform/Machine.h"
#include "platform/mac/MacServices.h"
#include "platform/mac/MacUpdatePackages.h"
#include "platform/system/LinuxAccountDirectory.h"
#include "platform/system/LinuxCertificateTrust.h"
#include "platform/system/LinuxDetachedJobs.h"
#include "platform/system/LinuxSystemProxy.h"
#include "platform/system/LinuxUpdatePackages.h"
#include "platform/system/SdLoginSessions.h"

namespace tarvo::app {
namespace {

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

}  // namespace

RoleContext RoleContext::fromProcess() {
    RoleContext context;
    context.paths = Paths::installed();
    context.clock = systemClock();
    context.hardware = platform::machineIdentity();
    context.host = platform::machineHostInfo();
    context.updateUrl = environmentValue("TARVO_UPDATE_URL");
    context.testUpdateSeconds = environmentValue("TARVO_TEST_UPDATE_SECONDS");
    context.qtPlatform = environmentValue("QT_QPA_PLATFORM");
    return context;
}

std::string RoleContext::deviceId() const {
    return DeviceIdStore::getOrCreate(*hardware, *host, *clock);
}

std::shared_ptr<platform::SystemProxy> RoleContext::systemProxy(
    std::shared_ptr<const TarvoLog> log) const {
    if (macTools()) return std::make_shared<platform::MacSystemProxy>();
    return std::make_shared<platform::LinuxSystemProxy>(
        platform::LinuxSystemProxy::Options{.log = std::move(log)});
}

std::shared_ptr<platform::LoginSessions> RoleContext::loginSessions() const {
    if (macTools()) return nullptr;
    return std::make_shared<platform::SdLoginSessions>();
}

std::shared_ptr<platform::CertificateTrust> RoleContext::certificateTrust() const {
    if (macTools()) return std::make_shared<platform::MacCertificateTrust>();
    return std::make_shared<platform::LinuxCertificateTrust>();
}

std::shared_ptr<platform::AccountDirectory> RoleContext::accountDirectory() const {
    if (macTools()) return std::make_shared<platform::MacAccountDirectory>();
    return std::make_shared<platform::LinuxAccountDirectory>();
}

std::shared_ptr<platform::UpdatePackages> RoleContext::updatePackages() const {
    if (macTools()) return std::make_shared<platform::MacUpdatePackages>();
    return std::make_shared<platform::LinuxUpdatePackages>(platform::LinuxUpdatePackages::Options{
        .keys = platform::LinuxUpdatePackages::trustedKeys(),
        .jobs = std::make_shared<platform::LinuxDetachedJobs>(),
        .root = paths->root});
}

}  // namespace tarvo::app
