#include "ProxyFixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "core/Subprocess.h"

namespace tarvo::test {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

NetNamespace::NetNamespace() {
    original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original_ < 0) {
        error_ =
            std::string("cannot open this thread's network namespace: ") + std::strerror(errno);
        return;
    }
    if (::unshare(CLONE_NEWNET) != 0) {
        error_ = std::string("cannot make a network namespace: ") + std::strerror(errno);
        return;
    }
    entered_ = true;
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (s < 0 || ::ioctl(s, SIOCGIFFLAGS, &ifr) != 0 ||
        (ifr.ifr_flags |= IFF_UP, ::ioctl(s, SIOCSIFFLAGS, &ifr) != 0))
        error_ = std::string("cannot bring the loopback device up: ") + std::strerror(errno);
    if (s >= 0) ::close(s);
}

NetNamespace::~NetNamespace() {
    if (entered_ && ::setns(original_, CLONE_NEWNET) != 0)
        ADD_FAILURE() << "cannot return to the original network namespace: "
                      << std::strerror(errno);
    if (original_ >= 0) ::close(original_);
}

namespace {

void run(const std::string& path, const std::vector<std::string>& args) {
    ProcessResult r = runProcess(path, args);
    if (!r.succeeded()) ADD_FAILURE() << path << ": " << r.launchError << r.err;
}

TestPki makePki() {
    static TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const std::string ca = dir / "ca";
    run(sourceDir() + "/scripts/make-test-ca", {ca});
    TestPki pki;
    pki.caPem = ca + "/mitmproxy-ca.pem";
    pki.rootCert = ca + "/rootCert.pem";
    pki.serverKey = dir / "server.key";
    pki.serverCert = dir / "server.pem";
    const std::string csr = dir / "server.csr";
    const std::string ext = dir / "server.ext";
    writeText(ext,
              "subjectAltName=DNS:localhost,IP:127.0.0.2\nbasicConstraints=CA:FALSE\n"
              "extendedKeyUsage=serverAuth\n");
    run("/usr/bin/openssl",
        {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
         pki.serverKey, "-subj", "/CN=localhost", "-out", csr});
    run("/usr/bin/openssl",
        {"x509", "-req", "-in", csr, "-CA", pki.caPem, "-CAkey", pki.caPem, "-set_serial", "2",
         "-days", "30", "-extfile", ext, "-out", pki.serverCert});
    pki.mitmdump = dir / "mitmdump";
    writeText(pki.mitmdump,
              "#!/bin/sh\nexec /usr/bin/mitmdump \"$@\" --set ssl_verify_upstream_trusted_ca=" +
                  pki.rootCert + "\n");
    ::chmod(pki.mitmdump.c_str(), 0755);
    return pki;
}

sockaddr_in loopback(const std::string& address, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    return addr;
}

}  // namespace

const TestPki& testPki() {
    static const TestPki pki = makePki();
    return pki;
}

WebSite::WebSite(const std::string& address, bool tls) {
    if (tls)
        server_ = std::make_unique<httplib::SSLServer>(testPki().serverCert.c_str(),
                                                       testPki().serverKey.c_str());
    else
        server_ = std::make_unique<httplib::Server>();
    server_->set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
        ++requests_;
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server_->Get("/page", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("hello from the server", "text/plain");
    });
    server_->Get("/big", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(kBigBodySize, 'x'), "application/octet-stream");
    });
    port_ = server_->bind_to_any_port(address);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) std::this_thread::sleep_for(1ms);
}

WebSite::~WebSite() {
    server_->stop();
    thread_.join();
}

TcpListener::TcpListener(const std::string& address) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = loopback(address, 0);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 16) != 0)
        ADD_FAILURE() << "cannot listen on " << address << ": " << std::strerror(errno);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    if (::pipe2(wake_, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe: " << std::strerror(errno);
    thread_ = std::thread([this] {
        for (;;) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 || p[1].revents) return;
            int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            ++connections_;
            pollfd in{c, POLLIN, 0};
            char buf[4096];
            if (::poll(&in, 1, 2000) > 0) {
                ssize_t n = ::recv(c, buf, sizeof buf, 0);
                std::lock_guard lock(mutex_);
                if (n > 0) received_.append(buf, static_cast<size_t>(n));
            }
            ::send(c, "pong", 4, MSG_NOSIGNAL);
            ::close(c);
        }
    });
}

TcpListener::~TcpListener() {
    if (::write(wake_[1], "x", 1) < 0) ADD_FAILURE() << "cannot stop the listener";
    thread_.join();
    for (int fd : {fd_, wake_[0], wake_[1]})
        if (fd >= 0) ::close(fd);
}

std::string TcpListener::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

CurlAnswer curlVia(int proxyPort, const std::vector<std::string>& args) {
    TempDir dir;
    std::vector<std::string> all = {"-sS",
                                    "--max-time",
                                    "20",
                                    "-x",
                                    "http://127.0.0.1:" + std::to_string(proxyPort),
                                    "--cacert",
                                    testPki().rootCert,
                                    "-D",
                                    dir / "headers",
                                    "-o",
                                    dir / "body",
                                    "-w",
                                    "%{http_code}"};
    all.insert(all.end(), args.begin(), args.end());
    ProcessResult r = runProcess("/usr/bin/curl", all);
    CurlAnswer answer;
    answer.error = r.err;
    try {
        answer.status = std::stoi(r.out);
    } catch (const std::exception&) {
        answer.status = 0;
    }
    if (exists(dir / "headers")) {
        // HTTP/2 sends header names in lower case.
        std::string headers = readText(dir / "headers");
        for (char& c : headers) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        answer.blockedByTarvo = headers.find("x-tarvo-blocked: 1") != std::string::npos;
    }
    if (exists(dir / "body")) answer.body = readText(dir / "body");
    return answer;
}

FilterProxy::FilterProxy(const std::string& launcher, const std::vector<std::string>& args) {
    SpawnedProcess p = spawnProcess(launcher, args);
    pid_ = p.pid;
    outFd_ = p.stdoutFd;
    errFd_ = p.stderrFd;
}

FilterProxy::~FilterProxy() {
    if (!exit_) {
        ::kill(pid_, SIGTERM);
        if (!waitExit()) {
            ::kill(pid_, SIGKILL);
            waitExit();
        }
    }
    ::close(outFd_);
    ::close(errFd_);
}

void FilterProxy::drain() {
    for (auto [fd, text] : {std::pair{outFd_, &out_}, std::pair{errFd_, &err_}}) {
        char buf[4096];
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, 0) > 0) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            text->append(buf, static_cast<size_t>(n));
        }
    }
}

std::string FilterProxy::out() {
    drain();
    return out_;
}

std::string FilterProxy::err() {
    drain();
    return err_;
}

bool FilterProxy::waitForOutput(const std::string& text) {
    waitUntil([&] {
        drain();
        return out_.find(text) != std::string::npos || waitExit(0ms).has_value();
    });
    return out().find(text) != std::string::npos;
}

std::optional<int> FilterProxy::waitExit(std::chrono::milliseconds limit) {
    if (exit_) return exit_;
    waitUntil(
        [&] {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
            exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        },
        limit);
    return exit_;
}

std::string makeConfdir(const TempDir& dir) {
    const std::string conf = dir / "conf";
    fs::create_directories(conf);
    ::chmod(conf.c_str(), 0700);
    fs::copy_file(testPki().caPem, conf + "/mitmproxy-ca.pem");
    return conf;
}

void replaceFile(const std::string& path, const std::string& text) {
    writeText(path + ".new", text);
    fs::rename(path + ".new", path);
}

bool asNobody(const std::string& script) {
    ProcessOptions options;
    options.environment = std::vector<std::string>{"PATH=/usr/bin:/bin"};
    ProcessResult r = runProcess(
        "/usr/bin/setpriv",
        {"--reuid=65534", "--regid=65534", "--clear-groups", "/bin/bash", "-ec", script}, options);
    if (!r.succeeded()) ADD_FAILURE() << script << ": " << r.err;
    return r.succeeded();
}

}  // namespace tarvo::test
