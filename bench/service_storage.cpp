// tarvo-service's check-ins per second on each store, side by side: the
// embedded SQLite file and a PostgreSQL 15 cluster of its own (started in a
// temporary directory like the tests'), from 2 and 8 keep-alive clients, the
// check-ins spread over 40 computers of one family set up through the API.
//   bench_service_storage
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "ServiceLoad.h"
#include "service/ServiceProcess.h"

namespace {

using nlohmann::json;
using namespace tarvo::test;

constexpr int kComputers = 40;
const std::vector<int> kClients = {2, 8};

// The demo family on DEV-0 and the parent's setup of DEV-1 ... DEV-39, each
// with the account "kid" given to the demo child.
void setUpComputers(const ServiceProcess& service) {
    ParentSession parent(service);
    parent.postOk("/web/api/signin", {{"email", kDemoEmail}, {"password", kDemoPassword}});
    const auto childId = parent.child()["id"];
    for (int d = 1; d < kComputers; ++d) {
        const std::string device = "DEV-" + std::to_string(d);
        const auto token = parent.postOk(
            "/web/api/signin",
            {{"email", kDemoEmail}, {"password", kDemoPassword}, {"deviceId", device}})["token"];
        ParentSession::ok(
            httplib::Client(service.origin())
                .Post("/api/SetDesktopSettings",
                      json{{"device_id", device}, {"token", token}, {"users", {"kid"}}}.dump(),
                      "application/json"),
            "SetDesktopSettings");
        parent.postOk("/web/api/assign",
                      {{"deviceId", device}, {"assignments", {{"kid", childId}}}});
    }
}

// Check-ins per second from `clients` threads, spread over the computers.
double checkIns(const ServiceProcess& service, int clients) {
    long failed = 0;
    const double rate = tarvo::bench::checkInsPerSecond(
        service.origin(), clients, [](int i) { return "DEV-" + std::to_string(i % kComputers); },
        &failed);
    if (failed > 0) std::fprintf(stderr, "%ld check-ins failed at %d clients\n", failed, clients);
    return rate;
}

}  // namespace

int main() {
    std::map<std::string, std::vector<double>> rates;
    for (const std::string store : {"SQLite", "PostgreSQL"}) {
        TempDir data;
        std::vector<std::string> args{"--seed-demo", "DEV-0:kid", "--quiet"};
        if (store == "PostgreSQL")
            args.insert(args.end(), {"--database", PostgresCluster::shared().createDatabase()});
        ServiceProcess service(data.path(), args);
        service.start();
        setUpComputers(service);
        checkIns(service, 2);  // warm-up: connections opened, statements prepared
        for (int clients : kClients) rates[store].push_back(checkIns(service, clients));
        // What went wrong, if anything did.
        std::istringstream log(service.stderrText());
        for (std::string line; std::getline(log, line);)
            if (line.find(" error in ") != std::string::npos)
                std::fprintf(stderr, "%s: %s\n", store.c_str(), line.c_str());
    }
    std::printf("check-ins per second       SQLite  PostgreSQL\n");
    for (size_t i = 0; i < kClients.size(); ++i)
        std::printf("%2d keep-alive clients   %9.0f  %10.0f\n", kClients[i], rates["SQLite"][i],
                    rates["PostgreSQL"][i]);
    return 0;
}
