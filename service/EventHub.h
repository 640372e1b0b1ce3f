#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tarvo::service {

// How many streams may be open at once: in all, from one source address,
// for one computer and for one account on it.
struct StreamLimits {
    size_t total = 256;
    size_t perAddress = 32;
    size_t perDevice = 8;
    size_t perAccount = 4;
};

// The open event streams, by device and account. A change is queued on every
// stream of the accounts it concerns and wakes the stream's writer at once:
// the server's connection, which then takes the queue and writes it.
class EventHub {
  public:
    struct Stream {
        std::string deviceId;
        std::string account;
        std::string address;  // where the stream's connection comes from
        std::mutex mutex;
        std::deque<std::string> queue;  // complete blocks, ready to write
        bool closed = false;
        // Called (with `mutex` held, so it must only post work) when blocks
        // are queued or the stream must end.
        std::function<void()> wake;
    };
    using Key = std::pair<std::string, std::string>;  // device, account

    using Limits = StreamLimits;
    enum class Refusal { none, total, address, device, account, shutdown };

    explicit EventHub(Limits limits = {}) : limits_(limits) {}

    // None when a limit is reached; `why` then says which.
    std::shared_ptr<Stream> open(const std::string& deviceId, const std::string& account,
                                 const std::string& address, Refusal* why = nullptr);
    void close(const std::shared_ptr<Stream>& stream);
    // Queues `data` (one JSON line) on every stream of each key; the number of
    // streams it was queued on.
    size_t publish(const std::vector<Key>& keys, const std::string& data);
    // Sets what wakes the stream's writer; it is called at once when blocks
    // are already waiting or the stream has ended.
    void watch(Stream& stream, std::function<void()> wake);
    // The blocks queued so far (perhaps none), without waiting; none once the
    // stream must end.
    std::optional<std::vector<std::string>> take(Stream& stream);
    void shutdown();
    size_t openCount() const;

  private:
    mutable std::mutex mutex_;
    std::map<Key, std::set<std::shared_ptr<Stream>>> streams_;
    std::map<std::string, size_t> perAddress_;
    std::map<std::string, size_t> perDevice_;
    size_t count_ = 0;
    Limits limits_;
    std::atomic<bool> shutdown_{false};
};

}  // namespace tarvo::service
