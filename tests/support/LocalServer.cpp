#include "support/LocalServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvo::test {

LocalServer::LocalServer() {
    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
        std::lock_guard lock(mutex_);
        received_.push_back({req.path, req.target, req.body, req.headers});
        pendingBodies_[&req] = received_.size() - 1;
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // The body is read only after pre-routing: complete the record once the
    // request has been handled.
    server.set_post_routing_handler([this](const httplib::Request& req, httplib::Response&) {
        std::lock_guard lock(mutex_);
        if (auto it = pendingBodies_.find(&req); it != pendingBodies_.end()) {
            received_[it->second].body = req.body;
            pendingBodies_.erase(it);
        }
    });
}

void LocalServer::start() {
    port_ = server.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void LocalServer::stop() {
    if (thread_.joinable()) {
        server.stop();
        thread_.join();
    }
}

std::vector<LocalServer::Received> LocalServer::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

int deadPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    int port = ntohs(addr.sin_port);
    close(fd);  // bound then closed without listening: connections are refused
    return port;
}

}  // namespace tarvo::test
