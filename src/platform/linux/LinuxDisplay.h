#pragma once

namespace tarvo::platform {

// Whether the X display named by DISPLAY accepts a connection right now.
bool x11DisplayReachable();

}  // namespace tarvo::platform
