#include "Service.h"

#include <algorithm>
#include <iostream>
#include <map>

#include "Crypto.h"
#include "Requests.h"

namespace tarvo::service {

Service::Service(Config config)
    : config_(std::move(config)),
      instanceId_(crypto::randomHex(8)),
      db_(config_.database.empty() ? config_.dataDir + "/tarvo-service.sqlite3" : config_.database),
      hub_(config_.streams) {
    HttpServer::Options o;
    o.certFile = config_.certFile;
    o.keyFile = config_.keyFile;
    o.maxBody = config_.maxBody;
    o.maxConnections = config_.maxConnections;
    o.readTimeout = config_.readTimeout;
    o.idleTimeout = config_.idleTimeout;
    o.heartbeat = config_.heartbeat;
    o.dataPingEvery = config_.dataPingEvery;
    o.ioThreads = config_.ioThreads;
    o.workers = config_.workers;
    o.slowWorkers = config_.slowWorkers;
    server_ = std::make_unique<HttpServer>(std::move(o), hub_);
    tls_ = server_->tls();
    server_->setLogger([this](const httplib::Request& req, const httplib::Response& res, long ms) {
        logRequest(req, res, ms);
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
    config_.port = server_->bind(config_.host, config_.port);
    return config_.port;
}

bool Service::run() {
    return server_->run();
}

void Service::stop() {
    hub_.shutdown();
    if (server_) server_->stop();
}

void Service::logRequest(const httplib::Request& req, const httplib::Response& res, long ms) {
    if (config_.quiet) return;
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
                  void (Service::*m)(const httplib::Request&, httplib::Response&),
                  HttpServer::Pool pool = HttpServer::Pool::general) {
        s.route(method, path, guard([this, m](const httplib::Request& q, httplib::Response& r) {
                    (this->*m)(q, r);
                }),
                pool);
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

    // The two that hash a password.
    on("POST", "/web/api/signup", &Service::signUp, HttpServer::Pool::slow);
    on("POST", "/web/api/signin", &Service::signIn, HttpServer::Pool::slow);
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
        s.route("GET", "/" + n, guard([this, n](const httplib::Request& q, httplib::Response& r) {
                    page(q, r, n);
                }));
    }
    s.route("GET", "/", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("/dashboard");
    });
    s.route("GET", R"(/static/([a-z]+\.(css|js)))",
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
    // One payload per computer: only "device_id" differs between them, so the
    // child's row is read once.
    std::map<std::string, Change> byDevice;
    db_.read([&] {
        byDevice.clear();
        std::optional<json> settings;
        for (const auto& key : keysOf(childId)) {
            Change& change = byDevice[key.first];
            if (change.data.empty()) {
                if (!settings) settings = settingsJson(childId, key.first);
                (*settings)["device_id"] = key.first;
                change.data = settings->dump();
            }
            change.keys.push_back(key);
        }
    });
    std::vector<Change> changes;
    for (auto& [device, change] : byDevice) changes.push_back(std::move(change));
    broadcast(changes);
}

void Service::pushForceUpdate(std::int64_t childId) {
    const auto keys = db_.read([&] { return keysOf(childId); });
    broadcast(keys, json{{"type", "force_update"}}.dump());
}

bool Service::broadcast(const std::vector<EventHub::Key>& keys, const std::string& data,
                        std::int64_t grant) {
    if (keys.empty()) return false;
    return broadcast({Change{keys, data, grant}});
}

bool Service::broadcast(const std::vector<Change>& changes) {
    // Every stream here first, then one notice for all of them, so the last
    // computer's streams do not wait for the others' notices.
    bool here = false;
    json batch = json::array();
    for (const Change& c : changes) {
        if (c.keys.empty()) continue;
        here = deliver(c.keys, c.data, c.grant) || here;
        batch.push_back({{"keys", c.keys}, {"data", c.data}, {"grant", c.grant}});
    }
    if (db_.shared() && !batch.empty()) {
        try {
            db_.notify(json{{"from", instanceId_}, {"changes", batch}}.dump());
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
    const auto wellFormed = [](const json& c) {
        return c.is_object() && c.value("keys", json()).is_array() &&
               c.value("data", json()).is_string() && c.value("grant", json()).is_number_integer();
    };
    if (j.is_discarded() || !j.is_object() || !j.value("changes", json()).is_array() ||
        !std::all_of(j["changes"].begin(), j["changes"].end(), wellFormed)) {
        std::cerr << timestampMs() << " ignored a malformed change notice from another instance\n";
        return;
    }
    if (j.value("from", "") == instanceId_) return;  // delivered here already
    for (const auto& c : j["changes"]) {
        std::vector<EventHub::Key> keys;
        for (const auto& k : c["keys"])
            if (k.is_array() && k.size() == 2 && k[0].is_string() && k[1].is_string())
                keys.emplace_back(k[0].get<std::string>(), k[1].get<std::string>());
        deliver(keys, c["data"].get<std::string>(), c["grant"].get<std::int64_t>());
    }
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
