#pragma once

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>

#include "core/Background.h"
#include "core/Clock.h"
#include "core/MainQueue.h"
#include "support/TestSupport.h"

namespace tarvo {

// A clock that moves only when told to. Wall and monotonic time advance
// together unless a test sets the wall clock on its own (sleep, clock change).
class VirtualClock : public Clock {
  public:
    explicit VirtualClock(WallTime start = fromUnixSeconds(1'767'225'600))  // 2026-01-01T00:00:00Z
        : wall_(start), mono_(MonoTime{} + std::chrono::hours(1)) {}
    WallTime now() const override {
        std::lock_guard lock(mutex_);
        return wall_;
    }
    MonoTime monotonic() const override {
        std::lock_guard lock(mutex_);
        return mono_;
    }
    void advance(Millis d) {
        std::lock_guard lock(mutex_);
        wall_ += d;
        mono_ += d;
    }
    // Moves the wall clock alone (a clock change); monotonic time stays.
    void setWall(WallTime t) {
        std::lock_guard lock(mutex_);
        wall_ = t;
    }

  private:
    mutable std::mutex mutex_;
    WallTime wall_;
    MonoTime mono_;
};

// Tests: keeps tasks until the test runs them, to order work deterministically.
class ManualBackground : public Background {
  public:
    void run(Task task) override {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    // Runs queued tasks, and any they queue, until none is left; each runs
    // outside the lock so that it may queue more. Returns how many ran.
    size_t runAll() {
        for (size_t ran = 0;; ++ran) {
            std::unique_lock lock(mutex_);
            if (tasks_.empty()) return ran;
            Task task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
        }
    }
    size_t pending() const {
        std::lock_guard lock(mutex_);
        return tasks_.size();
    }

  private:
    mutable std::mutex mutex_;
    std::deque<Task> tasks_;
};

// A main queue on virtual time: advance(90s) fires every timer due within those 90 seconds, in due
// order, the clock at each one's due time. post() is safe from any thread, the rest is the test's.
class VirtualMainQueue : public MainQueue {
  public:
    explicit VirtualMainQueue(
        std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>())
        : clock_(std::move(clock)) {}

    void post(Task task) override { posted_.run(std::move(task)); }
    TimerId postDelayed(Millis delay, Task task) override {
        return schedule(std::max(delay, Millis(0)), std::move(task), Millis(0));
    }
    TimerId startRepeating(Millis interval, Task task,
                           std::optional<Millis> firstDelay = std::nullopt) override {
        interval = std::max(interval, Millis(1));
        return schedule(firstDelay.value_or(interval), std::move(task), interval);
    }
    void cancel(TimerId id) override {
        std::lock_guard lock(mutex_);
        std::erase_if(schedule_, [id](const auto& entry) { return entry.second.id == id; });
    }
    void onSignal(int signo, Task handler) override {
        std::lock_guard lock(mutex_);
        signalHandlers_[signo] = std::move(handler);
    }
    // Runs posted work and timers until quit(); -1 when nothing is left to run.
    int run() override {
        for (;;) {
            runPending();
            std::unique_lock lock(mutex_);
            if (quit_) return *quit_;
            if (posted_.pending() > 0) continue;
            if (schedule_.empty()) return -1;
            const MonoTime next = schedule_.begin()->first;
            lock.unlock();
            fireDueTimers(next);
        }
    }
    void quit(int exitCode = 0) override {
        std::lock_guard lock(mutex_);
        quit_ = exitCode;
    }

    // Runs everything posted so far (and what that posts) without moving time.
    size_t runPending() { return posted_.runAll(); }
    // How much posted work waits (posted from any thread).
    size_t pendingPosts() const { return posted_.pending(); }
    void advance(Millis d) { fireDueTimers(clock_->monotonic() + d); }
    // Runs work posted from other threads until `done()`, waiting in real time.
    bool runUntil(const std::function<bool()>& done, Millis realTimeout = Millis(5000)) {
        return test::polling::waitUntil(
            [&] {
                runPending();
                return done();
            },
            realTimeout);
    }
    bool deliverSignal(int signo) {
        std::unique_lock lock(mutex_);
        auto it = signalHandlers_.find(signo);
        if (it == signalHandlers_.end()) return false;
        Task handler = it->second;
        lock.unlock();
        handler();
        return true;
    }

    size_t activeTimers() const {
        std::lock_guard lock(mutex_);
        return schedule_.size();
    }

  private:
    struct Timer {
        TimerId id;
        Task task;
        Millis interval;  // zero for one-shot
    };
    TimerId schedule(Millis delay, Task task, Millis interval) {
        std::lock_guard lock(mutex_);
        schedule_.emplace(clock_->monotonic() + delay, Timer{nextId_, std::move(task), interval});
        return nextId_++;
    }
    void moveClockTo(MonoTime t) {
        const MonoTime now = clock_->monotonic();
        if (t > now) clock_->advance(std::chrono::duration_cast<Millis>(t - now));
    }
    void fireDueTimers(MonoTime until) {
        for (;;) {
            runPending();
            std::unique_lock lock(mutex_);
            if (schedule_.empty() || schedule_.begin()->first > until) break;
            auto node = schedule_.extract(schedule_.begin());
            const MonoTime due = node.key();
            Task task = node.mapped().task;
            if (node.mapped().interval > Millis(0)) {
                node.key() = due + node.mapped().interval;
                schedule_.insert(std::move(node));
            }
            lock.unlock();
            moveClockTo(due);  // the clock has a lock of its own: moved outside ours
            task();
        }
        moveClockTo(until);
        runPending();
    }

    std::shared_ptr<VirtualClock> clock_;
    mutable std::mutex mutex_;
    ManualBackground posted_;
    TimerId nextId_ = 1;
    std::multimap<MonoTime, Timer> schedule_;  // equal due times in the order of scheduling
    std::map<int, Task> signalHandlers_;
    std::optional<int> quit_;
};

class InlineBackground : public Background {
  public:
    void run(Task task) override { task(); }
};

}  // namespace tarvo
