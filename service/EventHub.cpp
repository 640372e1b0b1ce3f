#include "EventHub.h"

namespace tarvo::service {

std::shared_ptr<EventHub::Stream> EventHub::open(const std::string& deviceId,
                                                 const std::string& account) {
    std::lock_guard lock(mutex_);
    if (shutdown_ || count_ >= maxStreams_) return nullptr;
    auto& set = streams_[{deviceId, account}];
    if (set.size() >= maxPerKey_) return nullptr;
    auto stream = std::make_shared<Stream>();
    stream->deviceId = deviceId;
    stream->account = account;
    set.insert(stream);
    ++count_;
    return stream;
}

void EventHub::close(const std::shared_ptr<Stream>& stream) {
    {
        std::lock_guard lock(mutex_);
        auto it = streams_.find({stream->deviceId, stream->account});
        if (it != streams_.end() && it->second.erase(stream)) {
            --count_;
            if (it->second.empty()) streams_.erase(it);
        }
    }
    std::lock_guard lock(stream->mutex);
    stream->closed = true;
    stream->cv.notify_all();
}

size_t EventHub::publish(const std::vector<Key>& keys, const std::string& data) {
    const std::string block = "data: " + data + "\n\n";
    size_t queued = 0;
    std::lock_guard lock(mutex_);
    for (const auto& key : keys) {
        auto it = streams_.find(key);
        if (it == streams_.end()) continue;
        for (const auto& stream : it->second) {
            std::lock_guard streamLock(stream->mutex);
            stream->queue.push_back(block);
            stream->cv.notify_one();
            ++queued;
        }
    }
    return queued;
}

std::optional<std::vector<std::string>> EventHub::next(Stream& stream,
                                                       std::chrono::milliseconds wait) {
    std::unique_lock lock(stream.mutex);
    stream.cv.wait_for(lock, wait,
                       [&] { return !stream.queue.empty() || stream.closed || shutdown_.load(); });
    if (stream.closed || shutdown_.load()) return std::nullopt;
    std::vector<std::string> blocks(stream.queue.begin(), stream.queue.end());
    stream.queue.clear();
    return blocks;
}

void EventHub::shutdown() {
    shutdown_ = true;
    std::lock_guard lock(mutex_);
    for (auto& [key, set] : streams_)
        for (const auto& stream : set) {
            std::lock_guard streamLock(stream->mutex);
            stream->cv.notify_all();
        }
}

size_t EventHub::openCount() const {
    std::lock_guard lock(mutex_);
    return count_;
}

}  // namespace tarvo::service
