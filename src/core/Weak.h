#pragma once

#include <atomic>
#include <memory>
#include <utility>

namespace tarvo {

// Wraps `f` so that it runs only while `owner` is alive: callbacks that
// outlive a call (timers, background results, notifications) hold their
// owner weakly and do nothing once it is gone.
template <class T, class F>
auto weakCallback(const std::shared_ptr<T>& owner, F f) {
    return [weak = std::weak_ptr<T>(owner), f = std::move(f)](auto&&... args) mutable {
        if (auto strong = weak.lock()) f(*strong, std::forward<decltype(args)>(args)...);
    };
}

// A flag its owner sets when it goes away or cancels; copies share it.
class CancellationToken {
  public:
    CancellationToken() : flag_(std::make_shared<std::atomic<bool>>(false)) {}
    void cancel() const { flag_->store(true); }
    bool cancelled() const { return flag_->load(); }

  private:
    std::shared_ptr<std::atomic<bool>> flag_;
};

}  // namespace tarvo
