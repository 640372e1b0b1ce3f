#pragma once

#include <optional>

namespace tarvo::platform {

// Whether the X display named by DISPLAY accepts a connection right now.
bool x11DisplayReachable();

// Seconds since the last input on the display named by DISPLAY, from the X
// screen saver extension; none without a display or the extension.
std::optional<double> x11IdleSeconds();

}  // namespace tarvo::platform
