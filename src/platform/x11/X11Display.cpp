#include "platform/x11/X11Display.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

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

std::optional<double> x11IdleSeconds() {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return std::nullopt;
    Display* dpy = XOpenDisplay(name);
    if (!dpy) return std::nullopt;
    std::optional<double> idle;
    int eventBase = 0, errorBase = 0;
    if (XScreenSaverQueryExtension(dpy, &eventBase, &errorBase)) {
        if (XScreenSaverInfo* info = XScreenSaverAllocInfo()) {
            if (XScreenSaverQueryInfo(dpy, DefaultRootWindow(dpy), info))
                idle = static_cast<double>(info->idle) / 1000.0;
            XFree(info);
        }
    }
    XCloseDisplay(dpy);
    return idle;
}

}  // namespace tarvo::platform
