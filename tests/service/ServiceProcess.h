#pragma once

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/support/Postgres.h"
#include "support/Processes.h"
#include "support/TestSupport.h"

namespace tarvo::test {

using polling::waitUntil;

// A real tarvo-service on `host` (127.0.0.1 unless told), its data and request
// log ("stderr.log") in `dataDir`. start() waits until it listens, on `port`
// (none: a free one) and then on the same port each time. `binary` is the
// build's own tarvo-service unless set before start().
class ServiceProcess {
  public:
    ServiceProcess(std::string dataDir, std::vector<std::string> args,
                   std::string host = "127.0.0.1", int port = 0)
        : extraArgs(std::move(args)),
          dataDir_(std::move(dataDir)),
          host_(std::move(host)),
          port_(port) {}

    void start() {
        // The shell sends standard error to the log, then becomes the service.
        std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$@\" 2>>\"$0\"",
                                      dataDir_ + "/stderr.log", binary};
        argv.insert(argv.end(),
                    {"--listen", host_ + ":" + std::to_string(port_), "--data", dataDir_});
        argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
        process_ = std::make_unique<Process>(Launch{.argv = argv});
        // The line "listening on http://HOST:PORT", whole.
        const bool up = process_->waitForOutput("listening on ") &&
                        waitUntil([&] { return process_->out().ends_with("\n"); });
        const std::string out = process_->out();
        if (!up) {
            kill9();
            throw std::runtime_error("tarvo-service did not start: " + out + stderrText());
        }
        port_ = std::stoi(out.substr(out.rfind(':') + 1));
    }
    void kill9() {
        if (process_) process_->kill(SIGKILL);
        process_.reset();
    }
    std::string origin() const {  // "http(s)://HOST:PORT"
        const bool tls = std::ranges::find(extraArgs, "--cert") != extraArgs.end();
        return std::string(tls ? "https" : "http") + "://" + host_ + ":" + std::to_string(port_);
    }
    std::string url() const { return origin() + "/"; }
    int port() const { return port_; }
    pid_t pid() const { return process_ ? process_->pid() : -1; }
    // SIGTERM; its exit status (none when it did not end within 30 s).
    std::optional<int> terminate() {
        if (!process_) return std::nullopt;
        process_->kill(SIGTERM);
        const auto status = process_->wait();
        process_.reset();
        return status;
    }
    std::string stderrText() const { return readText(dataDir_ + "/stderr.log"); }
    bool waitForLog(const std::string& text) const {
        return waitUntil([&] { return stderrText().find(text) != std::string::npos; });
    }

    std::vector<std::string> extraArgs;
    std::string binary = TARVO_SERVICE_BINARY;

  private:
    std::string dataDir_;
    std::string host_;
    int port_ = 0;
    std::unique_ptr<Process> process_;
};

// A parent on the dashboard's API: JSON calls with the session cookie that a
// sign-in or sign-up sets.
class ParentSession {
  public:
    explicit ParentSession(const ServiceProcess& service) : service_(service) {}
    httplib::Result signIn(const std::string& email, const std::string& password) {
        return post("/web/api/signin", {{"email", email}, {"password", password}});
    }
    httplib::Result post(const std::string& path, const nlohmann::json& body) {
        auto r = httplib::Client(service_.origin())
                     .Post(path, {{"Cookie", cookie_}}, body.dump(), "application/json");
        const std::string set = r ? r->get_header_value("Set-Cookie") : "";
        if (!set.empty()) cookie_ = set.substr(0, set.find(';'));
        return r;
    }
    // The answer's JSON; throws unless the call succeeded.
    static nlohmann::json ok(const httplib::Result& r, const std::string& call) {
        if (!r || r->status / 100 != 2)
            throw std::runtime_error(call + " failed: " + (r ? r->body : "no answer"));
        return nlohmann::json::parse(r->body);
    }
    nlohmann::json postOk(const std::string& path, const nlohmann::json& body) {
        return ok(post(path, body), path);
    }
    // The family's first child, as the overview lists it.
    nlohmann::json child() {
        auto r = httplib::Client(service_.origin()).Get("/web/api/overview", {{"Cookie", cookie_}});
        return ok(r, "overview")["children"].at(0);
    }
    const std::string& cookie() const { return cookie_; }

  private:
    const ServiceProcess& service_;
    std::string cookie_;
};

inline constexpr const char* kDemoEmail = "demo@tarvo.local";
inline constexpr const char* kDemoPassword = "tarvo-demo";

// A started tarvo-service seeded with the demo family for `account` on `device`, parent signed in.
// Its data in a SQLite file in `data`, or with TARVO_TEST_DATABASE=postgresql in
// a new database of the test cluster.
struct DemoFamily {
    DemoFamily(const std::string& device, const std::string& account,
               std::vector<std::string> args = {}, const std::string& host = "127.0.0.1",
               int port = 0)
        : database(testOnPostgres() ? PostgresCluster::shared().createDatabase() : ""),
          service(data.path(), withSeed(device + ":" + account, std::move(args), database), host,
                  port) {
        service.start();
        parent.postOk("/web/api/signin", {{"email", kDemoEmail}, {"password", kDemoPassword}});
        child = parent.child();
        childApi = "/web/api/children/" + child["id"].dump();
    }

    TempDir data;
    std::string database;  // the PostgreSQL URL; empty: SQLite in `data`
    ServiceProcess service;
    ParentSession parent{service};
    nlohmann::json child;  // as the overview listed it after the sign-in
    std::string childApi;  // "/web/api/children/<id>"

    // The parent's setup of another computer (or more accounts on one): a
    // sign-in from it, its accounts sent with the token, each given to the child.
    // Accounts in `unassigned` are on the computer but given to no child.
    void setUpComputer(const std::string& device, const std::vector<std::string>& accounts,
                       std::vector<std::string> unassigned = {}) {
        const auto token = parent.postOk(
            "/web/api/signin",
            {{"email", kDemoEmail}, {"password", kDemoPassword}, {"deviceId", device}})["token"];
        unassigned.insert(unassigned.begin(), accounts.begin(), accounts.end());
        const auto& users = unassigned;
        ParentSession::ok(
            httplib::Client(service.origin())
                .Post("/api/SetDesktopSettings",
                      nlohmann::json{{"device_id", device}, {"token", token}, {"users", users}}
                          .dump(),
                      "application/json"),
            "SetDesktopSettings");
        nlohmann::json assignments = nlohmann::json::object();
        for (const auto& a : accounts) assignments[a] = child["id"];
        parent.postOk("/web/api/assign", {{"deviceId", device}, {"assignments", assignments}});
    }

  private:
    static std::vector<std::string> withSeed(const std::string& seed, std::vector<std::string> args,
                                             const std::string& database) {
        args.insert(args.begin(), {"--seed-demo", seed});
        if (!database.empty()) args.insert(args.end(), {"--database", database});
        return args;
    }
};

// One raw HTTP connection to 127.0.0.1:`port` from `source` (any address of
// 127.0.0.0/8), as a child's script would hold it: `request` is sent at once,
// the answer is read only when asked, and nothing is read otherwise.
class RawConnection {
  public:
    RawConnection(int port, const std::string& request, const std::string& source = "127.0.0.1")
        : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in from{}, to{};
        from.sin_family = to.sin_family = AF_INET;
        ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
        ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        to.sin_port = htons(static_cast<uint16_t>(port));
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
            ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
            ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(request.size())) {
            ::close(fd_);
            throw std::runtime_error("cannot connect from " + source);
        }
    }
    ~RawConnection() { ::close(fd_); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    void send(const std::string& more) {
        if (::send(fd_, more.data(), more.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(more.size()))
            throw std::runtime_error("cannot send");
    }
    static std::string get(const std::string& target, const std::string& headers = "") {
        return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
    }
    static std::string stream(const std::string& device, const std::string& account) {
        return get("/api/notifications/sse-direct?userId=" + account + "&deviceId=" + device);
    }
    // Reads until `text` came, the server closed or 30 s passed; all read so far.
    const std::string& readUntil(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (got_.find(text) == std::string::npos && !closed_ &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                closed_ = true;
            else
                got_.append(buf, static_cast<size_t>(n));
        }
        return got_;
    }
    // The answer's status (0: none within 30 s).
    int status() {
        const std::string& text = readUntil("\r\n");
        return text.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(text.c_str() + 9) : 0;
    }
    // True once the server has closed the connection (within 30 s).
    bool closedByServer() {
        readUntil(std::string(1, '\0') + "never");
        return closed_;
    }

  private:
    int fd_;
    std::string got_;
    bool closed_ = false;
};

}  // namespace tarvo::test
