// Rule-change latency on loopback, measured at two points of the agent's path:
// from the service writing a rules block on the event stream to (1) the
// handler holding the parsed Rules and (2) the rules file replaced on disk by
// the agent's serial writer. Each event is sent once the previous one has
// reached the disk, so the figures are the latency of one push, not of a
// burst. Prints the median and the 99th percentile of each.
#include <httplib.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/RulesFile.h"
#include "core/Background.h"
#include "core/Paths.h"
#include "server/ServerClient.h"
#include "support/LocalServer.h"

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

int main(int argc, char** argv) {
    const int events = argc > 1 ? std::max(10, atoi(argv[1])) : 2000;
    char tmpl[] = "/tmp/tarvo-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    setenv("HOME", dir.c_str(), 1);
    setenv("TARVO_ROOT", dir.c_str(), 1);

    httplib::Server server;
    tarvo::test::EventStreamServer stream(server);
    std::vector<Clock::time_point> written;  // only the stream's thread adds, until it stops
    stream.onWrite = [&] { written.push_back(Clock::now()); };
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serverThread([&] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::filesystem::create_directories(
        std::filesystem::path(tarvo::Paths::configFile()).parent_path());
    std::ofstream(tarvo::Paths::configFile()) << R"({"api":"http://127.0.0.1:)" << port << R"(/"})";
    tarvo::ServerClient::Options options;
    options.username = "bench";
    auto client = tarvo::ServerClient::create(options);

    tarvo::ThreadPoolBackground background(2);
    auto rulesFile = tarvo::RulesFile::create(
        {.username = "bench", .uid = getuid(), .deviceId = client->deviceId()},
        tarvo::TarvoLog("agent", tarvo::Paths::agentLog()), background);

    std::mutex m;
    std::condition_variable cv;
    std::vector<Clock::time_point> received, onDisk;
    auto session = client->subscribeEvents(
        [] {},
        [&](const tarvo::ServerClient::SSEEvent& e) {
            if (e.kind != tarvo::ServerClient::SSEEvent::Kind::rulesUpdated) return;
            {
                std::lock_guard lock(m);
                received.push_back(Clock::now());
            }
            // As the agent does: hand the rules to the serial writer.
            rulesFile->writeRulesFile(e.rules, [&](const tarvo::RulesFile::WriteResult& r) {
                std::lock_guard lock(m);
                if (r.outcome == tarvo::RulesFile::Outcome::written) onDisk.push_back(Clock::now());
                cv.notify_all();
            });
        });

    // A realistic rules block: forty allowed sites, a few blocked, a schedule.
    std::string sites;
    for (int i = 0; i < 40; ++i) {
        if (i) sites += ',';
        sites += "\"site";
        sites += std::to_string(i);
        sites += ".example\"";
    }
    auto block = [&](int i) {
        return "event: rules\ndata: {\"whitelist\":[" + sites + ",\"n" + std::to_string(i) +
               ".example\"],\"blacklist\":[\"bad.example\",\"worse.example\"],\"accessWindows\":"
               "[{\"dayOfWeek\":1,\"start\":\"08:00\",\"end\":\"20:00\"}]}\n\n";
    };
    for (int i = 0; i < events + 20; ++i) {  // the first 20 warm the connection up
        stream.write(block(i));
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(10),
                         [&] { return onDisk.size() > size_t(i); })) {
            std::fprintf(stderr, "event %d never arrived\n", i);
            return 1;
        }
    }
    session->cancel();
    stream.close();
    server.stop();
    serverThread.join();

    auto report = [&](const char* what, const std::vector<Clock::time_point>& at) {
        std::vector<double> micros;
        for (size_t i = 20; i < at.size(); ++i)
            micros.push_back(std::chrono::duration<double, std::micro>(at[i] - written[i]).count());
        std::sort(micros.begin(), micros.end());
        auto q = [&](double f) {
            return micros[std::min(micros.size() - 1, size_t(f * micros.size()))];
        };
        std::printf("  %-28s median %8.1f us   p99 %8.1f us   max %8.1f us\n", what, q(0.5),
                    q(0.99), micros.back());
        return q(0.5);
    };
    std::printf("rule change pushed on loopback, %zu rules events (%zu-byte blocks)\n",
                received.size() - 20, block(0).size());
    report("stream -> parsed Rules", received);
    const double disk = report("stream -> rules file on disk", onDisk);
    std::printf("budget 5 ms median to disk: %s\n", disk < 5000 ? "within" : "OVER");
    std::filesystem::remove_all(dir);
    return 0;
}
