#include "ServiceProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace tarvo::test {

#ifndef TARVO_SERVICE_BINARY
#error "TARVO_SERVICE_BINARY must name the built tarvo-service"
#endif

std::string serviceBinary() {
    return TARVO_SERVICE_BINARY;
}

namespace {

pid_t spawn(const std::string& path, const std::vector<std::string>& args, int outFd, int errFd) {
    std::vector<std::string> all{path};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (outFd >= 0) dup2(outFd, 1);
        if (errFd >= 0) dup2(errFd, 2);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

int runProgram(const std::string& path, const std::vector<std::string>& args) {
    const int devnull = open("/dev/null", O_WRONLY);
    const pid_t pid = spawn(path, args, devnull, devnull);
    close(devnull);
    if (pid < 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ServiceProcess::ServiceProcess(std::string dataDir, std::vector<std::string> args)
    : extraArgs(std::move(args)),
      dataDir_(std::move(dataDir)),
      stderrPath_(dataDir_ + "/stderr.log") {}

ServiceProcess::~ServiceProcess() {
    if (pid_ > 0) stop();
}

std::string ServiceProcess::url() const {
    const bool tls = std::find(extraArgs.begin(), extraArgs.end(), "--cert") != extraArgs.end();
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/";
}

void ServiceProcess::start() {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    const int err = open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::vector<std::string> args{"--listen", "127.0.0.1:" + std::to_string(port_), "--data",
                                  dataDir_};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    pid_ = spawn(serviceBinary(), args, out[1], err);
    close(out[1]);
    close(err);
    // Wait for "listening on http://127.0.0.1:PORT".
    stdout_.clear();
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (stdout_.find("listening on ") == std::string::npos ||
           stdout_.find('\n', stdout_.find("listening on ")) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{out[0], POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[512];
        const ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        stdout_.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    const auto at = stdout_.find("listening on ");
    if (at == std::string::npos) {
        kill9();
        throw std::runtime_error("tarvo-service did not start: " + stdout_ + stderrText());
    }
    const auto line = stdout_.substr(at, stdout_.find('\n', at) - at);
    port_ = std::stoi(line.substr(line.rfind(':') + 1));
}

void ServiceProcess::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

void ServiceProcess::kill9() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

bool ServiceProcess::waitForLog(const std::string& text, size_t count) const {
    return waitUntil([&] {
        const std::string log = stderrText();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n >= count;
    });
}

const TestCertificates& TestCertificates::get() {
    static TempDir dir;
    static const TestCertificates certs = [] {
        TestCertificates c{dir / "ca.pem", dir / "server.pem", dir / "server.key"};
        writeText(dir / "server.ext", "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n");
        const std::string openssl = "/usr/bin/openssl";
        int rc = runProgram(
            openssl, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                      "-nodes", "-keyout", dir / "ca.key", "-out", c.caFile, "-days", "2", "-subj",
                      "/CN=Service Test Authority", "-addext", "basicConstraints=critical,CA:TRUE",
                      "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
        rc |= runProgram(
            openssl, {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                      "-keyout", c.keyFile, "-out", dir / "server.csr", "-subj", "/CN=127.0.0.1"});
        rc |= runProgram(openssl, {"x509", "-req", "-in", dir / "server.csr", "-CA", c.caFile,
                                   "-CAkey", dir / "ca.key", "-CAcreateserial", "-out", c.certFile,
                                   "-days", "2", "-extfile", dir / "server.ext"});
        if (rc != 0) throw std::runtime_error("openssl could not make the test certificates");
        return c;
    }();
    return certs;
}

ParentSession::ParentSession(int port) : http_("127.0.0.1", port) {
    http_.set_read_timeout(10, 0);
}

void ParentSession::keepCookie(const httplib::Result& r) {
    if (!r || !r->has_header("Set-Cookie")) return;
    const std::string c = r->get_header_value("Set-Cookie");
    cookie_ = c.substr(0, c.find(';'));
}

httplib::Result ParentSession::signIn(const std::string& email, const std::string& password,
                                      const std::string& deviceId) {
    nlohmann::json body{{"email", email}, {"password", password}};
    if (!deviceId.empty()) body["deviceId"] = deviceId;
    auto r = http_.Post("/web/api/signin", body.dump(), "application/json");
    keepCookie(r);
    return r;
}

httplib::Result ParentSession::signUp(const std::string& email, const std::string& password,
                                      const std::string& name) {
    auto r =
        http_.Post("/web/api/signup",
                   nlohmann::json{{"email", email}, {"password", password}, {"name", name}}.dump(),
                   "application/json");
    keepCookie(r);
    return r;
}

nlohmann::json ParentSession::get(const std::string& path) {
    auto r = http_.Get(path.c_str(), httplib::Headers{{"Cookie", cookie_}});
    if (!r || r->status / 100 != 2)
        throw std::runtime_error("GET " + path + " failed: " + (r ? r->body : "no answer"));
    return nlohmann::json::parse(r->body);
}

httplib::Result ParentSession::post(const std::string& path, const nlohmann::json& body) {
    return http_.Post(path.c_str(), httplib::Headers{{"Cookie", cookie_}}, body.dump(),
                      "application/json");
}

nlohmann::json ParentSession::postOk(const std::string& path, const nlohmann::json& body) {
    auto r = post(path, body);
    if (!r || r->status / 100 != 2)
        throw std::runtime_error("POST " + path + " failed: " + (r ? r->body : "no answer"));
    return nlohmann::json::parse(r->body);
}

nlohmann::json ParentSession::child(const std::string& name) {
    const nlohmann::json all = overview();
    for (const auto& c : all["children"])
        if (c["name"] == name) return c;
    throw std::runtime_error("no child " + name);
}

}  // namespace tarvo::test
