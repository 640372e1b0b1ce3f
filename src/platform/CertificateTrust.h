#pragma once

#include <iosfwd>
#include <string>

namespace tarvo::platform {

// Trust of the filtering proxy's root certificate as a root by the system's
// programs. Calls block until the system tools have finished.
class CertificateTrust {
  public:
    virtual ~CertificateTrust() = default;
    // Where the trust lives, as the status report names it ("System keychain").
    virtual std::string storeName() const = 0;
    // The bundled root certificate is trusted.
    virtual bool isTrusted() = 0;
    // Trusts the certificate at `path`; what goes wrong is written to `err`.
    virtual bool trust(const std::string& path, std::ostream& err) = 0;
    // Takes back the trust of the bundled certificate; true when something was removed.
    virtual bool remove() = 0;
};

}  // namespace tarvo::platform
