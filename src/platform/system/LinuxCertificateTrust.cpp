#include "platform/system/LinuxCertificateTrust.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <ostream>

#include "core/AtomicFile.h"
#include "core/Json.h"
#include "core/Paths.h"
#include "core/Subprocess.h"
#include "core/Text.h"

namespace tarvo::platform {
namespace {

std::string localDir() {
    return Paths::resolve("/usr/local/share/ca-certificates");
}

std::string etcDir() {
    return Paths::resolve("/etc/ssl/certs");
}

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

bool contains(const std::vector<std::string>& blocks, const std::string& block) {
    return std::find(blocks.begin(), blocks.end(), block) != blocks.end();
}

}  // namespace

LinuxCertificateTrust::LinuxCertificateTrust(std::string updateTool, std::string certutilTool)
    : updateTool_(std::move(updateTool)), certutilTool_(std::move(certutilTool)) {}

std::vector<LinuxCertificateTrust::Child> LinuxCertificateTrust::children() {
    const UntrustedFile file = readUntrustedFile(Paths::configFile(), 256 * 1024);
    if (!file.data) return {};
    const json::Json config = json::Json::parse(*file.data, nullptr, false);
    std::vector<Child> found;
    for (const std::string& name :
         json::stringList(config, "child_users").value_or(std::vector<std::string>{})) {
        const passwd* pw = ::getpwnam(name.c_str());
        if (!pw || pw->pw_uid == 0 || !pw->pw_dir || pw->pw_dir[0] != '/') continue;
        found.push_back({name, pw->pw_uid, pw->pw_gid, pw->pw_dir});
    }
    return found;
}

bool LinuxCertificateTrust::asChild(const Child& child, const std::vector<std::string>& command,
                                    std::string* output) {
    std::vector<std::string> args = {"--reuid=" + std::to_string(child.uid),
                                     "--regid=" + std::to_string(child.gid), "--clear-groups",
                                     "--"};
    args.insert(args.end(), command.begin(), command.end());
    ProcessOptions options;
    options.mergeStderr = true;
    options.timeout = std::chrono::seconds(60);
    options.environment = std::vector<std::string>{"HOME=" + child.home, "PATH=/usr/bin:/bin"};
    const ProcessResult r = runProcess("/usr/bin/setpriv", args, options);
    if (output) *output = r.launched ? r.out : r.launchError;
    return r.succeeded();
}

bool LinuxCertificateTrust::trustFor(const Child& child, std::ostream& err) {
    const std::string dir = child.home + "/.pki/nssdb", db = "sql:" + dir;
    std::string output;
    bool done = asChild(child, {"/usr/bin/mkdir", "-p", "-m", "700", dir}, &output);
    if (done && !asChild(child, {certutilTool_, "-L", "-d", db}))
        done = asChild(child, {certutilTool_, "-N", "--empty-password", "-d", db}, &output);
    if (done)
        done = asChild(
            child,
            {certutilTool_, "-A", "-d", db, "-t", "C,,", "-n", kNickname, "-i", localCertificate()},
            &output);
    if (!done)
        err << "cannot trust the certificate for " << child.name << ": "
            << text::trimWhitespace(output) << "\n"
            << std::flush;
    return done;
}

bool LinuxCertificateTrust::trustedBy(const Child& child) {
    return asChild(
        child, {certutilTool_, "-L", "-d", "sql:" + child.home + "/.pki/nssdb", "-n", kNickname});
}

std::string LinuxCertificateTrust::localCertificate() {
    return localDir() + "/" + kFileName;
}

std::string LinuxCertificateTrust::bundle() {
    return etcDir() + "/ca-certificates.crt";
}

std::string LinuxCertificateTrust::firefoxPolicies() {
    return Paths::resolve("/etc/firefox/policies/policies.json");
}

std::optional<std::string> LinuxCertificateTrust::mergedPolicies(
    const std::optional<std::string>& existing, const std::string& certificate, bool add) {
    json::Json doc = existing ? json::Json::parse(*existing, nullptr, false) : json::Json::object();
    if (!doc.is_object()) return std::nullopt;
    json::Json& policies = doc["policies"];
    if (policies.is_null()) policies = json::Json::object();
    if (!policies.is_object()) return std::nullopt;
    json::Json& certificates = policies["Certificates"];
    if (certificates.is_null()) certificates = json::Json::object();
    if (!certificates.is_object()) return std::nullopt;
    json::Json& install = certificates["Install"];
    if (install.is_null()) install = json::Json::array();
    if (!install.is_array()) return std::nullopt;
    const auto at = std::find(install.begin(), install.end(), certificate);
    if (add && at == install.end()) install.push_back(certificate);
    if (!add && at != install.end()) install.erase(at);
    if (install.empty()) certificates.erase("Install");
    if (certificates.empty()) policies.erase("Certificates");
    if (policies.empty()) doc.erase("policies");
    return doc.dump(2) + "\n";
}

bool LinuxCertificateTrust::changeFirefoxPolicies(bool add, std::ostream& err) {
    const std::string path = firefoxPolicies();
    std::optional<std::string> existing;
    if (exists(path)) {
        existing = readFile(path);
        if (!existing) {
            err << "cannot read " << path << "\n" << std::flush;
            return false;
        }
    } else if (!add) {
        return true;
    }
    const std::optional<std::string> merged = mergedPolicies(existing, localCertificate(), add);
    if (!merged) {
        err << "leaving " << path << " alone: it is not a JSON object of policies\n" << std::flush;
        return false;
    }
    if (existing && *merged == *existing) return true;
    try {
        // A file that held only our certificate goes with it.
        if (!add && *merged == "{}\n") {
            std::filesystem::remove(path);
            return true;
        }
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        replaceFileAtomically(path, *merged, {.mode = 0644});
    } catch (const std::exception& e) {
        err << "cannot write " << path << ": " << e.what() << "\n" << std::flush;
        return false;
    }
    return true;
}

std::vector<std::string> LinuxCertificateTrust::certificateBlocks(const std::string& pem) {
    static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----",
                                      kEnd = "-----END CERTIFICATE-----";
    std::vector<std::string> blocks;
    for (size_t at = pem.find(kBegin); at != std::string::npos; at = pem.find(kBegin, at)) {
        const size_t end = pem.find(kEnd, at);
        if (end == std::string::npos) break;
        std::string body = pem.substr(at + kBegin.size(), end - at - kBegin.size());
        std::erase_if(body, [](char c) { return c == '\n' || c == '\r' || c == ' ' || c == '\t'; });
        if (!body.empty()) blocks.push_back(std::move(body));
        at = end + kEnd.size();
    }
    return blocks;
}

bool LinuxCertificateTrust::update(std::ostream& err, bool fresh) {
    ProcessOptions options;
    options.mergeStderr = true;
    options.timeout = std::chrono::seconds(120);
    std::vector<std::string> args = {
        "--certsconf",     Paths::resolve("/etc/ca-certificates.conf"),
        "--certsdir",      Paths::resolve("/usr/share/ca-certificates"),
        "--localcertsdir", localDir(),
        "--etccertsdir",   etcDir(),
        "--hooksdir",      Paths::resolve("/etc/ca-certificates/update.d")};
    if (fresh) args.push_back("--fresh");
    const ProcessResult r = runProcess(updateTool_, args, options);
    if (r.succeeded()) return true;
    err << (r.launched ? r.out : "cannot run " + updateTool_ + ": " + r.launchError + "\n")
        << std::flush;
    return false;
}

bool LinuxCertificateTrust::isTrusted() {
    const auto ours = readFile(Paths::certificateAuthorityDir() + "/rootCert.pem");
    const auto trusted = readFile(bundle());
    if (!ours || !trusted) return false;
    const std::vector<std::string> mine = certificateBlocks(*ours);
    const std::vector<std::string> all = certificateBlocks(*trusted);
    if (mine.empty() || !std::all_of(mine.begin(), mine.end(),
                                     [&](const std::string& b) { return contains(all, b); }))
        return false;
    // Firefox reads its own store: it must be told to import the file.
    const json::Json policies =
        json::Json::parse(readFile(firefoxPolicies()).value_or(""), nullptr, false);
    const json::Json::json_pointer install("/policies/Certificates/Install");
    if (!policies.is_object() || !policies.contains(install) || !policies[install].is_array())
        return false;
    const json::Json& listed = policies[install];
    if (std::find(listed.begin(), listed.end(), localCertificate()) == listed.end()) return false;
    // Only root can look into the children's databases.
    if (::geteuid() != 0) return true;
    for (const Child& child : children())
        if (!trustedBy(child)) return false;
    return true;
}

bool LinuxCertificateTrust::trust(const std::string& path, std::ostream& err) {
    const auto content = readFile(path);
    if (!content) return false;
    if (content->find("PRIVATE KEY") != std::string::npos) {
        err << "refusing to install " << path
            << ": it contains a PRIVATE KEY. Install the certificate-only PEM.\n"
            << std::flush;
        return false;
    }
    const std::vector<std::string> blocks = certificateBlocks(*content);
    if (blocks.empty()) {
        err << "refusing to install " << path << ": it holds no certificate\n" << std::flush;
        return false;
    }
    try {
        std::filesystem::create_directories(localDir());
        replaceFileAtomically(localCertificate(), *content, {.mode = 0644});
    } catch (const std::exception& e) {
        err << "cannot place " << localCertificate() << ": " << e.what() << "\n" << std::flush;
        return false;
    }
    if (!update(err) || !changeFirefoxPolicies(true, err)) return false;
    bool everyChild = true;
    for (const Child& child : children()) everyChild = trustFor(child, err) && everyChild;
    if (!everyChild) return false;
    const std::vector<std::string> all = certificateBlocks(readFile(bundle()).value_or(""));
    return std::all_of(blocks.begin(), blocks.end(),
                       [&](const std::string& b) { return contains(all, b); });
}

bool LinuxCertificateTrust::remove() {
    const bool policies = changeFirefoxPolicies(false, std::cerr);
    for (const Child& child : children())
        asChild(child,
                {certutilTool_, "-D", "-d", "sql:" + child.home + "/.pki/nssdb", "-n", kNickname});
    if (::unlink(localCertificate().c_str()) != 0) return false;
    return update(std::cerr, true) && policies;
}

}  // namespace tarvo::platform
