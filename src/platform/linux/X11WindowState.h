#pragma once

namespace tarvo::platform {

// Gives a top-level X11 window a taskbar (and pager) entry or takes it away,
// through the EWMH _NET_WM_STATE_SKIP_TASKBAR and _SKIP_PAGER states: on the
// property while the window is unmapped, by asking the window manager once
// it is mapped. `display` is the Xlib Display* the window belongs to.
void setSkipTaskbar(void* display, unsigned long window, bool skip);

}  // namespace tarvo::platform
