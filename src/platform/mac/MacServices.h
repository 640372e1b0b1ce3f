#pragma once

#include "platform/AccountDirectory.h"
#include "platform/CertificateTrust.h"
#include "platform/SystemProxy.h"

namespace tarvo::platform {

// The Mac's tools: networksetup on every enabled network service.
class MacSystemProxy : public SystemProxy {
  public:
    void apply(const ProxyEndpoint& proxy, const std::vector<uid_t>& children) override;
    void clear() override;
    // Only transitions act on a Mac: the settings are not read back.
    void keep(const ProxyEndpoint&, const std::vector<uid_t>&) override {}
    // The enabled network services.
    ProxyReport report() override;
};

// The System keychain, through security.
class MacCertificateTrust : public CertificateTrust {
  public:
    std::string storeName() const override { return "System keychain"; }
    bool isTrusted() override;
    bool trust(const std::string& path, std::ostream& err) override;
    bool remove() override;
};

// The local directory, through dscl.
class MacAccountDirectory : public AccountDirectory {
  public:
    std::vector<LocalUserAccount> peopleAccounts(const std::string& currentUser) override;
    std::vector<std::string> administrators() override;
};

}  // namespace tarvo::platform
