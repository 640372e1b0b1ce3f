#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tarvo {

// Runs blocking work (HTTP with time-outs, external tools) off the main
// thread. Results come back by posting to the MainQueue.
class Background {
  public:
    using Task = std::function<void()>;
    virtual ~Background() = default;
    virtual void run(Task task) = 0;
};

// Production: a small pool of worker threads. Long-lived work (the event
// stream) has a thread of its own and does not occupy the pool.
class ThreadPoolBackground : public Background {
  public:
    explicit ThreadPoolBackground(unsigned threads = 4);
    ~ThreadPoolBackground() override;  // finishes queued tasks, then joins
    void run(Task task) override;

  private:
    void worker();
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Task> tasks_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace tarvo
