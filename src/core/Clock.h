#pragma once

#include <chrono>
#include <memory>

#include "core/TimeFormat.h"

namespace tarvo {

using MonoTime = std::chrono::steady_clock::time_point;

// Wall and monotonic time. Nothing reads the system clock directly, so tests
// can run hours of timers in microseconds.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual WallTime now() const = 0;
    virtual MonoTime monotonic() const = 0;
};

class SystemClock : public Clock {
  public:
    WallTime now() const override { return std::chrono::system_clock::now(); }
    MonoTime monotonic() const override { return std::chrono::steady_clock::now(); }
};

std::shared_ptr<Clock> systemClock();

}  // namespace tarvo
