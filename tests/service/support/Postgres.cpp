#include "service/support/Postgres.h"

#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace tarvo::test {
namespace {

const std::string kBin = "/usr/lib/postgresql/15/bin/";

passwd* postgresUser() {
    passwd* pw = ::getpwnam("postgres");
    if (!pw)
        throw std::runtime_error("no postgres user: install postgresql-15 (scripts/setup-deps)");
    return pw;
}

// The postgres user's command line for `argv`, ended with the test process.
std::vector<std::string> asPostgres(std::vector<std::string> argv) {
    const passwd* pw = postgresUser();
    std::vector<std::string> out{"/usr/bin/setpriv",
                                 "--reuid=" + std::to_string(pw->pw_uid),
                                 "--regid=" + std::to_string(pw->pw_gid),
                                 "--clear-groups",
                                 "--pdeathsig=KILL",
                                 "--"};
    out.insert(out.end(), argv.begin(), argv.end());
    return out;
}

// A port the kernel just gave out and took back: nobody listens on it now, so
// no other cluster's socket here is named for it.
int unusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(a.sin_port);
}

}  // namespace

bool testOnPostgres() {
    const char* v = std::getenv("TARVO_TEST_DATABASE");
    return v && std::string(v) == "postgresql";
}

PostgresCluster& PostgresCluster::shared() {
    static PostgresCluster cluster;
    return cluster;
}

PostgresCluster::PostgresCluster() {
    const passwd* pw = postgresUser();
    std::filesystem::permissions(dir_.path(), std::filesystem::perms(0755));
    for (const char* sub : {"data", "socket"}) {
        std::filesystem::create_directory(dir_ / sub);
        if (::chown((dir_ / sub).c_str(), pw->pw_uid, pw->pw_gid) != 0)
            throw std::runtime_error("cannot hand " + (dir_ / sub) + " to postgres");
    }
    const auto init =
        run(Launch{.argv = asPostgres({kBin + "initdb", "-D", dir_ / "data", "-U", "postgres",
                                       "--auth=trust", "--no-locale", "-E", "UTF8", "--no-sync"})});
    if (!init.succeeded()) throw std::runtime_error("initdb failed: " + init.out + init.err);
    // Another cluster may take the port between the pick and the start: pick again.
    for (int attempt = 0; attempt < 5; ++attempt)
        if (tryStart(unusedPort())) return;
    throw std::runtime_error("the PostgreSQL test cluster did not start");
}

bool PostgresCluster::tryStart(int port) {
    port_ = port;
    server_ = std::make_unique<Process>(Launch{
        .argv = asPostgres({kBin + "postgres", "-D", dir_ / "data", "-p", std::to_string(port),
                            "-k", dir_ / "socket", "-c", "listen_addresses=", "-c", "fsync=off",
                            "-c", "max_connections=300", "-c", "shared_buffers=16MB", "-c",
                            "logging_collector=on"}),
        // Its log goes to data/log, never to a pipe nobody reads.
        .capture = false});
    const bool up = polling::waitUntil([&] {
        if (server_->wait(std::chrono::seconds(0))) return true;
        return run(Launch{.argv = {kBin + "pg_isready", "-q", "-h", dir_ / "socket", "-p",
                                   std::to_string(port)}})
            .succeeded();
    });
    if (up && !server_->wait(std::chrono::seconds(0))) return true;
    server_.reset();
    return false;
}

PostgresCluster::~PostgresCluster() {
    if (server_) {
        server_->kill(SIGINT);  // fast shutdown: ends the sessions still open
        server_->wait();
    }
}

std::string PostgresCluster::createDatabase() {
    const std::string name = "tarvo" + std::to_string(++databases_);
    const std::string url = "postgresql:///" + name + "?host=" + dir_ / "socket" +
                            "&port=" + std::to_string(port_) + "&user=postgres";
    psql("postgresql:///postgres?host=" + dir_ / "socket" + "&port=" + std::to_string(port_) +
             "&user=postgres",
         "CREATE DATABASE " + name);
    return url;
}

std::string PostgresCluster::psql(const std::string& url, const std::string& sql) const {
    const auto r = run(Launch{.argv = {"/usr/bin/psql", "-X", "-q", "-A", "-t", "-v",
                                       "ON_ERROR_STOP=1", "-d", url, "-c", sql}});
    if (!r.succeeded()) throw std::runtime_error("psql failed: " + sql + ": " + r.err);
    return r.out;
}

PostgresTransaction::PostgresTransaction(const std::string& url, const std::string& sql)
    : conn_(PQconnectdb(url.c_str())) {
    PGresult* res = PQexec(conn_, ("BEGIN; " + sql).c_str());
    const bool ok =
        PQresultStatus(res) == PGRES_COMMAND_OK || PQresultStatus(res) == PGRES_TUPLES_OK;
    PQclear(res);
    if (!ok) {
        const std::string message = PQerrorMessage(conn_);
        PQfinish(conn_);
        throw std::runtime_error("cannot run " + sql + ": " + message);
    }
}

PostgresTransaction::~PostgresTransaction() {
    PQclear(PQexec(conn_, "COMMIT"));
    PQfinish(conn_);
}

}  // namespace tarvo::test
