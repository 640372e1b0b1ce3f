// tarvo-service under load on loopback: a dashboard change (the parent's POST
// saving a rule) until the event is read from 1 and from 200 open event
// streams (median and 99th percentile over every delivery), and check-in
// requests per second from 2 and 8 keep-alive clients.
//   bench_service_events [path/to/tarvo-service]
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

struct Stream {
    int fd = -1;
    std::string got;
    ~Stream() {
        if (fd >= 0) close(fd);
    }
};

std::unique_ptr<Stream> openStream(int port, const std::string& device, const std::string& user) {
    auto s = std::make_unique<Stream>();
    s->fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s->fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return nullptr;
    const std::string req = "GET /api/notifications/sse-direct?userId=" + user +
                            "&deviceId=" + device + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(s->fd, req.data(), req.size(), 0) < 0) return nullptr;
    return s;
}

// Reads until every stream holds `text`; the moment each one first did.
std::vector<Clock::time_point> waitAll(std::vector<std::unique_ptr<Stream>>& streams,
                                       const std::string& text) {
    std::vector<Clock::time_point> at(streams.size());
    size_t left = streams.size();
    std::vector<bool> done(streams.size(), false);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (left > 0 && Clock::now() < deadline) {
        std::vector<pollfd> fds;
        for (auto& s : streams) fds.push_back({s->fd, POLLIN, 0});
        poll(fds.data(), fds.size(), 100);
        const auto now = Clock::now();
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            char buf[8192];
            const ssize_t n = recv(fds[i].fd, buf, sizeof buf, 0);
            if (n <= 0) continue;
            streams[i]->got.append(buf, static_cast<size_t>(n));
            if (!done[i] && streams[i]->got.find(text) != std::string::npos) {
                done[i] = true;
                at[i] = now;
                --left;
                streams[i]->got.clear();
            }
        }
    }
    if (left > 0) {
        std::fprintf(stderr, "%zu streams never saw %s\n", left, text.c_str());
        std::exit(1);
    }
    return at;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

class Service {
  public:
    explicit Service(const std::string& binary)
        : dir_(std::filesystem::temp_directory_path() /
               ("tarvo-bench-" + std::to_string(getpid()))) {
        std::filesystem::create_directories(dir_);
        int out[2];
        if (pipe(out) != 0) std::exit(1);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            execl(binary.c_str(), binary.c_str(), "--listen", "127.0.0.1:0", "--data", dir_.c_str(),
                  "--seed-demo", "DEV-BENCH:kid", "--quiet",
                  // 200 streams from one address, fifty on each computer.
                  "--max-streams-per-address", "256", "--max-streams-per-device", "64", nullptr);
            _exit(127);
        }
        close(out[1]);
        std::string text;
        char buf[256];
        while (text.find("listening on") == std::string::npos || text.back() != '\n') {
            const ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) {
                std::fprintf(stderr, "tarvo-service did not start\n");
                std::exit(1);
            }
            text.append(buf, static_cast<size_t>(n));
        }
        close(out[0]);
        port = std::stoi(text.substr(text.rfind(':') + 1));
    }
    ~Service() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        std::filesystem::remove_all(dir_);
    }
    int port = 0;

  private:
    std::filesystem::path dir_;
    pid_t pid_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string binary = argc > 1 ? argv[1] : TARVO_SERVICE_BINARY;
    signal(SIGPIPE, SIG_IGN);
    Service service(binary);
    httplib::Client http("127.0.0.1", service.port);
    auto signIn = [&](const std::string& device) {
        Json body{{"email", "demo@tarvo.local"}, {"password", "tarvo-demo"}};
        if (!device.empty()) body["deviceId"] = device;
        auto r = http.Post("/web/api/signin", body.dump(), "application/json");
        const std::string c = r->get_header_value("Set-Cookie");
        return std::make_pair(c.substr(0, c.find(';')), Json::parse(r->body).value("token", ""));
    };
    const std::string cookie = signIn("").first;
    const httplib::Headers headers{{"Cookie", cookie}};
    const auto overview = Json::parse(http.Get("/web/api/overview", headers)->body);
    const auto childId = overview["children"][0]["id"].get<std::int64_t>();
    const std::string rulesPath = "/web/api/children/" + std::to_string(childId) + "/rules";

    // One dashboard change, timed until every stream has read its event.
    int round = 0;
    auto measure = [&](std::vector<std::unique_ptr<Stream>>& streams, int rounds,
                       std::vector<double>& all, std::vector<double>& slowest) {
        for (int i = 0; i < rounds; ++i) {
            const std::string marker = "bench-" + std::to_string(++round) + ".example";
            const auto t0 = Clock::now();
            auto r = http.Post(rulesPath.c_str(), headers,
                               Json{{"whitelist", {marker}},
                                    {"blacklist", Json::array()},
                                    {"accessWindows", Json::array()}}
                                   .dump(),
                               "application/json");
            if (!r || r->status != 200) std::exit(1);
            double worst = 0;
            for (const auto& at : waitAll(streams, marker)) {
                const double ms = std::chrono::duration<double, std::milli>(at - t0).count();
                all.push_back(ms);
                worst = std::max(worst, ms);
            }
            slowest.push_back(worst);
        }
    };

    std::vector<std::unique_ptr<Stream>> one;
    one.push_back(openStream(service.port, "DEV-BENCH", "kid"));
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
        const std::string token = signIn(device).second;
        Json users = Json::array(), assignments = Json::object();
        for (int k = 0; k < 50; ++k) {
            users.push_back("k" + std::to_string(k));
            assignments["k" + std::to_string(k)] = childId;
        }
        http.Post("/api/SetDesktopSettings",
                  Json{{"device_id", device}, {"token", token}, {"users", users}}.dump(),
                  "application/json");
        http.Post("/web/api/assign", headers,
                  Json{{"deviceId", device}, {"assignments", assignments}}.dump(),
                  "application/json");
        for (int k = 0; k < 50; ++k)
            many.push_back(openStream(service.port, device, "k" + std::to_string(k)));
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
    for (int clients : {2, 8}) {
        std::atomic<long> done{0};
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c)
            threads.emplace_back([&] {
                httplib::Client cli("127.0.0.1", service.port);
                cli.set_keep_alive(true);
                const std::string path =
                    "/api/CheckinCurrentUser?deviceId=DEV-BENCH&computer_name=bench&os=macos&"
                    "version=0.2.15&user=kid";
                while (!stop) {
                    auto r = cli.Get(path.c_str());
                    if (r && r->status == 200) ++done;
                }
            });
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        stop = true;
        for (auto& t : threads) t.join();
        const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
        std::printf("check-in, %d keep-alive clients: %.0f requests/s\n", clients,
                    static_cast<double>(done.load()) / secs);
    }
    return 0;
}
