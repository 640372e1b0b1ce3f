#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace tarvo::service {

class DbError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

using Value = std::variant<std::nullptr_t, std::int64_t, double, std::string>;

struct Row {
    std::vector<Value> values;
    bool isNull(size_t k) const { return std::holds_alternative<std::nullptr_t>(values.at(k)); }
    std::int64_t integer(size_t k) const;
    std::string text(size_t k) const;
};

// One SQLite database in WAL mode. Every statement runs under one mutex, so
// a change made inside transaction() is seen whole or not at all. The schema
// carries its version in user_version and is brought up to date at open.
class Database {
  public:
    explicit Database(const std::string& path);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Runs `f` inside BEGIN IMMEDIATE ... COMMIT; any exception rolls back.
    template <class F>
    auto transaction(F&& f) -> decltype(f()) {
        std::lock_guard lock(mutex_);
        execLocked("BEGIN IMMEDIATE");
        try {
            if constexpr (std::is_void_v<decltype(f())>) {
                f();
                execLocked("COMMIT");
            } else {
                auto result = f();
                execLocked("COMMIT");
                return result;
            }
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
    // Runs `f` under the lock without a transaction (a consistent read of one statement).
    template <class F>
    auto read(F&& f) -> decltype(f()) {
        std::lock_guard lock(mutex_);
        return f();
    }

    // Only inside transaction() or read().
    std::vector<Row> query(const std::string& sql, const std::vector<Value>& params = {});
    // Runs a statement; the number of rows it changed.
    std::int64_t run(const std::string& sql, const std::vector<Value>& params = {});
    std::int64_t lastInsertId() const { return sqlite3_last_insert_rowid(db_); }

    int schemaVersion();
    static int latestSchemaVersion();

  private:
    void execLocked(const char* sql);
    sqlite3_stmt* prepare(const std::string& sql);
    void migrate();

    sqlite3* db_ = nullptr;
    std::mutex mutex_;
    std::map<std::string, sqlite3_stmt*> statements_;
};

}  // namespace tarvo::service
