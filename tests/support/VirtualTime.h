#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "core/Background.h"
#include "core/Clock.h"
#include "core/MainQueue.h"

namespace tarvo {

// A clock that moves only when told to. Wall and monotonic time advance
// together unless a test sets the wall clock on its own (sleep, clock change).
class VirtualClock : public Clock {
  public:
    explicit VirtualClock(WallTime start = fromUnixSeconds(1'767'225'600));  // 2026-01-01T00:00:00Z
    WallTime now() const override;
    MonoTime monotonic() const override;

    void advance(Millis d);
    // Moves the wall clock alone (a clock change); monotonic time stays.
    void setWall(WallTime t);

  private:
    mutable std::mutex mutex_;
    WallTime wall_;
    MonoTime mono_;
};

// A main queue on virtual time: advance(90s) fires every timer due within
// those 90 seconds, in due order, with the clock set to each timer's due time.
// post() is safe from any thread; everything else belongs to the test thread.
class VirtualMainQueue : public MainQueue {
  public:
    explicit VirtualMainQueue(
        std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>());

    void post(Task task) override;
    TimerId postDelayed(Millis delay, Task task) override;
    TimerId startRepeating(Millis interval, Task task,
                           std::optional<Millis> firstDelay = std::nullopt) override;
    void cancel(TimerId id) override;
    void onSignal(int signo, Task handler) override;
    // Runs posted work and timers until quit(); -1 when nothing is left to run.
    int run() override;
    void quit(int exitCode = 0) override;

    // Runs everything posted so far (and what that posts) without moving time.
    size_t runPending();
    // Moves virtual time forward by `d`, running posted work and due timers.
    void advance(Millis d);
    // Runs work posted from other threads until `done()`, waiting in real time.
    bool runUntil(const std::function<bool()>& done, Millis realTimeout = Millis(5000));
    // Calls the handler registered for `signo`, as the real loop would.
    bool deliverSignal(int signo);

    std::shared_ptr<VirtualClock> clock() const { return clock_; }
    size_t activeTimers() const;
    std::optional<int> exitCode() const { return quit_; }

  private:
    struct Timer {
        TimerId id;
        Task task;
        Millis interval;  // zero for one-shot
    };
    void fireDueTimers(MonoTime until);

    std::shared_ptr<VirtualClock> clock_;
    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<Task> tasks_;
    TimerId nextId_ = 1;
    std::uint64_t sequence_ = 0;
    // By due time, then the order of scheduling.
    std::map<std::pair<MonoTime, std::uint64_t>, Timer> schedule_;
    std::map<int, Task> signalHandlers_;
    std::optional<int> quit_;
};

// Tests: runs each task at once on the calling thread.
class InlineBackground : public Background {
  public:
    void run(Task task) override { task(); }
};

// Tests: keeps tasks until the test runs them, to order work deterministically.
class ManualBackground : public Background {
  public:
    void run(Task task) override;
    // Runs queued tasks (and any they queue) until none is left; returns how many ran.
    size_t runAll();
    size_t pending() const;

  private:
    mutable std::mutex mutex_;
    std::deque<Task> tasks_;
};

}  // namespace tarvo
