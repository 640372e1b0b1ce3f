#pragma once

#include <httplib.h>

#include <map>
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
        httplib::Headers headers;
    };

    LocalServer();
    ~LocalServer() { stop(); }

    void start();
    void stop();
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::vector<Received> received() const;

    httplib::Server server;

  private:
    mutable std::mutex mutex_;
    std::vector<Received> received_;
    std::map<const httplib::Request*, size_t> pendingBodies_;
    std::thread thread_;
    int port_ = 0;
};

// A TCP port on 127.0.0.1 that nothing listens on.
int deadPort();

}  // namespace tarvo::test
