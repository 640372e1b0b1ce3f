#include "platform/system/LinuxCertificateTrust.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <ostream>

#include "core/AtomicFile.h"
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

bool contains(const std::vector<std::string>& blocks, const std::string& block) {
    return std::find(blocks.begin(), blocks.end(), block) != blocks.end();
}

}  // namespace

LinuxCertificateTrust::LinuxCertificateTrust(std::string updateTool)
    : updateTool_(std::move(updateTool)) {}

std::string LinuxCertificateTrust::localCertificate() {
    return localDir() + "/" + kFileName;
}

std::string LinuxCertificateTrust::bundle() {
    return etcDir() + "/ca-certificates.crt";
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

bool LinuxCertificateTrust::update(std::ostream& err) {
    ProcessOptions options;
    options.mergeStderr = true;
    options.timeout = std::chrono::seconds(120);
    const ProcessResult r = runProcess(
        updateTool_,
        {"--certsconf", Paths::resolve("/etc/ca-certificates.conf"), "--certsdir",
         Paths::resolve("/usr/share/ca-certificates"), "--localcertsdir", localDir(),
         "--etccertsdir", etcDir(), "--hooksdir", Paths::resolve("/etc/ca-certificates/update.d")},
        options);
    if (r.succeeded()) return true;
    err << (r.launched ? r.out : "cannot run " + updateTool_ + ": " + r.launchError + "\n")
        << std::flush;
    return false;
}

bool LinuxCertificateTrust::isTrusted() {
    const auto ours = readFile(Paths::bundleResources() + "/rootCert.pem");
    const auto trusted = readFile(bundle());
    if (!ours || !trusted) return false;
    const std::vector<std::string> mine = certificateBlocks(*ours);
    const std::vector<std::string> all = certificateBlocks(*trusted);
    return !mine.empty() && std::all_of(mine.begin(), mine.end(),
                                        [&](const std::string& b) { return contains(all, b); });
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
    if (!update(err)) return false;
    const std::vector<std::string> all = certificateBlocks(readFile(bundle()).value_or(""));
    return std::all_of(blocks.begin(), blocks.end(),
                       [&](const std::string& b) { return contains(all, b); });
}

bool LinuxCertificateTrust::remove() {
    if (::unlink(localCertificate().c_str()) != 0) return false;
    std::ostream& sink = std::cerr;
    return update(sink);
}

}  // namespace tarvo::platform
