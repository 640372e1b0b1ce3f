#include "platform/linux/LinuxDisplay.h"

#include <X11/Xlib.h>

#include <cstdlib>

namespace tarvo::platform {

bool x11DisplayReachable() {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return false;
    Display* display = XOpenDisplay(name);
    if (!display) return false;
    XCloseDisplay(display);
    return true;
}

}  // namespace tarvo::platform
