#pragma once

#include <string>
#include <vector>

#include "platform/CertificateTrust.h"

namespace tarvo::platform {

// The system's certificate store: the certificate is placed among the
// administrator's own (/usr/local/share/ca-certificates) and
// update-ca-certificates rebuilds /etc/ssl/certs, which curl, Python, OpenSSL
// and GnuTLS programs read. Every directory is resolved under TARVO_ROOT and
// handed to the tool.
class LinuxCertificateTrust : public CertificateTrust {
  public:
    static constexpr const char* kFileName = "tarvo-root.crt";

    explicit LinuxCertificateTrust(std::string updateTool = "/usr/sbin/update-ca-certificates");

    std::string storeName() const override { return "system certificate store"; }
    // The bundled certificate is in the store's bundle.
    bool isTrusted() override;
    bool trust(const std::string& path, std::ostream& err) override;
    // Takes out the certificate placed by trust(), and only it.
    bool remove() override;

    static std::string localCertificate();  // …/ca-certificates/tarvo-root.crt
    static std::string bundle();            // /etc/ssl/certs/ca-certificates.crt
    // The certificate blocks of a PEM text, base64 without line breaks.
    static std::vector<std::string> certificateBlocks(const std::string& pem);

  private:
    // Runs the tool; what it printed goes to `err` when it fails.
    bool update(std::ostream& err);

    std::string updateTool_;
};

}  // namespace tarvo::platform
