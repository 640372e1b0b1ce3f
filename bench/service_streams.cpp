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
#include <httplib.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/resource.h>
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

#include "ServiceLoad.h"
#include "service/ServiceProcess.h"

namespace {

using Json = nlohmann::json;
using namespace tarvo::bench;
using tarvo::test::ServiceProcess;

constexpr int kFamilyStreams = 200;  // the demo family's: 50 computers, 4 accounts each
constexpr int kAccountsPerComputer = 4;
constexpr int kComputersPerFamily = 5;  // every other family's
constexpr int kStreamsPerAddress = 8;

SSL_CTX* tlsContext = nullptr;  // set: streams speak TLS

// The n-th stream's source address: 127.1.0.1, 127.1.0.2, ... eight streams each.
std::string sourceOf(int n) {
    const int a = n / kStreamsPerAddress;
    return "127.1." + std::to_string(a / 250) + "." + std::to_string(a % 250 + 1);
}

long residentKiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

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
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("seeding the database failed");
}

struct Figures {
    double signInP50 = 0, signInP99 = 0, shortP50 = 0, shortP99 = 0;
};

Figures shortCalls(const std::string& origin) {
    Figures f;
    httplib::Client http(origin);
    http.enable_server_certificate_verification(false);
    http.set_keep_alive(true);
    std::vector<double> signIns, calls;
    for (int i = 0; i < 60; ++i) {
        const auto t0 = Clock::now();
        auto r = http.Post("/web/api/signin",
                           Json{{"email", "demo@tarvo.local"}, {"password", "tarvo-demo"}}.dump(),
                           "application/json");
        if (!r || r->status != 200)
            fail("sign-in failed: " +
                 (r ? std::to_string(r->status) + " " + r->body : httplib::to_string(r.error())));
        signIns.push_back(millisecondsBetween(t0, Clock::now()));
    }
    for (int i = 0; i < 2000; ++i) {
        const auto t0 = Clock::now();
        auto r = http.Get("/api/GetAppLimits?device_id=DEV-BENCH&username=kid");
        if (!r || r->status != 200) fail("short call failed");
        calls.push_back(millisecondsBetween(t0, Clock::now()));
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
    args.insert(args.begin(), {"--seed-demo", "DEV-BENCH:kid", "--quiet"});
    std::vector<std::unique_ptr<ServiceProcess>> services;
    for (int i = 0; i < setup.instances; ++i) {
        const auto data = dir / std::to_string(i);
        std::filesystem::create_directories(data);
        services.push_back(std::make_unique<ServiceProcess>(data.string(), args));
        services.back()->binary = binary;
    }
    services[0]->start();  // makes the schema and the demo family
    if (ownDatabase) {
        services[0]->terminate();
        seed(dir / "0", url, streams);
        services[0]->start();
    }
    for (int i = 1; i < setup.instances; ++i) services[i]->start();
    const std::string origin = services[0]->origin();
    auto resident = [&] {
        long sum = 0;
        for (auto& s : services) sum += residentKiB(s->pid());
        return sum;
    };

    httplib::Client http(origin);
    http.enable_server_certificate_verification(false);
    auto r = http.Post("/web/api/signin",
                       Json{{"email", "demo@tarvo.local"}, {"password", "tarvo-demo"}}.dump(),
                       "application/json");
    if (!r || r->status != 200) fail("cannot sign in");
    const std::string setCookie = r->get_header_value("Set-Cookie");
    const httplib::Headers cookie{{"Cookie", setCookie.substr(0, setCookie.find(';'))}};
    const auto overview = Json::parse(http.Get("/web/api/overview", cookie)->body);
    const auto childId = overview["children"][0]["id"].get<std::int64_t>();
    const std::string rulesPath = "/web/api/children/" + std::to_string(childId) + "/rules";

    Result out;
    out.before = shortCalls(origin);
    out.rssBefore = resident();

    // The family's 200 first, then every other family's computers.
    std::vector<std::unique_ptr<Stream>> family, rest;
    auto portOf = [&](size_t n) { return services[n % services.size()]->port(); };
    for (int i = 0; i < kFamilyStreams; ++i)
        family.push_back(openStream(portOf(static_cast<size_t>(i)), "FAM-D" + std::to_string(i / 4),
                                    "k" + std::to_string(i % 4), sourceOf(i), tlsContext));
    const int perFamily = kComputersPerFamily * kAccountsPerComputer;
    const int others = (streams - kFamilyStreams) / perFamily;
    const auto openStart = Clock::now();
    for (int f = 0; f < others; ++f)
        for (int d = 0; d < kComputersPerFamily; ++d)
            for (int a = 0; a < kAccountsPerComputer; ++a) {
                const int n = kFamilyStreams + static_cast<int>(rest.size());
                rest.push_back(openStream(portOf(static_cast<size_t>(n)),
                                          "F" + std::to_string(1000 + f) + "-D" + std::to_string(d),
                                          "k" + std::to_string(a), sourceOf(n), tlsContext));
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
        if (!posted || posted->status != 200) fail("the rules change failed");
        const auto answered = Clock::now();
        const auto at = waitAll(family, marker);
        if (getenv("BENCH_VERBOSE")) {
            double worst = 0;
            for (const auto& t : at) worst = std::max(worst, millisecondsBetween(t0, t));
            std::fprintf(stderr, "%s round %d: answered after %.2f ms, last event %.2f ms\n",
                         setup.name.c_str(), i, millisecondsBetween(t0, answered), worst);
        }
        if (i < 5) continue;  // warm-up
        answers.push_back(millisecondsBetween(t0, answered));
        for (const auto& t : at) {
            deliveries.push_back(millisecondsBetween(t0, t));
            fanOut.push_back(millisecondsBetween(answered, t));
        }
    }
    out.with = shortCalls(origin);
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
    for (auto& s : services) s->terminate();
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

int run(int argc, char** argv) {
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
            fail(usage);
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
        if (setups.empty()) fail(usage);
    }
    signal(SIGPIPE, SIG_IGN);
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < static_cast<rlim_t>(streams) + 100)
        fail("open files allowed: " + std::to_string(files.rlim_cur) + ", too few");

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
        if (std::system(make.c_str()) != 0) fail("cannot make a certificate");
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

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_service_streams: %s\n", e.what());
        return 1;
    }
}
