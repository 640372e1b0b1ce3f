#include "UpdaterFixture.h"

#include <sys/stat.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "core/Paths.h"
#include "core/TimeFormat.h"
#include "support/Processes.h"

namespace tarvo::test {
namespace fs = std::filesystem;

namespace {

void openssl(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/openssl");
    const ProcessResult r = run({.argv = args});
    if (!r.succeeded()) throw std::runtime_error("openssl failed: " + r.launchError + r.err);
}

struct Authority {
    TempDir dir;
    Authority() {
        writeText(dir / "server.ext", "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n");
        const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt",
                                             "ec_paramgen_curve:prime256v1", "-nodes"};
        auto req = [&](std::vector<std::string> args) {
            args.insert(args.begin() + 1, ec.begin(), ec.end());
            openssl(args);
        };
        req({"req", "-x509", "-keyout", dir / "ca.key", "-out", dir / "ca.pem", "-days", "2",
             "-subj", "/CN=Updater Test Authority", "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
        req({"req", "-keyout", dir / "server.key", "-out", dir / "server.csr", "-subj",
             "/CN=127.0.0.1"});
        openssl({"x509", "-req", "-in", dir / "server.csr", "-CA", dir / "ca.pem", "-CAkey",
                 dir / "ca.key", "-CAcreateserial", "-out", dir / "server.pem", "-days", "2",
                 "-extfile", dir / "server.ext"});
    }
};

const Authority& authorityFiles() {
    static const Authority a;
    return a;
}

}  // namespace

const std::string& HttpsServer::authority() {
    static const std::string ca = authorityFiles().dir / "ca.pem";
    return ca;
}

HttpsServer::HttpsServer() {
    const auto& a = authorityFiles();
    server_ = std::make_unique<httplib::SSLServer>((a.dir / "server.pem").c_str(),
                                                   (a.dir / "server.key").c_str());
    server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
        std::lock_guard lock(mutex_);
        paths_.push_back(req.path);
        return httplib::Server::HandlerResponse::Unhandled;
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
}

HttpsServer::~HttpsServer() {
    server_->stop();
    thread_.join();
}

std::string HttpsServer::url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(port_) + path;
}

int HttpsServer::requestsFor(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(
        paths_.begin(), paths_.end(), [&](const auto& p) { return path.empty() || p == path; }));
}

UpdaterRoot::UpdaterRoot()
    : updateUrl_("TARVO_UPDATE_URL", std::nullopt),
      certFile_("SSL_CERT_FILE", HttpsServer::authority()),
      clock_(std::make_shared<VirtualClock>()),
      systemLog_(std::make_shared<platform::FakeSystemLog>()) {
    if (!run({.argv = {sourceDir() + "/scripts/make-root", path()}}).succeeded())
        throw std::runtime_error("make-root failed");
    fs::create_directories(at("/Library/Logs/Tarvo"));
    ::chmod(at("/Library/Logs/Tarvo").c_str(), 0755);
    setSystemVersion("14.6");
    setLimits({});
}

UpdaterRoot::~UpdaterRoot() {
    Updater::setEnvironment({});
}

void UpdaterRoot::setLimits(const Updater::Environment::Limits& limits) const {
    Updater::setEnvironment({clock_, systemLog_, [] { return std::string("DEVICE-1"); }, limits});
}

std::vector<std::string> UpdaterRoot::logLines() const {
    std::vector<std::string> messages;
    for (const auto& line : readLines(Paths::daemonLog()))
        if (const size_t at = line.find(" [updater] "); at != std::string::npos)
            messages.push_back(line.substr(at + 11));
    return messages;
}

std::string UpdaterRoot::lastLogLine() const {
    const auto lines = logLines();
    return lines.empty() ? std::string() : lines.back();
}

void UpdaterRoot::childIsActive(double secondsAgo, const std::string& name) const {
    const std::string flag = Paths::activeChildrenDir() + "/" + name;
    writeText(flag, "");
    const double t = toUnixSeconds(clock_->now()) - secondsAgo;
    const auto whole = static_cast<time_t>(std::floor(t));
    const timespec at{whole, static_cast<long>((t - static_cast<double>(whole)) * 1e9)};
    const timespec times[2] = {at, at};
    ::utimensat(AT_FDCWD, flag.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

void UpdaterRoot::setSystemVersion(const std::string& versionId) const {
    writeText(at("/etc/os-release"), "NAME=\"Test OS\"\nVERSION_ID=\"" + versionId + "\"\n");
}

void UpdaterRoot::standinFixture(const std::string& tool, const std::string& name,
                                 const std::string& text) const {
    writeText(path() + "/.standins/" + tool + "/" + name, text);
}

std::string UpdaterRoot::standinState(const std::string& tool, const std::string& name) const {
    return readText(path() + "/.standins/" + tool + "/" + name);
}

void UpdaterRoot::replaceNohup(const std::string& body) const {
    fs::remove(at("/usr/bin/nohup"));
    writeText(at("/usr/bin/nohup"), "#!/bin/bash\n" + body + "\n");
    ::chmod(at("/usr/bin/nohup").c_str(), 0755);
}

std::vector<std::string> UpdaterRoot::logDirExtras() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(at("/Library/Logs/Tarvo")))
        if (entry.path().filename() != "daemon.log") names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::string sha256Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

}  // namespace tarvo::test
