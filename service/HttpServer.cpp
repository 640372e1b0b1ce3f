#include "HttpServer.h"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <iostream>
#include <optional>
#include <regex>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarvo::service {

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

std::string nowStamp() {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    const std::time_t t = static_cast<std::time_t>(ms.count() / 1000);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms.count() % 1000));
    return buf;
}

std::string errorBody(const std::string& text) {
    return nlohmann::json{{"error", text}}.dump();
}

// %XX sequences decoded; a malformed one is kept as it is.
std::string decodePath(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
            out += static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string chunk(const std::string& data) {
    char size[20];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + data + "\r\n";
}

struct Route {
    std::string method;
    std::regex pattern;
    HttpServer::Handler handler;
    HttpServer::Pool pool;
};

// One request on its way through a worker, and what the handler made of it.
struct Exchange {
    httplib::Request req;
    httplib::Response res;
    bool head = false;
    bool keepAlive = true;
    Clock::time_point start;
    const Route* route = nullptr;              // none: no route takes it
    std::shared_ptr<EventHub::Stream> stream;  // set when the answer is an event stream
    std::function<void()> closed;
};

thread_local Exchange* current = nullptr;

}  // namespace

struct HttpServer::Impl {
    Impl(Options o, EventHub& h)
        : options(std::move(o)),
          hub(h),
          workers(std::max(1u, options.workers)),
          slowWorkers(std::max(1u, options.slowWorkers)) {}

    void accept();
    void retryAccept();
    void stopWhenIdle(Clock::time_point deadline);
    void match(Exchange& ex) const;
    void dispatch(Exchange& ex);

    // What connections use outlives the io_context, which destroys the last
    // of them; the workers go first, while the io_context their tasks post to lives.
    Options options;
    EventHub& hub;
    std::vector<Route> routes;
    Logger logger;
    std::atomic<size_t> active{0};
    std::atomic<size_t> busy{0};  // requests being answered, and open streams
    std::atomic<bool> stopRequested{false};
    bool bound = false;
    std::optional<asio::ssl::context> ssl;
    asio::io_context ioc;
    // The accept loop and the stop run on one strand of their own.
    tcp::acceptor acceptor{asio::make_strand(ioc)};
    asio::steady_timer acceptRetry{acceptor.get_executor()};
    asio::steady_timer stopping{acceptor.get_executor()};
    asio::thread_pool workers;
    asio::thread_pool slowWorkers;
};

namespace {

// One client connection, all of whose work runs on its own strand. `Socket`
// is tcp::socket or asio::ssl::stream<tcp::socket>.
template <class Socket>
class Connection : public std::enable_shared_from_this<Connection<Socket>> {
  public:
    Connection(HttpServer::Impl& server, Socket socket, bool over)
        : server_(server),
          socket_(std::move(socket)),
          deadline_(socket_.get_executor()),
          over_(over) {}

    ~Connection() {
        endStream();
        release();
        --server_.active;
    }

    void start() {
        boost::system::error_code ec;
        auto& tcpSocket = lowest();
        tcpSocket.set_option(tcp::no_delay(true), ec);
        const auto remote = tcpSocket.remote_endpoint(ec);
        if (ec) return;
        remoteAddr_ = remote.address().is_v6() && remote.address().to_v6().is_v4_mapped()
                          ? asio::ip::make_address_v4(asio::ip::v4_mapped, remote.address().to_v6())
                                .to_string()
                          : remote.address().to_string();
        remotePort_ = remote.port();
        if constexpr (kTls) {
            arm(server_.options.readTimeout);
            socket_.async_handshake(asio::ssl::stream_base::server,
                                    [self = this->shared_from_this()](boost::system::error_code e) {
                                        if (e) return self->closeNow();
                                        self->readRequest();
                                    });
        } else {
            readRequest();
        }
    }

  private:
    static constexpr bool kTls = !std::is_same_v<Socket, tcp::socket>;

    tcp::socket& lowest() {
        if constexpr (kTls)
            return socket_.next_layer();
        else
            return socket_;
    }

    // Closes the connection unless the deadline is re-armed or disarmed first.
    void arm(std::chrono::milliseconds after) {
        const auto generation = ++generation_;
        deadline_.expires_after(after);
        deadline_.async_wait(
            [self = this->shared_from_this(), generation](boost::system::error_code ec) {
                if (!ec && generation == self->generation_) self->closeNow();
            });
    }
    void disarm() {
        ++generation_;
        deadline_.cancel();
    }

    void closeNow() {
        boost::system::error_code ec;
        lowest().shutdown(tcp::socket::shutdown_both, ec);
        lowest().close(ec);
        disarm();
        if (heartbeat_) heartbeat_->cancel();
        endStream();
        release();
    }

    // A request being answered, or an open stream: a stop waits for it.
    void hold() {
        if (!holding_) ++server_.busy;
        holding_ = true;
    }
    void release() {
        if (holding_) --server_.busy;
        holding_ = false;
    }

    // ---------------------------------------------------------- requests

    void readRequest() {
        parser_.emplace();
        parser_->body_limit(server_.options.maxBody);
        continued_ = false;
        arm(buffer_.size() > 0 ? server_.options.readTimeout : server_.options.idleTimeout);
        readSome();
    }

    void readSome() {
        http::async_read_some(socket_, buffer_, *parser_,
                              [self = this->shared_from_this()](boost::system::error_code ec,
                                                                size_t) { self->onRead(ec); });
    }

    void onRead(boost::system::error_code ec) {
        if (ec == http::error::body_limit) return refuse(413, "request body too large");
        if (ec == http::error::header_limit) return refuse(431, "request header too large");
        if (ec && &ec.category() == &http::make_error_code(http::error::bad_target).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message)
            return refuse(400, "bad request");
        if (ec) return closeNow();  // the peer left, or went silent
        if (parser_->is_done()) {
            disarm();
            return handle();
        }
        arm(server_.options.readTimeout);
        if (parser_->is_header_done() && !continued_ &&
            boost::beast::iequals(parser_->get()[http::field::expect], "100-continue")) {
            // The client waits for this before it sends the body.
            continued_ = true;
            pending_ = "HTTP/1.1 100 Continue\r\n\r\n";
            return asio::async_write(
                socket_, asio::buffer(pending_),
                [self = this->shared_from_this()](boost::system::error_code e, size_t) {
                    if (e) return self->closeNow();
                    self->readSome();
                });
        }
        readSome();
    }

    // An answer to a request that cannot be served; the connection closes after it.
    void refuse(int status, const std::string& text) {
        auto ex = std::make_shared<Exchange>();
        if (parser_ && parser_->is_header_done()) fill(*ex, parser_->get());
        ex->start = Clock::now();
        ex->res.status = status;
        ex->res.set_content(errorBody(text), "application/json");
        ex->keepAlive = false;
        respond(ex);
    }

    void fill(Exchange& ex, http::request<http::string_body>& r) {
        auto& req = ex.req;
        req.method = std::string(r.method_string());
        req.target = std::string(r.target());
        req.version = r.version() == 10 ? "HTTP/1.0" : "HTTP/1.1";
        const auto q = req.target.find('?');
        req.path = decodePath(req.target.substr(0, q));
        if (q != std::string::npos)
            httplib::detail::parse_query_text(req.target.substr(q + 1), req.params);
        for (const auto& field : r)
            req.headers.emplace(std::string(field.name_string()), std::string(field.value()));
        req.body = std::move(r.body());
        // As before: a form's fields are parameters too.
        if (req.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) == 0)
            httplib::detail::parse_query_text(req.body, req.params);
        req.remote_addr = remoteAddr_;
        req.remote_port = remotePort_;
        ex.keepAlive = r.keep_alive();
        ex.head = r.method() == http::verb::head;
        if (ex.head) req.method = "GET";
    }

    void handle() {
        auto ex = std::make_shared<Exchange>();
        auto message = parser_->release();
        fill(*ex, message);
        ex->start = Clock::now();
        if (over_) {
            // Over the connection limit: told at once, without a worker.
            ex->res.status = 503;
            ex->res.set_content(errorBody("service busy; try again shortly"), "application/json");
            ex->keepAlive = false;
            return respond(ex);
        }
        hold();
        server_.match(*ex);
        const bool slow = ex->route && ex->route->pool == HttpServer::Pool::slow;
        asio::post(slow ? server_.slowWorkers : server_.workers,
                   [self = this->shared_from_this(), ex] {
                       self->server_.dispatch(*ex);
                       asio::post(self->socket_.get_executor(), [self, ex] { self->respond(ex); });
                   });
    }

    void respond(const std::shared_ptr<Exchange>& ex) {
        if (ex->stream) return startStream(*ex);
        auto& res = ex->res;
        if (res.status <= 0) res.status = 200;
        const bool close = !ex->keepAlive || server_.stopRequested ||
                           res.get_header_value("Connection") == "close";
        response_.emplace(static_cast<http::status>(res.status), 11);
        for (const auto& [name, value] : res.headers) {
            if (boost::beast::iequals(name, "Connection") ||
                boost::beast::iequals(name, "Content-Length") ||
                boost::beast::iequals(name, "Transfer-Encoding"))
                continue;
            response_->insert(name, value);
        }
        response_->keep_alive(!close);
        const size_t length = res.body.size();
        if (!ex->head) response_->body() = std::move(res.body);
        response_->content_length(length);
        if (server_.logger)
            server_.logger(ex->req, res,
                           static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 Clock::now() - ex->start)
                                                 .count()));
        arm(server_.options.writeTimeout);
        if (ex->head) {
            serializer_.emplace(*response_);
            serializer_->split(true);
            return http::async_write_header(
                socket_, *serializer_,
                [self = this->shared_from_this(), close](boost::system::error_code ec, size_t) {
                    self->written(ec, close);
                });
        }
        http::async_write(socket_, *response_,
                          [self = this->shared_from_this(), close](
                              boost::system::error_code ec, size_t) { self->written(ec, close); });
    }

    void written(boost::system::error_code ec, bool close) {
        serializer_.reset();
        response_.reset();
        release();
        if (ec) return closeNow();
        if (!close) return readRequest();
        if (parser_ && !parser_->is_done()) return lingeringClose();
        closeNow();
    }

    // Closing at once would reset a connection whose request was not read
    // whole (too large, malformed), and the client could lose the answer: say
    // we are done, read and drop what still comes for a while, then close.
    void lingeringClose() {
        boost::system::error_code ec;
        lowest().shutdown(tcp::socket::shutdown_send, ec);
        if (ec) return closeNow();
        drained_ = 0;
        arm(server_.options.readTimeout);
        drain();
    }
    void drain() {
        if (!scratch_) scratch_ = std::make_unique<std::array<char, 4096>>();
        lowest().async_read_some(
            asio::buffer(*scratch_),
            [self = this->shared_from_this()](boost::system::error_code ec, size_t n) {
                self->drained_ += n;
                if (ec || self->drained_ > 4 * self->server_.options.maxBody + (1 << 20))
                    return self->closeNow();
                self->drain();
            });
    }

    // ---------------------------------------------------------- event streams

    void startStream(Exchange& ex) {
        stream_ = std::move(ex.stream);
        closed_ = std::move(ex.closed);
        disarm();
        // An idle stream keeps nothing of the request it came with.
        parser_.reset();
        buffer_.clear();
        buffer_.shrink_to_fit();
        std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n";
        for (const auto& [name, value] : ex.res.headers)
            if (!boost::beast::iequals(name, "Content-Type") &&
                !boost::beast::iequals(name, "Connection") &&
                !boost::beast::iequals(name, "Content-Length") &&
                !boost::beast::iequals(name, "Transfer-Encoding"))
                head += name + ": " + value + "\r\n";
        head += "Transfer-Encoding: chunked\r\n\r\n";
        out_ = head + chunk(": connected\nretry: 5000\n\n");
        heartbeat_.emplace(socket_.get_executor());
        beat();
        std::weak_ptr<Connection> weak = this->shared_from_this();
        auto executor = socket_.get_executor();
        server_.hub.watch(*stream_, [weak, executor] {
            asio::post(executor, [weak] {
                if (auto self = weak.lock()) self->pump();
            });
        });
        flush();
        watchPeer();
    }

    // Anything the client sends on a stream is dropped; its end ends the stream.
    void watchPeer() {
        socket_.async_read_some(
            asio::buffer(&probe_, 1),
            [self = this->shared_from_this()](boost::system::error_code ec, size_t) {
                if (ec) return self->closeNow();
                self->watchPeer();
            });
    }

    void pump() {
        if (!stream_ || ending_) return;
        auto blocks = server_.hub.take(*stream_);
        if (!blocks) {
            // The service stops: the stream ends cleanly.
            out_ += "0\r\n\r\n";
            ending_ = true;
            return flush();
        }
        if (blocks->empty()) return;
        std::string data;
        for (const auto& b : *blocks) data += b;
        out_ += chunk(data);
        beat();
        flush();
    }

    // Waits a heartbeat's length from now; a change written meanwhile starts it over.
    void beat() {
        heartbeat_->expires_after(server_.options.heartbeat);
        heartbeat_->async_wait([self = this->shared_from_this()](boost::system::error_code ec) {
            if (ec || !self->stream_) return;
            // A comment keeps proxies and the connection alive; now and then
            // a data line too, which the agent counts as activity.
            std::string text = ": heartbeat\n\n";
            const int every = self->server_.options.dataPingEvery;
            if (every > 0 && ++self->beats_ % every == 0) text += "data: {\"type\":\"ping\"}\n\n";
            self->out_ += chunk(text);
            self->flush();
            self->beat();
        });
    }

    void flush() {
        if (writing_ || out_.empty() || !stream_) return;
        writing_ = true;
        pending_ = std::move(out_);
        out_.clear();
        out_.shrink_to_fit();
        arm(server_.options.writeTimeout);
        asio::async_write(socket_, asio::buffer(pending_),
                          [self = this->shared_from_this()](boost::system::error_code ec, size_t) {
                              self->writing_ = false;
                              self->pending_.clear();
                              self->pending_.shrink_to_fit();
                              if (ec) return self->closeNow();
                              self->disarm();
                              if (self->ending_ && self->out_.empty()) return self->closeNow();
                              self->flush();
                          });
    }

    void endStream() {
        if (!stream_) return;
        stream_.reset();
        if (auto closed = std::move(closed_)) closed();
    }

    HttpServer::Impl& server_;
    Socket socket_;
    asio::steady_timer deadline_;
    std::uint64_t generation_ = 0;
    bool over_;
    std::string remoteAddr_;
    int remotePort_ = 0;
    boost::beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<http::response<http::string_body>> response_;
    std::optional<http::response_serializer<http::string_body>> serializer_;
    bool continued_ = false;
    bool holding_ = false;
    std::string pending_;                              // being written
    std::unique_ptr<std::array<char, 4096>> scratch_;  // what a closing connection drops
    char probe_ = 0;
    size_t drained_ = 0;

    std::shared_ptr<EventHub::Stream> stream_;
    std::function<void()> closed_;
    std::optional<asio::steady_timer> heartbeat_;
    std::string out_;  // waiting for the write in progress
    bool writing_ = false;
    bool ending_ = false;
    int beats_ = 0;
};

}  // namespace

void HttpServer::Impl::accept() {
    acceptor.async_accept(
        asio::make_strand(ioc), [this](boost::system::error_code ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
            if (ec) {
                // Out of descriptors, most likely: a connection ends soon and frees one.
                std::cerr << nowStamp() << " cannot accept a connection: " << ec.message() << "\n";
                return retryAccept();
            }
            const bool over = active.fetch_add(1) >= options.maxConnections;
            if (ssl) {
                std::make_shared<Connection<asio::ssl::stream<tcp::socket>>>(
                    *this, asio::ssl::stream<tcp::socket>(std::move(socket), *ssl), over)
                    ->start();
            } else {
                std::make_shared<Connection<tcp::socket>>(*this, std::move(socket), over)->start();
            }
            accept();
        });
}

void HttpServer::Impl::retryAccept() {
    acceptRetry.expires_after(std::chrono::milliseconds(50));
    acceptRetry.async_wait([this](boost::system::error_code ec) {
        if (!ec) accept();
    });
}

void HttpServer::Impl::stopWhenIdle(Clock::time_point deadline) {
    if (busy == 0 || Clock::now() >= deadline) return ioc.stop();
    stopping.expires_after(std::chrono::milliseconds(5));
    stopping.async_wait([this, deadline](boost::system::error_code) { stopWhenIdle(deadline); });
}

void HttpServer::Impl::match(Exchange& ex) const {
    for (const auto& r : routes)
        if (r.method == ex.req.method && std::regex_match(ex.req.path, ex.req.matches, r.pattern)) {
            ex.route = &r;
            return;
        }
}

void HttpServer::Impl::dispatch(Exchange& ex) {
    auto& req = ex.req;
    auto& res = ex.res;
    const bool found = ex.route != nullptr;
    current = &ex;
    try {
        if (found) ex.route->handler(req, res);
    } catch (const std::exception& e) {
        std::cerr << nowStamp() << " error in " << req.path << ": " << e.what() << "\n";
        res = httplib::Response();
        res.status = 500;
    }
    current = nullptr;
    if (!found) res.status = 404;
    if (res.status >= 400 && res.body.empty() && !ex.stream) {
        const char* text = res.status == 404   ? "not found"
                           : res.status == 400 ? "bad request"
                                               : "request failed";
        res.set_content(errorBody(text), "application/json");
    }
}

HttpServer::HttpServer(Options options, EventHub& hub)
    : impl_(std::make_unique<Impl>(std::move(options), hub)) {
    auto& o = impl_->options;
    if (!o.certFile.empty() || !o.keyFile.empty()) {
        auto& ssl = impl_->ssl.emplace(asio::ssl::context::tls_server);
        boost::system::error_code ec;
        ssl.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                        asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                        asio::ssl::context::no_tlsv1_1);
        ssl.use_certificate_chain_file(o.certFile, ec);
        if (!ec) ssl.use_private_key_file(o.keyFile, asio::ssl::context::pem, ec);
        if (ec)
            throw std::runtime_error("cannot load certificate " + o.certFile + " and key " +
                                     o.keyFile);
        // An idle stream keeps no read and write buffers of its own.
        SSL_CTX_set_mode(ssl.native_handle(), SSL_MODE_RELEASE_BUFFERS);
    }
}

HttpServer::~HttpServer() {
    stop();
    impl_->workers.join();
    impl_->slowWorkers.join();
}

void HttpServer::route(const std::string& method, const std::string& pattern, Handler handler,
                       Pool pool) {
    impl_->routes.push_back({method, std::regex(pattern), std::move(handler), pool});
}

void HttpServer::setLogger(Logger logger) {
    impl_->logger = std::move(logger);
}

int HttpServer::bind(const std::string& host, int port) {
    auto& a = impl_->acceptor;
    boost::system::error_code ec;
    tcp::resolver resolver(impl_->ioc);
    const auto found = resolver.resolve(host, std::to_string(port), tcp::resolver::passive, ec);
    if (ec || found.empty()) throw std::runtime_error("cannot listen on " + host);
    const tcp::endpoint at = found.begin()->endpoint();
    a.open(at.protocol(), ec);
    if (!ec) a.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) a.bind(at, ec);
    // The system's longest queue: hundreds of agents reconnect at once.
    if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
    if (ec)
        throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) + ": " +
                                 ec.message());
    impl_->bound = true;
    return a.local_endpoint().port();
}

bool HttpServer::run() {
    if (!impl_->bound) return false;
    if (impl_->stopRequested) return true;
    asio::post(impl_->acceptor.get_executor(), [impl = impl_.get()] { impl->accept(); });
    auto loop = [this] {
        for (;;) {
            try {
                impl_->ioc.run();
                return;
            } catch (const std::exception& e) {
                // One connection's fault ends that connection's work, not the loop.
                std::cerr << nowStamp() << " error in the server loop: " << e.what() << "\n";
            }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned i = 1; i < std::max(1u, impl_->options.ioThreads); ++i)
        threads.emplace_back(loop);
    loop();
    for (auto& t : threads) t.join();
    return true;
}

void HttpServer::stop() {
    if (impl_->stopRequested.exchange(true)) return;
    // Closed on the accept loop's strand. The answers being
    // made still go out and the streams (which the hub ends) write their last
    // chunk, for a few seconds at most; then everything stops.
    asio::post(impl_->acceptor.get_executor(), [impl = impl_.get()] {
        boost::system::error_code ec;
        impl->acceptor.close(ec);
        impl->acceptRetry.cancel();
        impl->stopWhenIdle(Clock::now() + std::chrono::seconds(5));
    });
}

bool HttpServer::tls() const {
    return impl_->ssl.has_value();
}

size_t HttpServer::connections() const {
    return impl_->active;
}

void HttpServer::holdEventStream(std::shared_ptr<EventHub::Stream> stream,
                                 std::function<void()> closed) {
    if (!current) throw std::logic_error("holdEventStream outside a handler");
    current->stream = std::move(stream);
    current->closed = std::move(closed);
}

}  // namespace tarvo::service
