#include "app/PlatformServices.h"

#include <cstdlib>
#include <iostream>
#include <string>

#include "core/Paths.h"
#include "platform/mac/MacServices.h"
#include "platform/system/LinuxAccountDirectory.h"
#include "platform/system/LinuxSystemProxy.h"

namespace tarvo::app {
namespace {

// Trust on this system is not built yet: it says so and reports nothing trusted.
class UnsupportedCertificateTrust : public platform::CertificateTrust {
  public:
    std::string storeName() const override { return "system certificate store"; }
    bool isTrusted() override { return false; }
    bool trust(const std::string& path, std::ostream& err) override {
        err << "cannot trust " << path
            << ": certificate trust is not available on this system yet\n"
            << std::flush;
        return false;
    }
    bool remove() override { return false; }
};

}  // namespace

bool usesMacTools() {
    const char* platform = std::getenv("TARVO_PLATFORM");
    return platform && std::string(platform) == "mac" && !Paths::root().empty();
}

std::shared_ptr<platform::SystemProxy> makeSystemProxy(std::shared_ptr<const TarvoLog> log) {
    if (usesMacTools()) return std::make_shared<platform::MacSystemProxy>();
    return std::make_shared<platform::LinuxSystemProxy>(
        platform::LinuxSystemProxy::Options{.log = std::move(log)});
}

std::shared_ptr<platform::CertificateTrust> makeCertificateTrust() {
    if (usesMacTools()) return std::make_shared<platform::MacCertificateTrust>();
    return std::make_shared<UnsupportedCertificateTrust>();
}

std::shared_ptr<platform::AccountDirectory> makeAccountDirectory() {
    if (usesMacTools()) return std::make_shared<platform::MacAccountDirectory>();
    return std::make_shared<platform::LinuxAccountDirectory>();
}

}  // namespace tarvo::app
