// tarvo-service holding many idle event streams, on loopback, side by side
// for one instance on SQLite, one on PostgreSQL and two sharing one PostgreSQL
// database: the services' resident memory per open stream; for one family's
// 200 streams, a dashboard change until each has read its event (median and
// 99th percentile over every delivery); sign-in and a short call's 99th
// percentile without and with the streams open; and bench_service_storage's
// check-ins per second on each store. Streams come from many source addresses
// across 127.0.0.0/8, for many families' computers, seeded straight into the
// database. With two instances the streams (the family's too) alternate between
// them and the change is made through the first.
//   bench_service_streams [--streams N] [--tls] [--only sqlite|postgresql|two]...
//                         [--no-checkins] [--binary PATH] [-- more tarvo-service options]
// --tls: over HTTPS, with a self-signed certificate made for the run.
// The PostgreSQL cluster is the tests' own (as root: initdb as postgres).
// The options after "--" go to the service as they are (a --database there
// measures one instance on it and leaves the seeding to the caller).
#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/support/Postgres.h"

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kFamilyStreams = 200;  // the demo family's: 50 computers, 4 accounts each
constexpr int kAccountsPerComputer = 4;
constexpr int kComputersPerFamily = 5;  // every other family's
constexpr int kStreamsPerAddress = 8;

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "bench_service_streams: %s\n", why.c_str());
    std::exit(1);
}

SSL_CTX* tlsContext = nullptr;  // set: streams speak TLS

struct Stream {
    int fd = -1;
    SSL* ssl = nullptr;
    std::string got;
    ~Stream() {
        if (ssl) SSL_free(ssl);
        if (fd >= 0) close(fd);
    }
    // What has come, without waiting; false once the connection ended.
    bool read() {
        char buf[8192];
        for (;;) {
            const ssize_t n =
                ssl ? SSL_read(ssl, buf, sizeof buf) : recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                got.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (ssl) return SSL_get_error(ssl, static_cast<int>(n)) == SSL_ERROR_WANT_READ;
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
};

// The n-th stream's source address: 127.1.0.1, 127.1.0.2, ... eight streams each.
std::string sourceOf(int n) {
    const int a = n / kStreamsPerAddress;
    return "127.1." + std::to_string(a / 250) + "." + std::to_string(a % 250 + 1);
}

std::unique_ptr<Stream> openStream(int port, const std::string& source, const std::string& device,
                                   const std::string& user) {
    auto s = std::make_unique<Stream>();
    s->fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s->fd < 0 || bind(s->fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(s->fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        die("cannot connect from " + source);
    const std::string req = "GET /api/notifications/sse-direct?userId=" + user +
                            "&deviceId=" + device + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (tlsContext) {
        s->ssl = SSL_new(tlsContext);
        SSL_set_fd(s->ssl, s->fd);
        if (SSL_connect(s->ssl) != 1 ||
            SSL_write(s->ssl, req.data(), static_cast<int>(req.size())) <= 0)
            die("no TLS connection from " + source);
        fcntl(s->fd, F_SETFL, fcntl(s->fd, F_GETFL) | O_NONBLOCK);
    } else if (send(s->fd, req.data(), req.size(), MSG_NOSIGNAL) < 0) {
        die("cannot send");
    }
    return s;
}

// Reads until every stream holds `text`; the moment each one first did.
std::vector<Clock::time_point> waitAll(std::vector<std::unique_ptr<Stream>>& streams,
                                       const std::string& text) {
    std::vector<Clock::time_point> at(streams.size());
    std::vector<bool> done(streams.size(), false);
    size_t left = streams.size();
    std::vector<pollfd> fds;
    for (auto& s : streams) fds.push_back({s->fd, POLLIN, 0});
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (left > 0 && Clock::now() < deadline) {
        if (poll(fds.data(), fds.size(), 100) <= 0) continue;
        const auto now = Clock::now();
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            if (!streams[i]->read()) die("a stream was closed: " + streams[i]->got.substr(0, 200));
            if (!done[i] && streams[i]->got.find(text) != std::string::npos) {
                done[i] = true;
                at[i] = now;
                --left;
                fds[i].events = 0;  // read no more of it this round
                streams[i]->got.clear();
            }
        }
    }
    if (left > 0) die(std::to_string(left) + " streams never saw " + text);
    return at;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

long residentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

class Service {
  public:
    Service(const std::string& binary, std::vector<std::string> args) : binary_(binary) {
        args_ = std::move(args);
    }
    ~Service() { stop(); }
    void start(const std::filesystem::path& dir) {
        int out[2];
        if (pipe(out) != 0) die("pipe");
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives a benchmark that gave up
            dup2(out[1], 1);
            std::vector<std::string> a{binary_,      "--listen",    "127.0.0.1:0",   "--data",
                                       dir.string(), "--seed-demo", "DEV-BENCH:kid", "--quiet"};
            a.insert(a.end(), args_.begin(), args_.end());
            std::vector<char*> argv;
            for (auto& s : a) argv.push_back(s.data());
            argv.push_back(nullptr);
            execv(binary_.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        std::string text;
        char buf[256];
        while (text.find("listening on") == std::string::npos || text.back() != '\n') {
            const ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) die("tarvo-service did not start");
            text.append(buf, static_cast<size_t>(n));
        }
        close(out[0]);
        port = std::stoi(text.substr(text.rfind(':') + 1));
    }
    void stop() {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    int port = 0;
    pid_t pid = -1;

  private:
    std::string binary_;
    std::vector<std::string> args_;
};

// The demo family's computers and the other families', each account given to
// the family's one child, written while no instance runs: into the SQLite file
// in `dir`, or with psql into the PostgreSQL database at `url` (the same SQL
// reads the same on both).
void seed(const std::filesystem::path& dir, const std::string& url, int streams) {
    const int others = (streams - kFamilyStreams) / (kComputersPerFamily * kAccountsPerComputer);
    const std::string sql =
        "BEGIN;"
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 49) "
        "INSERT INTO devices (device_id, family_id) SELECT 'FAM-D' || i, (SELECT family_id FROM "
        "children ORDER BY id LIMIT 1) FROM n;"
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 199) "
        "INSERT INTO device_accounts (device_id, account, child_id) SELECT 'FAM-D' || (i / 4), "
        "'k' || (i % 4), (SELECT id FROM children ORDER BY id LIMIT 1) FROM n;"
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(others - 1) +
        ") INSERT INTO families (id, created_at) SELECT 1000 + i, 'now' FROM n;"
        "INSERT INTO children (id, family_id, name, created_at) SELECT id, id, 'child', 'now' "
        "FROM families WHERE id >= 1000;"
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(kComputersPerFamily - 1) +
        ") INSERT INTO devices (device_id, family_id) SELECT 'F' || f.id || '-D' || n.i, f.id "
        "FROM families f, n WHERE f.id >= 1000;"
        "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(kAccountsPerComputer - 1) +
        ") INSERT INTO device_accounts (device_id, account, child_id) SELECT d.device_id, 'k' || "
        "n.i, d.family_id FROM devices d, n WHERE d.family_id >= 1000;"
        "COMMIT;";
    const std::string db = (dir / "tarvo-service.sqlite3").string();
    const pid_t pid = fork();
    if (pid == 0) {
        if (url.empty())
            execl("/usr/bin/sqlite3", "sqlite3", db.c_str(), sql.c_str(), nullptr);
        else
            execl("/usr/bin/psql", "psql", "-X", "-q", "-v", "ON_ERROR_STOP=1", "-d", url.c_str(),
                  "-c", sql.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("seeding the database failed");
}

struct Figures {
    double signInP50 = 0, signInP99 = 0, shortP50 = 0, shortP99 = 0;
};

std::string origin(int port) {
    return std::string(tlsContext ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
}

Figures shortCalls(int port) {
    Figures f;
    httplib::Client http(origin(port));
    http.enable_server_certificate_verification(false);
    http.set_keep_alive(true);
    std::vector<double> signIns, calls;
    for (int i = 0; i < 60; ++i) {
        const auto t0 = Clock::now();
        auto r = http.Post("/web/api/signin",
                           Json{{"email", "demo@tarvo.local"}, {"password", "tarvo-demo"}}.dump(),
                           "application/json");
        if (!r || r->status != 200)
            die("sign-in failed: " +
                (r ? std::to_string(r->status) + " " + r->body : httplib::to_string(r.error())));
        signIns.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    for (int i = 0; i < 2000; ++i) {
        const auto t0 = Clock::now();
        auto r = http.Get("/api/GetAppLimits?device_id=DEV-BENCH&username=kid");
        if (!r || r->status != 200) die("short call failed");
        calls.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    f.signInP50 = percentile(signIns, 0.5);
    f.signInP99 = percentile(signIns, 0.99);
    f.shortP50 = percentile(calls, 0.5);
    f.shortP99 = percentile(calls, 0.99);
    return f;
}

// One arrangement of the service: its store and how many instances share it.
struct Setup {
    std::string name;
    bool postgres = false;
    int instances = 1;
};

struct Result {
    size_t open = 0;
    int addresses = 0;
    double openSecs = 0;
    long rssBefore = 0, rssStreams = 0, rssAfter = 0;
    double kibPerStream = 0, p50 = 0, p99 = 0;
    double answerP50 = 0, answerP99 = 0, fanOutP99 = 0;  // the change's own answer; then to events
    size_t deliveries = 0;
    Figures before, with;
};

// The streams spread over the instances in turn (the family's 200 too), the
// change made through the first, the short calls asked of the first.
Result measure(const std::string& binary, const std::vector<std::string>& serviceArgs,
               const std::filesystem::path& dir, const Setup& setup, int streams,
               bool ownDatabase) {
    std::vector<std::string> args = serviceArgs;
    std::string url;
    if (setup.postgres) {
        url = tarvo::test::PostgresCluster::shared().createDatabase();
        args.insert(args.end(), {"--database", url});
    }
    std::vector<std::unique_ptr<Service>> services;
    for (int i = 0; i < setup.instances; ++i) {
        services.push_back(std::make_unique<Service>(binary, args));
        std::filesystem::create_directories(dir / std::to_string(i));
    }
    services[0]->start(dir / "0");  // makes the schema and the demo family
    if (ownDatabase) {
        services[0]->stop();
        seed(dir / "0", url, streams);
        services[0]->start(dir / "0");
    }
    for (int i = 1; i < setup.instances; ++i) services[i]->start(dir / std::to_string(i));
    const int port = services[0]->port;
    auto resident = [&] {
        long sum = 0;
        for (auto& s : services) sum += residentKiB(s->pid);
        return sum;
    };

    httplib::Client http(origin(port));
    http.enable_server_certificate_verification(false);
    auto r = http.Post("/web/api/signin",
                       Json{{"email", "demo@tarvo.local"}, {"password", "tarvo-demo"}}.dump(),
                       "application/json");
    if (!r || r->status != 200) die("cannot sign in");
    const std::string setCookie = r->get_header_value("Set-Cookie");
    const httplib::Headers cookie{{"Cookie", setCookie.substr(0, setCookie.find(';'))}};
    const auto overview = Json::parse(http.Get("/web/api/overview", cookie)->body);
    const auto childId = overview["children"][0]["id"].get<std::int64_t>();
    const std::string rulesPath = "/web/api/children/" + std::to_string(childId) + "/rules";

    Result out;
    out.before = shortCalls(port);
    out.rssBefore = resident();

    // The family's 200 first, then every other family's computers.
    std::vector<std::unique_ptr<Stream>> family, rest;
    auto portOf = [&](size_t n) { return services[n % services.size()]->port; };
    for (int i = 0; i < kFamilyStreams; ++i)
        family.push_back(openStream(portOf(static_cast<size_t>(i)), sourceOf(i),
                                    "FAM-D" + std::to_string(i / 4), "k" + std::to_string(i % 4)));
    const int perFamily = kComputersPerFamily * kAccountsPerComputer;
    const int others = (streams - kFamilyStreams) / perFamily;
    const auto openStart = Clock::now();
    for (int f = 0; f < others; ++f)
        for (int d = 0; d < kComputersPerFamily; ++d)
            for (int a = 0; a < kAccountsPerComputer; ++a) {
                const int n = kFamilyStreams + static_cast<int>(rest.size());
                rest.push_back(openStream(portOf(static_cast<size_t>(n)), sourceOf(n),
                                          "F" + std::to_string(1000 + f) + "-D" + std::to_string(d),
                                          "k" + std::to_string(a)));
            }
    waitAll(family, ": connected");
    waitAll(rest, ": connected");
    out.openSecs = std::chrono::duration<double>(Clock::now() - openStart).count();
    out.open = family.size() + rest.size();
    out.addresses = static_cast<int>((out.open + kStreamsPerAddress - 1) / kStreamsPerAddress);
    // Settled: what the service holds for the streams, not what opening them took.
    out.rssStreams = resident();

    std::vector<double> deliveries, answers, fanOut;
    for (int i = 0; i < 105; ++i) {
        const std::string marker = "bench-" + std::to_string(i + 1) + ".example";
        const auto t0 = Clock::now();
        auto posted = http.Post(rulesPath.c_str(), cookie,
                                Json{{"whitelist", {marker}},
                                     {"blacklist", Json::array()},
                                     {"accessWindows", Json::array()}}
                                    .dump(),
                                "application/json");
        if (!posted || posted->status != 200) die("the rules change failed");
        const auto answered = Clock::now();
        const auto at = waitAll(family, marker);
        if (getenv("BENCH_VERBOSE")) {
            double worst = 0;
            for (const auto& t : at)
                worst = std::max(worst, std::chrono::duration<double, std::milli>(t - t0).count());
            std::fprintf(stderr, "%s round %d: answered after %.2f ms, last event %.2f ms\n",
                         setup.name.c_str(), i,
                         std::chrono::duration<double, std::milli>(answered - t0).count(), worst);
        }
        if (i < 5) continue;  // warm-up
        answers.push_back(std::chrono::duration<double, std::milli>(answered - t0).count());
        for (const auto& t : at) {
            deliveries.push_back(std::chrono::duration<double, std::milli>(t - t0).count());
            fanOut.push_back(std::chrono::duration<double, std::milli>(t - answered).count());
        }
    }
    out.with = shortCalls(port);
    out.rssAfter = resident();
    out.kibPerStream =
        static_cast<double>(out.rssStreams - out.rssBefore) / static_cast<double>(out.open);
    out.p50 = percentile(deliveries, 0.5);
    out.p99 = percentile(deliveries, 0.99);
    out.deliveries = deliveries.size();
    out.answerP50 = percentile(answers, 0.5);
    out.answerP99 = percentile(answers, 0.99);
    out.fanOutP99 = percentile(fanOut, 0.99);
    family.clear();
    rest.clear();
    for (auto& s : services) s->stop();
    return out;
}

// The storage benchmark's check-ins per second, its rows as they are: "N
// keep-alive clients  SQLITE  POSTGRESQL".
std::vector<std::string> checkInRows(const std::string& storageBench) {
    std::vector<std::string> rows;
    FILE* p = popen(("'" + storageBench + "'").c_str(), "r");
    if (!p) return rows;
    char line[256];
    while (std::fgets(line, sizeof line, p))
        if (std::strstr(line, "keep-alive clients")) rows.emplace_back(line);
    if (pclose(p) != 0) rows.clear();
    return rows;
}

}  // namespace

int main(int argc, char** argv) {
    std::string binary = TARVO_SERVICE_BINARY;
    std::string storageBench = TARVO_STORAGE_BENCH;
    int streams = 10000;
    std::vector<std::string> only;
    std::vector<std::string> serviceArgs;
    const char* usage =
        "usage: bench_service_streams [--streams N] [--tls] [--only sqlite|postgresql|two]... "
        "[--no-checkins] [--binary PATH] [-- service options]";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--streams" && i + 1 < argc)
            streams = std::max(kFamilyStreams + 20, std::atoi(argv[++i]));
        else if (a == "--tls")
            tlsContext = SSL_CTX_new(TLS_client_method());
        else if (a == "--binary" && i + 1 < argc)
            binary = argv[++i];
        else if (a == "--only" && i + 1 < argc)
            only.emplace_back(argv[++i]);
        else if (a == "--no-checkins")
            storageBench.clear();
        else if (a == "--")
            serviceArgs.assign(argv + i + 1, argv + argc), i = argc;
        else
            die(usage);
    }
    std::vector<Setup> setups;
    // A --database of the caller's: one instance on it, seeded by the caller.
    const bool ownDatabase =
        std::find(serviceArgs.begin(), serviceArgs.end(), "--database") == serviceArgs.end();
    if (!ownDatabase) {
        setups.push_back({"given database", false, 1});
    } else {
        const std::vector<std::pair<std::string, Setup>> all = {
            {"sqlite", {"SQLite, 1 instance", false, 1}},
            {"postgresql", {"PostgreSQL, 1 instance", true, 1}},
            {"two", {"PostgreSQL, 2 instances", true, 2}}};
        for (const auto& [key, setup] : all)
            if (only.empty() || std::find(only.begin(), only.end(), key) != only.end())
                setups.push_back(setup);
        if (setups.empty()) die(usage);
    }
    signal(SIGPIPE, SIG_IGN);
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < static_cast<rlim_t>(streams) + 100)
        die("open files allowed: " + std::to_string(files.rlim_cur) + ", too few");

    const std::string maxStreams = std::to_string(streams + 100);
    serviceArgs.insert(
        serviceArgs.begin(),
        {"--max-connections", std::to_string(2 * streams + 1000), "--max-streams", maxStreams});
    const auto dir = std::filesystem::temp_directory_path() /
                     ("tarvo-bench-streams-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    if (tlsContext) {
        const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
        const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -keyout '" + key +
                                 "' -out '" + cert +
                                 "' -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
                                 "2>/dev/null";
        if (std::system(make.c_str()) != 0) die("cannot make a certificate");
        serviceArgs.insert(serviceArgs.end(), {"--cert", cert, "--key", key});
    }

    std::vector<Result> results;
    for (size_t i = 0; i < setups.size(); ++i) {
        std::fprintf(stderr, "bench_service_streams: %s ...\n", setups[i].name.c_str());
        results.push_back(
            measure(binary, serviceArgs, dir / std::to_string(i), setups[i], streams, ownDatabase));
    }
    std::filesystem::remove_all(dir);
    // Last, on a quiet machine: the streams are closed and the instances gone.
    std::vector<std::string> checkIns;
    if (!storageBench.empty() && ownDatabase) {
        std::fprintf(stderr, "bench_service_streams: check-ins (bench_service_storage) ...\n");
        checkIns = checkInRows(storageBench);
        if (checkIns.empty()) std::fprintf(stderr, "bench_service_streams: no check-in figures\n");
    }

    std::printf(
        "tarvo-service (%s), %zu idle event streams from %d source addresses across "
        "127.0.0.0/8\n",
        tlsContext ? "HTTPS" : "HTTP", results[0].open, results[0].addresses);
    std::printf("%-40s", "");
    for (const auto& s : setups) std::printf(" %24s", s.name.c_str());
    std::printf("\n");
    auto row = [&](const char* label, auto value, const char* format) {
        std::printf("%-40s", label);
        for (const auto& r : results) {
            char cell[64];
            std::snprintf(cell, sizeof cell, format, value(r));
            std::printf(" %24s", cell);
        }
        std::printf("\n");
    };
    row(
        "streams opened in", [](const Result& r) { return r.openSecs; }, "%.1f s");
    row(
        "resident, no streams (all instances)", [](const Result& r) { return r.rssBefore; },
        "%ld KiB");
    row(
        "resident, with the streams", [](const Result& r) { return r.rssStreams; }, "%ld KiB");
    row(
        "resident per stream", [](const Result& r) { return r.kibPerStream; }, "%.1f KiB");
    row(
        "family's 200: change -> event p50", [](const Result& r) { return r.p50; }, "%.2f ms");
    row(
        "family's 200: change -> event p99", [](const Result& r) { return r.p99; }, "%.2f ms");
    row(
        "  the change's own answer p50", [](const Result& r) { return r.answerP50; }, "%.2f ms");
    row(
        "  the change's own answer p99", [](const Result& r) { return r.answerP99; }, "%.2f ms");
    row(
        "  its answer -> event p99", [](const Result& r) { return r.fanOutP99; }, "%.2f ms");
    row(
        "sign-in p99, no streams", [](const Result& r) { return r.before.signInP99; }, "%.2f ms");
    row(
        "sign-in p99, with the streams", [](const Result& r) { return r.with.signInP99; },
        "%.2f ms");
    row(
        "short call p99, no streams", [](const Result& r) { return r.before.shortP99; }, "%.3f ms");
    row(
        "short call p99, with the streams", [](const Result& r) { return r.with.shortP99; },
        "%.3f ms");
    for (const auto& line : checkIns) {
        // "N keep-alive clients  SQLITE  POSTGRESQL": SQLite under the first
        // column, PostgreSQL under the second; the two-instance column has none.
        int clients = 0;
        double sqlite = 0, postgres = 0;
        if (std::sscanf(line.c_str(), "%d keep-alive clients %lf %lf", &clients, &sqlite,
                        &postgres) != 3)
            continue;
        const std::string label = "check-ins/s, " + std::to_string(clients) + " clients";
        std::printf("%-40s", label.c_str());
        for (const auto& s : setups) {
            char cell[64] = "-";
            if (s.instances == 1 && s.name != "given database")
                std::snprintf(cell, sizeof cell, "%.0f", s.postgres ? postgres : sqlite);
            std::printf(" %24s", cell);
        }
        std::printf("\n");
    }
    std::printf(
        "(the family's 200 streams split over the instances; the change made through the "
        "first; %zu deliveries each)\n",
        results[0].deliveries);
    return 0;
}
