#include "UpdaterFixture.h"

#include <sys/stat.h>

#include <openssl/evp.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

#include "core/Paths.h"
#include "core/Subprocess.h"
#include "core/TimeFormat.h"
#include "updater/Updater.h"

namespace tarvo::test {
namespace fs = std::filesystem;

namespace {

void mustRun(const std::string& tool, const std::vector<std::string>& args) {
    ProcessOptions options;
    options.mergeStderr = true;
    const ProcessResult r = runProcess(tool, args, options);
    if (!r.succeeded()) throw std::runtime_error(tool + " failed: " + r.launchError + r.out);
}

}  // namespace

const TestAuthority& TestAuthority::get() {
    static TempDir dir;
    static const TestAuthority authority = [] {
        TestAuthority a{dir / "ca.pem", dir / "server.pem", dir / "server.key"};
        const std::string caKey = dir / "ca.key";
        const std::string csr = dir / "server.csr";
        const std::string ext = dir / "server.ext";
        writeText(ext, "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n");
        mustRun("/usr/bin/openssl",
                {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                 "-nodes", "-keyout", caKey, "-out", a.caFile, "-days", "2", "-subj",
                 "/CN=Updater Test Authority", "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
        mustRun("/usr/bin/openssl",
                {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                 "-keyout", a.keyFile, "-out", csr, "-subj", "/CN=127.0.0.1"});
        mustRun("/usr/bin/openssl",
                {"x509", "-req", "-in", csr, "-CA", a.caFile, "-CAkey", caKey, "-CAcreateserial",
                 "-out", a.certFile, "-days", "2", "-extfile", ext});
        return a;
    }();
    return authority;
}

HttpsServer::HttpsServer() {
    const auto& authority = TestAuthority::get();
    server_ =
        std::make_unique<httplib::SSLServer>(authority.certFile.c_str(), authority.keyFile.c_str());
    if (!server_->is_valid()) throw std::runtime_error("cannot set up the TLS server");
    server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
        ++requests_;
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
    int n = 0;
    for (const auto& p : paths_) n += p == path;
    return n;
}

UpdaterRoot::UpdaterRoot()
    : updateUrl_("TARVO_UPDATE_URL", std::nullopt),
      certFile_("SSL_CERT_FILE", TestAuthority::get().caFile),
      clock_(std::make_shared<VirtualClock>()),
      systemLog_(std::make_shared<platform::FakeSystemLog>()) {
    mustRun(sourceDir() + "/scripts/make-root", {root_.path()});
    // The log directory as the daemon leaves it: private to root.
    fs::create_directories(at("/Library/Logs/Tarvo"));
    ::chmod(at("/Library/Logs/Tarvo").c_str(), 0755);
    setSystemVersion("14.6");
    Updater::setEnvironment({clock_, systemLog_, [] { return std::string("DEVICE-1"); }});
}

void UpdaterRoot::setLimits(const Updater::Environment::Limits& limits) const {
    Updater::setEnvironment({clock_, systemLog_, [] { return std::string("DEVICE-1"); }, limits});
}

UpdaterRoot::~UpdaterRoot() {
    Updater::setEnvironment({});
}

std::vector<std::string> UpdaterRoot::logLines() const {
    std::vector<std::string> messages;
    for (const auto& line : readLines(Paths::daemonLog())) {
        const std::string tag = " [updater] ";
        const size_t at = line.find(tag);
        if (at != std::string::npos) messages.push_back(line.substr(at + tag.size()));
    }
    return messages;
}

std::string UpdaterRoot::lastLogLine() const {
    const auto lines = logLines();
    return lines.empty() ? std::string() : lines.back();
}

void UpdaterRoot::childIsActive(double secondsAgo) const {
    const std::string flag = Paths::activeChildrenDir() + "/501.flag";
    writeText(flag, "");
    const double t = toUnixSeconds(clock_->now()) - secondsAgo;
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(t);
    times[0].tv_nsec = times[1].tv_nsec =
        static_cast<long>((t - static_cast<double>(times[0].tv_sec)) * 1e9);
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
    const std::string nohup = at("/usr/bin/nohup");
    fs::remove(nohup);
    writeText(nohup, "#!/bin/bash\n" + body + "\n");
    ::chmod(nohup.c_str(), 0755);
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
