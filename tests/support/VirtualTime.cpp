#include "support/VirtualTime.h"

namespace tarvo {
namespace {

// Runs queued tasks, and any they queue, until none is left; each runs
// outside the lock so that it may queue more. Returns how many ran.
template <typename Task>
size_t runQueued(std::mutex& mutex, std::deque<Task>& tasks) {
    size_t ran = 0;
    for (;;) {
        Task task;
        {
            std::lock_guard lock(mutex);
            if (tasks.empty()) return ran;
            task = std::move(tasks.front());
            tasks.pop_front();
        }
        task();
        ++ran;
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
    TimerId id = nextId_++;
    timers_[id] = {std::move(task), Millis(0)};
    schedule_[{clock_->monotonic() + std::max(delay, Millis(0)), sequence_++, id}] = id;
    return id;
}

MainQueue::TimerId VirtualMainQueue::startRepeating(Millis interval, Task task,
                                                    std::optional<Millis> firstDelay) {
    std::lock_guard lock(mutex_);
    TimerId id = nextId_++;
    if (interval <= Millis(0)) interval = Millis(1);
    timers_[id] = {std::move(task), interval};
    schedule_[{clock_->monotonic() + firstDelay.value_or(interval), sequence_++, id}] = id;
    return id;
}

void VirtualMainQueue::cancel(TimerId id) {
    std::lock_guard lock(mutex_);
    timers_.erase(id);
    for (auto it = schedule_.begin(); it != schedule_.end(); ++it) {
        if (it->second == id) {
            schedule_.erase(it);
            break;
        }
    }
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
        Task task;
        {
            std::lock_guard lock(mutex_);
            if (schedule_.empty()) break;
            auto first = schedule_.begin();
            MonoTime due = std::get<0>(first->first);
            if (due > until) break;
            TimerId id = first->second;
            schedule_.erase(first);
            auto it = timers_.find(id);
            if (it == timers_.end()) continue;
            task = it->second.task;
            if (it->second.interval > Millis(0)) {
                schedule_[{due + it->second.interval, sequence_++, id}] = id;
            } else {
                timers_.erase(it);
            }
            MonoTime now = clock_->monotonic();
            if (due > now) {
                // Move the clock outside the lock: the clock has its own.
                auto step = std::chrono::duration_cast<Millis>(due - now);
                mutex_.unlock();
                clock_->advance(step);
                mutex_.lock();
            }
        }
        task();
    }
    MonoTime now = clock_->monotonic();
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
        if (!tasks_.empty()) continue;
        if (posted_.wait_until(lock, deadline) == std::cv_status::timeout && tasks_.empty()) {
            lock.unlock();
            runPending();
            return done();
        }
    }
}

size_t VirtualMainQueue::activeTimers() const {
    std::lock_guard lock(mutex_);
    return timers_.size();
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
            next = std::get<0>(schedule_.begin()->first);
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
