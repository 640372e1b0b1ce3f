// tarvo-service under load on loopback: a dashboard change (the parent's POST
// saving a rule) until the event is read from 1 and from 200 open event
// streams (median and 99th percentile over every delivery), and check-in
// requests per second from 2 and 8 keep-alive clients.
//   bench_service_events
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ServiceLoad.h"
#include "service/ServiceProcess.h"

namespace {

using nlohmann::json;
using namespace tarvo::bench;

void run() {
    // 200 streams from one address, fifty on each computer.
    tarvo::test::DemoFamily family(
        "DEV-BENCH", "kid",
        {"--quiet", "--max-streams-per-address", "256", "--max-streams-per-device", "64"});
    const int port = family.service.port();
    const std::string rulesPath = family.childApi + "/rules";

    // One dashboard change, timed until every stream has read its event.
    int round = 0;
    auto measure = [&](std::vector<std::unique_ptr<Stream>>& streams, int rounds,
                       std::vector<double>& all, std::vector<double>& slowest) {
        for (int i = 0; i < rounds; ++i) {
            const std::string marker = "bench-" + std::to_string(++round) + ".example";
            const auto t0 = Clock::now();
            family.parent.postOk(rulesPath, {{"whitelist", {marker}},
                                             {"blacklist", json::array()},
                                             {"accessWindows", json::array()}});
            double worst = 0;
            for (const auto& at : waitAll(streams, marker)) {
                all.push_back(millisecondsBetween(t0, at));
                worst = std::max(worst, all.back());
            }
            slowest.push_back(worst);
        }
    };

    std::vector<std::unique_ptr<Stream>> one;
    one.push_back(openStream(port, "DEV-BENCH", "kid"));
    waitAll(one, ": connected");
    std::vector<double> oneAll, oneWorst;
    measure(one, 10, oneAll, oneWorst);  // warm-up
    oneAll.clear();
    measure(one, 300, oneAll, oneWorst);
    one.clear();
    std::printf(
        "dashboard change -> event,   1 stream : median %.2f ms, p99 %.2f ms (%zu events)\n",
        percentile(oneAll, 0.5), percentile(oneAll, 0.99), oneAll.size());

    // 200 streams: fifty accounts of the child on each of four computers.
    std::vector<std::unique_ptr<Stream>> many;
    for (int d = 0; d < 4; ++d) {
        const std::string device = "DEV-MANY-" + std::to_string(d);
        std::vector<std::string> accounts;
        for (int k = 0; k < 50; ++k) accounts.push_back("k" + std::to_string(k));
        family.setUpComputer(device, accounts);
        for (const auto& account : accounts) many.push_back(openStream(port, device, account));
    }
    waitAll(many, ": connected");
    std::vector<double> manyAll, manyWorst;
    measure(many, 5, manyAll, manyWorst);  // warm-up
    manyAll.clear();
    manyWorst.clear();
    measure(many, 100, manyAll, manyWorst);
    std::printf(
        "dashboard change -> event, 200 streams: median %.2f ms, p99 %.2f ms over %zu "
        "deliveries; last stream of a change: median %.2f ms, p99 %.2f ms\n",
        percentile(manyAll, 0.5), percentile(manyAll, 0.99), manyAll.size(),
        percentile(manyWorst, 0.5), percentile(manyWorst, 0.99));

    // Check-ins per second, with the 200 streams still open.
    for (int clients : {2, 8})
        std::printf("check-in, %d keep-alive clients: %.0f requests/s\n", clients,
                    checkInsPerSecond(family.service.origin(), clients,
                                      [](int) { return std::string("DEV-BENCH"); }));
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    try {
        run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_service_events: %s\n", e.what());
        return 1;
    }
    return 0;
}
