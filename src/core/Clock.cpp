#include "core/Clock.h"

namespace tarvo {

std::shared_ptr<Clock> systemClock() {
    static auto clock = std::make_shared<SystemClock>();
    return clock;
}

}  // namespace tarvo
