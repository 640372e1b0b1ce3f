#include "Database.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>

namespace tarvo::service {
namespace {

// Each entry moves the schema from version i to i + 1. Never edit a shipped
// entry: add a new one.
const std::vector<const char*> kMigrations = {
    R"SQL(
CREATE TABLE families (
  id INTEGER PRIMARY KEY,
  created_at TEXT NOT NULL
);
CREATE TABLE parents (
  id INTEGER PRIMARY KEY,
  family_id INTEGER NOT NULL REFERENCES families(id),
  email TEXT NOT NULL UNIQUE COLLATE NOCASE,
  name TEXT NOT NULL,
  pw_salt BLOB NOT NULL,
  pw_hash BLOB NOT NULL,
  pw_iterations INTEGER NOT NULL,
  created_at TEXT NOT NULL
);
CREATE TABLE sessions (
  token_sha256 TEXT PRIMARY KEY,
  parent_id INTEGER NOT NULL REFERENCES parents(id),
  expires_at INTEGER NOT NULL,
  device_id TEXT
);
CREATE TABLE setup_tokens (
  token_sha256 TEXT PRIMARY KEY,
  parent_id INTEGER NOT NULL REFERENCES parents(id),
  device_id TEXT,
  expires_at INTEGER NOT NULL
);
CREATE TABLE children (
  id INTEGER PRIMARY KEY,
  family_id INTEGER NOT NULL REFERENCES families(id),
  name TEXT NOT NULL,
  whitelist TEXT NOT NULL DEFAULT '[]',
  blacklist TEXT NOT NULL DEFAULT '[]',
  access_windows TEXT NOT NULL DEFAULT '[]',
  allowed_apps TEXT NOT NULL DEFAULT '[]',
  daily_minutes INTEGER NOT NULL DEFAULT 0,
  warn_minutes INTEGER NOT NULL DEFAULT 5,
  created_at TEXT NOT NULL
);
CREATE TABLE devices (
  device_id TEXT PRIMARY KEY,
  family_id INTEGER REFERENCES families(id),
  computer_name TEXT NOT NULL DEFAULT '',
  os TEXT NOT NULL DEFAULT '',
  version TEXT NOT NULL DEFAULT '',
  last_checkin TEXT,
  last_user TEXT
);
CREATE TABLE device_accounts (
  device_id TEXT NOT NULL REFERENCES devices(device_id),
  account TEXT NOT NULL,
  child_id INTEGER REFERENCES children(id),
  last_checkin TEXT,
  chat_ok INTEGER,
  chat_error TEXT,
  chat_version TEXT,
  chat_reported_at TEXT,
  PRIMARY KEY (device_id, account)
);
CREATE TABLE more_time_requests (
  id INTEGER PRIMARY KEY,
  child_id INTEGER NOT NULL REFERENCES children(id),
  device_id TEXT NOT NULL,
  account TEXT NOT NULL,
  minutes INTEGER NOT NULL,
  reason TEXT NOT NULL,
  requested_at TEXT NOT NULL,
  status TEXT NOT NULL DEFAULT 'pending',
  granted_minutes INTEGER NOT NULL DEFAULT 0,
  decided_at TEXT,
  delivered INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE usage_samples (
  id INTEGER PRIMARY KEY,
  child_id INTEGER NOT NULL REFERENCES children(id),
  device_id TEXT NOT NULL,
  account TEXT NOT NULL,
  bundle_id TEXT NOT NULL,
  app_name TEXT NOT NULL,
  seconds INTEGER NOT NULL,
  sampled_at TEXT NOT NULL
);
CREATE INDEX usage_by_child ON usage_samples(child_id, sampled_at);
CREATE TABLE app_limit_events (
  id INTEGER PRIMARY KEY,
  child_id INTEGER NOT NULL REFERENCES children(id),
  device_id TEXT NOT NULL,
  account TEXT NOT NULL,
  bundle_id TEXT NOT NULL,
  app_name TEXT NOT NULL,
  at TEXT NOT NULL
);
CREATE TABLE chat_messages (
  id INTEGER PRIMARY KEY,
  child_id INTEGER NOT NULL REFERENCES children(id),
  sender TEXT NOT NULL,
  sender_name TEXT NOT NULL,
  text TEXT NOT NULL,
  sent_at TEXT NOT NULL,
  read_by_child_at TEXT,
  read_by_parent_at TEXT
);
CREATE INDEX chat_by_child ON chat_messages(child_id, id);
)SQL",
    // Grants pushed on a stream stay pending for a poll that counts by request;
    // quotas count what each computer sent in the last day; failed sign-ins
    // live in a table that expires old rows.
    R"SQL(
ALTER TABLE more_time_requests ADD COLUMN pushed INTEGER NOT NULL DEFAULT 0;
ALTER TABLE usage_samples ADD COLUMN received_at TEXT NOT NULL DEFAULT '';
CREATE INDEX usage_by_device ON usage_samples(device_id, received_at);
CREATE INDEX usage_by_account ON usage_samples(device_id, account, sampled_at);
ALTER TABLE chat_messages ADD COLUMN device_id TEXT;
CREATE INDEX chat_by_device ON chat_messages(device_id, sent_at);
ALTER TABLE app_limit_events ADD COLUMN received_at TEXT NOT NULL DEFAULT '';
CREATE INDEX app_limits_by_device ON app_limit_events(device_id, received_at);
CREATE TABLE signin_attempts (
  email TEXT NOT NULL,
  address TEXT NOT NULL,
  failures INTEGER NOT NULL,
  next_at_ms INTEGER NOT NULL,
  last_at_ms INTEGER NOT NULL,
  PRIMARY KEY (email, address)
);
CREATE INDEX signin_attempts_by_age ON signin_attempts(last_at_ms);
)SQL",
    // Changes too large for one notification between instances wait here for
    // the listeners to read them.
    R"SQL(
CREATE TABLE event_overflow (
  id INTEGER PRIMARY KEY,
  payload TEXT NOT NULL,
  created_ms INTEGER NOT NULL
);
)SQL",
};

thread_local Connection* current = nullptr;

// The embedded store: one connection under a mutex, so every transaction runs
// alone, in WAL mode; the schema version lives in user_version.
class SqliteStore final : public Store, Connection {
  public:
    explicit SqliteStore(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw DbError("cannot open " + path + ": " + message);
        }
        sqlite3_busy_timeout(db_, 5000);
        // WAL with NORMAL sync: a committed transaction survives the process
        // being killed; only a power cut can cost the last commits.
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=NORMAL");
        exec("PRAGMA foreign_keys=ON");
        migrate();
    }
    ~SqliteStore() override {
        for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
        sqlite3_close(db_);
    }

    Connection& acquire() override {
        mutex_.lock();
        return *this;
    }
    void release(Connection&) noexcept override { mutex_.unlock(); }

    int schemaVersion() override {
        std::int64_t v = 0;
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &stmt, nullptr);
        if (sqlite3_step(stmt) == SQLITE_ROW) v = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
        return static_cast<int>(v);
    }

    // A read holds the only connection, so it needs no transaction of its own.
    void begin(bool write) override {
        inTransaction_ = write;
        if (write) exec("BEGIN IMMEDIATE");
    }
    void commit() override {
        if (inTransaction_) exec("COMMIT");
        inTransaction_ = false;
    }
    void rollback() noexcept override {
        if (inTransaction_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        inTransaction_ = false;
    }

    std::vector<Row> query(const std::string& sql, const std::vector<Value>& params) override;
    std::int64_t run(const std::string& sql, const std::vector<Value>& params) override {
        query(sql, params);
        return sqlite3_changes(db_);
    }

  private:
    void exec(const char* sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            std::string message = error ? error : "unknown error";
            sqlite3_free(error);
            throw DbError(message);
        }
    }
    sqlite3_stmt* prepare(const std::string& sql);
    void migrate();

    sqlite3* db_ = nullptr;
    std::mutex mutex_;
    bool inTransaction_ = false;
    std::unordered_map<std::string, sqlite3_stmt*> statements_;
};

void SqliteStore::migrate() {
    const int current = schemaVersion();
    const int latest = Database::latestSchemaVersion();
    if (current > latest)
        throw DbError("database schema version " + std::to_string(current) +
                      " is newer than this service (" + std::to_string(latest) + ")");
    for (int v = current; v < latest; ++v) {
        exec("BEGIN IMMEDIATE");
        try {
            exec(kMigrations[v]);
            exec(("PRAGMA user_version=" + std::to_string(v + 1)).c_str());
            exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
}

sqlite3_stmt* SqliteStore::prepare(const std::string& sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
        throw DbError(std::string("prepare failed: ") + sqlite3_errmsg(db_) + " in " + sql);
    statements_.emplace(sql, stmt);
    return stmt;
}

void bindAll(sqlite3_stmt* stmt, const std::vector<Value>& params) {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    for (size_t i = 0; i < params.size(); ++i) {
        const int k = static_cast<int>(i + 1);
        const Value& v = params[i];
        if (auto p = std::get_if<std::int64_t>(&v))
            sqlite3_bind_int64(stmt, k, *p);
        else if (auto d = std::get_if<double>(&v))
            sqlite3_bind_double(stmt, k, *d);
        else if (auto s = std::get_if<std::string>(&v))
            sqlite3_bind_text(stmt, k, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
        else
            sqlite3_bind_null(stmt, k);
    }
}

std::vector<Row> SqliteStore::query(const std::string& sql, const std::vector<Value>& params) {
    sqlite3_stmt* stmt = prepare(sql);
    bindAll(stmt, params);
    std::vector<Row> rows;
    for (;;) {
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) {
            std::string message = sqlite3_errmsg(db_);
            sqlite3_reset(stmt);
            throw DbError(message);
        }
        Row row;
        const int n = sqlite3_column_count(stmt);
        for (int c = 0; c < n; ++c) {
            switch (sqlite3_column_type(stmt, c)) {
                case SQLITE_INTEGER:
                    row.values.emplace_back(
                        static_cast<std::int64_t>(sqlite3_column_int64(stmt, c)));
                    break;
                case SQLITE_FLOAT:
                    row.values.emplace_back(sqlite3_column_double(stmt, c));
                    break;
                case SQLITE_NULL:
                    row.values.emplace_back(nullptr);
                    break;
                default: {
                    const auto* p = reinterpret_cast<const char*>(sqlite3_column_blob(stmt, c));
                    row.values.emplace_back(std::string(p ? p : "", sqlite3_column_bytes(stmt, c)));
                }
            }
        }
        rows.push_back(std::move(row));
    }
    sqlite3_reset(stmt);
    return rows;
}

}  // namespace

const std::vector<const char*>& schemaMigrations() {
    return kMigrations;
}

std::int64_t Row::integer(size_t k) const {
    const Value& v = values.at(k);
    if (auto p = std::get_if<std::int64_t>(&v)) return *p;
    if (auto p = std::get_if<double>(&v)) return static_cast<std::int64_t>(*p);
    return 0;
}

std::string Row::text(size_t k) const {
    const Value& v = values.at(k);
    if (auto p = std::get_if<std::string>(&v)) return *p;
    if (auto p = std::get_if<std::int64_t>(&v)) return std::to_string(*p);
    return {};
}

bool Database::isPostgresUrl(const std::string& location) {
    return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

Database::Database(const std::string& location)
    : store_(isPostgresUrl(location) ? openPostgres(location)
                                     : std::unique_ptr<Store>(new SqliteStore(location))) {}

Database::~Database() = default;

int Database::latestSchemaVersion() {
    return static_cast<int>(kMigrations.size());
}

void Database::backOff(int attempt) {
    thread_local std::minstd_rand random(std::random_device{}());
    const int most = std::min(attempt, 10) * 1000;
    std::this_thread::sleep_for(std::chrono::microseconds(random() % most));
}

Database::Lease::Lease(Store& store) : store_(store) {
    // One at a time per thread: a second would wait for the first for ever on SQLite.
    if (current) throw DbError("a transaction inside another one");
    connection_ = &store.acquire();
    current = connection_;
}

Database::Lease::~Lease() {
    current = nullptr;
    store_.release(*connection_);
}

std::vector<Row> Database::query(const std::string& sql, const std::vector<Value>& params) {
    if (!current) throw DbError("a statement outside any transaction: " + sql);
    return current->query(sql, params);
}

std::int64_t Database::run(const std::string& sql, const std::vector<Value>& params) {
    if (!current) throw DbError("a statement outside any transaction: " + sql);
    return current->run(sql, params);
}

}  // namespace tarvo::service
