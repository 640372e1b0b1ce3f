#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace tarvo::service {

class DbError : public std::runtime_error {
  public:
    explicit DbError(const std::string& message, bool retry = false)
        : std::runtime_error(message), retry_(retry) {}
    // The transaction lost a race with another one and may simply run again.
    bool retry() const { return retry_; }

  private:
    bool retry_;
};

using Value = std::variant<std::nullptr_t, std::int64_t, double, std::string>;

struct Row {
    std::vector<Value> values;
    bool isNull(size_t k) const { return std::holds_alternative<std::nullptr_t>(values.at(k)); }
    std::int64_t integer(size_t k) const;
    std::string text(size_t k) const;
};

// One session on the store, held by one thread for one transaction or read.
// Statements use `?` placeholders whatever the store.
class Connection {
  public:
    virtual ~Connection() = default;
    virtual void begin(bool write) = 0;
    virtual void commit() = 0;
    virtual void rollback() noexcept = 0;
    virtual std::vector<Row> query(const std::string& sql, const std::vector<Value>& params) = 0;
    // Runs a statement; the number of rows it changed.
    virtual std::int64_t run(const std::string& sql, const std::vector<Value>& params) = 0;
};

// Where the data lives: an embedded SQLite file or a PostgreSQL database that
// several instances of the service share.
class Store {
  public:
    virtual ~Store() = default;
    // A connection for the calling thread (waits while all are taken).
    virtual Connection& acquire() = 0;
    virtual void release(Connection& connection) noexcept = 0;
    virtual int schemaVersion() = 0;
    // Other instances may work on the same data at the same time.
    virtual bool shared() const { return false; }
    // Hands `payload` to the listener of every instance on this data, this
    // one's included, once the change it describes is committed.
    virtual void notify(const std::string& /*payload*/) {}
    virtual void listen(std::function<void(const std::string&)> /*onPayload*/) {}
    virtual void stopListening() {}
};

// The service's data, brought to the latest schema version when opened.
// `location` is a postgresql:// (or postgres://) URL, or else the path of a
// SQLite file. Statements run only inside transaction() or read(), on the
// connection the calling thread holds for it.
class Database {
  public:
    explicit Database(const std::string& location);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    static bool isPostgresUrl(const std::string& location);

    // Runs `f` as one transaction; any exception rolls it back. `f` may run
    // more than once (on PostgreSQL a transaction that lost a race with
    // another instance, or its connection, runs again), so it sets its
    // results afresh each time.
    template <class F>
    auto transaction(F&& f) -> decltype(f()) {
        return attempts(true, f);
    }
    // Runs `f` on one consistent snapshot, for reads only; it too may run again.
    template <class F>
    auto read(F&& f) -> decltype(f()) {
        return attempts(false, f);
    }

    // Only inside transaction() or read().
    std::vector<Row> query(const std::string& sql, const std::vector<Value>& params = {});
    std::int64_t run(const std::string& sql, const std::vector<Value>& params = {});

    int schemaVersion() { return store_->schemaVersion(); }
    static int latestSchemaVersion();

    bool shared() const { return store_->shared(); }
    void notify(const std::string& payload) { store_->notify(payload); }
    void listen(std::function<void(const std::string&)> onPayload) {
        store_->listen(std::move(onPayload));
    }
    void stopListening() { store_->stopListening(); }

  private:
    static constexpr int kAttempts = 20;

    // The connection this thread holds, for as long as it holds it.
    class Lease {
      public:
        explicit Lease(Store& store);
        ~Lease();
        Connection* operator->() { return connection_; }

      private:
        Store& store_;
        Connection* connection_;
    };

    template <class F>
    auto attempts(bool write, F& f) -> decltype(f()) {
        for (int attempt = 1;; ++attempt) {
            try {
                return inside(write, f);
            } catch (const DbError& e) {
                if (!e.retry() || attempt >= kAttempts) throw;
                backOff(attempt);
            }
        }
    }
    // A short random pause, longer with each attempt, so that transactions
    // that keep colliding spread out.
    static void backOff(int attempt);
    template <class F>
    auto inside(bool write, F& f) -> decltype(f()) {
        Lease lease(*store_);
        lease->begin(write);
        try {
            if constexpr (std::is_void_v<decltype(f())>) {
                f();
                lease->commit();
            } else {
                auto result = f();
                lease->commit();
                return result;
            }
        } catch (...) {
            lease->rollback();
            throw;
        }
    }

    std::unique_ptr<Store> store_;
};

// The migrations, each moving the schema from version i to i + 1, as SQLite
// takes them; the PostgreSQL store translates the few differences.
const std::vector<const char*>& schemaMigrations();

std::unique_ptr<Store> openPostgres(const std::string& url);

}  // namespace tarvo::service
