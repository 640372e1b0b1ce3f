#include "support/LocalServer.h"

namespace tarvo::test {

EventStreamServer::EventStreamServer(httplib::Server& server) {
    server.Get(kPath, [this](const httplib::Request& req, httplib::Response& res) {
        {
            std::lock_guard lock(mutex_);
            ++streams_;
            accept_ = req.get_header_value("Accept");
        }
        res.set_chunked_content_provider(
            "text/event-stream", [this](size_t, httplib::DataSink& sink) { return provide(sink); });
    });
}

bool EventStreamServer::provide(httplib::DataSink& sink) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(50),
                 [this] { return !pieces_.empty() || closing_; });
    if (pieces_.empty()) {
        if (!closing_) return sink.is_writable();
        sink.done();
        return true;
    }
    std::string piece = std::move(pieces_.front());
    pieces_.pop_front();
    lock.unlock();
    return sink.write(piece.data(), piece.size());
}

}  // namespace tarvo::test
