#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace tarvo::Keychain {

// Trust of the filtering proxy's root certificate in the System keychain,
// through "security" and "openssl". Nothing throws or logs: every failure
// becomes false or none. The only text written here is the refusal of a file
// that holds a private key.

// The bundled "rootCert.pem" is in the System keychain (by SHA-256 digest).
bool isRootCertInstalled();
// Trusts the certificate at `path` as a root. A file holding a private key is
// refused with a message on `err`.
bool installRootCert(const std::string& path);
bool installRootCert(const std::string& path, std::ostream& err);
// Deletes the bundled certificate from the keychain: by digest, else by name.
bool removeRootCert();
// SHA-256 of the certificate file: 64 upper-case hexadecimal digits.
std::optional<std::string> bundledCertFingerprint(const std::string& path);
// The certificate's common name.
std::optional<std::string> bundledCertCommonName(const std::string& path);
// The tool's standard output decoded as UTF-8 (standard error discarded).
std::optional<std::string> run(const std::string& tool, const std::vector<std::string>& args);

// The bundled certificate: the resources' "rootCert.pem".
std::string defaultCertPath();

}  // namespace tarvo::Keychain
