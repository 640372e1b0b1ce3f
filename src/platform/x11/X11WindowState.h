#pragma once

namespace tarvo::platform {

// Gives a top-level X11 window a taskbar (and pager) entry or takes it away,
// through the EWMH _NET_WM_STATE_SKIP_TASKBAR and _SKIP_PAGER states: on the
// property while the window is unmapped, by asking the window manager once
// it is mapped. `display` is the Xlib Display* the window belongs to.
void setSkipTaskbar(void* display, unsigned long window, bool skip);

}  // namespace tarvo::platform

namespace tarvo::platform {

// Asks the window manager to give `window` the keyboard and bring it to the
// front, the way a pager or taskbar does (EWMH _NET_ACTIVE_WINDOW, source 2),
// which window managers do not refuse as focus stealing.
void activateLikeAPager(void* display, unsigned long window);

}  // namespace tarvo::platform
