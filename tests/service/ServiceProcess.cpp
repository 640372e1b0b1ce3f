#include "ServiceProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "core/Subprocess.h"

#ifndef TARVO_SERVICE_BINARY
#error "TARVO_SERVICE_BINARY must name the built tarvo-service"
#endif

namespace tarvo::test {

ServiceProcess::ServiceProcess(std::string dataDir, std::vector<std::string> args)
    : extraArgs(std::move(args)),
      dataDir_(std::move(dataDir)),
      stderrPath_(dataDir_ + "/stderr.log") {}

std::string ServiceProcess::url() const {
    const bool tls = std::find(extraArgs.begin(), extraArgs.end(), "--cert") != extraArgs.end();
    return std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/";
}

void ServiceProcess::start() {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    const int err = open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    std::vector<std::string> all{TARVO_SERVICE_BINARY, "--listen",
                                 "127.0.0.1:" + std::to_string(port_), "--data", dataDir_};
    all.insert(all.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        dup2(err, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err);
    // Wait for the line "listening on http://127.0.0.1:PORT".
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto at = std::string::npos;
    while ((at = got.find("listening on ")) == std::string::npos ||
           got.find('\n', at) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{out[0], POLLIN, 0};
        char buf[512];
        ssize_t n = 0;
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0 ||
            (n = read(out[0], buf, sizeof buf)) <= 0)
            break;
        got.append(buf, size_t(n));
    }
    close(out[0]);
    if (at == std::string::npos) {
        kill9();
        throw std::runtime_error("tarvo-service did not start: " + got + stderrText());
    }
    const std::string line = got.substr(at, got.find('\n', at) - at);
    port_ = std::stoi(line.substr(line.rfind(':') + 1));
}

void ServiceProcess::end(int sig) {
    if (pid_ <= 0) return;
    kill(pid_, sig);
    waitpid(pid_, nullptr, 0);
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
        const std::vector<std::string> ec{"-newkey", "ec", "-pkeyopt",
                                          "ec_paramgen_curve:prime256v1", "-nodes"};
        auto openssl = [](std::vector<std::string> args, const std::vector<std::string>& more) {
            args.insert(args.end(), more.begin(), more.end());
            return runProcess("/usr/bin/openssl", args).succeeded();
        };
        const bool made = openssl({"req", "-x509", "-keyout", dir / "ca.key", "-out", c.caFile,
                                   "-days", "2", "-subj", "/CN=Service Test Authority", "-addext",
                                   "basicConstraints=critical,CA:TRUE", "-addext",
                                   "keyUsage=critical,keyCertSign,cRLSign"},
                                  ec) &&
                          openssl({"req", "-keyout", c.keyFile, "-out", dir / "server.csr", "-subj",
                                   "/CN=127.0.0.1"},
                                  ec) &&
                          openssl({"x509", "-req", "-in", dir / "server.csr", "-CA", c.caFile,
                                   "-CAkey", dir / "ca.key", "-CAcreateserial", "-out", c.certFile,
                                   "-days", "2", "-extfile", dir / "server.ext"},
                                  {});
        if (!made) throw std::runtime_error("openssl could not make the test certificates");
        return c;
    }();
    return certs;
}

ParentSession::ParentSession(int port) : http_("127.0.0.1", port) {
    http_.set_read_timeout(10, 0);
}

httplib::Result ParentSession::keepCookie(httplib::Result r) {
    if (r && r->has_header("Set-Cookie")) {
        const std::string c = r->get_header_value("Set-Cookie");
        cookie_ = c.substr(0, c.find(';'));
    }
    return r;
}

httplib::Result ParentSession::signIn(const std::string& email, const std::string& password,
                                      const std::string& deviceId) {
    nlohmann::json body{{"email", email}, {"password", password}};
    if (!deviceId.empty()) body["deviceId"] = deviceId;
    return keepCookie(http_.Post("/web/api/signin", body.dump(), "application/json"));
}

httplib::Result ParentSession::signUp(const std::string& email, const std::string& password,
                                      const std::string& name) {
    const nlohmann::json body{{"email", email}, {"password", password}, {"name", name}};
    return keepCookie(http_.Post("/web/api/signup", body.dump(), "application/json"));
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

nlohmann::json ParentSession::overview() {
    auto r = http_.Get("/web/api/overview", httplib::Headers{{"Cookie", cookie_}});
    if (!r || r->status != 200)
        throw std::runtime_error("overview failed: " + (r ? r->body : "no answer"));
    return nlohmann::json::parse(r->body);
}

nlohmann::json ParentSession::child(const std::string& name) {
    const nlohmann::json all = overview();
    for (const auto& c : all["children"])
        if (c["name"] == name) return c;
    throw std::runtime_error("no child " + name);
}

}  // namespace tarvo::test
