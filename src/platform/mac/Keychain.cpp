#include "platform/mac/Keychain.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

#include "core/Paths.h"
#include "core/Subprocess.h"
#include "core/Text.h"

namespace tarvo::Keychain {
namespace {

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Runs `tool` with the caller's standard output and error; true when it exits with 0.
bool runInheriting(const std::string& tool, const std::vector<std::string>& args) {
    return runShowingOutput(tool, args) == 0;
}

std::string upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

}  // namespace

std::string defaultCertPath() {
    return Paths::bundleResources() + "/rootCert.pem";
}

std::optional<std::string> run(const std::string& tool, const std::vector<std::string>& args) {
    ProcessOptions options;
    options.timeout = std::chrono::seconds(60);
    ProcessResult result = runProcess(tool, args, options);
    if (!result.launched || !text::isValidUtf8(result.out)) return std::nullopt;
    return result.out;
}

std::optional<std::string> bundledCertFingerprint(const std::string& path) {
    if (!fileExists(path)) return std::nullopt;
    auto out =
        run(Paths::opensslTool(), {"x509", "-noout", "-fingerprint", "-sha256", "-in", path});
    if (!out) return std::nullopt;
    const size_t eq = out->find('=');
    if (eq == std::string::npos) return std::nullopt;
    std::string digits(text::trimWhitespace(std::string_view(*out).substr(eq + 1)));
    digits.erase(std::remove(digits.begin(), digits.end(), ':'), digits.end());
    return upper(digits);
}

std::optional<std::string> bundledCertCommonName(const std::string& path) {
    // "-nameopt compat" pins the slash-separated form (/CN=name/O=organisation)
    // that LibreSSL prints by default; OpenSSL 3 would otherwise print
    // "CN = name, O = organisation".
    auto out = run(Paths::opensslTool(),
                   {"x509", "-noout", "-subject", "-nameopt", "compat", "-in", path});
    if (!out) return std::nullopt;
    const size_t cn = out->find("CN=");
    if (cn == std::string::npos) return std::nullopt;
    std::string_view rest = std::string_view(*out).substr(cn + 3);
    while (!rest.empty()) {
        const size_t slash = rest.find('/');
        std::string_view piece = rest.substr(0, slash);
        if (!piece.empty()) return std::string(text::trimWhitespace(piece));
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    return std::nullopt;
}

bool isRootCertInstalled() {
    auto fingerprint = bundledCertFingerprint(defaultCertPath());
    if (!fingerprint) return false;
    auto out =
        run(Paths::securityTool(), {"find-certificate", "-a", "-Z", Paths::systemKeychain()});
    if (!out) return false;
    static constexpr std::string_view kMarker = "SHA-256 hash:";
    for (const std::string& line : text::splitDropEmpty(*out, "\n")) {
        const size_t at = line.find(kMarker);
        if (at == std::string::npos) continue;
        std::string rest = line;
        rest.erase(at, kMarker.size());
        if (upper(text::trimWhitespace(rest)) == *fingerprint) return true;
    }
    return false;
}

bool installRootCert(const std::string& path) {
    return installRootCert(path, std::cerr);
}

bool installRootCert(const std::string& path, std::ostream& err) {
    if (!fileExists(path)) return false;
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        if (in && (text << in.rdbuf())) {
            const std::string content = text.str();
            if (text::isValidUtf8(content) && content.find("PRIVATE KEY") != std::string::npos) {
                err << "refusing to install " << path
                    << ": it contains a PRIVATE KEY. Install the certificate-only PEM.\n"
                    << std::flush;
                return false;
            }
        }
    }
    return runInheriting(Paths::securityTool(), {"add-trusted-cert", "-d", "-r", "trustRoot", "-k",
                                                 Paths::systemKeychain(), path});
}

bool removeRootCert() {
    const std::string cert = defaultCertPath();
    if (auto fingerprint = bundledCertFingerprint(cert)) {
        if (runInheriting(Paths::securityTool(),
                          {"delete-certificate", "-Z", *fingerprint, Paths::systemKeychain()}))
            return true;
    }
    auto name = bundledCertCommonName(cert);
    if (!name) return false;
    return runInheriting(Paths::securityTool(),
                         {"delete-certificate", "-c", *name, Paths::systemKeychain()});
}

}  // namespace tarvo::Keychain
