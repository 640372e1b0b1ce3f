#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace tarvo {

// Runs one task every `interval` on a thread of its own, the first time one
// interval after construction, until destroyed. For work that must go on
// when the main loop stalls (the presence heartbeat touches only the file
// system, and a late flag would switch filtering off). Waits on the
// monotonic clock, so it never fires early.
class TimerThread {
  public:
    TimerThread(std::chrono::milliseconds interval, std::function<void()> task);
    ~TimerThread();
    TimerThread(const TimerThread&) = delete;
    TimerThread& operator=(const TimerThread&) = delete;

  private:
    void loop();

    const std::chrono::milliseconds interval_;
    const std::function<void()> task_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace tarvo
