#pragma once

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvo::test {

// A real HTTP server on 127.0.0.1 (an ephemeral port, its own thread) that
// records every request. Handlers go on `server` before start().
class LocalServer {
  public:
    struct Received {
        std::string path;    // without the query
        std::string target;  // path and query exactly as sent
        std::string body;
    };

    // Recorded once handled, just before the answer goes out: the body has
    // been read by then, and a client that has its answer finds the record.
    LocalServer() {
        server.set_post_routing_handler([this](const httplib::Request& req, httplib::Response&) {
            std::lock_guard lock(mutex_);
            received_.push_back({req.path, req.target, req.body});
        });
    }
    ~LocalServer() { stop(); }

    void start() {
        port_ = server.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void stop() {
        if (!thread_.joinable()) return;
        server.stop();
        thread_.join();
    }
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::vector<Received> received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }

    httplib::Server server;

  private:
    mutable std::mutex mutex_;
    std::vector<Received> received_;
    std::thread thread_;
    int port_ = 0;
};

// A port on 127.0.0.1 that refuses connections: bound, then closed without listening.
inline int deadPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}};
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// The service's event stream on an httplib server: every stream writes the
// pieces handed to write(), in order, and ends once close() was called.
class EventStreamServer {
  public:
    static constexpr const char* kPath = "/api/notifications/sse-direct";

    explicit EventStreamServer(httplib::Server& server);
    ~EventStreamServer() { close(); }

    void write(std::string piece) {
        std::lock_guard lock(mutex_);
        pieces_.push_back(std::move(piece));
        cv_.notify_all();
    }
    void close() {
        std::lock_guard lock(mutex_);
        closing_ = true;
        cv_.notify_all();
    }
    int streams() const {
        std::lock_guard lock(mutex_);
        return streams_;
    }
    std::string accept() const {  // the Accept header of the last stream request
        std::lock_guard lock(mutex_);
        return accept_;
    }

    // Called on the stream's thread just before each piece goes out.
    std::function<void()> onWrite;

  private:
    bool provide(httplib::DataSink& sink);

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::string> pieces_;
    bool closing_ = false;
    int streams_ = 0;
    std::string accept_;
};

}  // namespace tarvo::test
