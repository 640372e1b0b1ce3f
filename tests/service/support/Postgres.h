#pragma once

#include <memory>
#include <string>

#include "support/Processes.h"
#include "support/TestSupport.h"

struct pg_conn;

namespace tarvo::test {

// A throw-away PostgreSQL 15 cluster of its own: initdb into a temporary
// directory as the postgres user, the server listening only on a unix socket
// in that directory (named for a free port), no TCP at all. Started on
// first use, once per test process; stopped and removed at exit, and killed
// with this process should it die first.
class PostgresCluster {
  public:
    static PostgresCluster& shared();
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    // A new, empty database; its libpq URL.
    std::string createDatabase();
    // Runs `sql` (any number of statements) on the database at `url`; its rows,
    // one a line, columns joined by '|'. Throws when psql fails.
    std::string psql(const std::string& url, const std::string& sql) const;

  private:
    PostgresCluster();
    bool tryStart(int port);

    TempDir dir_;
    int port_ = 0;
    int databases_ = 0;
    std::unique_ptr<Process> server_;
};

// A transaction of its own on the database at `url`, open from construction
// (after `sql`, e.g. a SELECT ... FOR UPDATE) until destruction (COMMIT).
class PostgresTransaction {
  public:
    PostgresTransaction(const std::string& url, const std::string& sql);
    ~PostgresTransaction();
    PostgresTransaction(const PostgresTransaction&) = delete;
    PostgresTransaction& operator=(const PostgresTransaction&) = delete;

  private:
    pg_conn* conn_;
};

// Whether the service's tests run on PostgreSQL (TARVO_TEST_DATABASE=postgresql)
// rather than on the default SQLite file.
bool testOnPostgres();

}  // namespace tarvo::test
