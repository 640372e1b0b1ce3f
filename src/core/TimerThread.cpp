#include "core/TimerThread.h"

namespace tarvo {

TimerThread::TimerThread(std::chrono::milliseconds interval, std::function<void()> task)
    : interval_(interval), task_(std::move(task)), thread_([this] { loop(); }) {}

TimerThread::~TimerThread() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void TimerThread::loop() {
    auto next = std::chrono::steady_clock::now() + interval_;
    std::unique_lock lock(mutex_);
    while (!wake_.wait_until(lock, next, [this] { return stopping_; })) {
        lock.unlock();
        task_();
        lock.lock();
        // Keep the cadence; after a long stall start again from now rather
        // than firing a burst of missed beats.
        next += interval_;
        const auto now = std::chrono::steady_clock::now();
        if (next <= now) next = now + interval_;
    }
}

}  // namespace tarvo
