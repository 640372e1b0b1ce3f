#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "core/Background.h"

namespace tarvo {

// Runs tasks one at a time, in the order they were posted, on a Background.
// post() may be called from any thread; a task never overlaps another task of
// the same queue, so work that shares a resource (one temporary file, one
// target) needs no lock of its own. Nothing blocks while waiting its turn: a
// queue with pending work occupies at most one Background worker, which
// drains it and then lets go. A task posted from inside a task runs after the
// tasks already queued. Tasks still queued when the queue is destroyed run
// all the same; the Background must outlive the queue.
class SerialQueue {
  public:
    using Task = std::function<void()>;

    explicit SerialQueue(Background& background);

    void post(Task task);
    // Tasks posted and not yet finished (the running one included).
    size_t pending() const;

  private:
    struct State {
        mutable std::mutex mutex;
        std::deque<Task> tasks;
        bool draining = false;
        size_t running = 0;
    };
    static void drain(const std::shared_ptr<State>& state);

    Background& background_;
    std::shared_ptr<State> state_;
};

}  // namespace tarvo
