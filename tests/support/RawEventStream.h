#pragma once

// A raw connection to tarvo-service's event stream on 127.0.0.1: the bytes as
// they come, for many streams at once. Header-only, without GoogleTest, for
// the tests and the benchmarks alike.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace tarvo::test {

struct RawEventStream {
    int fd = -1;
    std::string got;

    // Connects and sends the request; fd stays -1 when that failed.
    RawEventStream(int port, const std::string& device, const std::string& user) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const std::string req = "GET /api/notifications/sse-direct?userId=" + user +
                                "&deviceId=" + device + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::send(s, req.data(), req.size(), 0) == static_cast<ssize_t>(req.size()))
            fd = s;
        else if (s >= 0)
            ::close(s);
    }
    ~RawEventStream() {
        if (fd >= 0) ::close(fd);
    }
    RawEventStream(const RawEventStream&) = delete;
    RawEventStream& operator=(const RawEventStream&) = delete;
};

using RawEventStreams = std::vector<std::unique_ptr<RawEventStream>>;

// Waits up to `ms` for bytes on any of `streams` and appends what came; the
// indexes of the streams that got some.
inline std::vector<size_t> readStreams(RawEventStreams& streams, int ms) {
    std::vector<pollfd> fds;
    for (auto& s : streams) fds.push_back({s->fd, POLLIN, 0});
    std::vector<size_t> fed;
    if (::poll(fds.data(), fds.size(), ms) <= 0) return fed;
    for (size_t i = 0; i < fds.size(); ++i) {
        char buf[8192];
        if (!(fds[i].revents & POLLIN)) continue;
        const ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
        if (n <= 0) continue;
        streams[i]->got.append(buf, static_cast<size_t>(n));
        fed.push_back(i);
    }
    return fed;
}

}  // namespace tarvo::test
