#include "support/VirtualTime.h"

#include <algorithm>

namespace tarvo {
namespace {

// Runs queued tasks, and any they queue, until none is left; each runs
// outside the lock so that it may queue more. Returns how many ran.
template <typename Task>
size_t runQueued(std::mutex& mutex, std::deque<Task>& tasks) {
    size_t ran = 0;
    for (;; ++ran) {
        std::unique_lock lock(mutex);
        if (tasks.empty()) return ran;
        Task task = std::move(tasks.front());
        tasks.pop_front();
        lock.unlock();
        task();
    }
}

}  // namespace

VirtualClock::VirtualClock(WallTime start)
    : wall_(start), mono_(MonoTime{} + std::chrono::hours(1)) {}

WallTime VirtualClock::now() const {
    std::lock_guard lock(mutex_);
    return wall_;
}

MonoTime VirtualClock::monotonic() const {
    std::lock_guard lock(mutex_);
    return mono_;
}

void VirtualClock::advance(Millis d) {
    std::lock_guard lock(mutex_);
    wall_ += d;
    mono_ += d;
}

void VirtualClock::setWall(WallTime t) {
    std::lock_guard lock(mutex_);
    wall_ = t;
}

VirtualMainQueue::VirtualMainQueue(std::shared_ptr<VirtualClock> clock)
    : clock_(std::move(clock)) {}

void VirtualMainQueue::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    posted_.notify_all();
}

MainQueue::TimerId VirtualMainQueue::postDelayed(Millis delay, Task task) {
    std::lock_guard lock(mutex_);
    const MonoTime due = clock_->monotonic() + std::max(delay, Millis(0));
    schedule_[{due, sequence_++}] = {nextId_, std::move(task), Millis(0)};
    return nextId_++;
}

MainQueue::TimerId VirtualMainQueue::startRepeating(Millis interval, Task task,
                                                    std::optional<Millis> firstDelay) {
    std::lock_guard lock(mutex_);
    interval = std::max(interval, Millis(1));
    const MonoTime due = clock_->monotonic() + firstDelay.value_or(interval);
    schedule_[{due, sequence_++}] = {nextId_, std::move(task), interval};
    return nextId_++;
}

void VirtualMainQueue::cancel(TimerId id) {
    std::lock_guard lock(mutex_);
    std::erase_if(schedule_, [id](const auto& entry) { return entry.second.id == id; });
}

void VirtualMainQueue::onSignal(int signo, Task handler) {
    std::lock_guard lock(mutex_);
    signalHandlers_[signo] = std::move(handler);
}

bool VirtualMainQueue::deliverSignal(int signo) {
    Task handler;
    {
        std::lock_guard lock(mutex_);
        auto it = signalHandlers_.find(signo);
        if (it == signalHandlers_.end()) return false;
        handler = it->second;
    }
    handler();
    return true;
}

void VirtualMainQueue::quit(int exitCode) {
    std::lock_guard lock(mutex_);
    quit_ = exitCode;
}

size_t VirtualMainQueue::runPending() {
    return runQueued(mutex_, tasks_);
}

void VirtualMainQueue::fireDueTimers(MonoTime until) {
    for (;;) {
        runPending();
        std::unique_lock lock(mutex_);
        if (schedule_.empty() || schedule_.begin()->first.first > until) break;
        auto node = schedule_.extract(schedule_.begin());
        const MonoTime due = node.key().first;
        Task task = node.mapped().task;
        if (node.mapped().interval > Millis(0)) {
            node.key() = {due + node.mapped().interval, sequence_++};
            schedule_.insert(std::move(node));
        }
        lock.unlock();
        // The clock has a lock of its own: moved outside ours.
        const MonoTime now = clock_->monotonic();
        if (due > now) clock_->advance(std::chrono::duration_cast<Millis>(due - now));
        task();
    }
    const MonoTime now = clock_->monotonic();
    if (until > now) clock_->advance(std::chrono::duration_cast<Millis>(until - now));
    runPending();
}

void VirtualMainQueue::advance(Millis d) {
    fireDueTimers(clock_->monotonic() + d);
}

bool VirtualMainQueue::runUntil(const std::function<bool()>& done, Millis realTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + realTimeout;
    for (;;) {
        runPending();
        if (done()) return true;
        std::unique_lock lock(mutex_);
        if (!posted_.wait_until(lock, deadline, [this] { return !tasks_.empty(); })) {
            lock.unlock();
            return done();
        }
    }
}

size_t VirtualMainQueue::activeTimers() const {
    std::lock_guard lock(mutex_);
    return schedule_.size();
}

int VirtualMainQueue::run() {
    for (;;) {
        runPending();
        MonoTime next;
        {
            std::lock_guard lock(mutex_);
            if (quit_) return *quit_;
            if (schedule_.empty() && tasks_.empty()) return -1;
            if (!tasks_.empty()) continue;
            next = schedule_.begin()->first.first;
        }
        fireDueTimers(next);
    }
}

void ManualBackground::run(Task task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
}

size_t ManualBackground::runAll() {
    return runQueued(mutex_, tasks_);
}

size_t ManualBackground::pending() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

}  // namespace tarvo
