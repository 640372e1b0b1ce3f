#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace tarvo {

using Millis = std::chrono::milliseconds;

// The role's main thread: everything that touches timers, windows and state
// runs here, so the logic needs no locks. post() may be called from any
// thread; the timer calls too (they hop to the main thread themselves).
class MainQueue {
  public:
    using TimerId = std::uint64_t;
    using Task = std::function<void()>;

    virtual ~MainQueue() = default;

    // Runs `task` on the main thread as soon as it is free.
    virtual void post(Task task) = 0;
    // Runs `task` once, `delay` from now.
    virtual TimerId postDelayed(Millis delay, Task task) = 0;
    // Runs `task` every `interval`, the first time after `firstDelay`
    // (default: one interval).
    virtual TimerId startRepeating(Millis interval, Task task,
                                   std::optional<Millis> firstDelay = std::nullopt) = 0;
    // Stops a timer; unknown or already fired ids are ignored.
    virtual void cancel(TimerId id) = 0;
    // Delivers `signo` (SIGTERM, SIGINT, …) as a main-thread callback instead
    // of the default action.
    virtual void onSignal(int signo, Task handler) = 0;
    // Runs the loop until quit(); returns quit's code.
    virtual int run() = 0;
    virtual void quit(int exitCode = 0) = 0;
};

// Cancels its timer when destroyed or reassigned; owners keep one per timer.
class ScopedTimer {
  public:
    ScopedTimer() = default;
    ScopedTimer(MainQueue& queue, MainQueue::TimerId id) : queue_(&queue), id_(id) {}
    ScopedTimer(ScopedTimer&& other) noexcept { *this = std::move(other); }
    ScopedTimer& operator=(ScopedTimer&& other) noexcept {
        if (this != &other) {
            reset();
            queue_ = other.queue_;
            id_ = other.id_;
            other.queue_ = nullptr;
        }
        return *this;
    }
    ScopedTimer(const ScopedTimer&) = delete;
    ScopedTimer& operator=(const ScopedTimer&) = delete;
    ~ScopedTimer() { reset(); }

    void reset() {
        if (queue_) queue_->cancel(id_);
        queue_ = nullptr;
    }
    bool active() const { return queue_ != nullptr; }

  private:
    MainQueue* queue_ = nullptr;
    MainQueue::TimerId id_ = 0;
};

}  // namespace tarvo
