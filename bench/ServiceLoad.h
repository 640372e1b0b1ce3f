// The service benchmarks' load: raw event streams held open from chosen
// source addresses (over TLS when asked), the moment each reads a text, and
// keep-alive check-ins per second. The service itself is started with the
// tests' ServiceProcess.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tarvo::bench {

using Clock = std::chrono::steady_clock;

// Thrown where a benchmark cannot go on; main reports it, and the services
// started on the way are stopped as the stack unwinds.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& why) {
    throw Failure(why);
}

// One open event stream: the socket, its TLS session if any, what it has read.
struct Stream {
    int fd = -1;
    SSL* ssl = nullptr;
    std::string got;
    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream() {
        if (ssl) SSL_free(ssl);
        if (fd >= 0) ::close(fd);
    }
    // What has come, without waiting; false once the connection ended.
    bool read() {
        char buf[8192];
        for (;;) {
            const ssize_t n =
                ssl ? SSL_read(ssl, buf, sizeof buf) : ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) {
                got.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (ssl) return SSL_get_error(ssl, static_cast<int>(n)) == SSL_ERROR_WANT_READ;
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
};

// The event stream of `user` on `device`, asked from `source` (any address of
// 127.0.0.0/8) to 127.0.0.1:`port`; over TLS when `tls` is given.
inline std::unique_ptr<Stream> openStream(int port, const std::string& device,
                                          const std::string& user,
                                          const std::string& source = "127.0.0.1",
                                          SSL_CTX* tls = nullptr) {
    auto s = std::make_unique<Stream>();
    s->fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s->fd < 0 || ::bind(s->fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(s->fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        fail("cannot connect from " + source);
    const std::string req = "GET /api/notifications/sse-direct?userId=" + user +
                            "&deviceId=" + device + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (tls) {
        s->ssl = SSL_new(tls);
        SSL_set_fd(s->ssl, s->fd);
        if (SSL_connect(s->ssl) != 1 ||
            SSL_write(s->ssl, req.data(), static_cast<int>(req.size())) <= 0)
            fail("no TLS connection from " + source);
        fcntl(s->fd, F_SETFL, fcntl(s->fd, F_GETFL) | O_NONBLOCK);
    } else if (::send(s->fd, req.data(), req.size(), MSG_NOSIGNAL) < 0) {
        fail("cannot send from " + source);
    }
    return s;
}

// Reads until every stream holds `text`; the moment each one first did. A
// stream closed, or one still without it after a minute, ends the benchmark.
inline std::vector<Clock::time_point> waitAll(std::vector<std::unique_ptr<Stream>>& streams,
                                              const std::string& text) {
    std::vector<Clock::time_point> at(streams.size());
    std::vector<bool> done(streams.size(), false);
    size_t left = streams.size();
    std::vector<pollfd> fds;
    for (auto& s : streams) fds.push_back({s->fd, POLLIN, 0});
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (left > 0 && Clock::now() < deadline) {
        if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
        const auto now = Clock::now();
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            if (!streams[i]->read()) fail("a stream was closed: " + streams[i]->got.substr(0, 200));
            if (!done[i] && streams[i]->got.find(text) != std::string::npos) {
                done[i] = true;
                at[i] = now;
                --left;
                fds[i].events = 0;  // read no more of it this round
                streams[i]->got.clear();
            }
        }
    }
    if (left > 0) fail(std::to_string(left) + " streams never saw " + text);
    return at;
}

inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

inline double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Check-ins answered 200 per second over three seconds from `clients`
// keep-alive threads at `origin`; the n-th request of a thread names the
// computer `deviceOf(n)`. `failed`, when given, counts the others.
inline double checkInsPerSecond(const std::string& origin, int clients,
                                const std::function<std::string(int)>& deviceOf,
                                long* failed = nullptr) {
    std::atomic<long> done{0}, refused{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            httplib::Client cli(origin);
            cli.set_keep_alive(true);
            for (int i = c; !stop; i += clients) {
                const std::string path = "/api/CheckinCurrentUser?deviceId=" + deviceOf(i) +
                                         "&os=macos&version=0.2.15&user=kid";
                auto r = cli.Get(path);
                ++(r && r->status == 200 ? done : refused);
            }
        });
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    stop = true;
    for (auto& t : threads) t.join();
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (failed) *failed = refused.load();
    return static_cast<double>(done.load()) / secs;
}

}  // namespace tarvo::bench
