#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tarvo::service {

// The open event streams, by device and account. A change is queued on every
// stream of the accounts it concerns and wakes the stream's thread at once.
class EventHub {
  public:
    struct Stream {
        std::string deviceId;
        std::string account;
        std::mutex mutex;
        std::condition_variable cv;
        std::deque<std::string> queue;  // complete blocks, ready to write
        bool closed = false;
    };
    using Key = std::pair<std::string, std::string>;  // device, account

    explicit EventHub(size_t maxStreams = 4096, size_t maxPerKey = 8)
        : maxStreams_(maxStreams), maxPerKey_(maxPerKey) {}

    // None when too many streams are open (overall or for this key).
    std::shared_ptr<Stream> open(const std::string& deviceId, const std::string& account);
    void close(const std::shared_ptr<Stream>& stream);
    // Queues `data` (one JSON line) on every stream of each key; the number of
    // streams it was queued on.
    size_t publish(const std::vector<Key>& keys, const std::string& data);
    // Blocks until a block is ready, the hub shuts down or `wait` passes; the
    // blocks to write (empty on time-out); none once the stream must end.
    std::optional<std::vector<std::string>> next(Stream& stream, std::chrono::milliseconds wait);
    void shutdown();
    size_t openCount() const;

  private:
    mutable std::mutex mutex_;
    std::map<Key, std::set<std::shared_ptr<Stream>>> streams_;
    size_t count_ = 0;
    size_t maxStreams_;
    size_t maxPerKey_;
    std::atomic<bool> shutdown_{false};
};

}  // namespace tarvo::service
