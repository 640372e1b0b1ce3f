#pragma once

#include <httplib.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace tarvo::test {

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
