#include "Service.h"

#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "Crypto.h"
#include "WebAssets.h"

namespace tarvo::service {

using nlohmann::json;

namespace {

constexpr const char* kCookie = "tarvo_session";
constexpr int kSessionSeconds = 30 * 24 * 3600;
constexpr int kSetupTokenSeconds = 24 * 3600;
constexpr size_t kMaxIdLength = 128;
constexpr size_t kMaxAccountLength = 64;
constexpr size_t kMaxListEntries = 500;
constexpr size_t kMaxEntryLength = 2048;
constexpr size_t kMaxSamples = 1000;
constexpr size_t kMaxChatLength = 2000;
constexpr size_t kMaxAccountsPerDevice = 64;
constexpr size_t kMaxPendingRequests = 20;

// Each connection gets a thread of its own (up to a limit), so hundreds of
// open event streams never hold back the short calls.
class ConnectionThreads : public httplib::TaskQueue {
  public:
    explicit ConnectionThreads(size_t max) : max_(max) {}
    void enqueue(std::function<void()> fn) override {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return active_ < max_; });
        ++active_;
        lock.unlock();
        std::thread([this, fn = std::move(fn)] {
            fn();
            std::lock_guard done(mutex_);
            --active_;
            cv_.notify_all();
        }).detach();
    }
    void shutdown() override {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return active_ == 0; });
    }

  private:
    size_t max_;
    size_t active_ = 0;
    std::mutex mutex_;
    std::condition_variable cv_;
};

std::int64_t nowSeconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

std::string isoUtc(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string nowIso() {
    return isoUtc(std::time(nullptr));
}

// "2025-03-01T17:04:05Z", with optional fraction and a zone ("Z" or ±HH:MM),
// normalised to UTC without fraction; none when it is no such time.
std::optional<std::string> normaliseIso(const std::string& s) {
    static const std::regex re(
        R"(^(\d{4})-(\d{2})-(\d{2})[T ](\d{2}):(\d{2}):(\d{2})(\.\d{1,9})?(Z|[+-]\d{2}:\d{2})?$)");
    std::smatch m;
    if (!std::regex_match(s, m, re)) return std::nullopt;
    std::tm tm{};
    tm.tm_year = std::stoi(m[1]) - 1900;
    tm.tm_mon = std::stoi(m[2]) - 1;
    tm.tm_mday = std::stoi(m[3]);
    tm.tm_hour = std::stoi(m[4]);
    tm.tm_min = std::stoi(m[5]);
    tm.tm_sec = std::stoi(m[6]);
    if (tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        return std::nullopt;
    std::time_t t = timegm(&tm);
    const std::string zone = m[8];
    if (zone.size() == 6) {
        const int offset = (std::stoi(zone.substr(1, 2)) * 60 + std::stoi(zone.substr(4, 2))) * 60;
        t += zone[0] == '+' ? -offset : offset;
    }
    return isoUtc(t);
}

bool validText(const std::string& s, size_t maxLength) {
    if (s.empty() || s.size() > maxLength) return false;
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

json parseBody(const httplib::Request& req) {
    json j = json::parse(req.body, nullptr, false);
    if (j.is_discarded()) throw HttpError{400, "malformed JSON"};
    if (!j.is_object()) throw HttpError{400, "expected a JSON object"};
    return j;
}

std::string field(const json& j, const char* key, size_t maxLength = kMaxIdLength) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string() || !validText(it->get<std::string>(), maxLength))
        throw HttpError{400, std::string("missing or invalid \"") + key + "\""};
    return it->get<std::string>();
}

std::optional<std::string> optionalString(const json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::int64_t integerField(const json& j, const char* key, std::int64_t lo, std::int64_t hi) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_integer())
        throw HttpError{400, std::string("missing or invalid \"") + key + "\""};
    const auto v = it->get<std::int64_t>();
    if (v < lo || v > hi) throw HttpError{400, std::string("\"") + key + "\" out of range"};
    return v;
}

std::string param(const httplib::Request& req, const char* key, size_t maxLength = kMaxIdLength) {
    if (!req.has_param(key) || !validText(req.get_param_value(key), maxLength))
        throw HttpError{400, std::string("missing or invalid \"") + key + "\""};
    return req.get_param_value(key);
}

void sendJson(httplib::Response& res, const json& j, int status = 200) {
    res.status = status;
    res.set_content(j.dump(), "application/json");
}

void sendError(httplib::Response& res, int status, const std::string& message) {
    sendJson(res, json{{"error", message}}, status);
}

std::int64_t pathId(const httplib::Request& req) {
    const std::string s = req.matches[1];
    if (s.empty() || s.size() > 18) throw HttpError{404, "not found"};
    return std::stoll(s);
}

// A list of strings from the dashboard: trimmed, no empties, no duplicates, capped.
std::vector<std::string> stringList(const json& j, const char* key, bool lowerCase) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_array())
        throw HttpError{400, std::string("missing or invalid \"") + key + "\""};
    if (it->size() > kMaxListEntries) throw HttpError{400, std::string("too many ") + key};
    std::vector<std::string> out;
    for (const auto& v : *it) {
        if (!v.is_string()) throw HttpError{400, std::string("\"") + key + "\" holds a non-string"};
        std::string s = trim(v.get<std::string>());
        if (lowerCase) s = lower(s);
        if (s.empty()) continue;
        if (!validText(s, kMaxEntryLength))
            throw HttpError{400, std::string("invalid entry in \"") + key + "\""};
        if (std::find(out.begin(), out.end(), s) == out.end()) out.push_back(s);
    }
    return out;
}

thread_local std::chrono::steady_clock::time_point requestStart{};

std::string timestampMs() {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    const std::time_t t = static_cast<std::time_t>(ms.count() / 1000);
    std::string s = isoUtc(t);
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%03dZ", static_cast<int>(ms.count() % 1000));
    return s.substr(0, s.size() - 1) + frac;
}

json messageJson(const Row& r) {
    // id, sender, sender_name, text, sent_at, read_by_child_at, read_by_parent_at
    json m{{"id", r.integer(0)},
           {"from", r.text(1)},
           {"senderName", r.text(2)},
           {"text", r.text(3)},
           {"sentAt", r.text(4)}};
    m["readByChildAt"] = r.isNull(5) ? json(nullptr) : json(r.text(5));
    m["readByParentAt"] = r.isNull(6) ? json(nullptr) : json(r.text(6));
    return m;
}

const char* kMessageColumns =
    "id, sender, sender_name, text, sent_at, read_by_child_at, read_by_parent_at";

}  // namespace

Service::Service(Config config)
    : config_(std::move(config)), db_(config_.dataDir + "/tarvo-service.sqlite3") {
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
    server_->set_read_timeout(10, 0);
    server_->set_write_timeout(10, 0);
    server_->set_keep_alive_timeout(5);
    // Events are small writes that must leave at once, not wait for an ACK.
    server_->set_tcp_nodelay(true);
    // Remember the listening socket, to give it a longer queue once bound.
    server_->set_socket_options([this](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listenSocket_ = sock;
    });
    server_->set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
        requestStart = std::chrono::steady_clock::now();
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server_->set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty()) {
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
}

Service::~Service() {
    stop();
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

Service::ChildRef Service::requireChild(const std::string& deviceId, const std::string& account) {
    auto rows = db_.query(
        "SELECT c.id, c.family_id, c.name FROM device_accounts a JOIN children c ON c.id = "
        "a.child_id WHERE a.device_id = ? AND a.account = ?",
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
        for (const auto& key : keysOf(childId)) {
            auto& entry = byDevice[key.first];
            if (entry.first.empty()) entry.first = settingsJson(childId, key.first).dump();
            entry.second.push_back(key);
        }
    });
    for (const auto& [device, entry] : byDevice) hub_.publish(entry.second, entry.first);
}

void Service::pushForceUpdate(std::int64_t childId) {
    const auto keys = db_.read([&] { return keysOf(childId); });
    hub_.publish(keys, json{{"type", "force_update"}}.dump());
}

std::optional<Service::Session> Service::sessionOf(const httplib::Request& req) {
    const std::string cookies = req.get_header_value("Cookie");
    std::string token;
    std::istringstream in(cookies);
    std::string part;
    while (std::getline(in, part, ';')) {
        part = trim(part);
        if (part.rfind(std::string(kCookie) + "=", 0) == 0)
            token = part.substr(std::string(kCookie).size() + 1);
    }
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
    db_.run("INSERT INTO families (created_at) VALUES (?)", {nowIso()});
    const std::int64_t family = db_.lastInsertId();
    const std::string salt = crypto::randomHex(16);
    db_.run(
        "INSERT INTO parents (family_id, email, name, pw_salt, pw_hash, pw_iterations, "
        "created_at) VALUES (?, ?, ?, ?, ?, ?, ?)",
        {family, email, name, salt, crypto::pbkdf2Hex(password, salt, crypto::kPasswordIterations),
         static_cast<std::int64_t>(crypto::kPasswordIterations), nowIso()});
    return db_.lastInsertId();
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

// ---------------------------------------------------------------- client API

void Service::checkIn(const httplib::Request& req, httplib::Response& res) {
    const std::string device = param(req, "deviceId");
    const std::string user = param(req, "user", kMaxAccountLength);
    const std::string computer = req.has_param("computer_name")
                                     ? req.get_param_value("computer_name").substr(0, 256)
                                     : std::string();
    const std::string os = req.get_param_value("os").substr(0, 32);
    const std::string version = req.get_param_value("version").substr(0, 32);
    const std::string now = nowIso();
    db_.transaction([&] {
        db_.run(
            "INSERT INTO devices (device_id, computer_name, os, version, last_checkin, last_user) "
            "VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT(device_id) DO UPDATE SET computer_name = "
            "excluded.computer_name, os = excluded.os, version = excluded.version, last_checkin = "
            "excluded.last_checkin, last_user = excluded.last_user",
            {device, computer, os, version, now, user});
        if (db_.run("UPDATE device_accounts SET last_checkin = ? WHERE device_id = ? AND account "
                    "= ?",
                    {now, device, user}) == 0) {
            auto n =
                db_.query("SELECT COUNT(*) FROM device_accounts WHERE device_id = ?", {device});
            if (n[0].integer(0) < static_cast<std::int64_t>(kMaxAccountsPerDevice))
                db_.run(
                    "INSERT INTO device_accounts (device_id, account, last_checkin) VALUES (?, "
                    "?, ?)",
                    {device, user, now});
        }
    });
    sendJson(res, {{"ok", true}, {"serverTime", now}});
}

void Service::settings(const httplib::Request& req, httplib::Response& res) {
    const std::string device = param(req, "device_id");
    const std::string user = param(req, "username", kMaxAccountLength);
    json j = db_.read([&] { return settingsJson(requireChild(device, user).id, device); });
    j.erase("type");
    sendJson(res, j);
}

void Service::appLimits(const httplib::Request& req, httplib::Response& res) {
    const std::string device = param(req, "device_id");
    const std::string user = param(req, "username", kMaxAccountLength);
    auto rows = db_.read([&] {
        return db_.query(
            "SELECT allowed_apps, daily_minutes, warn_minutes FROM children WHERE id = ?",
            {requireChild(device, user).id});
    });
    sendJson(res, {{"allowed_bundle_ids", json::parse(rows[0].text(0))},
                   {"daily_minutes", rows[0].integer(1)},
                   {"warn_at_minutes_remaining", rows[0].integer(2)}});
}

void Service::requestMoreTime(const httplib::Request& req, httplib::Response& res) {
    const json body = parseBody(req);
    const std::string device = field(body, "device_id");
    const std::string user = field(body, "username", kMaxAccountLength);
    const std::int64_t minutes = integerField(body, "requested_minutes", 1, 1440);
    std::string reason = optionalString(body, "reason").value_or("");
    if (reason.size() > 1000) throw HttpError{400, "\"reason\" too long"};
    const std::string at =
        normaliseIso(optionalString(body, "requested_at").value_or("")).value_or(nowIso());
    const std::int64_t id = db_.transaction([&] {
        const ChildRef child = requireChild(device, user);
        auto pending = db_.query(
            "SELECT COUNT(*) FROM more_time_requests WHERE child_id = ? AND status = 'pending'",
            {child.id});
        if (pending[0].integer(0) >= static_cast<std::int64_t>(kMaxPendingRequests))
            throw HttpError{429, "too many pending requests"};
        db_.run(
            "INSERT INTO more_time_requests (child_id, device_id, account, minutes, reason, "
            "requested_at) VALUES (?, ?, ?, ?, ?, ?)",
            {child.id, device, user, minutes, reason, at});
        return db_.lastInsertId();
    });
    sendJson(res, {{"id", id}, {"status", "pending"}});
}

void Service::checkApproval(const httplib::Request& req, httplib::Response& res) {
    const std::string device = param(req, "deviceId");
    const std::string user = param(req, "username", kMaxAccountLength);
    // Each grant is handed out once: by the stream or by this poll.
    const std::int64_t minutes = db_.transaction([&] {
        requireChild(device, user);
        auto rows = db_.query(
            "SELECT COALESCE(SUM(granted_minutes), 0) FROM more_time_requests WHERE device_id = ? "
            "AND account = ? AND status = 'granted' AND delivered = 0",
            {device, user});
        db_.run(
            "UPDATE more_time_requests SET delivered = 1 WHERE device_id = ? AND account = ? "
            "AND status = 'granted' AND delivered = 0",
            {device, user});
        return rows[0].integer(0);
    });
    sendJson(res, {{"approved", minutes > 0}, {"granted_minutes", minutes}});
}

void Service::usage(const httplib::Request& req, httplib::Response& res) {
    const json body = parseBody(req);
    const std::string device = field(body, "device_id");
    const std::string user = field(body, "username", kMaxAccountLength);
    auto it = body.find("samples");
    if (it == body.end() || !it->is_array()) throw HttpError{400, "missing or invalid \"samples\""};
    if (it->size() > kMaxSamples) throw HttpError{413, "too many samples"};
    struct Sample {
        std::string bundle, name, at;
        std::int64_t seconds;
    };
    std::vector<Sample> samples;
    for (const auto& s : *it) {
        if (!s.is_object()) throw HttpError{400, "sample is not an object"};
        Sample x;
        x.bundle = field(s, "bundle_id", 256);
        x.name = optionalString(s, "app_name").value_or("").substr(0, 256);
        x.seconds = integerField(s, "seconds", 0, 86400);
        auto at = normaliseIso(optionalString(s, "sampled_at").value_or(""));
        if (!at) throw HttpError{400, "missing or invalid \"sampled_at\""};
        x.at = *at;
        samples.push_back(std::move(x));
    }
    db_.transaction([&] {
        const ChildRef child = requireChild(device, user);
        for (const auto& s : samples)
            db_.run(
                "INSERT INTO usage_samples (child_id, device_id, account, bundle_id, app_name, "
                "seconds, sampled_at) VALUES (?, ?, ?, ?, ?, ?, ?)",
                {child.id, device, user, s.bundle, s.name, s.seconds, s.at});
    });
    sendJson(res, {{"ok", true}, {"stored", samples.size()}});
}

void Service::appLimitReached(const httplib::Request& req, httplib::Response& res) {
    const json body = parseBody(req);
    const std::string device = field(body, "device_id");
    const std::string user = field(body, "username", kMaxAccountLength);
    const std::string bundle = field(body, "bundle_id", 256);
    const std::string name = optionalString(body, "app_name").value_or("").substr(0, 256);
    const std::string at = normaliseIso(optionalString(body, "at").value_or("")).value_or(nowIso());
    db_.transaction([&] {
        const ChildRef child = requireChild(device, user);
        db_.run(
            "INSERT INTO app_limit_events (child_id, device_id, account, bundle_id, app_name, "
            "at) VALUES (?, ?, ?, ?, ?, ?)",
            {child.id, device, user, bundle, name, at});
    });
    sendJson(res, {{"ok", true}});
}

void Service::setDesktopSettings(const httplib::Request& req, httplib::Response& res) {
    const json body = parseBody(req);
    const std::string device = field(body, "device_id");
    const std::string token = field(body, "token", 128);
    const std::string computer = optionalString(body, "computer_name").value_or("").substr(0, 256);
    const std::string os = optionalString(body, "os").value_or("").substr(0, 32);
    auto it = body.find("users");
    if (it == body.end() || !it->is_array()) throw HttpError{400, "missing or invalid \"users\""};
    if (it->size() > kMaxAccountsPerDevice) throw HttpError{400, "too many users"};
    std::vector<std::string> users;
    for (const auto& u : *it) {
        if (!u.is_string() || !validText(u.get<std::string>(), kMaxAccountLength))
            throw HttpError{400, "invalid entry in \"users\""};
        users.push_back(u.get<std::string>());
    }
    db_.transaction([&] {
        auto t = db_.query(
            "SELECT p.family_id, COALESCE(t.device_id, '') FROM setup_tokens t JOIN parents p ON "
            "p.id = t.parent_id WHERE t.token_sha256 = ? AND t.expires_at > ?",
            {crypto::sha256Hex(token), nowSeconds()});
        if (t.empty()) throw HttpError{401, "invalid or expired token"};
        const std::int64_t family = t[0].integer(0);
        if (!t[0].text(1).empty() && t[0].text(1) != device)
            throw HttpError{403, "token belongs to another computer"};
        auto d = db_.query("SELECT family_id FROM devices WHERE device_id = ?", {device});
        if (!d.empty() && !d[0].isNull(0) && d[0].integer(0) != family)
            throw HttpError{409, "computer belongs to another family"};
        db_.run(
            "INSERT INTO devices (device_id, family_id, computer_name, os) VALUES (?, ?, ?, ?) "
            "ON CONFLICT(device_id) DO UPDATE SET family_id = excluded.family_id, "
            "computer_name = excluded.computer_name, os = excluded.os",
            {device, family, computer, os});
        // Accounts no longer on the computer go, unless a child still uses them.
        auto existing = db_.query(
            "SELECT account FROM device_accounts WHERE device_id = ? AND child_id IS NULL",
            {device});
        for (const auto& r : existing)
            if (std::find(users.begin(), users.end(), r.text(0)) == users.end())
                db_.run("DELETE FROM device_accounts WHERE device_id = ? AND account = ?",
                        {device, r.text(0)});
        for (const auto& u : users)
            db_.run("INSERT OR IGNORE INTO device_accounts (device_id, account) VALUES (?, ?)",
                    {device, u});
    });
    sendJson(res, {{"ok", true}, {"users", users.size()}});
}

void Service::usersForDevice(const httplib::Request& req, httplib::Response& res) {
    const std::string device = param(req, "deviceId");
    auto rows = db_.read([&] {
        if (db_.query("SELECT 1 FROM devices WHERE device_id = ?", {device}).empty())
            throw HttpError{404, "unknown device"};
        return db_.query(
            "SELECT account FROM device_accounts WHERE device_id = ? AND child_id IS NOT NULL "
            "ORDER BY account",
            {device});
    });
    json users = json::array();
    for (const auto& r : rows) users.push_back(r.text(0));
    sendJson(res, users);
}

void Service::childAccountDevices(const httplib::Request& req, httplib::Response& res) {
    const std::string token = param(req, "token");
    auto rows = db_.read([&] {
        auto t = db_.query(
            "SELECT p.family_id, COALESCE(t.device_id, '') FROM setup_tokens t JOIN parents p ON "
            "p.id = t.parent_id WHERE t.token_sha256 = ? AND t.expires_at > ?",
            {crypto::sha256Hex(token), nowSeconds()});
        if (t.empty()) throw HttpError{401, "invalid or expired token"};
        return db_.query(
            "SELECT a.account, a.device_id FROM device_accounts a JOIN devices d ON d.device_id = "
            "a.device_id WHERE d.family_id = ? AND a.child_id IS NOT NULL AND (? = '' OR "
            "a.device_id = ?) ORDER BY a.account",
            {t[0].integer(0), t[0].text(1), t[0].text(1)});
    });
    json map = json::object();
    for (const auto& r : rows) map[r.text(0)] = r.text(1);
    sendJson(res, map);
}

void Service::chatSend(const httplib::Request& req, httplib::Response& res) {
    const json body = parseBody(req);
    const std::string device = field(body, "deviceId");
    const std::string user = field(body, "username", kMaxAccountLength);
    auto text = optionalString(body, "message");
    if (!text || trim(*text).empty()) throw HttpError{400, "missing or invalid \"message\""};
    if (text->size() > kMaxChatLength) throw HttpError{413, "message too long"};
    auto row = db_.transaction([&] {
        const ChildRef child = requireChild(device, user);
        db_.run(
            "INSERT INTO chat_messages (child_id, sender, sender_name, text, sent_at) VALUES "
            "(?, 'child', ?, ?, ?)",
            {child.id, child.name, *text, nowIso()});
        return db_.query(
            std::string("SELECT ") + kMessageColumns + " FROM chat_messages WHERE id = ?",
            {db_.lastInsertId()})[0];
    });
    sendJson(res, {{"chatMessage", messageJson(row)}});
}

void Service::chatPoll(const httplib::Request& req, httplib::Response& res) {
    const std::string device = param(req, "deviceId");
    const std::string user = param(req, "username", kMaxAccountLength);
    std::int64_t after = 0;
    if (req.has_param("afterId")) {
        try {
            after = std::stoll(req.get_param_value("afterId"));
        } catch (const std::exception&) {
            throw HttpError{400, "invalid \"afterId\""};
        }
    }
    const bool markRead = req.get_param_value("markRead") == "true";
    json out{{"messages", json::array()}, {"parents", json::array()}};
    db_.transaction([&] {
        const ChildRef child = requireChild(device, user);
        if (markRead)
            db_.run(
                "UPDATE chat_messages SET read_by_child_at = ? WHERE child_id = ? AND sender = "
                "'parent' AND id > ? AND read_by_child_at IS NULL",
                {nowIso(), child.id, after});
        for (const auto& r : db_.query(
                 std::string("SELECT ") + kMessageColumns +
                     " FROM chat_messages WHERE child_id = ? AND id > ? ORDER BY id LIMIT 200",
                 {child.id, after}))
            out["messages"].push_back(messageJson(r));
        for (const auto& r : db_.query("SELECT name FROM parents WHERE family_id = ? ORDER BY id",
                                       {child.familyId}))
            out["parents"].push_back({{"name", r.text(0)}});
    });
    sendJson(res, out);
}

void Service::chatMarkRead(const httplib::Request& req, httplib::Response& res) {
    const json body = parseBody(req);
    const std::string device = field(body, "deviceId");
    const std::string user = field(body, "username", kMaxAccountLength);
    auto it = body.find("messageIds");
    if (it == body.end() || !it->is_array() || it->size() > 1000)
        throw HttpError{400, "missing or invalid \"messageIds\""};
    std::vector<std::int64_t> ids;
    for (const auto& v : *it) {
        if (!v.is_number_integer()) throw HttpError{400, "invalid entry in \"messageIds\""};
        ids.push_back(v.get<std::int64_t>());
    }
    const std::string at =
        normaliseIso(optionalString(body, "readAtUtc").value_or("")).value_or(nowIso());
    std::int64_t marked = 0;
    db_.transaction([&] {
        const ChildRef child = requireChild(device, user);
        // The child marks only the parents' messages to itself.
        for (auto id : ids)
            marked += db_.run(
                "UPDATE chat_messages SET read_by_child_at = ? WHERE id = ? AND child_id = ? AND "
                "sender = 'parent' AND read_by_child_at IS NULL",
                {at, id, child.id});
    });
    sendJson(res, {{"ok", true}, {"marked", marked}});
}

void Service::chatStatus(const httplib::Request& req, httplib::Response& res) {
    const json body = parseBody(req);
    const std::string device = field(body, "deviceId");
    const std::string user = field(body, "username", kMaxAccountLength);
    auto ok = body.find("pollOk");
    if (ok == body.end() || !ok->is_boolean())
        throw HttpError{400, "missing or invalid \"pollOk\""};
    const std::string version = optionalString(body, "version").value_or("").substr(0, 32);
    auto lastError = optionalString(body, "lastError");
    db_.transaction([&] {
        requireChild(device, user);
        db_.run(
            "UPDATE device_accounts SET chat_ok = ?, chat_error = ?, chat_version = ?, "
            "chat_reported_at = ? WHERE device_id = ? AND account = ?",
            {static_cast<std::int64_t>(ok->get<bool>()),
             lastError ? Value(lastError->substr(0, 500)) : Value(nullptr), version, nowIso(),
             device, user});
    });
    sendJson(res, {{"ok", true}});
}

void Service::manifest(const httplib::Request&, httplib::Response& res) {
    if (config_.updatesDir.empty()) throw HttpError{404, "no update offered"};
    std::ifstream in(config_.updatesDir + "/manifest.json", std::ios::binary);
    if (!in) throw HttpError{404, "no update offered"};
    std::stringstream ss;
    ss << in.rdbuf();
    json j = json::parse(ss.str(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        std::cerr << timestampMs() << " manifest.json in " << config_.updatesDir
                  << " is not a JSON object — not offering it\n";
        throw HttpError{500, "manifest unreadable"};
    }
    sendJson(res, j);
}

void Service::updateFile(const httplib::Request& req, httplib::Response& res) {
    if (config_.updatesDir.empty()) throw HttpError{404, "not found"};
    const std::string path = config_.updatesDir + "/" + std::string(req.matches[1]);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) throw HttpError{404, "not found"};
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    res.set_content(ss.str(), "application/octet-stream");
}

void Service::events(const httplib::Request& req, httplib::Response& res) {
    const std::string user = param(req, "userId", kMaxAccountLength);
    const std::string device = param(req, "deviceId");
    auto stream = hub_.open(device, user);
    if (!stream) throw HttpError{429, "too many event streams"};
    res.set_header("Cache-Control", "no-cache");
    const auto opened = std::chrono::steady_clock::now();
    if (!config_.quiet)
        std::cerr << timestampMs() + " GET " + req.path + " 200 0ms stream opened\n" << std::flush;
    const auto heartbeat = config_.heartbeat;
    const int pingEvery = config_.dataPingEvery;
    auto beats = std::make_shared<int>(0);
    auto first = std::make_shared<bool>(true);
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, stream, heartbeat, pingEvery, beats, first](size_t, httplib::DataSink& sink) {
            if (*first) {
                *first = false;
                const std::string hello = ": connected\nretry: 5000\n\n";
                return sink.write(hello.data(), hello.size());
            }
            auto blocks = hub_.next(*stream, heartbeat);
            if (!blocks) return false;
            std::string out;
            for (const auto& b : *blocks) out += b;
            if (blocks->empty()) {
                // A comment keeps proxies and the connection alive; now and
                // then a data line too, which the agent counts as activity.
                out = ": heartbeat\n\n";
                if (pingEvery > 0 && ++*beats % pingEvery == 0)
                    out += "data: {\"type\":\"ping\"}\n\n";
            }
            return sink.write(out.data(), out.size());
        },
        [this, stream, opened, path = req.path](bool) {
            hub_.close(stream);
            if (config_.quiet) return;
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - opened)
                                .count();
            std::cerr << timestampMs() + " GET " + path + " 200 " + std::to_string(ms) +
                             "ms stream closed\n"
                      << std::flush;
        });
}

// ---------------------------------------------------------------- parent API

void Service::signUp(const httplib::Request& req, httplib::Response& res) {
    const json body = parseBody(req);
    const std::string email = trim(field(body, "email", 254));
    const std::string name = trim(field(body, "name", 100));
    const std::string password = field(body, "password", 1024);
    if (email.find('@') == std::string::npos) throw HttpError{400, "invalid email"};
    if (password.size() < 8) throw HttpError{400, "password shorter than 8 characters"};
    auto [token, setup] = db_.transaction([&] {
        if (!db_.query("SELECT 1 FROM parents WHERE email = ?", {email}).empty())
            throw HttpError{409, "email already registered"};
        return openSession(createParent(email, name, password),
                           optionalString(body, "deviceId").value_or(""));
    });
    setSessionCookie(res, token, kSessionSeconds);
    json out{{"ok", true}};
    if (!setup.empty()) out["token"] = setup;
    sendJson(res, out);
}

void Service::signIn(const httplib::Request& req, httplib::Response& res) {
    const json body = parseBody(req);
    const std::string email = trim(field(body, "email", 254));
    const std::string password = field(body, "password", 1024);
    std::string deviceId = optionalString(body, "deviceId").value_or("");
    if (!deviceId.empty() && !validText(deviceId, kMaxIdLength))
        throw HttpError{400, "invalid \"deviceId\""};
    if (signInBlocked(email)) throw HttpError{429, "too many failed sign-ins; try again later"};
    auto rows = db_.read([&] {
        return db_.query("SELECT id, pw_salt, pw_hash, pw_iterations FROM parents WHERE email = ?",
                         {email});
    });
    // The same work whether or not the address is known.
    const std::string salt = rows.empty() ? std::string(32, '0') : rows[0].text(1);
    const int iterations =
        rows.empty() ? crypto::kPasswordIterations : static_cast<int>(rows[0].integer(3));
    const std::string hash = crypto::pbkdf2Hex(password, salt, iterations);
    const bool ok = !rows.empty() && crypto::equalConstantTime(hash, rows[0].text(2));
    recordSignIn(email, ok);
    if (!ok) throw HttpError{401, "wrong email or password"};
    auto [token, setup] =
        db_.transaction([&] { return openSession(rows[0].integer(0), deviceId); });
    setSessionCookie(res, token, kSessionSeconds);
    json out{{"ok", true}};
    if (!setup.empty()) out["token"] = setup;
    sendJson(res, out);
}

bool Service::signInBlocked(const std::string& email) {
    std::lock_guard lock(failuresMutex_);
    auto it = failures_.find(lower(email));
    if (it == failures_.end()) return false;
    if (std::chrono::steady_clock::now() - it->second.first > config_.signInWindow) {
        failures_.erase(it);
        return false;
    }
    return it->second.count >= config_.maxSignInFailures;
}

void Service::recordSignIn(const std::string& email, bool ok) {
    std::lock_guard lock(failuresMutex_);
    const std::string key = lower(email);
    if (ok) {
        failures_.erase(key);
        return;
    }
    if (failures_.size() > 100000) failures_.clear();  // bounded, whatever is thrown at it
    auto& f = failures_[key];
    if (f.count == 0) f.first = std::chrono::steady_clock::now();
    ++f.count;
}

void Service::signOut(const httplib::Request& req, httplib::Response& res) {
    const std::string cookies = req.get_header_value("Cookie");
    const std::string prefix = std::string(kCookie) + "=";
    auto pos = cookies.find(prefix);
    if (pos != std::string::npos) {
        std::string token = cookies.substr(pos + prefix.size());
        token = token.substr(0, token.find(';'));
        db_.transaction([&] {
            db_.run("DELETE FROM sessions WHERE token_sha256 = ?", {crypto::sha256Hex(token)});
        });
    }
    setSessionCookie(res, "", 0);
    sendJson(res, {{"ok", true}});
}

void Service::overview(const httplib::Request& req, httplib::Response& res) {
    const Session s = requireSession(req);
    int tz = 0;  // minutes east of UTC, for "today"
    if (req.has_param("tz")) {
        try {
            tz = std::clamp(std::stoi(req.get_param_value("tz")), -14 * 60, 14 * 60);
        } catch (const std::exception&) {
            throw HttpError{400, "invalid \"tz\""};
        }
    }
    const std::string shift = (tz >= 0 ? "+" : "") + std::to_string(tz) + " minutes";
    json out{{"parent", {{"name", s.parentName}}},
             {"children", json::array()},
             {"devices", json::array()},
             {"setupDevice", s.deviceId}};
    db_.transaction([&] {
        for (const auto& d :
             db_.query("SELECT device_id, computer_name, os, version, last_checkin FROM devices "
                       "WHERE family_id = ? ORDER BY computer_name",
                       {s.familyId})) {
            json dev{{"deviceId", d.text(0)},
                     {"computerName", d.text(1)},
                     {"version", d.text(3)},
                     {"lastCheckin", d.isNull(4) ? json(nullptr) : json(d.text(4))},
                     {"accounts", json::array()}};
            for (const auto& a : db_.query(
                     "SELECT account, child_id, last_checkin, chat_ok, chat_error, "
                     "chat_reported_at FROM device_accounts WHERE device_id = ? ORDER BY account",
                     {d.text(0)}))
                dev["accounts"].push_back(
                    {{"account", a.text(0)},
                     {"childId", a.isNull(1) ? json(nullptr) : json(a.integer(1))},
                     {"lastCheckin", a.isNull(2) ? json(nullptr) : json(a.text(2))},
                     {"chatOk", a.isNull(3) ? json(nullptr) : json(a.integer(3) != 0)},
                     {"chatError", a.isNull(4) ? json(nullptr) : json(a.text(4))},
                     {"chatReportedAt", a.isNull(5) ? json(nullptr) : json(a.text(5))}});
            out["devices"].push_back(dev);
        }
        for (const auto& c :
             db_.query("SELECT id, name, whitelist, blacklist, access_windows, allowed_apps, "
                       "daily_minutes, warn_minutes FROM children WHERE family_id = ? ORDER BY id",
                       {s.familyId})) {
            const std::int64_t id = c.integer(0);
            json child{{"id", id},
                       {"name", c.text(1)},
                       {"whitelist", json::parse(c.text(2))},
                       {"blacklist", json::parse(c.text(3))},
                       {"accessWindows", json::parse(c.text(4))},
                       {"allowedApps", json::parse(c.text(5))},
                       {"dailyMinutes", c.integer(6)},
                       {"warnMinutes", c.integer(7)},
                       {"requests", json::array()},
                       {"chat", json::array()},
                       {"seenApps", json::array()},
                       {"usageToday", json::array()},
                       {"usageWeek", json::array()},
                       {"blockedApps", json::array()}};
            for (const auto& r :
                 db_.query("SELECT id, minutes, reason, requested_at, status, granted_minutes, "
                           "account FROM more_time_requests WHERE child_id = ? ORDER BY (status = "
                           "'pending') DESC, id DESC LIMIT 20",
                           {id}))
                child["requests"].push_back({{"id", r.integer(0)},
                                             {"minutes", r.integer(1)},
                                             {"reason", r.text(2)},
                                             {"requestedAt", r.text(3)},
                                             {"status", r.text(4)},
                                             {"grantedMinutes", r.integer(5)},
                                             {"account", r.text(6)}});
            // The parent has now seen the child's messages.
            db_.run(
                "UPDATE chat_messages SET read_by_parent_at = ? WHERE child_id = ? AND sender "
                "= 'child' AND read_by_parent_at IS NULL",
                {nowIso(), id});
            auto chat = db_.query(std::string("SELECT ") + kMessageColumns +
                                      " FROM chat_messages WHERE child_id = ? ORDER BY id DESC "
                                      "LIMIT 100",
                                  {id});
            for (auto it = chat.rbegin(); it != chat.rend(); ++it)
                child["chat"].push_back(messageJson(*it));
            for (const auto& r : db_.query(
                     "SELECT bundle_id, MAX(app_name) FROM usage_samples WHERE child_id = ? GROUP "
                     "BY bundle_id ORDER BY bundle_id LIMIT 200",
                     {id}))
                child["seenApps"].push_back({{"bundleId", r.text(0)}, {"appName", r.text(1)}});
            auto usageSince = [&](const char* since, const char* key) {
                for (const auto& r : db_.query(
                         "SELECT bundle_id, MAX(app_name), SUM(seconds) FROM usage_samples WHERE "
                         "child_id = ? AND date(sampled_at, ?) >= date('now', ?, ?) GROUP BY "
                         "bundle_id ORDER BY SUM(seconds) DESC LIMIT 20",
                         {id, shift, shift, std::string(since)}))
                    child[key].push_back({{"bundleId", r.text(0)},
                                          {"appName", r.text(1)},
                                          {"seconds", r.integer(2)}});
            };
            usageSince("+0 days", "usageToday");
            usageSince("-6 days", "usageWeek");
            for (const auto& r :
                 db_.query("SELECT bundle_id, app_name, at FROM app_limit_events WHERE child_id "
                           "= ? ORDER BY id DESC LIMIT 10",
                           {id}))
                child["blockedApps"].push_back(
                    {{"bundleId", r.text(0)}, {"appName", r.text(1)}, {"at", r.text(2)}});
            out["children"].push_back(child);
        }
    });
    sendJson(res, out);
}

void Service::createChild(const httplib::Request& req, httplib::Response& res) {
    const Session s = requireSession(req);
    const json body = parseBody(req);
    const std::string name = trim(field(body, "name", 100));
    if (name.empty()) throw HttpError{400, "missing or invalid \"name\""};
    const std::int64_t id = db_.transaction([&] {
        if (db_.query("SELECT COUNT(*) FROM children WHERE family_id = ?", {s.familyId})[0].integer(
                0) >= 50)
            throw HttpError{409, "too many children"};
        db_.run("INSERT INTO children (family_id, name, created_at) VALUES (?, ?, ?)",
                {s.familyId, name, nowIso()});
        return db_.lastInsertId();
    });
    sendJson(res, {{"id", id}, {"name", name}});
}

void Service::saveRules(const httplib::Request& req, httplib::Response& res) {
    const Session s = requireSession(req);
    const std::int64_t id = pathId(req);
    const json body = parseBody(req);
    const auto white = stringList(body, "whitelist", true);
    const auto black = stringList(body, "blacklist", true);
    auto it = body.find("accessWindows");
    if (it == body.end() || !it->is_array() || it->size() > 100)
        throw HttpError{400, "missing or invalid \"accessWindows\""};
    json windows = json::array();
    for (const auto& w : *it) {
        if (!w.is_object()) throw HttpError{400, "access window is not an object"};
        const auto day = integerField(w, "day", 0, 6);
        const auto start = integerField(w, "start", 0, 1439);
        const auto end = integerField(w, "end", 1, 1440);
        if (end == start) throw HttpError{400, "access window is empty"};
        windows.push_back({{"day", day}, {"start", start}, {"end", end}});
    }
    db_.transaction([&] {
        familyChild(s, id);
        db_.run("UPDATE children SET whitelist = ?, blacklist = ?, access_windows = ? WHERE id = ?",
                {json(white).dump(), json(black).dump(), windows.dump(), id});
    });
    pushRules(id);
    sendJson(res, {{"ok", true}});
}

void Service::saveLimits(const httplib::Request& req, httplib::Response& res) {
    const Session s = requireSession(req);
    const std::int64_t id = pathId(req);
    const json body = parseBody(req);
    const auto daily = integerField(body, "dailyMinutes", 0, 1440);
    const auto warn = integerField(body, "warnMinutes", 0, 120);
    const auto apps = stringList(body, "allowedApps", true);
    db_.transaction([&] {
        familyChild(s, id);
        db_.run(
            "UPDATE children SET daily_minutes = ?, warn_minutes = ?, allowed_apps = ? WHERE "
            "id = ?",
            {daily, warn, json(apps).dump(), id});
    });
    // The agent reads limits only when told to refresh.
    pushForceUpdate(id);
    sendJson(res, {{"ok", true}});
}

void Service::decide(const httplib::Request& req, httplib::Response& res) {
    const Session s = requireSession(req);
    const std::int64_t requestId = pathId(req);
    const json body = parseBody(req);
    auto g = body.find("grant");
    if (g == body.end() || !g->is_boolean()) throw HttpError{400, "missing or invalid \"grant\""};
    const bool grant = g->get<bool>();
    struct Outcome {
        EventHub::Key key;
        std::int64_t minutes = 0;
        bool viaStream = false;
    };
    const Outcome o = db_.transaction([&] {
        auto r = db_.query(
            "SELECT r.device_id, r.account, r.minutes, r.status FROM more_time_requests r JOIN "
            "children c ON c.id = r.child_id WHERE r.id = ? AND c.family_id = ?",
            {requestId, s.familyId});
        if (r.empty()) throw HttpError{404, "no such request"};
        if (r[0].text(3) != "pending") throw HttpError{409, "request already decided"};
        Outcome out;
        out.key = {r[0].text(0), r[0].text(1)};
        out.minutes =
            body.contains("minutes") ? integerField(body, "minutes", 1, 1440) : r[0].integer(2);
        db_.run(
            "UPDATE more_time_requests SET status = ?, granted_minutes = ?, decided_at = ?, "
            "delivered = 0 WHERE id = ?",
            {std::string(grant ? "granted" : "denied"), grant ? out.minutes : 0, nowIso(),
             requestId});
        // A grant goes out once: on the open streams, else through the approval
        // poll. Published under the database lock, so a poll cannot take it too.
        if (grant) {
            const size_t queued = hub_.publish({out.key}, json{{"type", "more_time_approved"},
                                                               {"granted_minutes", out.minutes},
                                                               {"request_id", requestId}}
                                                              .dump());
            if (queued > 0) {
                db_.run("UPDATE more_time_requests SET delivered = 1 WHERE id = ?", {requestId});
                out.viaStream = true;
            }
        }
        return out;
    });
    sendJson(res, {{"ok", true},
                   {"status", grant ? "granted" : "denied"},
                   {"grantedMinutes", grant ? o.minutes : 0},
                   {"pushed", o.viaStream}});
}

void Service::parentChat(const httplib::Request& req, httplib::Response& res) {
    const Session s = requireSession(req);
    const std::int64_t id = pathId(req);
    const json body = parseBody(req);
    auto text = optionalString(body, "text");
    if (!text || trim(*text).empty()) throw HttpError{400, "missing or invalid \"text\""};
    if (text->size() > kMaxChatLength) throw HttpError{413, "message too long"};
    auto row = db_.transaction([&] {
        familyChild(s, id);
        db_.run(
            "INSERT INTO chat_messages (child_id, sender, sender_name, text, sent_at) VALUES "
            "(?, 'parent', ?, ?, ?)",
            {id, s.parentName, *text, nowIso()});
        return db_.query(
            std::string("SELECT ") + kMessageColumns + " FROM chat_messages WHERE id = ?",
            {db_.lastInsertId()})[0];
    });
    sendJson(res, {{"chatMessage", messageJson(row)}});
}

void Service::refresh(const httplib::Request& req, httplib::Response& res) {
    const Session s = requireSession(req);
    const std::int64_t id = pathId(req);
    db_.read([&] { familyChild(s, id); });
    pushForceUpdate(id);
    sendJson(res, {{"ok", true}});
}

void Service::assign(const httplib::Request& req, httplib::Response& res) {
    const Session s = requireSession(req);
    const json body = parseBody(req);
    const std::string device = field(body, "deviceId");
    auto it = body.find("assignments");
    if (it == body.end() || !it->is_object() || it->size() > kMaxAccountsPerDevice)
        throw HttpError{400, "missing or invalid \"assignments\""};
    std::vector<std::int64_t> touched;
    db_.transaction([&] {
        auto d = db_.query("SELECT family_id FROM devices WHERE device_id = ?", {device});
        if (d.empty() || d[0].isNull(0) || d[0].integer(0) != s.familyId)
            throw HttpError{404, "unknown computer"};
        for (const auto& [account, child] : it->items()) {
            if (!child.is_null() && !child.is_number_integer())
                throw HttpError{400, "invalid child for " + account};
            Value childId = nullptr;
            if (child.is_number_integer() && child.get<std::int64_t>() != 0) {
                childId = familyChild(s, child.get<std::int64_t>()).id;
                touched.push_back(child.get<std::int64_t>());
            }
            if (db_.run("UPDATE device_accounts SET child_id = ? WHERE device_id = ? AND account "
                        "= ?",
                        {childId, device, account}) == 0)
                throw HttpError{404, "unknown account " + account};
        }
    });
    for (auto id : touched) pushRules(id);
    sendJson(res, {{"ok", true}});
}

void Service::page(const httplib::Request&, httplib::Response& res, const std::string& name) {
    const WebAsset* asset = findWebAsset(name);
    if (!asset) throw HttpError{404, "not found"};
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                   "frame-ancestors 'none'");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Cache-Control", "no-store");
    res.set_content(std::string(asset->body), asset->contentType);
}

// ---------------------------------------------------------------- demo

std::string Service::seedDemo(const std::string& deviceId, const std::string& account) {
    if (!validText(deviceId, kMaxIdLength) || !validText(account, kMaxAccountLength))
        throw std::runtime_error("--seed-demo wants DEVICE_ID:ACCOUNT");
    db_.transaction([&] {
        auto p = db_.query("SELECT id, family_id FROM parents WHERE email = ?", {kDemoEmail});
        std::int64_t family = 0;
        if (p.empty()) {
            const std::int64_t parent = createParent(kDemoEmail, "Demo Parent", kDemoPassword);
            family =
                db_.query("SELECT family_id FROM parents WHERE id = ?", {parent})[0].integer(0);
        } else {
            family = p[0].integer(1);
        }
        auto c =
            db_.query("SELECT id FROM children WHERE family_id = ? ORDER BY id LIMIT 1", {family});
        std::int64_t child = 0;
        if (c.empty()) {
            json windows = json::array();
            for (int day = 0; day < 7; ++day)
                windows.push_back({{"day", day}, {"start", 7 * 60}, {"end", 21 * 60}});
            db_.run(
                "INSERT INTO children (family_id, name, whitelist, blacklist, access_windows, "
                "allowed_apps, daily_minutes, warn_minutes, created_at) VALUES (?, 'Demo "
                "Child', ?, ?, ?, '[]', 120, 5, ?)",
                {family, json({"wikipedia.org", "khanacademy.org", "example.com"}).dump(),
                 json({"example.org"}).dump(), windows.dump(), nowIso()});
            child = db_.lastInsertId();
        } else {
            child = c[0].integer(0);
        }
        db_.run(
            "INSERT INTO devices (device_id, family_id, computer_name) VALUES (?, ?, '') ON "
            "CONFLICT(device_id) DO UPDATE SET family_id = excluded.family_id",
            {deviceId, family});
        db_.run(
            "INSERT INTO device_accounts (device_id, account, child_id) VALUES (?, ?, ?) ON "
            "CONFLICT(device_id, account) DO UPDATE SET child_id = excluded.child_id",
            {deviceId, account, child});
    });
    return std::string("demo parent: ") + kDemoEmail + " password: " + kDemoPassword;
}

}  // namespace tarvo::service
