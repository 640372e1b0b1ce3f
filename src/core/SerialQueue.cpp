#include "core/SerialQueue.h"

namespace tarvo {

SerialQueue::SerialQueue(Background& background)
    : background_(background), state_(std::make_shared<State>()) {}

void SerialQueue::post(Task task) {
    bool startDrain = false;
    {
        std::lock_guard lock(state_->mutex);
        state_->tasks.push_back(std::move(task));
        if (!state_->draining) {
            state_->draining = true;
            startDrain = true;
        }
    }
    if (startDrain) background_.run([state = state_] { drain(state); });
}

size_t SerialQueue::pending() const {
    std::lock_guard lock(state_->mutex);
    return state_->tasks.size() + state_->running;
}

void SerialQueue::drain(const std::shared_ptr<State>& state) {
    for (;;) {
        Task task;
        {
            std::lock_guard lock(state->mutex);
            if (state->tasks.empty()) {
                state->draining = false;
                return;
            }
            task = std::move(state->tasks.front());
            state->tasks.pop_front();
            state->running = 1;
        }
        try {
            task();
        } catch (...) {
            // A task reports its own failures; one that throws must not stall the queue.
        }
        std::lock_guard lock(state->mutex);
        state->running = 0;
    }
}

}  // namespace tarvo
