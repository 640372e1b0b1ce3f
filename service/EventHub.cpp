#include "EventHub.h"

namespace tarvo::service {

std::shared_ptr<EventHub::Stream> EventHub::open(const std::string& deviceId,
                                                 const std::string& account,
                                                 const std::string& address, Refusal* why) {
    std::lock_guard lock(mutex_);
    auto refuse = [&](Refusal r) {
        if (why) *why = r;
        return nullptr;
    };
    if (shutdown_) return refuse(Refusal::shutdown);
    if (count_ >= limits_.total) return refuse(Refusal::total);
    auto countOf = [](const auto& map, const auto& key) -> size_t {
        auto it = map.find(key);
        return it == map.end() ? 0 : it->second.size();
    };
    auto numberOf = [](const std::map<std::string, size_t>& map, const std::string& key) {
        auto it = map.find(key);
        return it == map.end() ? size_t{0} : it->second;
    };
    if (numberOf(perAddress_, address) >= limits_.perAddress) return refuse(Refusal::address);
    if (numberOf(perDevice_, deviceId) >= limits_.perDevice) return refuse(Refusal::device);
    if (countOf(streams_, Key{deviceId, account}) >= limits_.perAccount)
        return refuse(Refusal::account);
    auto& set = streams_[{deviceId, account}];
    auto stream = std::make_shared<Stream>();
    stream->deviceId = deviceId;
    stream->account = account;
    stream->address = address;
    set.insert(stream);
    ++perAddress_[address];
    ++perDevice_[deviceId];
    ++count_;
    if (why) *why = Refusal::none;
    return stream;
}

void EventHub::close(const std::shared_ptr<Stream>& stream) {
    {
        std::lock_guard lock(mutex_);
        auto it = streams_.find({stream->deviceId, stream->account});
        if (it != streams_.end() && it->second.erase(stream)) {
            --count_;
            if (it->second.empty()) streams_.erase(it);
            // Counters that reach zero go, so made-up names leave nothing behind.
            for (auto* counts : {&perAddress_, &perDevice_}) {
                const auto& name = counts == &perAddress_ ? stream->address : stream->deviceId;
                auto c = counts->find(name);
                if (c != counts->end() && --c->second == 0) counts->erase(c);
            }
        }
    }
    std::lock_guard lock(stream->mutex);
    stream->closed = true;
    if (stream->wake) stream->wake();
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
            if (stream->wake && stream->queue.size() == 1) stream->wake();
            ++queued;
        }
    }
    return queued;
}

void EventHub::watch(Stream& stream, std::function<void()> wake) {
    std::lock_guard lock(stream.mutex);
    stream.wake = std::move(wake);
    if (stream.wake && (!stream.queue.empty() || stream.closed || shutdown_)) stream.wake();
}

std::optional<std::vector<std::string>> EventHub::take(Stream& stream) {
    std::lock_guard lock(stream.mutex);
    if (stream.closed || shutdown_.load()) return std::nullopt;
    std::vector<std::string> blocks(std::make_move_iterator(stream.queue.begin()),
                                    std::make_move_iterator(stream.queue.end()));
    stream.queue.clear();
    return blocks;
}

void EventHub::shutdown() {
    shutdown_ = true;
    std::lock_guard lock(mutex_);
    for (auto& [key, set] : streams_)
        for (const auto& stream : set) {
            std::lock_guard streamLock(stream->mutex);
            if (stream->wake) stream->wake();
        }
}

size_t EventHub::openCount() const {
    std::lock_guard lock(mutex_);
    return count_;
}

}  // namespace tarvo::service
