#include <sstream>

#include "Crypto.h"
#include "Requests.h"
#include "WebAssets.h"

namespace tarvo::service {

// What the parent's pages call.

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
    const std::string address = clientAddress(req);
    if (auto wait = reserveSignIn(email, address)) {
        const auto seconds = (wait->count() + 999) / 1000;
        res.set_header("Retry-After", std::to_string(seconds));
        sendJson(
            res,
            {{"error", "too many failed sign-ins; try again in " + std::to_string(seconds) + " s"},
             {"retryAfterMs", wait->count()}},
            429);
        return;
    }
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
    if (!ok) throw HttpError{401, "wrong email or password"};
    signInSucceeded(email, address);
    auto [token, setup] =
        db_.transaction([&] { return openSession(rows[0].integer(0), deviceId); });
    setSessionCookie(res, token, kSessionSeconds);
    json out{{"ok", true}};
    if (!setup.empty()) out["token"] = setup;
    sendJson(res, out);
}

namespace {

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A row nobody has failed on for this long is forgotten (the delay starts over).
constexpr std::int64_t kForgetSignInMs = 15 * 60 * 1000;

}  // namespace

std::optional<std::chrono::milliseconds> Service::reserveSignIn(const std::string& email,
                                                                const std::string& address) {
    const std::string key = lower(email);
    const std::int64_t now = nowMs();
    return db_.transaction([&]() -> std::optional<std::chrono::milliseconds> {
        // Old rows expire one by one; the table is never emptied to make room.
        db_.run("DELETE FROM signin_attempts WHERE last_at_ms < ?", {now - kForgetSignInMs});
        auto row = db_.query(
            "SELECT failures, next_at_ms FROM signin_attempts WHERE email = ? AND address = ?",
            {key, address});
        const std::int64_t failures = row.empty() ? 0 : row[0].integer(0);
        if (!row.empty() && row[0].integer(1) > now)
            return std::chrono::milliseconds(row[0].integer(1) - now);
        // Counted as a failure until the password proves right: a guess made
        // meanwhile finds the next delay already running.
        const std::int64_t factor = std::min<std::int64_t>(
            kSignInDelayCap, std::int64_t{1} << std::min<std::int64_t>(failures, 20));
        db_.run(
            "INSERT INTO signin_attempts (email, address, failures, next_at_ms, last_at_ms) "
            "VALUES (?, ?, ?, ?, ?) ON CONFLICT(email, address) DO UPDATE SET failures = "
            "excluded.failures, next_at_ms = excluded.next_at_ms, last_at_ms = "
            "excluded.last_at_ms",
            {key, address, failures + 1, now + factor * config_.signInDelay.count(), now});
        return std::nullopt;
    });
}

void Service::signInSucceeded(const std::string& email, const std::string& address) {
    db_.transaction([&] {
        db_.run("DELETE FROM signin_attempts WHERE email = ? AND address = ?",
                {lower(email), address});
    });
}

void Service::signOut(const httplib::Request& req, httplib::Response& res) {
    if (const std::string token = sessionToken(req); !token.empty()) {
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
    // The parent's midnight today, in UTC: samples from it on are today's.
    const std::time_t shift = static_cast<std::time_t>(tz) * 60;
    const std::time_t midnight = (std::time(nullptr) + shift) / 86400 * 86400 - shift;
    json out{{"parent", {{"name", s.parentName}}},
             {"children", json::array()},
             {"devices", json::array()},
             {"setupDevice", s.deviceId}};
    // Only reads: the page marks what it showed with a POST of its own.
    db_.read([&] {
        out["children"] = json::array();
        out["devices"] = json::array();
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
            auto usageSince = [&](int days, const char* key) {
                for (const auto& r : db_.query(
                         "SELECT bundle_id, MAX(app_name), SUM(seconds) FROM usage_samples WHERE "
                         "child_id = ? AND sampled_at >= ? GROUP BY bundle_id ORDER BY "
                         "SUM(seconds) DESC, bundle_id LIMIT 20",
                         {id, isoUtc(midnight - days * 86400)}))
                    child[key].push_back({{"bundleId", r.text(0)},
                                          {"appName", r.text(1)},
                                          {"seconds", r.integer(2)}});
            };
            usageSince(0, "usageToday");
            usageSince(6, "usageWeek");
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
        return db_
            .query(
                "INSERT INTO children (family_id, name, created_at) VALUES (?, ?, ?) RETURNING id",
                {s.familyId, name, nowIso()})[0]
            .integer(0);
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
        return out;
    });
    // Pushed on the open streams of every instance, and kept for the approval
    // poll: a client that counts by request id takes it there unless a poll
    // already has; an older client's poll leaves a pushed grant alone.
    // "pushed" says whether a stream of this instance took it.
    const bool viaStream = grant && broadcast({o.key},
                                              json{{"type", "more_time_approved"},
                                                   {"granted_minutes", o.minutes},
                                                   {"request_id", requestId}}
                                                  .dump(),
                                              requestId);
    sendJson(res, {{"ok", true},
                   {"status", grant ? "granted" : "denied"},
                   {"grantedMinutes", grant ? o.minutes : 0},
                   {"pushed", viaStream}});
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
        return db_.query(
            std::string("INSERT INTO chat_messages (child_id, sender, sender_name, text, sent_at) "
                        "VALUES (?, 'parent', ?, ?, ?) RETURNING ") +
                kMessageColumns,
            {id, s.parentName, *text, nowIso()})[0];
    });
    sendJson(res, {{"chatMessage", messageJson(row)}});
}

void Service::parentRead(const httplib::Request& req, httplib::Response& res) {
    const Session s = requireSession(req);
    const std::int64_t id = pathId(req);
    const json body = parseBody(req);
    // Up to the newest message the page showed: one that came after stays unread.
    const std::int64_t upTo = integerField(body, "upToId", 0, INT64_MAX);
    const std::int64_t marked = db_.transaction([&] {
        familyChild(s, id);
        return db_.run(
            "UPDATE chat_messages SET read_by_parent_at = ? WHERE child_id = ? AND sender = "
            "'child' AND id <= ? AND read_by_parent_at IS NULL",
            {nowIso(), id, upTo});
    });
    sendJson(res, {{"ok", true}, {"marked", marked}});
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
        touched.clear();
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
                // The whole day: the demo starts unblocked; the parent narrows it.
                windows.push_back({{"day", day}, {"start", 0}, {"end", 24 * 60}});
            child =
                db_.query(
                       "INSERT INTO children (family_id, name, whitelist, blacklist, "
                       "access_windows, allowed_apps, daily_minutes, warn_minutes, "
                       "created_at) VALUES (?, 'Demo Child', ?, ?, ?, '[]', 120, 5, ?) "
                       "RETURNING id",
                       {family, json({"wikipedia.org", "khanacademy.org", "example.com"}).dump(),
                        json({"example.org"}).dump(), windows.dump(), nowIso()})[0]
                    .integer(0);
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
