#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "EventHub.h"

namespace tarvo::service {

// The service's HTTP/1.1 server, plain or TLS. A few threads run every
// connection's reading and writing, event-driven; the handlers run on a pool
// of worker threads beside them, so a slow one (a password hash, a busy
// database) never holds up another connection's I/O. An event stream is held
// by its connection alone: no thread waits on it, a change queued on it kicks
// a write, and a timer writes its heartbeats.
//
// Requests and answers are httplib's plain structures, filled from the parsed
// request, so handlers read and write the same members as ever.
class HttpServer {
  public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
    // After each answer (not for an event stream that opened): how long it
    // took from the request's last byte to the answer being ready.
    using Logger = std::function<void(const httplib::Request&, const httplib::Response&, long ms)>;

    struct Options {
        std::string certFile;  // both set: TLS
        std::string keyFile;
        size_t maxBody = 1024 * 1024;
        // Connections held at once; one beyond gets its request answered 503
        // and is closed.
        size_t maxConnections = 1024;
        std::chrono::milliseconds readTimeout{10000};   // silence within a request
        std::chrono::milliseconds idleTimeout{5000};    // silence before and between requests
        std::chrono::milliseconds writeTimeout{10000};  // a write the peer does not take
        std::chrono::milliseconds heartbeat{15000};
        int dataPingEvery = 4;  // every n-th heartbeat also carries a data line
        unsigned ioThreads = 2;
        unsigned workers = 8;
        unsigned slowWorkers = 2;  // for the handlers of Pool::slow
    };

    HttpServer(Options options, EventHub& hub);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Where a handler runs. Slow ones (a password hash of a tenth of a second
    // and more) get workers of their own: a flood of them queues behind
    // itself, never in front of the short calls.
    enum class Pool { general, slow };

    // `pattern` matches the whole path; its groups land in the request's matches.
    void route(const std::string& method, const std::string& pattern, Handler handler,
               Pool pool = Pool::general);
    void setLogger(Logger logger);

    // Binds and listens; the port bound (useful with port 0). Throws when it cannot.
    int bind(const std::string& host, int port);
    // Serves until stop(); false when the server could not run.
    bool run();
    // Ends serving: no new connection, every stream and connection closed.
    void stop();

    bool tls() const;
    size_t connections() const;

    // Called by a handler: once it returns, its connection carries `stream`
    // as an event stream ("text/event-stream", chunked) with the answer's
    // headers, until either side ends it; `closed` runs once then.
    static void holdEventStream(std::shared_ptr<EventHub::Stream> stream,
                                std::function<void()> closed);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarvo::service
