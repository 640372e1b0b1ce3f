#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/Clock.h"
#include "core/Paths.h"
#include "core/TarvoLog.h"
#include "platform/AccountDirectory.h"
#include "platform/CertificateTrust.h"
#include "platform/HardwareIdentity.h"
#include "platform/LoginSessions.h"
#include "platform/SystemProxy.h"
#include "platform/UpdatePackages.h"

namespace tarvo::app {

// What every role is handed, made once by the roles library's entry point
// before any thread starts: the process's paths, the clock, this machine's
// identity and host name, the few settings the environment may give, and
// the system services of the platform in use. A role takes these from here
// and passes them down; nothing below it asks the environment or the machine
// for them again.
struct RoleContext {
    std::shared_ptr<const Paths::Layout> paths;
    std::shared_ptr<Clock> clock;
    std::shared_ptr<const platform::HardwareIdentity> hardware;
    std::shared_ptr<const platform::HostInfo> host;
    // TARVO_UPDATE_URL: the update manifest's address, over config.json's.
    std::optional<std::string> updateUrl;
    // TARVO_TEST_UPDATE_SECONDS, honoured in a made root only.
    std::optional<std::string> testUpdateSeconds;
    // QT_QPA_PLATFORM: whether the agent's windows need the X display.
    std::optional<std::string> qtPlatform;

    // The one this process's installed paths, environment and machine describe.
    static RoleContext fromProcess();

    // The Mac's tools (the stand-ins of a made root) rather than this
    // system's own mechanisms: with the Mac's table of paths, which needs
    // TARVO_PLATFORM=mac and a TARVO_ROOT.
    bool macTools() const { return paths->mac; }
    // This computer's identifier, made and stored when there is none yet.
    std::string deviceId() const;
    // `log` hears the system proxy's failures and mends.
    std::shared_ptr<platform::SystemProxy> systemProxy(std::shared_ptr<const TarvoLog> log) const;
    // logind's sessions; none with the Mac's tools, where the flags alone decide.
    std::shared_ptr<platform::LoginSessions> loginSessions() const;
    std::shared_ptr<platform::CertificateTrust> certificateTrust() const;
    std::shared_ptr<platform::AccountDirectory> accountDirectory() const;
    // Update packages: the Mac's installer packages, or signed Debian packages
    // installed by dpkg (into the root when one is set).
    std::shared_ptr<platform::UpdatePackages> updatePackages() const;
};

}  // namespace tarvo::app
