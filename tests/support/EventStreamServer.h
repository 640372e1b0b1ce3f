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

    void write(std::string piece);
    void push(const std::string& data) { write("data: " + data + "\n\n"); }
    void close();
    // Any status but 200 answers with a body and no stream.
    void setStatus(int status);
    int streams() const;
    std::string accept() const;  // the Accept header of the last stream request

    // Called on the stream's thread just before each piece goes out.
    std::function<void()> onWrite;

  private:
    bool provide(httplib::DataSink& sink);

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::string> pieces_;
    bool closing_ = false;
    int status_ = 200;
    int streams_ = 0;
    std::string accept_;
};

}  // namespace tarvo::test
