#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/CertificateTrust.h"

namespace tarvo::platform {

// The system's certificate store: the certificate is placed among the
// administrator's own (/usr/local/share/ca-certificates) and
// update-ca-certificates rebuilds /etc/ssl/certs, which curl, Python, OpenSSL
// and GnuTLS programs read. Firefox is told to import that file through its
// enterprise policy file, merged with what is there; each child's own NSS
// database (Chromium's store, ~/.pki/nssdb) gets it through certutil run as
// that child, so nothing in a child's home is ever written with more rights
// than the child's. Every path is resolved under TARVO_ROOT (and handed to
// the tool).
class LinuxCertificateTrust : public CertificateTrust {
  public:
    static constexpr const char* kFileName = "tarvo-root.crt";
    static constexpr const char* kNickname = "Tarvo filter";

    explicit LinuxCertificateTrust(std::string updateTool = "/usr/sbin/update-ca-certificates",
                                   std::string certutilTool = "/usr/bin/certutil");

    std::string storeName() const override { return "system certificate store"; }
    // The bundled certificate is in the store's bundle and Firefox's
    // policies, and (read as root) in every child's NSS database.
    bool isTrusted() override;
    bool trust(const std::string& path, std::ostream& err) override;
    // Takes out the certificate placed by trust(), and only it.
    bool remove() override;

    static std::string localCertificate();  // …/ca-certificates/tarvo-root.crt
    static std::string bundle();            // /etc/ssl/certs/ca-certificates.crt
    static std::string firefoxPolicies();   // /etc/firefox/policies/policies.json
    // The certificate blocks of a PEM text, base64 without line breaks.
    static std::vector<std::string> certificateBlocks(const std::string& pem);
    // Firefox's policies with `certificate` among those it installs (or,
    // `add` false, without it; emptied containers go too). None when
    // `existing` is not a JSON object: it is never overwritten then.
    static std::optional<std::string> mergedPolicies(const std::optional<std::string>& existing,
                                                     const std::string& certificate, bool add);

  private:
    // Runs the tool; what it printed goes to `err` when it fails.
    // `fresh` links the store anew: update-ca-certificates leaves the links of
    // a removed local certificate dangling otherwise.
    bool update(std::ostream& err, bool fresh = false);
    // Adds or takes out the certificate in Firefox's policies.
    bool changeFirefoxPolicies(bool add, std::ostream& err);

    struct Child {
        std::string name;
        uid_t uid;
        gid_t gid;
        std::string home;
    };
    // The accounts config.json lists as children (never root).
    static std::vector<Child> children();
    // Runs `command` as `child`, with its home as HOME.
    static bool asChild(const Child& child, const std::vector<std::string>& command,
                        std::string* output = nullptr);
    bool trustFor(const Child& child, std::ostream& err);
    bool trustedBy(const Child& child);

    std::string updateTool_;
    std::string certutilTool_;
};

}  // namespace tarvo::platform
