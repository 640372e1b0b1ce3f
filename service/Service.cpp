#include "Service.h"

#include <sys/socket.h>

#include <condition_variable>
#include <iostream>
#include <map>
#include <thread>

#include "Crypto.h"
#include "Requests.h"

namespace tarvo::service {

namespace {

// Set on a connection's thread when it came in over the limit: its requests
// are answered 503 at once and the connection closed.
thread_local bool overCapacity = false;

// Each connection gets a thread of its own, so hundreds of open event streams
// never hold back the short calls. The accept loop never waits for a thread:
// a connection beyond the limit still gets one, only to be told 503.
class ConnectionThreads : public httplib::TaskQueue {
  public:
    explicit ConnectionThreads(size_t max) : max_(max) {}
    void enqueue(std::function<void()> fn) override {
        bool over = false;
        {
            std::lock_guard lock(mutex_);
            over = active_ >= max_;
            ++active_;
        }
        try {
            std::thread([this, fn, over] {
                overCapacity = over;
                fn();
                finished();
            }).detach();
        } catch (const std::system_error& e) {
            // No thread to be had: answer (503) on the accept loop's own.
            std::cerr << timestampMs() << " cannot start a connection thread: " << e.what() << "\n";
            overCapacity = true;
            fn();
            overCapacity = false;
            finished();
        }
    }
    void shutdown() override {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return active_ == 0; });
    }

  private:
    void finished() {
        std::lock_guard done(mutex_);
        --active_;
        cv_.notify_all();
    }
    size_t max_;
    size_t active_ = 0;
    std::mutex mutex_;
    std::condition_variable cv_;
};

thread_local std::chrono::steady_clock::time_point requestStart{};

}  // namespace

Service::Service(Config config)
    : config_(std::move(config)),
      instanceId_(crypto::randomHex(8)),
      db_(config_.database.empty() ? config_.dataDir + "/tarvo-service.sqlite3" : config_.database),
      hub_(config_.streams) {
    if (!config_.certFile.empty() || !config_.keyFile.empty()) {
        server_ =
            std::make_unique<httplib::SSLServer>(config_.certFile.c_str(), config_.keyFile.c_str());
        if (!server_->is_valid())
            throw std::runtime_error("cannot load certificate " + config_.certFile + " and key " +
                                     config_.keyFile);
        tls_ = true;
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    const size_t maxConnections = config_.maxConnections;
    server_->new_task_queue = [maxConnections] { return new ConnectionThreads(maxConnections); };
    server_->set_payload_max_length(config_.maxBody);
    server_->set_read_timeout(static_cast<time_t>(config_.readTimeout.count()), 0);
    server_->set_write_timeout(10, 0);
    server_->set_keep_alive_timeout(static_cast<time_t>(config_.idleTimeout.count()));
    // Events are small writes that must leave at once, not wait for an ACK.
    server_->set_tcp_nodelay(true);
    // Remember the listening socket, to give it a longer queue once bound.
    server_->set_socket_options([this](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listenSocket_ = sock;
    });
    server_->set_pre_routing_handler([](const httplib::Request&, httplib::Response& res) {
        requestStart = std::chrono::steady_clock::now();
        if (!overCapacity) return httplib::Server::HandlerResponse::Unhandled;
        sendAndClose(res, 503, "service busy; try again shortly");
        return httplib::Server::HandlerResponse::Handled;
    });
    server_->set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty() && !res.content_provider_) {
            const char* text = res.status == 413   ? "request body too large"
                               : res.status == 404 ? "not found"
                               : res.status == 400 ? "bad request"
                                                   : "request failed";
            res.set_content(json{{"error", text}}.dump(), "application/json");
        }
    });
    server_->set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        logRequest(req, res);
    });
    routes();
    // Changes made through other instances on the same database. Last: once
    // it listens, only the destructor ends the listener before hub_ goes.
    if (db_.shared()) db_.listen([this](const std::string& payload) { onNotice(payload); });
}

Service::~Service() {
    stop();
    db_.stopListening();
}

int Service::bind() {
    if (config_.port == 0) {
        const int port = server_->bind_to_any_port(config_.host);
        if (port < 0) throw std::runtime_error("cannot listen on " + config_.host);
        config_.port = port;
    } else if (!server_->bind_to_port(config_.host, config_.port)) {
        throw std::runtime_error("cannot listen on " + config_.host + ":" +
                                 std::to_string(config_.port));
    }
    // The library's queue of five pending connections drops the rest when
    // hundreds of agents reconnect at once; ask for the system's maximum.
    if (listenSocket_ >= 0) ::listen(listenSocket_, SOMAXCONN);
    return config_.port;
}

bool Service::run() {
    running_ = true;
    const bool ok = stopRequested_ ? true : server_->listen_after_bind();
    running_ = false;
    return ok;
}

void Service::stop() {
    stopRequested_ = true;
    hub_.shutdown();
    if (!server_) return;
    // A stop between bind() and the accept loop's start would be lost: wait
    // until the loop runs (or run() has given up), then stop it.
    while (running_ && !server_->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server_->stop();
}

void Service::logRequest(const httplib::Request& req, const httplib::Response& res) {
    if (config_.quiet) return;
    // Event streams log their own opening and closing.
    if (req.path == "/api/notifications/sse-direct" && res.status == 200) return;
    long ms = 0;
    if (requestStart != std::chrono::steady_clock::time_point{})
        ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - requestStart)
                                   .count());
    requestStart = {};
    // The path only: queries carry tokens.
    std::string line = timestampMs() + " " + req.method + " " + req.path + " " +
                       std::to_string(res.status) + " " + std::to_string(ms) + "ms\n";
    std::cerr << line << std::flush;
}

Service::Handler Service::guard(Handler h) {
    return [this, h = std::move(h)](const httplib::Request& req, httplib::Response& res) {
        try {
            h(req, res);
        } catch (const HttpError& e) {
            sendError(res, e.status, e.message);
        } catch (const std::exception& e) {
            std::cerr << timestampMs() << " error in " << req.path << ": " << e.what() << "\n";
            sendError(res, 500, "internal error");
        }
    };
}

void Service::routes() {
    auto& s = *server_;
    auto on = [&](const char* method, const char* path,
                  void (Service::*m)(const httplib::Request&, httplib::Response&)) {
        Handler h =
            guard([this, m](const httplib::Request& q, httplib::Response& r) { (this->*m)(q, r); });
        if (std::string(method) == "GET")
            s.Get(path, h);
        else
            s.Post(path, h);
    };
    on("GET", "/api/CheckinCurrentUser", &Service::checkIn);
    on("GET", "/api/GetUserSettingsByDeviceId", &Service::settings);
    on("GET", "/api/GetAppLimits", &Service::appLimits);
    on("POST", "/api/RequestMoreTime", &Service::requestMoreTime);
    on("GET", "/api/CheckMoreTimeApproval", &Service::checkApproval);
    on("POST", "/api/UpdateProcessUsage", &Service::usage);
    on("POST", "/api/ReportAppLimitReached", &Service::appLimitReached);
    on("POST", "/api/SetDesktopSettings", &Service::setDesktopSettings);
    on("GET", "/api/GetUsersForDeviceId", &Service::usersForDevice);
    on("GET", "/api/GetChildAccountDevices", &Service::childAccountDevices);
    on("POST", "/api/SendChildChatMessage", &Service::chatSend);
    on("GET", "/api/GetChildChatMessages", &Service::chatPoll);
    on("POST", "/api/MarkChatMessagesRead", &Service::chatMarkRead);
    on("POST", "/api/ReportChatClientStatus", &Service::chatStatus);
    on("GET", "/api/MacUpdateManifest", &Service::manifest);
    on("GET", R"(/updates/([A-Za-z0-9][A-Za-z0-9._-]{0,127}))", &Service::updateFile);
    on("GET", "/api/notifications/sse-direct", &Service::events);

    on("POST", "/web/api/signup", &Service::signUp);
    on("POST", "/web/api/signin", &Service::signIn);
    on("POST", "/web/api/signout", &Service::signOut);
    on("GET", "/web/api/overview", &Service::overview);
    on("POST", "/web/api/children", &Service::createChild);
    on("POST", R"(/web/api/children/(\d+)/rules)", &Service::saveRules);
    on("POST", R"(/web/api/children/(\d+)/limits)", &Service::saveLimits);
    on("POST", R"(/web/api/children/(\d+)/chat)", &Service::parentChat);
    on("POST", R"(/web/api/children/(\d+)/chat/read)", &Service::parentRead);
    on("POST", R"(/web/api/children/(\d+)/refresh)", &Service::refresh);
    on("POST", R"(/web/api/requests/(\d+)/decide)", &Service::decide);
    on("POST", "/web/api/assign", &Service::assign);

    for (const char* name : {"Signin", "AssignDesktopUsers", "dashboard"}) {
        std::string n = name;
        s.Get("/" + n,
              guard([this, n](const httplib::Request& q, httplib::Response& r) { page(q, r, n); }));
    }
    s.Get("/",
          [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/dashboard"); });
    s.Get(R"(/static/([a-z]+\.(css|js)))",
          guard([this](const httplib::Request& q, httplib::Response& r) {
              page(q, r, q.matches[1]);
          }));
}

// ---------------------------------------------------------------- helpers

std::string Service::clientAddress(const httplib::Request& req) const {
    std::string forwarded;
    const size_t n = req.get_header_value_count("X-Forwarded-For");
    for (size_t i = 0; i < n; ++i)
        forwarded += (i ? "," : "") + req.get_header_value("X-Forwarded-For", i);
    return service::clientAddress(req.remote_addr, forwarded, config_.trustedProxies);
}

Service::ChildRef Service::requireChild(const std::string& deviceId, const std::string& account) {
    // A computer the family set up, and an account on it the parent assigned.
    auto rows = db_.query(
        "SELECT c.id, c.family_id, c.name FROM device_accounts a JOIN children c ON c.id = "
        "a.child_id JOIN devices d ON d.device_id = a.device_id AND d.family_id = c.family_id "
        "WHERE a.device_id = ? AND a.account = ?",
        {deviceId, account});
    if (rows.empty()) throw HttpError{404, "unknown device or account"};
    return {rows[0].integer(0), rows[0].integer(1), rows[0].text(2)};
}

Service::ChildRef Service::familyChild(const Session& s, std::int64_t childId) {
    auto rows = db_.query("SELECT id, family_id, name FROM children WHERE id = ? AND family_id = ?",
                          {childId, s.familyId});
    if (rows.empty()) throw HttpError{404, "no such child"};
    return {rows[0].integer(0), rows[0].integer(1), rows[0].text(2)};
}

json Service::settingsJson(std::int64_t childId, const std::string& deviceId) {
    auto rows = db_.query(
        "SELECT name, whitelist, blacklist, access_windows FROM children WHERE id = ?", {childId});
    if (rows.empty()) throw HttpError{404, "no such child"};
    json windows = json::array();
    for (const auto& w : json::parse(rows[0].text(3)))
        windows.push_back(
            {{"dayOfWeek", w["day"]}, {"start", w["start"]}, {"end", w["end"]}, {"maxMinutes", 0}});
    return json{{"type", "rules_updated"},
                {"device_id", deviceId},
                {"child_id", childId},
                {"child_name", rows[0].text(0)},
                {"whitelist", json::parse(rows[0].text(1))},
                {"blacklist", json::parse(rows[0].text(2))},
                {"accessWindows", windows}};
}

std::vector<EventHub::Key> Service::keysOf(std::int64_t childId) {
    std::vector<EventHub::Key> keys;
    for (const auto& r :
         db_.query("SELECT device_id, account FROM device_accounts WHERE child_id = ?", {childId}))
        keys.emplace_back(r.text(0), r.text(1));
    return keys;
}

void Service::pushRules(std::int64_t childId) {
    // One payload per computer: only "device_id" differs between its accounts.
    std::map<std::string, std::pair<std::string, std::vector<EventHub::Key>>> byDevice;
    db_.read([&] {
        byDevice.clear();
        for (const auto& key : keysOf(childId)) {
            auto& entry = byDevice[key.first];
            if (entry.first.empty()) entry.first = settingsJson(childId, key.first).dump();
            entry.second.push_back(key);
        }
    });
    for (const auto& [device, entry] : byDevice) broadcast(entry.second, entry.first);
}

void Service::pushForceUpdate(std::int64_t childId) {
    const auto keys = db_.read([&] { return keysOf(childId); });
    broadcast(keys, json{{"type", "force_update"}}.dump());
}

bool Service::broadcast(const std::vector<EventHub::Key>& keys, const std::string& data,
                        std::int64_t grant) {
    if (keys.empty()) return false;
    const bool here = deliver(keys, data, grant);
    if (db_.shared()) {
        try {
            db_.notify(json{{"from", instanceId_}, {"keys", keys}, {"data", data}, {"grant", grant}}
                           .dump());
        } catch (const std::exception& e) {
            // Committed all the same: the other instances' clients read it on
            // their next poll or reconnect.
            std::cerr << timestampMs()
                      << " cannot tell the other instances of a change: " << e.what() << "\n";
        }
    }
    return here;
}

bool Service::deliver(const std::vector<EventHub::Key>& keys, const std::string& data,
                      std::int64_t grant) {
    if (grant == 0) return hub_.publish(keys, data) > 0;
    // A grant is claimed before it is queued, so the poll of a client that
    // does not count by request cannot take it as well; the claim is handed
    // back when no stream here took it. Claims count, so one instance's
    // hand-back leaves another's standing.
    // The grant is committed already: a failure here leaves it to the poll.
    try {
        const bool claimed = db_.transaction([&] {
            return db_.run(
                       "UPDATE more_time_requests SET pushed = pushed + 1 WHERE id = ? AND "
                       "delivered = 0",
                       {grant}) > 0;
        });
        if (!claimed) return false;
        if (hub_.publish(keys, data) > 0) return true;
        db_.transaction([&] {
            db_.run("UPDATE more_time_requests SET pushed = pushed - 1 WHERE id = ?", {grant});
        });
    } catch (const std::exception& e) {
        std::cerr << timestampMs() << " grant " << grant
                  << " not pushed (the approval poll of a client that counts by request still "
                     "hands it out): "
                  << e.what() << "\n";
    }
    return false;
}

void Service::onNotice(const std::string& payload) {
    const json j = json::parse(payload, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.value("keys", json()).is_array() ||
        !j.value("data", json()).is_string() || !j.value("grant", json()).is_number_integer()) {
        std::cerr << timestampMs() << " ignored a malformed change notice from another instance\n";
        return;
    }
    if (j.value("from", "") == instanceId_) return;  // delivered here already
    std::vector<EventHub::Key> keys;
    for (const auto& k : j["keys"])
        if (k.is_array() && k.size() == 2 && k[0].is_string() && k[1].is_string())
            keys.emplace_back(k[0].get<std::string>(), k[1].get<std::string>());
    deliver(keys, j["data"].get<std::string>(), j["grant"].get<std::int64_t>());
}

std::optional<Service::Session> Service::sessionOf(const httplib::Request& req) {
    const std::string token = sessionToken(req);
    if (token.empty() || token.size() > 128) return std::nullopt;
    const std::string hash = crypto::sha256Hex(token);
    auto rows = db_.read([&] {
        return db_.query(
            "SELECT p.id, p.family_id, p.name, COALESCE(s.device_id, '') FROM sessions s JOIN "
            "parents p ON p.id = s.parent_id WHERE s.token_sha256 = ? AND s.expires_at > ?",
            {hash, nowSeconds()});
    });
    if (rows.empty()) return std::nullopt;
    return Session{rows[0].integer(0), rows[0].integer(1), rows[0].text(2), rows[0].text(3)};
}

Service::Session Service::requireSession(const httplib::Request& req) {
    auto s = sessionOf(req);
    if (!s) throw HttpError{401, "not signed in"};
    if (req.method == "POST" &&
        req.get_header_value("Content-Type").rfind("application/json", 0) != 0)
        throw HttpError{415, "expected application/json"};
    return *s;
}

void Service::setSessionCookie(httplib::Response& res, const std::string& token, int maxAge) {
    std::string cookie = std::string(kCookie) + "=" + token +
                         "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" + std::to_string(maxAge);
    if (tls_) cookie += "; Secure";
    res.set_header("Set-Cookie", cookie);
}

std::int64_t Service::createParent(const std::string& email, const std::string& name,
                                   const std::string& password) {
    const std::int64_t family =
        db_.query("INSERT INTO families (created_at) VALUES (?) RETURNING id", {nowIso()})[0]
            .integer(0);
    const std::string salt = crypto::randomHex(16);
    return db_
        .query(
            "INSERT INTO parents (family_id, email, name, pw_salt, pw_hash, pw_iterations, "
            "created_at) VALUES (?, ?, ?, ?, ?, ?, ?) RETURNING id",
            {family, email, name, salt,
             crypto::pbkdf2Hex(password, salt, crypto::kPasswordIterations),
             static_cast<std::int64_t>(crypto::kPasswordIterations), nowIso()})[0]
        .integer(0);
}

std::pair<std::string, std::string> Service::openSession(std::int64_t parentId,
                                                         const std::string& deviceId) {
    const std::string token = crypto::randomHex(32);
    db_.run("DELETE FROM sessions WHERE expires_at <= ?", {nowSeconds()});
    db_.run(
        "INSERT INTO sessions (token_sha256, parent_id, expires_at, device_id) VALUES (?, ?, "
        "?, ?)",
        {crypto::sha256Hex(token), parentId, nowSeconds() + kSessionSeconds,
         deviceId.empty() ? Value(nullptr) : Value(deviceId)});
    std::string setup;
    if (!deviceId.empty()) {
        setup = crypto::randomHex(32);
        db_.run("DELETE FROM setup_tokens WHERE expires_at <= ?", {nowSeconds()});
        db_.run(
            "INSERT INTO setup_tokens (token_sha256, parent_id, device_id, expires_at) VALUES "
            "(?, ?, ?, ?)",
            {crypto::sha256Hex(setup), parentId, deviceId, nowSeconds() + kSetupTokenSeconds});
    }
    return {token, setup};
}

}  // namespace tarvo::service
