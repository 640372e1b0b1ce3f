#include <sys/stat.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "Crypto.h"
#include "Requests.h"

namespace tarvo::service {

// What the computers call: the contract with the client.

namespace {

// Refuses (429, and a log line) what would take one computer past `quota` rows
// of `table` stored in the last 24 hours (`column`: when each was received).
void requireQuota(Database& db, const std::string& table, const std::string& column,
                  const std::string& device, std::int64_t quota, std::int64_t adding,
                  const std::string& what, const std::string& unit) {
    const auto stored =
        db.query("SELECT COUNT(*) FROM " + table + " WHERE device_id = ? AND " + column + " > ?",
                 {device, dayAgoIso()})[0]
            .integer(0);
    if (stored + adding <= quota) return;
    std::cerr << timestampMs() << " " << what << " quota reached for device " << device << ": "
              << stored << " " << unit << " in 24 h\n";
    throw HttpError{429, what + " quota reached for this computer"};
}

}  // namespace

void Service::checkIn(const httplib::Request& req, httplib::Response& res) {
    const std::string device = param(req, "deviceId");
    const std::string user = param(req, "user", kMaxAccountLength);
    const std::string os = req.get_param_value("os").substr(0, 32);
    const std::string version = req.get_param_value("version").substr(0, 32);
    const std::string now = nowIso();
    // Only what the parent set up is updated: an unknown computer or account
    // creates nothing, and the computer keeps the name the parent's setup gave it.
    const bool known = db_.transaction([&] {
        if (db_.run("UPDATE device_accounts SET last_checkin = ? WHERE device_id = ? AND account "
                    "= ? AND device_id IN (SELECT device_id FROM devices WHERE family_id IS NOT "
                    "NULL)",
                    {now, device, user}) == 0)
            return false;
        db_.run(
            "UPDATE devices SET os = ?, version = ?, last_checkin = ?, last_user = ? WHERE "
            "device_id = ?",
            {os, version, now, user, device});
        return true;
    });
    if (!known) throw HttpError{404, "unknown device or account"};
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
    // The client's local midnight, in UTC: with it the answer carries today's
    // grants and use, so a restarted client counts the same day.
    std::optional<std::string> dayStart;
    if (req.has_param("day_start")) {
        const std::string v = req.get_param_value("day_start");
        // Normalising gives this one form, and leaves only a real time in it
        // unchanged ("02-30" would move).
        if (normaliseIso(v) == v) dayStart = v;
    }
    json out;
    db_.read([&] {
        auto rows =
            db_.query("SELECT allowed_apps, daily_minutes, warn_minutes FROM children WHERE id = ?",
                      {requireChild(device, user).id});
        out = {{"allowed_bundle_ids", json::parse(rows[0].text(0))},
               {"daily_minutes", rows[0].integer(1)},
               {"warn_at_minutes_remaining", rows[0].integer(2)}};
        if (!dayStart) return;
        out["granted_minutes_today"] =
            db_.query(
                   "SELECT COALESCE(SUM(granted_minutes), 0) FROM more_time_requests WHERE "
                   "device_id = ? AND account = ? AND status = 'granted' AND decided_at >= ?",
                   {device, user, *dayStart})[0]
                .integer(0);
        out["used_seconds_today"] =
            db_.query(
                   "SELECT COALESCE(SUM(seconds), 0) FROM usage_samples WHERE device_id = ? AND "
                   "account = ? AND sampled_at >= ?",
                   {device, user, *dayStart})[0]
                .integer(0);
    });
    sendJson(res, out);
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
        return db_
            .query(
                "INSERT INTO more_time_requests (child_id, device_id, account, minutes, reason, "
                "requested_at) VALUES (?, ?, ?, ?, ?, ?) RETURNING id",
                {child.id, device, user, minutes, reason, at})[0]
            .integer(0);
    });
    sendJson(res, {{"id", id}, {"status", "pending"}});
}

void Service::checkApproval(const httplib::Request& req, httplib::Response& res) {
    const std::string device = param(req, "deviceId");
    const std::string user = param(req, "username", kMaxAccountLength);
    // A client that counts grants by request id gets every grant a poll has not
    // yet returned, pushed or not: a stream that died unnoticed may have
    // swallowed the push. An older client adds every grant it receives, so it
    // gets only the grants no stream took.
    const bool byRequest = req.get_param_value("by_request") == "1";
    json grants = json::array();
    std::int64_t minutes = 0;
    // Taken in one statement: a stream's claim on a grant (see deliver())
    // cannot slip in between reading it and marking it delivered.
    auto taken = db_.transaction([&] {
        requireChild(device, user);
        return db_.query(
            std::string("UPDATE more_time_requests SET delivered = 1 WHERE device_id = ? AND "
                        "account = ? AND status = 'granted' AND delivered = 0") +
                (byRequest ? "" : " AND pushed = 0") + " RETURNING id, granted_minutes",
            {device, user});
    });
    std::sort(taken.begin(), taken.end(),
              [](const Row& a, const Row& b) { return a.integer(0) < b.integer(0); });
    for (const auto& r : taken) {
        grants.push_back({{"request_id", r.integer(0)}, {"granted_minutes", r.integer(1)}});
        minutes += r.integer(1);
    }
    sendJson(res,
             {{"approved", !grants.empty()}, {"granted_minutes", minutes}, {"grants", grants}});
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
    const std::string now = nowIso();
    db_.transaction([&] {
        const ChildRef child = requireChild(device, user);
        requireQuota(db_, "usage_samples", "received_at", device, kUsageSamplesPerDay,
                     static_cast<std::int64_t>(samples.size()), "usage", "samples");
        for (const auto& s : samples)
            db_.run(
                "INSERT INTO usage_samples (child_id, device_id, account, bundle_id, app_name, "
                "seconds, sampled_at, received_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                {child.id, device, user, s.bundle, s.name, s.seconds, s.at, now});
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
        requireQuota(db_, "app_limit_events", "received_at", device, kAppLimitReportsPerDay, 1,
                     "app-limit", "reports");
        db_.run(
            "INSERT INTO app_limit_events (child_id, device_id, account, bundle_id, app_name, "
            "at, received_at) VALUES (?, ?, ?, ?, ?, ?, ?)",
            {child.id, device, user, bundle, name, at, nowIso()});
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
            db_.run(
                "INSERT INTO device_accounts (device_id, account) VALUES (?, ?) ON CONFLICT DO "
                "NOTHING",
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
        requireQuota(db_, "chat_messages", "sent_at", device, kChatMessagesPerDay, 1, "chat",
                     "messages");
        return db_.query(
            std::string("INSERT INTO chat_messages (child_id, sender, sender_name, text, sent_at, "
                        "device_id) VALUES (?, 'child', ?, ?, ?, ?) RETURNING ") +
                kMessageColumns,
            {child.id, child.name, *text, nowIso(), device})[0];
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
        out = {{"messages", json::array()}, {"parents", json::array()}};
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
        marked = 0;
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
    std::shared_ptr<EventHub::Stream> stream;
    // A refused stream is answered at once and its connection closed, so that
    // made-up or surplus streams never hold a thread.
    try {
        const std::string user = param(req, "userId", kMaxAccountLength);
        const std::string device = param(req, "deviceId");
        db_.read([&] { requireChild(device, user); });
        const std::string address = clientAddress(req);
        EventHub::Refusal why = EventHub::Refusal::none;
        stream = hub_.open(device, user, address, &why);
        if (!stream) {
            if (why == EventHub::Refusal::shutdown) throw HttpError{503, "service stopping"};
            const std::string which = why == EventHub::Refusal::total     ? "in all"
                                      : why == EventHub::Refusal::address ? "from " + address
                                      : why == EventHub::Refusal::device
                                          ? "for device " + device
                                          : "for " + user + " on device " + device;
            if (!config_.quiet)
                std::cerr << timestampMs() << " event stream refused: too many streams " << which
                          << "\n";
            throw HttpError{503, "too many event streams"};
        }
    } catch (const HttpError& e) {
        sendAndClose(res, e.status, e.message);
        return;
    }
    res.set_header("Cache-Control", "no-cache");
    const auto opened = std::chrono::steady_clock::now();
    if (!config_.quiet)
        std::cerr << timestampMs() + " GET " + req.path + " 200 0ms stream opened\n" << std::flush;
    // The connection holds the stream from here on, heartbeats and all.
    HttpServer::holdEventStream(stream, [this, stream, opened, path = req.path] {
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

}  // namespace tarvo::service
